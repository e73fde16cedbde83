#include "tests/launch/launch_fixture.h"

#include <shellapi.h>

#include <functional>

namespace {

using namespace std::chrono_literals;

const wchar_t Missing[] = L"Required Vantor client files are missing. Please reinstall Vantor.";
const wchar_t Invalid[] = L"The Vantor server configuration is invalid. Please reinstall Vantor.";
const wchar_t Integrity[] =
    L"The Vantor game client failed its integrity check. Please reinstall Vantor.";

std::wstring ClientPath(const std::wstring& dir) {
    return dir + L"\\" + ClientExecutableName;
}
std::wstring ConfigPath(const std::wstring& dir) {
    return dir + L"\\Data\\clientinfo.xml";
}

struct CheckCase {
    const char* name;
    std::function<void(const std::wstring& dir, unique_file& holder)> arrange;
    const wchar_t* message;
};

TEST_F(StartGameTest, EachFailedCheckShowsItsMessageAndStartsNothing) {
    const CheckCase cases[] = {
        {"server checking", [](auto&, auto&) { SetServerState(Checking); }, L"Server Offline"},
        {"server offline", [](auto&, auto&) { SetServerState(Offline); }, L"Server Offline"},
        {"offline before a missing installation",
         [](auto&, auto&) {
             SetServerState(Offline);
             installDirFails = true;
         },
         L"Server Offline"},
        {"no installation directory", [](auto&, auto&) { installDirFails = true; },
         L"Unable to determine the Vantor installation directory."},
        {"client missing", [](auto& dir, auto&) { ::DeleteFileW(ClientPath(dir).c_str()); },
         Missing},
        {"configuration missing", [](auto& dir, auto&) { ::DeleteFileW(ConfigPath(dir).c_str()); },
         Missing},
        {"client is a directory",
         [](auto& dir, auto&) {
             ::DeleteFileW(ClientPath(dir).c_str());
             ::CreateDirectoryW(ClientPath(dir).c_str(), nullptr);
         },
         Missing},
        {"configuration is a directory",
         [](auto& dir, auto&) {
             ::DeleteFileW(ConfigPath(dir).c_str());
             ::CreateDirectoryW(ConfigPath(dir).c_str(), nullptr);
         },
         Missing},
        {"client missing and configuration invalid",
         [](auto& dir, auto&) {
             ::DeleteFileW(ClientPath(dir).c_str());
             WriteBytes(ConfigPath(dir), "nothing here");
         },
         Missing},
        {"configuration names another server",
         [](auto& dir, auto&) {
             WriteBytes(ConfigPath(dir), "<address>x</address><port>1</port>");
         },
         Invalid},
        {"configuration empty", [](auto& dir, auto&) { WriteBytes(ConfigPath(dir), ""); }, Invalid},
        {"configuration invalid and client altered",
         [](auto& dir, auto&) {
             WriteBytes(ConfigPath(dir), "x");
             WriteBytes(ClientPath(dir), "MZ");
         },
         Invalid},
        {"client differs in one byte",
         [](auto& dir, auto&) {
             Bytes client = ReadBytes(ClientPath(dir)).value();
             client[client.size() / 2] ^= 0x01;
             WriteBytes(ClientPath(dir), client);
         },
         Integrity},
        {"client held open without read sharing",
         [](auto& dir, unique_file& holder) {
             holder.reset(::CreateFileW(ClientPath(dir).c_str(), GENERIC_READ, 0, nullptr,
                                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
             ASSERT_TRUE(holder.valid());
         },
         Integrity},
    };
    Open();
    for (const CheckCase& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        PrepareInstallation(dir.path(), "window");
        installDir = dir.path();
        installDirFails = false;
        SetServerState(Reachable);
        unique_file holder;
        c.arrange(dir.path(), holder);

        std::vector<MessageBoxSeen> seen;
        {
            MessageBoxCloser closer;
            StartGame(window);
            seen = closer.seen();
        }
        ASSERT_EQ(seen.size(), 1u);
        EXPECT_EQ(seen[0].text, c.message);
        EXPECT_EQ(seen[0].caption, L"Vantor Launcher");
        EXPECT_TRUE(seen[0].owned);
        EXPECT_TRUE(::IsWindowVisible(window));
        EXPECT_FALSE(launcherState.gameProcess.valid());
        EXPECT_FALSE(ReadClientRecord(dir.path()).has_value());
    }
}

TEST_F(StartGameTest, StartsTheClientHidesTheLauncherAndEndsWithTheClient) {
    PrepareInstallation(installDir, "window");
    // Attributes other than the directory bit do not make a file missing.
    ASSERT_TRUE(::SetFileAttributesW(ClientPath(installDir).c_str(),
                                     FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN));
    Open();
    MessageBoxCloser closer;
    StartGame(window);
    EXPECT_FALSE(::IsWindowVisible(window));
    ASSERT_TRUE(launcherState.gameProcess.valid());
    EXPECT_EQ(CompatLayerOfThisProcess(), std::nullopt);

    const auto record = WaitForClientRecord(installDir, 10s);
    ASSERT_TRUE(record.has_value());
    EXPECT_EQ(record->at(L"commandline"),
              L"\"" + ClientPath(installDir) + L"\" -1kov1 /account:clientinfo.xml");
    EXPECT_EQ(record->at(L"cwd"), installDir);
    EXPECT_EQ(record->at(L"compat"), L"RunAsInvoker");

    const DWORD client = ::GetProcessId(launcherState.gameProcess.get());
    EXPECT_TRUE(PumpUntil(
        [&] { return ProcessWindowTitles(client) == std::multiset<std::wstring>{L"Vantor"}; },
        10s));
    // Still hidden and waiting while the client runs.
    PumpFor(300ms);
    EXPECT_TRUE(::IsWindow(window));
    EXPECT_FALSE(::IsWindowVisible(window));

    WriteBytes(installDir + L"\\stub-client-quit", "");
    const auto code = PumpUntilQuit(10s);
    EXPECT_FALSE(::IsWindow(window));
    ASSERT_TRUE(code.has_value());
    EXPECT_EQ(*code, 0u);
    EXPECT_FALSE(launcherState.gameProcess.valid());
    EXPECT_TRUE(closer.seen().empty());
}

TEST_F(StartGameTest, CompatibilitySettingIsRestoredAndAClientThatExitsAtOnceEndsTheLauncher) {
    struct Row {
        const char* name;
        const wchar_t* before;  // null = unset
        std::optional<std::wstring> after;
    };
    const Row rows[] = {
        {"unset", nullptr, std::nullopt},
        {"empty", L"", std::nullopt},
        {"a value", L"HighDpiAware DisableThemes", L"HighDpiAware DisableThemes"},
        {"the same value", L"RunAsInvoker", L"RunAsInvoker"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TempDir dir;
        PrepareInstallation(dir.path(), "exit");
        installDir = dir.path();
        Open();
        ::SetEnvironmentVariableW(CompatLayerVariable, row.before);
        StartGame(window);
        EXPECT_EQ(CompatLayerOfThisProcess(), row.after);

        const auto code = PumpUntilQuit(10s);
        ASSERT_TRUE(code.has_value());
        EXPECT_EQ(*code, 0u);
        const auto record = ReadClientRecord(dir.path());
        ASSERT_TRUE(record.has_value());
        EXPECT_EQ(record->at(L"compat"), L"RunAsInvoker");
        ::SetEnvironmentVariableW(CompatLayerVariable, nullptr);
    }
}

TEST_F(StartGameTest, InstallationPathWithBlanksReachesTheClientInOnePiece) {
    installDir = install->path() + L"\\Vantor Game Folder";
    PrepareInstallation(installDir, "exit");
    Open();
    StartGame(window);
    ASSERT_TRUE(PumpUntilQuit(10s).has_value());
    const auto record = ReadClientRecord(installDir);
    ASSERT_TRUE(record.has_value());
    int count = 0;
    unique_local argv(
        reinterpret_cast<HLOCAL>(::CommandLineToArgvW(record->at(L"commandline").c_str(), &count)));
    ASSERT_EQ(count, 3);
    auto* items = static_cast<wchar_t**>(argv.get());
    EXPECT_EQ(std::wstring(items[0]), ClientPath(installDir));
    EXPECT_EQ(std::wstring(items[1]), L"-1kov1");
    EXPECT_EQ(std::wstring(items[2]), L"/account:clientinfo.xml");
    EXPECT_EQ(record->at(L"cwd"), installDir);
}

TEST_F(StartGameTest, ClientThatCannotStartShowsTheErrorAndTheLauncherStays) {
    PrepareInstallation(installDir, "exit");
    const std::wstring bogus = installDir + L"\\not-a-program.exe";
    ASSERT_TRUE(WriteBytes(bogus, "This is a text file, not a program.\r\n"));
    Open();
    ::SetEnvironmentVariableW(CompatLayerVariable, L"Kept");
    std::vector<MessageBoxSeen> seen;
    {
        MessageBoxCloser closer;
        LaunchGameClient(window, installDir, bogus);
        seen = closer.seen();
    }
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].text, L"Unable to start Vantor.\nError 193: " + WindowsErrorText(193));
    EXPECT_EQ(seen[0].caption, L"Vantor Launcher");
    EXPECT_TRUE(seen[0].owned);
    EXPECT_TRUE(::IsWindowVisible(window));
    EXPECT_FALSE(launcherState.gameProcess.valid());
    EXPECT_EQ(CompatLayerOfThisProcess(), L"Kept");

    // The next click runs every check again and starts the real client.
    ::SendMessageW(window, WM_COMMAND, MAKEWPARAM(IDC_START_GAME, BN_CLICKED),
                   reinterpret_cast<LPARAM>(launcherState.startGameButton));
    // A generous wait: the second click hashes the client again, which is slow on a loaded
    // machine. The client writes its record before it exits, so the record is read after the
    // quit: pumping for the record first could swallow the quit of a client that ends at once.
    EXPECT_TRUE(PumpUntilQuit(30s).has_value());
    EXPECT_TRUE(ReadClientRecord(installDir).has_value());
}

TEST_F(StartGameTest, FirstVisibleUnownedClientWindowGetsTheTitle) {
    struct Row {
        const char* mode;
        std::multiset<std::wstring> titles;
    };
    const Row rows[] = {
        {"window", {L"Vantor"}},
        {"owned-first", {L"Vantor", L"Stub Owned"}},
        {"hidden-first", {L"Stub Hidden", L"Vantor"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.mode);
        TempDir dir;
        PrepareInstallation(dir.path(), row.mode);
        installDir = dir.path();
        Open();
        StartGame(window);
        ASSERT_TRUE(launcherState.gameProcess.valid());
        const DWORD client = ::GetProcessId(launcherState.gameProcess.get());
        EXPECT_TRUE(PumpUntil([&] { return ProcessWindowTitles(client) == row.titles; }, 10s));
        EndClient(dir.path());
        EXPECT_TRUE(PumpUntilQuit(10s).has_value());
    }
}

TEST_F(StartGameTest, ClientWithoutAVisibleUnownedWindowKeepsItsTitles) {
    PrepareInstallation(installDir, "owned-only");
    Open();
    StartGame(window);
    ASSERT_TRUE(launcherState.gameProcess.valid());
    const DWORD client = ::GetProcessId(launcherState.gameProcess.get());
    const std::multiset<std::wstring> own{L"Stub Main", L"Stub Owned"};
    ASSERT_TRUE(PumpUntil([&] { return ProcessWindowTitles(client) == own; }, 10s));
    // Several searches of the watcher pass meanwhile.
    PumpFor(1500ms);
    EXPECT_EQ(ProcessWindowTitles(client), own);
}

TEST_F(StartGameTest, WithoutATitleWatcherTheClientKeepsItsTitleAndRuns) {
    PrepareInstallation(installDir, "window");
    failingThreadBody = &ClientTitleWatcher;
    Open();
    StartGame(window);
    ASSERT_TRUE(launcherState.gameProcess.valid());
    EXPECT_FALSE(::IsWindowVisible(window));
    const DWORD client = ::GetProcessId(launcherState.gameProcess.get());
    ASSERT_TRUE(PumpUntil(
        [&] { return ProcessWindowTitles(client) == std::multiset<std::wstring>{L"Stub Main"}; },
        10s));
    PumpFor(1000ms);
    EXPECT_EQ(ProcessWindowTitles(client), std::multiset<std::wstring>{L"Stub Main"});
    EndClient(installDir);
    EXPECT_TRUE(PumpUntilQuit(10s).has_value());
}

TEST_F(StartGameTest, WithoutAnExitWatcherTheLauncherEndsAtOnceAndLeavesTheClientRunning) {
    PrepareInstallation(installDir, "window");
    failingThreadBody = &GameExitWatcher;
    Open();
    StartGame(window);
    EXPECT_FALSE(::IsWindow(window));
    EXPECT_FALSE(launcherState.gameProcess.valid());
    const auto code = PumpUntilQuit(1s);
    ASSERT_TRUE(code.has_value());
    EXPECT_EQ(*code, 0u);

    const auto record = WaitForClientRecord(installDir, 10s);
    ASSERT_TRUE(record.has_value());
    unique_process client(::OpenProcess(SYNCHRONIZE, FALSE, _wtoi(record->at(L"pid").c_str())));
    ASSERT_TRUE(client.valid());
    EXPECT_EQ(::WaitForSingleObject(client.get(), 500), static_cast<DWORD>(WAIT_TIMEOUT));
}

}  // namespace
