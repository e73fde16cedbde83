#include "app/launcher.h"
#include "common/handles.h"
#include "common/paths.h"
#include "common/process_seams.h"
#include "launch/launch.h"
#include "vantor_config.h"

#include <string_view>

namespace {

bool IsPresentFile(const std::wstring& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool Contains(std::string_view content, std::string_view fragment) {
    return content.size() >= fragment.size() && content.find(fragment) != std::string_view::npos;
}

}  // namespace

bool CheckServerConfiguration(const std::wstring& path) {
    unique_file file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(file.get(), &size) || size.QuadPart <= 0 ||
        static_cast<uint64_t>(size.QuadPart) > ServerConfigLimit) {
        return false;
    }
    std::string content(static_cast<size_t>(size.QuadPart), '\0');
    DWORD read = 0;
    if (!::ReadFile(file.get(), content.data(), static_cast<DWORD>(content.size()), &read,
                    nullptr)) {
        return false;
    }
    file.reset();
    content.resize(read);

    const std::string address = std::string("<address>") + GameServerHostBytes + "</address>";
    const std::string port = std::string("<port>") + GameServerPortBytes + "</port>";
    return Contains(content, address) && Contains(content, port);
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
    if (!IsPresentFile(clientPath) || !IsPresentFile(configPath)) {
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
