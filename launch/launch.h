// Start Game: the pre-launch checks, the client start and the threads that follow the client.
#pragma once

#include "common/error_text.h"

#include <windows.h>

#include <string>

inline constexpr wchar_t ClientExecutableName[] = L"2015-11-04aKovexe_patched.exe";
inline constexpr wchar_t ClientArguments[] = L"-1kov1 /account:clientinfo.xml";
inline constexpr wchar_t CompatLayerVariable[] = L"__COMPAT_LAYER";

// Main thread; shows its own message boxes.
void StartGame(HWND window);

// Start Game's steps, declared for the tests that check each on its own.
// True when the file holds both the game server's address and port fragments.
bool CheckServerConfiguration(const std::wstring& path);
void LaunchGameClient(HWND window, const std::wstring& installDir, const std::wstring& clientPath);
void AppendQuotedArgument(std::wstring& commandLine, const std::wstring& argument);
DWORD WINAPI ClientTitleWatcher(LPVOID processId);
DWORD WINAPI GameExitWatcher(LPVOID watch);
