// The main window: entry steps, window procedure, controls and the update worker.
#pragma once

#include "app/launcher.h"

constexpr int ClientWidth = 520;
constexpr int ClientHeight = 330;
constexpr DWORD MainWindowStyle = WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
constexpr int LauncherIconId = 101;
constexpr COLORREF BackgroundColour = RGB(250, 246, 249);
constexpr COLORREF TextColour = RGB(42, 32, 39);

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

// Registers VANTORLauncherWindow; returns RegisterClassExW's atom.
ATOM RegisterLauncherClass(HINSTANCE instance);
// Creates the centred main window; null when creation was refused.
HWND CreateMainWindow(HINSTANCE instance);
// Top-left corner that centres a window of outer size width x height on a screen.
POINT CentredPosition(int screenWidth, int screenHeight, int width, int height);

LRESULT CALLBACK LauncherWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
bool CreateLauncherControls(HWND window);
DWORD WINAPI UpdateWorker(LPVOID window);
void OpenWebsite(HWND owner, const wchar_t* address);
// The address behind a web button, or null for any other id.
const wchar_t* WebsiteAddressFor(int controlId);
