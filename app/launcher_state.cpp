#include "app/launcher.h"

LauncherState launcherState;

namespace {

// Anything but Reachable or Offline reads as Checking.
const wchar_t* ServerStateText(int32_t state) {
    switch (state) {
        case Reachable:
            return L"Ready";
        case Offline:
            return L"Server Offline";
        default:
            return L"Checking...";
    }
}

}  // namespace

void SetServerState(int32_t state) {
    launcherState.serverState.exchange(state);
    ::SetWindowTextW(launcherState.serverStatusLabel, ServerStateText(state));
    const bool enable = state == Reachable && launcherState.updateSucceeded.load() == 1;
    ::EnableWindow(launcherState.startGameButton, enable ? TRUE : FALSE);
    ::InvalidateRect(launcherState.serverStatusLabel, nullptr, TRUE);
}

void ShowLauncherError(HWND owner, const wchar_t* text) {
    ::MessageBoxW(owner, text, LauncherCaption, MB_OK | MB_ICONERROR);
}
