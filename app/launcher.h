// The launcher's process-wide state and the application window messages.
#pragma once

#include "common/handles.h"
#include "update/update.h"

#include <atomic>
#include <cstdint>

// Posted to the main window by worker threads, never sent.
constexpr UINT WM_APP_SERVER_STATUS = WM_APP + 1;  // wParam 1 reachable, 0 not
constexpr UINT WM_APP_GAME_EXITED = WM_APP + 2;
constexpr UINT WM_APP_UPDATE_RESULT = WM_APP + 3;  // lParam owns an UpdateResult
// wParam an UpdatePhase, lParam its done and total bytes (UpdateProgressBytes), at most ten a
// second: for the taskbar button only.
constexpr UINT WM_APP_UPDATE_PROGRESS = WM_APP + 4;

// Control ids; tests find the controls by them.
constexpr int IDC_START_GAME = 1001;
constexpr int IDC_SERVER_STATUS = 1002;
constexpr int IDC_WEBSITE = 1003;
constexpr int IDC_REGISTER = 1004;
constexpr int IDC_FORGOT_PASSWORD = 1005;
constexpr int IDC_DOWNLOAD = 1006;
constexpr int IDC_UPDATE_STATUS = 1007;

constexpr UINT_PTR ProbeTimerId = 1;  // tests post its ticks

constexpr wchar_t LauncherCaption[] = L"Vantor Launcher";
constexpr wchar_t LauncherClassName[] = L"VANTORLauncherWindow";  // tests find the window by it

enum ServerState : int32_t {
    Checking = 0,
    Reachable = 1,
    Offline = -1,
};

struct LauncherState {
    unique_hfont bodyFont;
    unique_hfont titleFont;
    unique_hbrush backgroundBrush;
    HWND serverStatusLabel = nullptr;
    HWND updateStatusLabel = nullptr;
    HWND startGameButton = nullptr;
    HWND mainWindow = nullptr;
    std::atomic<int32_t> serverState{Checking};
    std::atomic<int32_t> updateSucceeded{0};
    std::atomic<int32_t> probeRunning{0};
    unique_process gameProcess;
};

extern LauncherState launcherState;

// Applies a server state: label text, Start Game by the enable rule, repaint.
void SetServerState(int32_t state);

// Error box owned by the main window.
void ShowLauncherError(HWND owner, const wchar_t* text);
