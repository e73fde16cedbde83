#include "tests/app/window_fixture.h"

#include "vantor_config.h"

namespace {

struct ExpectedControl {
    const wchar_t* className;
    const wchar_t* text;
    LONG style;
    int id;
    RECT rect;  // client coordinates: left, top, right, bottom
    LONG fontHeight;
    LONG fontWeight;
};

const ExpectedControl Layout[] = {
    {L"Static", L"Vantor", 0x50000001, 0, {24, 24, 496, 72}, -36, 700},
    {L"Static",
     L"\u7a33\u5b9a\u7b80\u4f53\u4e2d\u6587\u7248",
     0x50000001,
     0,
     {24, 72, 496, 100},
     -18,
     400},
    {L"Static", L"Server Status", 0x50000000, 0, {92, 112, 222, 140}, -18, 400},
    {L"Static", L"Checking...", 0x50000002, 1002, {260, 112, 428, 140}, -18, 400},
    {L"Static", L"Client Update", 0x50000000, 0, {92, 143, 222, 171}, -18, 400},
    {L"Static", L"Checking securely...", 0x50000002, 1007, {230, 143, 428, 171}, -18, 400},
    {L"Button", L"Start Game", 0x50000001, 1001, {132, 185, 388, 239}, -18, 400},
    {L"Button", L"\u5b98\u7f51", 0x50000000, 1003, {28, 266, 136, 300}, -18, 400},
    {L"Button", L"\u6ce8\u518c\u8d26\u53f7", 0x50000000, 1004, {146, 266, 254, 300}, -18, 400},
    {L"Button", L"\u5fd8\u8bb0\u5bc6\u7801", 0x50000000, 1005, {264, 266, 372, 300}, -18, 400},
    {L"Button", L"\u4e0b\u8f7d\u8bf4\u660e", 0x50000000, 1006, {382, 266, 490, 300}, -18, 400},
};

TEST_F(LauncherWindowTest, MainWindowHasItsClassTitleStyleAndClientSize) {
    ASSERT_NE(Create(), nullptr);
    wchar_t className[64] = {};
    ::GetClassNameW(window, className, 64);
    EXPECT_STREQ(className, L"VANTORLauncherWindow");
    EXPECT_EQ(WindowText(window), L"Vantor Launcher");
    // The system adds WS_CLIPSIBLINGS to every top-level window.
    EXPECT_EQ(::GetWindowLongW(window, GWL_STYLE) & ~WS_CLIPSIBLINGS, 0x00CA0000);
    EXPECT_EQ(::GetWindowLongW(window, GWL_EXSTYLE) & ~WS_EX_WINDOWEDGE, 0);
    RECT client{};
    ::GetClientRect(window, &client);
    EXPECT_EQ(client.right - client.left, 520);
    EXPECT_EQ(client.bottom - client.top, 330);
    EXPECT_EQ(::GetClassLongPtrW(window, GCLP_HBRBACKGROUND), COLOR_WINDOW + 1);
    EXPECT_EQ(::GetClassLongW(window, GCL_STYLE), 0u);
}

TEST_F(LauncherWindowTest, ElevenControlsInCreationOrderWithTheirLayoutAndFonts) {
    ASSERT_NE(Create(), nullptr);
    std::vector<HWND> children;
    for (HWND c = ::GetWindow(window, GW_CHILD); c; c = ::GetWindow(c, GW_HWNDNEXT))
        children.push_back(c);
    ASSERT_EQ(children.size(), std::size(Layout));
    for (size_t i = 0; i < children.size(); ++i) {
        SCOPED_TRACE("control " + std::to_string(i + 1));
        const ExpectedControl& want = Layout[i];
        HWND c = children[i];
        wchar_t className[64] = {};
        ::GetClassNameW(c, className, 64);
        EXPECT_EQ(_wcsicmp(className, want.className), 0) << Narrow(className);
        EXPECT_EQ(WindowText(c), want.text);
        // Start Game is disabled in WM_CREATE; the rest of its style word is as created.
        EXPECT_EQ(::GetWindowLongW(c, GWL_STYLE) & ~WS_DISABLED, want.style);
        EXPECT_EQ(::GetWindowLongW(c, GWL_EXSTYLE), 0);
        EXPECT_EQ(::GetDlgCtrlID(c), want.id);
        RECT r{};
        ::GetWindowRect(c, &r);
        ::MapWindowPoints(nullptr, window, reinterpret_cast<POINT*>(&r), 2);
        EXPECT_EQ(r.left, want.rect.left);
        EXPECT_EQ(r.top, want.rect.top);
        EXPECT_EQ(r.right, want.rect.right);
        EXPECT_EQ(r.bottom, want.rect.bottom);
        HFONT font = reinterpret_cast<HFONT>(::SendMessageW(c, WM_GETFONT, 0, 0));
        LOGFONTW lf{};
        ASSERT_EQ(::GetObjectW(font, sizeof lf, &lf), static_cast<int>(sizeof lf));
        EXPECT_STREQ(lf.lfFaceName, L"Segoe UI");
        EXPECT_EQ(lf.lfHeight, want.fontHeight);
        EXPECT_EQ(lf.lfWeight, want.fontWeight);
        EXPECT_EQ(lf.lfCharSet, DEFAULT_CHARSET);
        EXPECT_EQ(lf.lfQuality, CLEARTYPE_QUALITY);
        EXPECT_FALSE(lf.lfItalic || lf.lfUnderline || lf.lfStrikeOut);
    }
    EXPECT_EQ(launcherState.serverStatusLabel, children[3]);
    EXPECT_EQ(launcherState.updateStatusLabel, children[5]);
    EXPECT_EQ(launcherState.startGameButton, children[6]);
}

TEST_F(LauncherWindowTest, CreationStartsOneProbeAndDisablesStartGame) {
    ASSERT_NE(Create(), nullptr);
    EXPECT_EQ(probeStarts.load(), 1);
    EXPECT_FALSE(StartGameEnabled());
    EXPECT_EQ(ServerLabel(), L"Checking...");
    EXPECT_EQ(UpdateLabel(), L"Checking securely...");
}

TEST_F(LauncherWindowTest, ColourQueryPaintsByServerState) {
    ASSERT_NE(Create(), nullptr);
    const COLORREF dark = RGB(42, 32, 39);
    const struct {
        int32_t state;
        COLORREF serverLabel;
    } rows[] = {
        {Reachable, RGB(25, 125, 62)},
        {Offline, RGB(180, 35, 35)},
        {Checking, RGB(95, 95, 95)},
        {7, RGB(95, 95, 95)},  // any other stored value reads as Checking
    };
    HWND title = ::GetWindow(window, GW_CHILD);
    HDC dc = ::GetDC(window);
    for (const auto& row : rows) {
        SCOPED_TRACE(row.state);
        launcherState.serverState = row.state;
        for (HWND control :
             {launcherState.serverStatusLabel, launcherState.updateStatusLabel, title}) {
            ::SetTextColor(dc, RGB(1, 2, 3));
            ::SetBkColor(dc, RGB(1, 2, 3));
            const LRESULT brush =
                ::SendMessageW(window, WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc),
                               reinterpret_cast<LPARAM>(control));
            EXPECT_EQ(brush, reinterpret_cast<LRESULT>(launcherState.backgroundBrush.get()));
            EXPECT_EQ(::GetBkColor(dc), RGB(250, 246, 249));
            EXPECT_EQ(::GetTextColor(dc),
                      control == launcherState.serverStatusLabel ? row.serverLabel : dark);
        }
    }
    ::ReleaseDC(window, dc);
    LOGBRUSH lb{};
    ASSERT_NE(::GetObjectW(launcherState.backgroundBrush.get(), sizeof lb, &lb), 0);
    EXPECT_EQ(lb.lbStyle, static_cast<UINT>(BS_SOLID));
    EXPECT_EQ(lb.lbColor, RGB(250, 246, 249));
}

// One event of the window's life and what the player sees after it.
enum class Event { Reachable, Offline, OtherReachable, UpdateOk, UpdateFails, Tick };
struct Step {
    Event event;
    bool enabled;
    const wchar_t* serverLabel;
};
struct Scenario {
    const char* name;
    std::vector<Step> steps;
};

TEST_F(LauncherWindowTest, StartGameIsEnabledOnlyWhileUpdatedAndReachable) {
    const std::vector<Scenario> scenarios = {
        {"probe first", {{Event::Reachable, false, L"Ready"}, {Event::UpdateOk, true, L"Ready"}}},
        {"update first",
         {{Event::UpdateOk, false, L"Checking..."}, {Event::Reachable, true, L"Ready"}}},
        {"update fails",
         {{Event::Reachable, false, L"Ready"},
          {Event::UpdateFails, false, L"Ready"},
          {Event::Tick, false, L"Checking..."},
          {Event::Reachable, false, L"Ready"}}},
        {"offline then reachable",
         {{Event::UpdateOk, false, L"Checking..."},
          {Event::Offline, false, L"Server Offline"},
          {Event::Tick, false, L"Checking..."},
          {Event::Reachable, true, L"Ready"}}},
        {"re-probe",
         {{Event::Reachable, false, L"Ready"},
          {Event::UpdateOk, true, L"Ready"},
          {Event::Tick, false, L"Checking..."},
          {Event::OtherReachable, true, L"Ready"},
          {Event::Tick, false, L"Checking..."},
          {Event::Offline, false, L"Server Offline"}}},
    };
    for (const Scenario& scenario : scenarios) {
        SCOPED_TRACE(scenario.name);
        TearDown();
        SetUp();
        MessageBoxCloser closer;
        ASSERT_NE(Create(), nullptr);
        int ticks = 0;
        for (const Step& step : scenario.steps) {
            switch (step.event) {
                case Event::Reachable:
                    PostServerStatus(1);
                    break;
                case Event::OtherReachable:
                    PostServerStatus(0x7fff);
                    break;
                case Event::Offline:
                    PostServerStatus(0);
                    break;
                case Event::UpdateOk:
                    FinishUpdate(true, L"Up to date");
                    break;
                case Event::UpdateFails:
                    FinishUpdate(false, L"The Vantor update manifest is invalid.");
                    break;
                case Event::Tick:
                    Tick();
                    ++ticks;
                    break;
            }
            EXPECT_EQ(StartGameEnabled(), step.enabled);
            EXPECT_EQ(ServerLabel(), step.serverLabel);
        }
        EXPECT_EQ(probeStarts.load(), 1 + ticks);
    }
}

TEST_F(LauncherWindowTest, FailedUpdateShowsItsTextInTheLabelAndAnOwnedErrorBox) {
    MessageBoxCloser closer;
    ASSERT_NE(Create(), nullptr);
    PostServerStatus(1);
    const std::wstring text = L"Unable to securely check for updates.\nWinHTTP error 12029";
    FinishUpdate(false, text);
    ASSERT_TRUE(PumpUntil([&] { return !closer.seen().empty(); }, std::chrono::seconds(5)));
    const auto boxes = closer.seen();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].caption, L"Vantor Launcher");
    EXPECT_EQ(boxes[0].text, text);
    EXPECT_TRUE(boxes[0].owned);
    EXPECT_EQ(UpdateLabel(), text);
    EXPECT_FALSE(StartGameEnabled());
}

TEST_F(LauncherWindowTest, UpdateResultsNotHandedOverByTheWorkerChangeNothing) {
    MessageBoxCloser closer;
    ASSERT_NE(Create(), nullptr);
    PostServerStatus(1);
    // Anyone on the desktop can post this message; applying or freeing a record that is not the
    // worker's would crash the launcher or show a forged text.
    UpdateResult foreign{true, true, L"forged"};
    const LPARAM forged[] = {0, 0x1234, reinterpret_cast<LPARAM>(&foreign)};
    for (const LPARAM lParam : forged) {
        SCOPED_TRACE(lParam);
        ::PostMessageW(window, WM_APP_UPDATE_RESULT, 0, lParam);
        Settle();
        EXPECT_EQ(UpdateLabel(), L"Checking securely...");
        EXPECT_FALSE(StartGameEnabled());
        EXPECT_EQ(launcherState.updateSucceeded.load(), 0);
    }
    EXPECT_EQ(foreign.message, L"forged");

    // The real result still applies, once: a repeat of its message is stale.
    const std::wstring text = L"The Vantor update manifest is invalid.";
    FinishUpdate(false, text);
    ASSERT_TRUE(PumpUntil([&] { return closer.seen().size() == 1; }, std::chrono::seconds(5)));
    ::PostMessageW(window, WM_APP_UPDATE_RESULT, 0, reinterpret_cast<LPARAM>(workerRecord.load()));
    PumpFor(std::chrono::milliseconds(300));
    EXPECT_EQ(closer.seen().size(), 1u);
    EXPECT_EQ(UpdateLabel(), text);
}

// Any program can post the command, also while the button is disabled: only a plain click
// counts, and only while the update has succeeded, the server is reachable and no box of the
// launcher (which disables the window) is open.
TEST_F(LauncherWindowTest, StartGameRunsOnlyForAPlainClickWhileItsButtonWouldBeEnabled) {
    ASSERT_NE(Create(), nullptr);
    const struct {
        int32_t updateSucceeded;
        int32_t serverState;
        WORD code;
        int calls;
        bool windowEnabled = true;
    } rows[] = {
        {1, Reachable, BN_CLICKED, 1},        {1, Reachable, BN_DOUBLECLICKED, 0},
        {1, Reachable, BN_SETFOCUS, 0},       {1, Reachable, 0xFFFF, 0},
        {0, Reachable, BN_CLICKED, 0},  // the update still runs, or failed
        {1, Checking, BN_CLICKED, 0},         {1, Offline, BN_CLICKED, 0},
        {1, Reachable, BN_CLICKED, 0, false},  // a web page's error box is open
    };
    for (const auto& row : rows) {
        startGameCalls = 0;
        launcherState.updateSucceeded = row.updateSucceeded;
        launcherState.serverState = row.serverState;
        ::EnableWindow(window, row.windowEnabled);
        ::PostMessageW(window, WM_COMMAND, MAKEWPARAM(IDC_START_GAME, row.code), 0);
        Settle();
        EXPECT_EQ(startGameCalls.load(), row.calls)
            << row.updateSucceeded << " " << row.serverState << " " << row.code;
    }
}

// Start Game's error box dispatches the window's posted messages: a command posted meanwhile
// must neither run Start Game again nor stack a second box, and the next one runs again.
TEST_F(LauncherWindowTest, StartGameDoesNotRunAgainFromInsideItsOwnBox) {
    MessageBoxCloser closer;
    ASSERT_NE(Create(), nullptr);
    PostServerStatus(1);
    FinishUpdate(true, L"Up to date");
    startGameShowsBox = true;
    for (int click = 1; click <= 2; ++click) {
        ::PostMessageW(window, WM_COMMAND, MAKEWPARAM(IDC_START_GAME, BN_CLICKED), 0);
        PumpFor(std::chrono::milliseconds(300));
        EXPECT_EQ(startGameCalls.load(), click);
        EXPECT_EQ(closer.seen().size(), 1u);
    }
}

TEST_F(LauncherWindowTest, WebButtonsOpenTheirAddressesWhateverTheNotification) {
    ASSERT_NE(Create(), nullptr);
    const std::wstring base = WebsiteBase;
    const struct {
        int id;
        WORD code;
        std::wstring address;
    } rows[] = {
        {IDC_WEBSITE, BN_CLICKED, base},
        {IDC_REGISTER, BN_CLICKED, base + L"/register"},
        {IDC_FORGOT_PASSWORD, BN_DOUBLECLICKED, base + L"/forgot-password"},
        {IDC_DOWNLOAD, 7, base + L"/download"},
    };
    for (const auto& row : rows) {
        openedAddresses.clear();
        ::SendMessageW(window, WM_COMMAND, MAKEWPARAM(row.id, row.code), 0);
        ASSERT_EQ(openedAddresses.size(), 1u);
        EXPECT_EQ(openedAddresses[0], row.address);
    }
    EXPECT_NE(base.back(), L'/');
    openedAddresses.clear();
    for (int id : {IDC_SERVER_STATUS, IDC_UPDATE_STATUS, 999}) {
        ::SendMessageW(window, WM_COMMAND, MAKEWPARAM(id, 0), 0);
    }
    EXPECT_TRUE(openedAddresses.empty());
    EXPECT_EQ(startGameCalls.load(), 0);
}

TEST_F(LauncherWindowTest, AWebPageThatCannotOpenShowsTheBrowserError) {
    MessageBoxCloser closer;
    ASSERT_NE(Create(), nullptr);
    for (INT_PTR result : {INT_PTR{0}, INT_PTR{2}, INT_PTR{32}}) {
        openResult = result;
        ::SendMessageW(window, WM_COMMAND, MAKEWPARAM(IDC_REGISTER, 0), 0);
    }
    openResult = 33;
    ::SendMessageW(window, WM_COMMAND, MAKEWPARAM(IDC_REGISTER, 0), 0);
    PumpFor(std::chrono::milliseconds(200));
    const auto boxes = closer.seen();
    ASSERT_EQ(boxes.size(), 3u);
    for (const auto& box : boxes) {
        EXPECT_EQ(box.text, L"Unable to open the website in your default browser.");
        EXPECT_EQ(box.caption, L"Vantor Launcher");
    }
}

TEST_F(LauncherWindowTest, UpdateWorkerThatCannotStartIsReported) {
    MessageBoxCloser closer;
    threadFails = true;
    ASSERT_NE(Create(), nullptr);
    ASSERT_TRUE(PumpUntil([&] { return !closer.seen().empty(); }, std::chrono::seconds(5)));
    EXPECT_EQ(closer.seen()[0].text, L"Unable to start the secure Vantor update check.");
    EXPECT_EQ(UpdateLabel(), L"Update check failed");
    PostServerStatus(1);
    EXPECT_FALSE(StartGameEnabled());
}

TEST_F(LauncherWindowTest, OtherTimersDoNotProbe) {
    ASSERT_NE(Create(), nullptr);
    ::SendMessageW(window, WM_TIMER, 2, 0);
    ::SendMessageW(window, WM_TIMER, 0, 0);
    EXPECT_EQ(probeStarts.load(), 1);
    ::SendMessageW(window, WM_TIMER, ProbeTimerId, 0);
    EXPECT_EQ(probeStarts.load(), 2);
}

TEST_F(LauncherWindowTest, DestroyReleasesFontsBrushAndProcessAndQuits) {
    ASSERT_NE(Create(), nullptr);
    const HGDIOBJ objects[] = {launcherState.titleFont.get(), launcherState.bodyFont.get(),
                               launcherState.backgroundBrush.get()};
    // Any kernel handle stands in for the client's process: an unshared file shows when it is
    // closed.
    TempDir dir;
    const std::wstring path = dir / L"held";
    ASSERT_TRUE(WriteBytes(path, "x"));
    launcherState.gameProcess.reset(::CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr,
                                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(launcherState.gameProcess);
    EXPECT_FALSE(ReadBytes(path).has_value());
    for (HGDIOBJ object : objects) EXPECT_NE(::GetObjectType(object), 0u);

    ::PostMessageW(window, WM_APP_GAME_EXITED, 0, 0);
    bool quit = false;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!quit && std::chrono::steady_clock::now() < end) {
        MSG m;
        while (::PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) {
            if (m.message == WM_QUIT) {
                quit = m.wParam == 0;
                break;
            }
            ::DispatchMessageW(&m);
        }
        ::Sleep(5);
    }
    EXPECT_TRUE(quit);
    EXPECT_FALSE(::IsWindow(window));
    for (HGDIOBJ object : objects) EXPECT_EQ(::GetObjectType(object), 0u);
    EXPECT_FALSE(launcherState.titleFont || launcherState.bodyFont ||
                 launcherState.backgroundBrush);
    EXPECT_FALSE(launcherState.gameProcess);
    EXPECT_TRUE(ReadBytes(path).has_value());
}

TEST(CentredPosition, TruncatesTowardZeroAndAllowsNegativeOffsets) {
    const struct {
        int screenW, screenH, w, h;
        LONG x, y;
    } rows[] = {
        {1920, 1080, 536, 369, 692, 355},
        {800, 600, 1000, 700, -100, -50},
        {100, 100, 103, 103, -1, -1},
        {536, 369, 536, 369, 0, 0},
    };
    for (const auto& r : rows) {
        const POINT at = CentredPosition(r.screenW, r.screenH, r.w, r.h);
        EXPECT_EQ(at.x, r.x);
        EXPECT_EQ(at.y, r.y);
    }
}

}  // namespace
