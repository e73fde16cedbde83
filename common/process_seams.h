// What every part of the launcher takes from the process it runs in: where it is installed and
// its threads. Product code runs on the defaults; tests swap single entries.
#pragma once

#include <windows.h>

#include <string>

struct ProcessSeams {
    // GetInstallDirectory by default.
    bool (*getInstallDirectory)(std::wstring& installDir);
    // Starts body(argument) at once; null when no thread could be started.
    HANDLE (*createThread)(LPTHREAD_START_ROUTINE body, LPVOID argument);
};
extern ProcessSeams processSeams;
// The product's entries; tests' stand-ins pass the calls they let through on to them.
ProcessSeams DefaultProcessSeams();
