// Stand-in until the probe lands: never claims the server is reachable.
#include "status/probe.h"

#include "app/launcher.h"

void StartServerProbe(HWND window) { ::PostMessageW(window, WM_APP_SERVER_STATUS, 0, 0); }
DWORD WINAPI ServerProbeThread(LPVOID) { return 0; }
bool ProbeGameServer() { return false; }
