// The launcher's own entry, window and controls with its background work held back: no server
// probe, and an update worker that waits instead of running. Beside VANTOR.exe and the minimal
// window it tells how much of start-up is the window and its first paint, and how much the
// probe and update starting beside them.
#include "app/window.h"

#include <string>

namespace {

void NoProbe(HWND) {}

UpdateResult& WaitInsteadOfUpdating(UpdateResult& result) {
    ::Sleep(INFINITE);  // ends with the process
    return result;
}

}  // namespace

// VANTOR_BENCH_KEEP=probe or =update keeps that one of the two running.
int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand) {
    wchar_t keep[16] = {};
    ::GetEnvironmentVariableW(L"VANTOR_BENCH_KEEP", keep, 16);
    if (std::wstring(keep) != L"probe") launcherServices.startServerProbe = &NoProbe;
    if (std::wstring(keep) != L"update") launcherServices.runUpdate = &WaitInsteadOfUpdating;
    return RunLauncher(instance, showCommand);
}
