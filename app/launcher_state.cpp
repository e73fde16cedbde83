#include "app/launcher.h"
#include "app/window.h"

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

bool StartGameAllowed() {
    return launcherState.updateSucceeded.load() == 1 &&
           launcherState.serverState.load() == Reachable;
}

void SetServerState(int32_t state) {
    launcherState.serverState.exchange(state);
    ::EnableWindow(launcherState.startGameButton, StartGameAllowed() ? TRUE : FALSE);
    ::SetWindowTextW(launcherState.serverStatusLabel, ServerStateText(state));
    ::InvalidateRect(launcherState.serverStatusLabel, nullptr, TRUE);
}

void ShowLauncherError(HWND owner, const wchar_t* text) {
    ::MessageBoxW(owner, text, LauncherCaption, MB_OK | MB_ICONERROR);
}
