// Start Game in a launcher process of its own, placed in a temporary installation directory.
#include "tests/launch/launch_fixture.h"
#include "tests/status/listeners.h"
#include "vantor_config.h"

#include <tlhelp32.h>

namespace {

using namespace std::chrono_literals;

const WinsockForTests winsock;

class LaunchProcessTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(gameServer.Open(static_cast<unsigned short>(_wtoi(GameServerPort))));
        exe = install.path() + L"\\VANTOR.exe";
        ASSERT_TRUE(CopyInto(BuildPath(L"tests\\launch\\launcher_host.exe"), exe));
    }
    void TearDown() override {
        WriteBytes(install / L"stub-client-quit", "");
        const auto record = ReadClientRecord(install.path());
        if (record && record->count(L"pid")) {
            unique_process client(
                ::OpenProcess(SYNCHRONIZE, FALSE, _wtoi(record->at(L"pid").c_str())));
            if (client) ::WaitForSingleObject(client.get(), 10000);
        }
    }

    // Starts the launcher from another working directory and clicks Start Game once enabled.
    HWND StartAndClick() { return StartAndClickIn(elsewhere.path()); }
    HWND StartAndClickIn(const std::wstring& workingDirectory) {
        if (!launcher.Start(exe, L"", workingDirectory)) {
            ADD_FAILURE() << "launcher not started: " << ::GetLastError();
            return nullptr;
        }
        HWND window = WaitForProcessWindow(launcher.id, LauncherClassName, 20s);
        if (window == nullptr) {
            ADD_FAILURE() << "no launcher window";
            return nullptr;
        }
        // The window may be found while it is still creating its controls; it is shown after.
        HWND button = nullptr;
        if (!PumpUntil(
                [&] {
                    button = ::GetDlgItem(window, IDC_START_GAME);
                    return ::IsWindowVisible(window) && button != nullptr &&
                           ::IsWindowEnabled(button) != FALSE;
                },
                20s)) {
            ADD_FAILURE() << "Start Game stayed disabled; server: "
                          << Narrow(WindowText(::GetDlgItem(window, IDC_SERVER_STATUS)))
                          << "; update: "
                          << Narrow(WindowText(::GetDlgItem(window, IDC_UPDATE_STATUS)));
            return nullptr;
        }
        ::PostMessageW(window, WM_COMMAND, MAKEWPARAM(IDC_START_GAME, BN_CLICKED),
                       reinterpret_cast<LPARAM>(button));
        return window;
    }

    // Starts a stand-in client that shows a window; the launcher's window, or null.
    HWND StartWindowedClient(ClientRecord& record) {
        PrepareInstallation(install.path(), "window");
        HWND window = StartAndClick();
        const auto found = WaitForClientRecord(install.path(), 20s);
        if (window == nullptr || !found) {
            ADD_FAILURE() << "no client started";
            return nullptr;
        }
        record = *found;
        return window;
    }

    void ExpectLauncherExitsWithZero() {
        const auto code = launcher.Wait(20s);
        ASSERT_TRUE(code.has_value());
        EXPECT_EQ(*code, 0u);
    }

    Listener gameServer;
    TempDir install;
    TempDir elsewhere;
    std::wstring exe;
    ChildProcess launcher;
};

TEST_F(LaunchProcessTest, ClientStartsInTheLaunchersDirectoryAndTheLauncherExitsWithIt) {
    ClientRecord record;
    HWND window = StartWindowedClient(record);
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(record.at(L"cwd"), install.path());
    EXPECT_EQ(record.at(L"commandline"), L"\"" + install.path() + L"\\" + ClientExecutableName +
                                             L"\" -1kov1 /account:clientinfo.xml");
    const DWORD client = _wtoi(record.at(L"pid").c_str());
    EXPECT_TRUE(PumpUntil(
        [&] { return ProcessWindowTitles(client) == std::multiset<std::wstring>{L"Vantor"}; },
        20s));
    EXPECT_FALSE(::IsWindowVisible(window));
    EXPECT_FALSE(launcher.Wait(500ms).has_value());

    WriteBytes(install / L"stub-client-quit", "");
    ExpectLauncherExitsWithZero();
}

// Where a player may have put the game: the client starts in exactly that folder.
struct Placement {
    const char* name;
    // The installation directory, made in root; empty when it could not be made.
    std::wstring (*make)(const std::wstring& root);
};

// Made under its exact name, trailing blank included.
std::wstring MadeFolder(const std::wstring& path) {
    return ::CreateDirectoryW((L"\\\\?\\" + path).c_str(), nullptr) ? path : L"";
}

// The drive root only where drive_root.sh has mapped a Wine drive letter to a folder and named
// it: Windows' own DefineDosDeviceW makes no drive that Wine 8's file calls see.
std::vector<Placement> Placements() {
    std::vector<Placement> all = {
        {"PlainFolder", [](const std::wstring& root) { return MadeFolder(root + L"\\Vantor"); }},
        // Windows trims a trailing blank from a path's last name: the folder beside it would be
        // taken instead.
        {"FolderEndingInABlankBesideItsNamesake",
         [](const std::wstring& root) {
             MadeFolder(root + L"\\Vantor");
             return MadeFolder(root + L"\\Vantor ");
         }},
    };
    // "D:" alone is drive D's current directory, which a shortcut may have set elsewhere.
    if (_wgetenv(L"VANTOR_TEST_DRIVE")) {
        all.push_back({"DriveRoot", [](const std::wstring&) {
                           return std::wstring(_wgetenv(L"VANTOR_TEST_DRIVE"));
                       }});
    }
    return all;
}

void PrintTo(const Placement& p, std::ostream* os) {
    *os << p.name;
}

class PlacementTest : public LaunchProcessTest, public testing::WithParamInterface<Placement> {};

TEST_P(PlacementTest, ClientStartsInTheInstallationDirectory) {
    const std::wstring installDir = GetParam().make(install.path());
    ASSERT_FALSE(installDir.empty());
    exe = installDir + L"\\VANTOR.exe";
    ASSERT_TRUE(CopyInto(BuildPath(L"tests\\launch\\launcher_host.exe"), exe));
    // Started from another folder of the same drive, its current directory there.
    const std::wstring startedIn = installDir + L"\\elsewhere";
    ASSERT_TRUE(::CreateDirectoryW(startedIn.c_str(), nullptr));
    PrepareInstallation(installDir, "exit");
    ASSERT_NE(StartAndClickIn(startedIn), nullptr);
    const auto record = WaitForClientRecord(installDir, 20s);
    ASSERT_TRUE(record.has_value());
    // A drive's root reads with its separator, any other folder without.
    EXPECT_EQ(record->at(L"cwd"), installDir.size() == 2 ? installDir + L"\\" : installDir);
    ExpectLauncherExitsWithZero();
}

INSTANTIATE_TEST_SUITE_P(Folders, PlacementTest, testing::ValuesIn(Placements()),
                         [](const auto& info) { return std::string(info.param.name); });

// Clients of the stand-in's name that this launcher process started.
int ClientsStartedBy(DWORD launcherId) {
    unique_file snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    int count = 0;
    for (BOOL more = ::Process32FirstW(snapshot.get(), &entry); more;
         more = ::Process32NextW(snapshot.get(), &entry)) {
        if (entry.th32ParentProcessID == launcherId &&
            _wcsicmp(entry.szExeFile, ClientExecutableName) == 0) {
            ++count;
        }
    }
    return count;
}

TEST_F(LaunchProcessTest, AClickAndACloseSentToTheHiddenLauncherStartNoSecondClient) {
    ClientRecord record;
    HWND window = StartWindowedClient(record);
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(PumpUntil([&] { return !::IsWindowVisible(window); }, 20s));

    // Any program can post these to the hidden window while the client runs.
    ::PostMessageW(window, WM_COMMAND, MAKEWPARAM(IDC_START_GAME, BN_CLICKED), 0);
    PumpFor(1s);
    EXPECT_EQ(ClientsStartedBy(launcher.id), 1);
    ::PostMessageW(window, WM_CLOSE, 0, 0);
    ExpectLauncherExitsWithZero();

    unique_process client(::OpenProcess(SYNCHRONIZE, FALSE, _wtoi(record.at(L"pid").c_str())));
    ASSERT_TRUE(client.valid());
    EXPECT_EQ(::WaitForSingleObject(client.get(), 500), static_cast<DWORD>(WAIT_TIMEOUT));
}

TEST_F(LaunchProcessTest, ClientThatExitsAtOnceEndsTheLauncherWithCodeZero) {
    PrepareInstallation(install.path(), "exit");
    HWND window = StartAndClick();
    ASSERT_NE(window, nullptr);
    ExpectLauncherExitsWithZero();
    EXPECT_TRUE(ReadClientRecord(install.path()).has_value());
}

TEST_F(LaunchProcessTest, MissingClientInTheLaunchersDirectoryIsReportedAndTheLauncherStays) {
    // The client and configuration lie in the working directory, which does not count.
    PrepareInstallation(elsewhere.path(), "window");
    HWND window = StartAndClick();
    ASSERT_NE(window, nullptr);
    const auto box = WaitForMessageBox(launcher.id, 20s);
    ASSERT_TRUE(box.has_value());
    EXPECT_EQ(box->text, L"Required Vantor client files are missing. Please reinstall Vantor.");
    EXPECT_TRUE(box->owned);
    ASSERT_TRUE(PumpUntil([&] { return !::IsWindow(box->box); }, 5s));
    EXPECT_TRUE(::IsWindowVisible(window));
    EXPECT_FALSE(ReadClientRecord(elsewhere.path()).has_value());

    ::PostMessageW(window, WM_CLOSE, 0, 0);
    ExpectLauncherExitsWithZero();
}

}  // namespace
