#include "tests/app/window_fixture.h"
#include "tests/update/update_test_support.h"

#include <mutex>

namespace {

// What the taskbar button was told, in order: "create", "release", a state, "done/total",
// "flash"; a call for another window says so, and so does a call to the object on the window
// thread (which must never wait for the shell) or a flash off it.
std::mutex callsLock;
std::vector<std::string> calls;
bool objectMissing = false;
HRESULT answer = S_OK;
HWND front = nullptr;
DWORD windowThread = 0;

void Record(HWND window, std::string call, bool objectCall = true) {
    if (window != launcherState.mainWindow ||
        (::GetCurrentThreadId() == windowThread) == objectCall) {
        call += " elsewhere";
    }
    const std::lock_guard<std::mutex> hold(callsLock);
    calls.push_back(call);
}

// The calls made so far, taken out of the record once the button's thread has made them all.
std::vector<std::string> TakeCalls() {
    SettleTaskbarButton();
    const std::lock_guard<std::mutex> hold(callsLock);
    return std::exchange(calls, {});
}

std::string LastCall() {
    const std::lock_guard<std::mutex> hold(callsLock);
    return calls.empty() ? "" : calls.back();
}

void UseFakeTaskbar() {
    calls.clear();
    objectMissing = false;
    answer = S_OK;
    front = nullptr;
    windowThread = ::GetCurrentThreadId();
    taskbarSeams = {
        [] {
            Record(launcherState.mainWindow, "create");
            static char object;  // never called through: every call goes through the seams
            return objectMissing ? nullptr : reinterpret_cast<ITaskbarList3*>(&object);
        },
        [](ITaskbarList3*) { Record(launcherState.mainWindow, "release"); },
        [](ITaskbarList3*, HWND window, TBPFLAG state) {
            Record(window, state == TBPF_INDETERMINATE ? "indeterminate"
                           : state == TBPF_NORMAL      ? "normal"
                           : state == TBPF_ERROR       ? "error"
                           : state == TBPF_NOPROGRESS  ? "none"
                                                       : "other state");
            return answer;
        },
        [](ITaskbarList3*, HWND window, ULONGLONG done, ULONGLONG total) {
            Record(window, std::to_string(done) + "/" + std::to_string(total));
            return answer;
        },
        [](PFLASHWINFO info) {
            const bool meant = info->cbSize == sizeof(FLASHWINFO) && info->uCount == 0 &&
                               info->dwFlags == (FLASHW_TRAY | FLASHW_TIMERNOFG);
            // The object's calls asked for before the flash are made on a thread of their
            // own: they are in the record before it.
            SettleTaskbarButton();
            Record(info->hwnd, meant ? "flash" : "other flash", false);
            return TRUE;
        },
        [] { return front; }};
}

// The calls in one line. How far staging has come at each post depends on the download's speed:
// given intermediate, values strictly between nothing and all must rise, and are counted and
// left out.
std::string Joined(const std::vector<std::string>& all, long long* intermediate = nullptr) {
    std::string kept;
    unsigned long long done = 0, total = 0, last = 0;
    for (const std::string& call : all) {
        if (intermediate && std::sscanf(call.c_str(), "%llu/%llu", &done, &total) == 2 &&
            done > 0 && done < total) {
            EXPECT_GE(done, last) << call;
            last = done;
            ++*intermediate;
        } else {
            kept += (kept.empty() ? "" : " ") + call;
        }
    }
    return kept;
}

TEST_F(LauncherWindowTest, TheTaskbarButtonFollowsTheUpdateRunAndItsPostsStayAboutTenASecond) {
    enum Setup { Current = 1, OtherKey = 2, InFront = 4, NoObject = 8, CallsFail = 16 };
    const struct {
        const char* name;
        size_t bytes;
        int setup;
        std::wstring label;
        std::string calls;
    } rows[] = {
        {"up to date", 100, Current, L"Up to date", "create indeterminate flash none release"},
        {"updates 16 MiB fast", 16 << 20, 0, L"Updated to 1.2.2",
         "create indeterminate normal 0/16777216 16777216/16777216 flash none release"},
        {"in front: no flash", 100, Current | InFront, L"Up to date",
         "create indeterminate none release"},
        {"fails", 100, OtherKey, L"The Vantor update manifest signature is invalid.",
         "create indeterminate flash error 1/1 none release"},
        {"no taskbar object", 100, NoObject, L"Updated to 1.2.2", "create flash"},
        {"every call fails", 100, CallsFail, L"Updated to 1.2.2",
         "create indeterminate normal 0/100 100/100 flash none release"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        TearDown();
        SetUp();
        UseFakeTaskbar();
        ResetHost();
        TempDir install;
        ScopedInstallDirectory useInstall(install.path());
        const ListedFile file{"Data\\prontera.gat", "/patch/files/prontera.gat",
                              Bytes(row.bytes, 'p')};
        ServeRelease({file});
        if (row.setup & OtherKey) PublishManifest(ManifestOf({file}), "other");
        ASSERT_TRUE(!(row.setup & Current) ||
                    WriteBytes(install / Widen(file.relativePath), file.release));
        objectMissing = row.setup & NoObject;
        answer = row.setup & CallsFail ? E_FAIL : S_OK;
        launcherServices.runUpdate = &RunUpdate;
        MessageBoxCloser closer;
        const auto start = std::chrono::steady_clock::now();
        ASSERT_NE(Create(), nullptr);
        if (row.setup & InFront) front = window;
        ASSERT_TRUE(
            PumpUntil([&] { return UpdateLabel() == row.label; }, std::chrono::seconds(60)));
        const auto elapsed = std::chrono::steady_clock::now() - start;
        PumpUntil([&] { return objectMissing || LastCall() == "none"; }, std::chrono::seconds(5));
        ::DestroyWindow(window);  // waits for the button's thread to end
        long long intermediate = 0;
        EXPECT_EQ(Joined(TakeCalls(), &intermediate), row.calls);
        // A new phase is posted at once, bytes at most every 100 ms.
        EXPECT_LE(intermediate, 1 + elapsed / std::chrono::milliseconds(100));
    }
}

TEST_F(LauncherWindowTest, ProgressPostsCountOnlyForTheRunningUpdateAndWithinTheirTotal) {
    UseFakeTaskbar();
    MessageBoxCloser closer;
    ASSERT_NE(Create(), nullptr);
    const struct {
        UINT message;
        WPARAM phase;
        LPARAM bytes;
        std::string calls;
    } rows[] = {
        {WM_APP_UPDATE_PROGRESS, 0, 0, "create indeterminate"},
        {WM_APP_UPDATE_PROGRESS, 3, PackProgressBytes(1, 2), ""},  // no such phase
        {WM_APP_UPDATE_PROGRESS, 1, PackProgressBytes(7, 5), ""},  // more done than there is
        {WM_APP_UPDATE_PROGRESS, 1, PackProgressBytes(3ull << 40, 4ull << 40),
         "normal 1610612736/2147483648"},
        {WM_APP_UPDATE_PROGRESS, 1, PackProgressBytes(0, 0), "0/1"},
        {WM_APP_UPDATE_PROGRESS, 2, PackProgressBytes(0, 0), "1/1"},
        {WM_APP_UPDATE_PROGRESS, 1, PackProgressBytes(40, 100), "40/100"},
        {WM_APP_UPDATE_PROGRESS, 1, PackProgressBytes(40, 100), ""},
        // Explorer restarted: a new object, shown the bar again.
        {TaskbarButtonCreatedMessage(), 0, 0, "create release normal 40/100"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.calls);
        ::PostMessageW(window, row.message, row.phase, row.bytes);
        Settle();
        EXPECT_EQ(Joined(TakeCalls()), row.calls);
    }
    // Red where the bar stood while the box is open; progress after the run counts for nothing.
    FinishUpdate(false, L"A downloaded update failed its SHA-256 check.");
    ASSERT_TRUE(PumpUntil([&] { return closer.seen().size() == 1; }, std::chrono::seconds(5)));
    ::PostMessageW(window, WM_APP_UPDATE_PROGRESS, 0, 0);
    Settle();
    EXPECT_EQ(Joined(TakeCalls()), "flash error 40/100 none");
}

// Under Wine the shell's taskbar object is a stub that answers every call with success.
TEST_F(LauncherWindowTest, TheShellsTaskbarObjectIsMadeAndCalledWithoutHarm) {
    static TaskbarSeams real;
    static std::vector<HRESULT> answers;
    real = taskbarSeams;
    answers.clear();
    taskbarSeams.setState = [](ITaskbarList3* object, HWND w, TBPFLAG state) {
        return answers.emplace_back(real.setState(object, w, state));
    };
    taskbarSeams.setValue = [](ITaskbarList3* object, HWND w, ULONGLONG done, ULONGLONG total) {
        return answers.emplace_back(real.setValue(object, w, done, total));
    };
    ASSERT_NE(Create(), nullptr);
    ::PostMessageW(window, WM_APP_UPDATE_PROGRESS, 1, PackProgressBytes(5, 10));
    ::PostMessageW(window, TaskbarButtonCreatedMessage(), 0, 0);
    FinishUpdate(true, L"Up to date");
    SettleTaskbarButton();
    // Normal and 5/10, again for the new button, then none: each call reached an object.
    EXPECT_EQ(answers, std::vector<HRESULT>(5, S_OK));
}

}  // namespace
