// The main window: entry steps, window procedure, controls and the update worker.
#pragma once

#include "app/launcher.h"

#include <shobjidl.h>

constexpr COLORREF BackgroundColour = RGB(250, 246, 249);

// What the window procedure starts; tests swap entries to drive the window on its own.
struct LauncherServices {
    UpdateResult& (*runUpdate)(UpdateResult& result);
    void (*startServerProbe)(HWND window);
    void (*startGame)(HWND window);
    // Returns ShellExecuteW's result: 32 or less is failure.
    INT_PTR (*openAddress)(HWND owner, const wchar_t* address);
};
extern LauncherServices launcherServices;

// The taskbar button's calls, defaulting to the shell's taskbar object; tests swap entries.
struct TaskbarSeams {
    // The object, or null when it cannot be made.
    ITaskbarList3* (*create)();
    void (*release)(ITaskbarList3* taskbar);
    HRESULT (*setState)(ITaskbarList3* taskbar, HWND window, TBPFLAG state);
    HRESULT (*setValue)(ITaskbarList3* taskbar, HWND window, ULONGLONG done, ULONGLONG total);
    BOOL(WINAPI* flash)(PFLASHWINFO info);
    HWND(WINAPI* foreground)();
};
extern TaskbarSeams taskbarSeams;

// The taskbar button's progress. The window thread keeps what it shows and tells a thread of the
// button's own, which makes the shell's object and makes every call to it, in order. Open at
// WM_CREATE; closed at WM_DESTROY, which waits a little for the thread's last calls.
void OpenTaskbarButton(HWND window);
void CloseTaskbarButton();
// Returns once the thread has made every call asked of it so far; for tests.
void SettleTaskbarButton();
void ShowTaskbarProgress(HWND window, TBPFLAG state, ULONGLONG done, ULONGLONG total);
// Red on the bar as it stood, or on a full one when it showed no bytes.
void ShowTaskbarError(HWND window);
// The taskbar announced the button anew (Explorer restarted): a new object, shown it all again.
void RenewTaskbarButton(HWND window);
UINT TaskbarButtonCreatedMessage();
// Flashes the button until the player comes back, unless the launcher is in front.
void FlashIfInBackground(HWND window);

// WM_APP_UPDATE_PROGRESS's lParam: total in the high half, done in the low, both halved until
// total fits.
LPARAM PackProgressBytes(uint64_t done, uint64_t total);

// wWinMain's steps after its arguments: returns the process exit code.
int RunLauncher(HINSTANCE instance, int showCommand);

// Start Game's enable rule: the update has succeeded and the server is reachable.
bool StartGameAllowed();

LRESULT CALLBACK LauncherWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
// WM_CREATE's controls, fonts and brush; false when the window cannot work without what failed.
bool CreateLauncherControls(HWND window);

// RunLauncher's steps, declared for the tests that build the window in their own process.
// Registers VANTORLauncherWindow; returns RegisterClassExW's atom.
ATOM RegisterLauncherClass(HINSTANCE instance);
// Creates the centred main window; null when creation was refused.
HWND CreateMainWindow(HINSTANCE instance);
// Top-left corner that centres a window of outer size width x height on a screen.
POINT CentredPosition(int screenWidth, int screenHeight, int width, int height);
