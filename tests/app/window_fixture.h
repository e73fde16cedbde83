// A real launcher window in the test process, with the background work replaced by fakes.
#pragma once

#include "app/window.h"
#include "common/process_seams.h"
#include "tests/harness/test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

class LauncherWindowTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    HWND Create();
    // Lets the fake update run finish with this outcome and waits until the window applied it.
    void FinishUpdate(bool succeeded, const std::wstring& message);
    void PostServerStatus(WPARAM reachable);
    void Tick();
    bool StartGameEnabled() const {
        return ::IsWindowEnabled(launcherState.startGameButton) != FALSE;
    }
    std::wstring ServerLabel() const { return WindowText(launcherState.serverStatusLabel); }
    std::wstring UpdateLabel() const { return WindowText(launcherState.updateStatusLabel); }
    void Settle() { PumpFor(std::chrono::milliseconds(30)); }

    ScopedSeams seams{launcherServices, processSeams, taskbarSeams};
    HWND window = nullptr;

public:
    static std::atomic<int> probeStarts;
    static std::atomic<int> startGameCalls;
    // The next Start Game posts another click and shows an error box, as a failed check does.
    static bool startGameShowsBox;
    static std::vector<std::wstring> openedAddresses;
    static INT_PTR openResult;
    static bool threadFails;
    static HANDLE updateGate;
    static UpdateResult scriptedUpdate;
    // The record the update worker filled, as the worker's post carries it.
    static std::atomic<UpdateResult*> workerRecord;
};
