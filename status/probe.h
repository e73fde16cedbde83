// Reachability probe of the game server: at most one at a time, on its own thread.
#pragma once

#include <windows.h>

// Main thread only. Returns at once; the result arrives as WM_APP_SERVER_STATUS.
void StartServerProbe(HWND window);

// The probe's parts, declared for its tests.
// Thread body; the argument is the main window.
DWORD WINAPI ServerProbeThread(LPVOID window);
// Blocking: true when one resolved address of the game server accepted a connection.
bool ProbeGameServer();
// ProbeGameServer's walk for any host and service text.
bool ProbeServer(const wchar_t* host, const wchar_t* port);
