// A real launcher window in the test process with a prepared installation directory: the update
// run succeeds at once and every probe reports the server reachable, so Start Game is enabled.
#pragma once

#include "app/window.h"
#include "common/process_seams.h"
#include "launch/launch.h"
#include "tests/harness/test_support.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>

// The stand-in client's record: commandline, cwd, compat ("<absent>" when unset), mode, pid.
using ClientRecord = std::map<std::wstring, std::wstring>;

std::string ValidServerConfiguration();
// Copies the stand-in client and a valid configuration into dir; mode as the client reads it.
void PrepareInstallation(const std::wstring& dir, const char* mode);
std::optional<ClientRecord> ReadClientRecord(const std::wstring& dir);
std::optional<ClientRecord> WaitForClientRecord(const std::wstring& dir,
                                                std::chrono::milliseconds limit);
// Titles of the stand-in client's top-level windows, in no particular order.
std::multiset<std::wstring> ProcessWindowTitles(DWORD processId);
// "__COMPAT_LAYER" of this process: nullopt when absent, which an empty value is not.
std::optional<std::wstring> CompatLayerOfThisProcess();

class StartGameTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Creates and shows the window and waits until Start Game is enabled.
    void Open();
    // Pumps until the window is gone; the quit code it posted, or nullopt.
    std::optional<WPARAM> PumpUntilQuit(std::chrono::milliseconds limit);
    // Ends a stand-in client started in dir and waits for it.
    void EndClient(const std::wstring& dir);

    ScopedSeams seams{launcherServices, processSeams};
    HWND window = nullptr;
    std::unique_ptr<TempDir> install;

public:
    static std::wstring installDir;
    static bool installDirFails;
    static LPTHREAD_START_ROUTINE failingThreadBody;
};
