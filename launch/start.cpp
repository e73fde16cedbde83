#include "app/launcher.h"
#include "common/error_text.h"
#include "common/handles.h"
#include "common/paths.h"
#include "common/process_seams.h"
#include "launch/launch.h"
#include "update/update.h"
#include "vantor_config.h"

#include <exception>
#include <memory>
#include <vector>

namespace {

constexpr wchar_t ServerConfigFileName[] = L"Data\\clientinfo.xml";
constexpr wchar_t CompatLayerValue[] = L"RunAsInvoker";
constexpr wchar_t ClientWindowTitle[] = L"Vantor";
constexpr int TitleSearchAttempts = 150;
constexpr DWORD TitleSearchPauseMs = 100;
constexpr DWORD EnvironmentBufferSize = 32768;

// The digest the client executable must have: the release this launcher accompanies.
constexpr Sha256Digest ExpectedClientDigest = [] {
    Sha256Digest digest{};
    for (size_t i = 0; i < digest.size(); ++i) digest[i] = ExpectedClientDigestBytes[i];
    return digest;
}();

// The launcher's own "__COMPAT_LAYER" as it was before the client start; wiped when done.
struct SavedCompatLayer {
    std::vector<wchar_t> value;
    bool present = false;

    SavedCompatLayer() : value(EnvironmentBufferSize, L'\0') {
        const DWORD length =
            ::GetEnvironmentVariableW(CompatLayerVariable, value.data(), EnvironmentBufferSize);
        present = length >= 1 && length < EnvironmentBufferSize;
    }
    ~SavedCompatLayer() { ::SecureZeroMemory(value.data(), value.size() * sizeof(wchar_t)); }
    SavedCompatLayer(const SavedCompatLayer&) = delete;
    SavedCompatLayer& operator=(const SavedCompatLayer&) = delete;

    void Restore() const {
        ::SetEnvironmentVariableW(CompatLayerVariable, present ? value.data() : nullptr);
    }
};

struct ClientWindowSearch {
    DWORD processId = 0;
    HWND found = nullptr;
};

BOOL CALLBACK FindClientWindow(HWND window, LPARAM search) {
    auto* record = reinterpret_cast<ClientWindowSearch*>(search);
    DWORD processId = 0;
    ::GetWindowThreadProcessId(window, &processId);
    if (processId != record->processId) return TRUE;
    if (!::IsWindowVisible(window)) return TRUE;
    if (::GetWindow(window, GW_OWNER) != nullptr) return TRUE;
    record->found = window;
    return FALSE;
}

// What the exit watcher owns: where to report and its own handle of the client process.
struct GameExitWatch {
    HWND window = nullptr;
    unique_process process;
};

}  // namespace

void AppendQuotedArgument(std::wstring& commandLine, const std::wstring& argument) {
    if (!commandLine.empty()) commandLine.push_back(L' ');
    commandLine.push_back(L'"');
    size_t backslashes = 0;
    for (const wchar_t unit : argument) {
        if (unit == L'\\') {
            ++backslashes;
        } else if (unit == L'"') {
            commandLine.append(backslashes * 2 + 1, L'\\');
            commandLine.push_back(L'"');
            backslashes = 0;
        } else {
            commandLine.append(backslashes, L'\\');
            commandLine.push_back(unit);
            backslashes = 0;
        }
    }
    commandLine.append(backslashes * 2, L'\\');
    commandLine.push_back(L'"');
}

DWORD WINAPI ClientTitleWatcher(LPVOID processId) {
    try {
        for (int attempt = 0; attempt < TitleSearchAttempts; ++attempt) {
            ClientWindowSearch search;
            search.processId = static_cast<DWORD>(reinterpret_cast<UINT_PTR>(processId));
            ::EnumWindows(&FindClientWindow, reinterpret_cast<LPARAM>(&search));
            if (search.found != nullptr) {
                ::SetWindowTextW(search.found, ClientWindowTitle);
                return 0;
            }
            ::Sleep(TitleSearchPauseMs);
        }
    } catch (...) {
        std::terminate();
    }
    return 0;
}

DWORD WINAPI GameExitWatcher(LPVOID watch) {
    try {
        // Owns its own process handle: the window may close gameProcess at any time.
        std::unique_ptr<GameExitWatch> owned(static_cast<GameExitWatch*>(watch));
        ::WaitForSingleObject(owned->process.get(), INFINITE);
        ::PostMessageW(owned->window, WM_APP_GAME_EXITED, 0, 0);
    } catch (...) {
        std::terminate();
    }
    return 0;
}

void LaunchGameClient(HWND window, const std::wstring& installDir, const std::wstring& clientPath) {
    std::wstring commandLine;
    AppendQuotedArgument(commandLine, clientPath);
    commandLine.push_back(L' ');
    commandLine.append(ClientArguments);

    const std::wstring workingDirectory = DirectoryArgument(installDir);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION started{};
    BOOL created = FALSE;
    DWORD error = 0;
    {
        // The client inherits the setting; the launcher keeps it only for the call.
        const SavedCompatLayer saved;
        ::SetEnvironmentVariableW(CompatLayerVariable, CompatLayerValue);
        created = ::CreateProcessW(clientPath.c_str(), commandLine.data(), nullptr, nullptr, FALSE,
                                   CREATE_UNICODE_ENVIRONMENT, nullptr, workingDirectory.c_str(),
                                   &startup, &started);
        error = created ? 0 : ::GetLastError();
        saved.Restore();
    }
    if (!created) {
        const std::wstring text = L"Unable to start Vantor.\nError " + std::to_wstring(error) +
                                  L": " + WindowsErrorText(error);
        ShowLauncherError(window, text.c_str());
        return;
    }

    unique_process process(started.hProcess);
    unique_handle primaryThread(started.hThread);
    primaryThread.reset();  // never needed
    unique_handle titleWatcher(processSeams.createThread(
        &ClientTitleWatcher, reinterpret_cast<LPVOID>(static_cast<UINT_PTR>(started.dwProcessId))));
    auto watch = std::make_unique<GameExitWatch>();
    watch->window = window;
    const HANDLE self = ::GetCurrentProcess();
    const bool duplicated = ::DuplicateHandle(self, process.get(), self, watch->process.put(),
                                              SYNCHRONIZE, FALSE, 0) != FALSE;
    launcherState.gameProcess = std::move(process);
    ::ShowWindow(window, SW_HIDE);
    unique_handle exitWatcher;
    if (duplicated) exitWatcher.reset(processSeams.createThread(&GameExitWatcher, watch.get()));
    if (exitWatcher) {
        watch.release();  // the watcher frees it
    } else {
        // Without a watcher nothing would end the hidden launcher: end it now, client running.
        launcherState.gameProcess.reset();
        ::DestroyWindow(window);
    }
}

void StartGame(HWND window) {
    // One client at a time: a second would replace the handle the launcher ends with.
    if (launcherState.gameProcess) return;
    if (launcherState.serverState.load() != Reachable) {
        ShowLauncherError(window, L"Server Offline");
        return;
    }
    std::wstring installDir;
    if (!processSeams.getInstallDirectory(installDir)) {
        ShowLauncherError(window, L"Unable to determine the Vantor installation directory.");
        return;
    }
    const std::wstring clientPath = JoinPath(installDir, ClientExecutableName);
    const std::wstring configPath = JoinPath(installDir, ServerConfigFileName);
    if (!IsPlainFile(clientPath) || !IsPlainFile(configPath)) {
        ShowLauncherError(window,
                          L"Required Vantor client files are missing. Please reinstall Vantor.");
        return;
    }
    if (!CheckServerConfiguration(configPath)) {
        ShowLauncherError(window,
                          L"The Vantor server configuration is invalid. Please reinstall Vantor.");
        return;
    }
    Sha256Digest digest{};
    if (!HashFileSha256(clientPath, digest) || digest != ExpectedClientDigest) {
        ShowLauncherError(
            window, L"The Vantor game client failed its integrity check. Please reinstall Vantor.");
        return;
    }
    LaunchGameClient(window, installDir, clientPath);
}
