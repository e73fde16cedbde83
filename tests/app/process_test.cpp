// Runs the built VANTOR.exe as a player would and reads what it shows.
#include "app/launcher.h"
#include "tests/update/update_test_support.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

using namespace std::chrono_literals;

HICON MessageBoxIcon(HWND box) {
    for (HWND child = ::GetWindow(box, GW_CHILD); child; child = ::GetWindow(child, GW_HWNDNEXT)) {
        wchar_t className[64] = {};
        ::GetClassNameW(child, className, 64);
        if (_wcsicmp(className, L"Static") == 0 &&
            (::GetWindowLongW(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON) {
            return reinterpret_cast<HICON>(::SendMessageW(child, STM_GETICON, 0, 0));
        }
    }
    return nullptr;
}

class LauncherProcessTest : public ::testing::Test {
protected:
    void SetUp() override {
        exe = dir / L"VANTOR.exe";
        ASSERT_TRUE(CopyInto(BuildPath(L"VANTOR.exe"), exe));
    }

    // Starts a launcher and waits for its main window.
    HWND StartLauncher(ChildProcess& child) {
        EXPECT_TRUE(child.Start(exe, L"", dir.path()));
        return WaitForProcessWindow(child.id, L"VANTORLauncherWindow", 20s);
    }

    // Closes the launcher the way a player does, after dismissing any box it shows.
    void CloseLauncher(ChildProcess& child, HWND window) {
        while (WaitForMessageBox(child.id, 300ms)) {
        }
        ::PostMessageW(window, WM_CLOSE, 0, 0);
        const auto code = child.Wait(20s);
        ASSERT_TRUE(code.has_value());
        EXPECT_EQ(*code, 0u);
    }

    TempDir dir;
    std::wstring exe;
};

TEST_F(LauncherProcessTest, ASecondStartShowsTheNoticeAndExitsZeroWhileTheFirstStays) {
    ChildProcess first;
    HWND window = StartLauncher(first);
    ASSERT_NE(window, nullptr);

    ChildProcess second;
    ASSERT_TRUE(second.Start(exe, L"", dir.path()));
    const auto notice = WaitForMessageBox(second.id, 20s, false);
    ASSERT_TRUE(notice.has_value());
    EXPECT_EQ(notice->caption, L"Vantor Launcher");
    EXPECT_EQ(notice->text, L"Vantor is already running.");
    EXPECT_FALSE(notice->owned);
    // Which system icon the box shows cannot be told apart here: Wine's message box draws its own
    // copy of the system icons at another size, so neither handles nor pixels match LoadIconW's.
    EXPECT_NE(MessageBoxIcon(notice->box), nullptr);
    EXPECT_TRUE(ProcessWindows(second.id, L"VANTORLauncherWindow").empty());
    ::PostMessageW(notice->box, WM_COMMAND, IDOK, 0);
    const auto code = second.Wait(20s);
    ASSERT_TRUE(code.has_value());
    EXPECT_EQ(*code, 0u);

    EXPECT_FALSE(first.Wait(0ms).has_value());
    CloseLauncher(first, window);
}

TEST_F(LauncherProcessTest, ANameHeldWithRightsThePlayerLacksCountsAsARunningLauncher) {
    // An empty access list grants nothing, as a launcher started "as administrator" looks to a
    // normal start: CreateMutexW then fails with ERROR_ACCESS_DENIED instead of opening it.
    ACL acl{};
    ASSERT_TRUE(::InitializeAcl(&acl, sizeof(acl), ACL_REVISION));
    SECURITY_DESCRIPTOR descriptor{};
    ASSERT_TRUE(::InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION));
    ASSERT_TRUE(::SetSecurityDescriptorDacl(&descriptor, TRUE, &acl, FALSE));
    SECURITY_ATTRIBUTES attributes{sizeof(attributes), &descriptor, FALSE};
    unique_handle held(::CreateMutexW(&attributes, TRUE, L"Local\\VANTORFinalLauncher"));
    ASSERT_TRUE(held);

    ChildProcess second;
    ASSERT_TRUE(second.Start(exe, L"", dir.path()));
    const auto notice = WaitForMessageBox(second.id, 20s, false);
    ASSERT_TRUE(notice.has_value());
    EXPECT_EQ(notice->text, L"Vantor is already running.");
    EXPECT_FALSE(notice->owned);
    EXPECT_TRUE(ProcessWindows(second.id, L"VANTORLauncherWindow").empty());
    ::PostMessageW(notice->box, WM_COMMAND, IDOK, 0);
    const auto code = second.Wait(20s);
    ASSERT_TRUE(code.has_value());
    EXPECT_EQ(*code, 0u);
}

TEST_F(LauncherProcessTest, TwentyQuickStartsBesideARunningLauncherAllShowTheNoticeAndExitZero) {
    ChildProcess first;
    HWND window = StartLauncher(first);
    ASSERT_NE(window, nullptr);
    std::vector<ChildProcess> others(20);
    for (auto& other : others) ASSERT_TRUE(other.Start(exe, L"", dir.path()));
    int notices = 0;
    for (auto& other : others) {
        const auto notice = WaitForMessageBox(other.id, 30s);
        if (notice && notice->text == L"Vantor is already running." && !notice->owned) ++notices;
        const auto code = other.Wait(30s);
        ASSERT_TRUE(code.has_value());
        EXPECT_EQ(*code, 0u);
        EXPECT_TRUE(ProcessWindows(other.id, L"VANTORLauncherWindow").empty());
    }
    EXPECT_EQ(notices, 20);
    EXPECT_FALSE(first.Wait(0ms).has_value());
    CloseLauncher(first, window);

    ChildProcess next;
    HWND nextWindow = StartLauncher(next);
    ASSERT_NE(nextWindow, nullptr);
    CloseLauncher(next, nextWindow);
}

TEST_F(LauncherProcessTest, AfterTheFirstHasExitedTheNextStartRuns) {
    for (int run = 0; run < 2; ++run) {
        SCOPED_TRACE(run);
        ChildProcess launcher;
        HWND window = StartLauncher(launcher);
        ASSERT_NE(window, nullptr);
        EXPECT_TRUE(PumpUntil([&] { return ::IsWindowVisible(window) != FALSE; }, 10s));
        EXPECT_EQ(WindowText(window), L"Vantor Launcher");
        CloseLauncher(launcher, window);
    }
}

// ---- against the test update host ----

const std::vector<ListedFile> release = {
    {"Data\\prontera.gat", "/patch/files/prontera.gat", "new prontera map"},
    {"Data\\prontera.gnd", "/patch/files/prontera.gnd", "new prontera ground"},
    {"System\\itemInfo.lub", "/patch/files/itemInfo.lub", "new system items"},
};

class LauncherUpdateProcessTest : public LauncherProcessTest {
protected:
    void SetUp() override {
        LauncherProcessTest::SetUp();
        ResetHost();
        ServeRelease(release);
    }

    // The update label once the check has ended, or what it showed when it did not.
    std::wstring SettledUpdateText(HWND window) {
        std::wstring text;
        PumpUntil(
            [&] {
                // The window is found while WM_CREATE still makes its controls.
                text = WindowText(::GetDlgItem(window, IDC_UPDATE_STATUS));
                return !text.empty() && text != L"Checking securely...";
            },
            30s);
        return text;
    }
};

// The probe's Winsock cleanup once ended the sockets of the update's download beside it: about
// one start in eight failed its check with WinHTTP error 12157.
TEST_F(LauncherUpdateProcessTest, ThirtyStartsAllCheckTheUpdate) {
    for (const ListedFile& file : release) {
        ASSERT_TRUE(WriteBytes(dir / Widen(file.relativePath), file.release));
    }
    for (int start = 0; start < 30; ++start) {
        SCOPED_TRACE(start);
        ChildProcess launcher;
        HWND window = StartLauncher(launcher);
        ASSERT_NE(window, nullptr);
        EXPECT_EQ(SettledUpdateText(window), L"Up to date");
        CloseLauncher(launcher, window);
    }
}

bool Exists(const std::wstring& path) {
    return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Closed while installed files are replaced, the launcher hides and ends once the install has:
// with scanners holding the last two targets its moves go on for longer than the 2 s that Wine
// keeps a closing window waiting, which would otherwise end a mixed installation.
TEST_F(LauncherUpdateProcessTest, ACloseDuringTheInstallEndsOnceTheInstallHas) {
    TreeSnapshot old;
    for (const ListedFile& file : release) {
        old[Widen(file.relativePath)] = "old " + file.relativePath;
        ASSERT_TRUE(WriteBytes(dir / Widen(file.relativePath), old[Widen(file.relativePath)]));
    }
    const TreeSnapshot before = SnapshotTree(dir.path());
    const auto glance = [&](const std::string& relative) {
        // Read and write shared, delete not: the file cannot be moved meanwhile.
        return unique_file(::CreateFileW((dir / Widen(relative)).c_str(), GENERIC_READ,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                         FILE_ATTRIBUTE_NORMAL, nullptr));
    };
    unique_file second = glance(release[1].relativePath);
    unique_file third = glance(release[2].relativePath);
    ASSERT_TRUE(second.valid() && third.valid());

    ChildProcess launcher;
    HWND window = StartLauncher(launcher);
    ASSERT_NE(window, nullptr);
    // The first file moved aside: the install phase has begun.
    const std::wstring firstBackup = dir / (Widen(release[0].relativePath) + L".vantor-backup");
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (!Exists(firstBackup) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(1ms);
    }
    ASSERT_TRUE(Exists(firstBackup));
    ::PostMessageW(window, WM_CLOSE, 0, 0);
    std::this_thread::sleep_for(1s);
    second.reset();
    std::this_thread::sleep_for(1500ms);
    third.reset();
    const auto code = launcher.Wait(30s);
    ASSERT_TRUE(code.has_value());
    EXPECT_EQ(*code, 0u);

    TreeSnapshot released = before;
    for (const ListedFile& file : release) released[Widen(file.relativePath)] = file.release;
    const TreeSnapshot after = SnapshotTree(dir.path());
    EXPECT_TRUE(after == released || after == before) << "a mixed installation was left";
}

}  // namespace
