// Start Game: the pre-launch checks, the client start and the threads that follow the client.
#pragma once

#include "common/handles.h"
#include "update/update.h"
#include "vantor_config.h"

#include <windows.h>

#include <cstdint>
#include <string>

inline constexpr wchar_t ClientExecutableName[] = L"2015-11-04aKovexe_patched.exe";
inline constexpr wchar_t ServerConfigFileName[] = L"Data\\clientinfo.xml";
inline constexpr wchar_t ClientArguments[] = L"-1kov1 /account:clientinfo.xml";
inline constexpr wchar_t CompatLayerVariable[] = L"__COMPAT_LAYER";
inline constexpr wchar_t CompatLayerValue[] = L"RunAsInvoker";
inline constexpr wchar_t ClientWindowTitle[] = L"Vantor";
inline constexpr uint64_t ServerConfigLimit = 1048576;
inline constexpr int TitleSearchAttempts = 150;
inline constexpr DWORD TitleSearchPauseMs = 100;

// The digest the client executable must have: the release this launcher accompanies.
inline constexpr Sha256Digest ExpectedClientDigest = [] {
    Sha256Digest digest{};
    for (size_t i = 0; i < digest.size(); ++i) digest[i] = ExpectedClientDigestBytes[i];
    return digest;
}();

// Main thread; shows its own message boxes.
void StartGame(HWND window);

// True when the file holds both the game server's address and port fragments.
bool CheckServerConfiguration(const std::wstring& path);

void LaunchGameClient(HWND window, const std::wstring& installDir, const std::wstring& clientPath);
void AppendQuotedArgument(std::wstring& commandLine, const std::wstring& argument);
std::wstring WindowsErrorText(DWORD code);
// Drops trailing carriage returns, line feeds and blanks in any mix.
void TrimTrailingBreaks(std::wstring& text);
DWORD WINAPI ClientTitleWatcher(LPVOID processId);
BOOL CALLBACK FindClientWindow(HWND window, LPARAM search);
// What the exit watcher owns: where to report and its own handle of the client process.
struct GameExitWatch {
    HWND window = nullptr;
    unique_process process;
};
DWORD WINAPI GameExitWatcher(LPVOID watch);

struct ClientWindowSearch {
    DWORD processId = 0;
    HWND found = nullptr;
};
