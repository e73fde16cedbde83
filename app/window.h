// The main window: entry steps, window procedure, controls and the update worker.
#pragma once

#include "app/launcher.h"

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
