// Start Game: the pre-launch checks, the client start and the threads that follow the client.
#pragma once

#include <windows.h>

#include <string>

// Main thread; shows its own message boxes.
void StartGame(HWND window);

// True when the file holds both the game server's address and port fragments.
bool CheckServerConfiguration(const std::wstring& path);

void LaunchGameClient(HWND window, const std::wstring& installDir, const std::wstring& clientPath);
void AppendQuotedArgument(std::wstring& commandLine, const std::wstring& argument);
std::wstring WindowsErrorText(DWORD code);
DWORD WINAPI ClientTitleWatcher(LPVOID processId);
BOOL CALLBACK FindClientWindow(HWND window, LPARAM search);
DWORD WINAPI GameExitWatcher(LPVOID window);
