// Runs the built VANTOR.exe as a player would and reads what it shows.
#include "tests/harness/test_support.h"

#include <gtest/gtest.h>

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

}  // namespace
