// Injection points of the update subsystem: the Win32 calls of the install and the download.
// Product code runs on the defaults; tests swap single entries.
#pragma once

#include "update/update.h"

#include <windows.h>
#include <winhttp.h>

#include <string>

// Every file-system call of the staged install, and its pause before trying a refused call
// again, defaulting to the Win32 functions; the staging file is read back through hashFile.
struct InstallFileOps {
    BOOL(WINAPI* createDirectory)(LPCWSTR, LPSECURITY_ATTRIBUTES);
    HANDLE(WINAPI* createFile)(LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE);
    BOOL(WINAPI* writeFile)(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED);
    BOOL(WINAPI* flushFileBuffers)(HANDLE);
    BOOL(WINAPI* closeHandle)(HANDLE);
    BOOL(WINAPI* deleteFile)(LPCWSTR);
    DWORD(WINAPI* getFileAttributes)(LPCWSTR);
    BOOL(WINAPI* moveFileEx)(LPCWSTR, LPCWSTR, DWORD);
    BOOL(WINAPI* setFileAttributes)(LPCWSTR, DWORD);
    VOID(WINAPI* sleep)(DWORD);
    bool (*hashFile)(const std::wstring& path, Sha256Digest& digest);
};
extern InstallFileOps installFileOps;

// How the update run downloads, defaulting to HttpsGet.
struct UpdateRunSeams {
    bool (*httpsGet)(const std::wstring& path, uint64_t maxBytes, ByteBuffer& body,
                     std::wstring& error);
};
extern UpdateRunSeams updateRunSeams;

// The download's calls that differ between Windows versions, defaulting to WinHTTP's.
struct WinHttpSeams {
    HINTERNET(WINAPI* open)
    (LPCWSTR agent, DWORD accessType, LPCWSTR proxy, LPCWSTR bypass, DWORD flags);
    BOOL(WINAPI* setOption)(HINTERNET handle, DWORD option, LPVOID buffer, DWORD length);
    BOOL(WINAPI* userProxySettings)(WINHTTP_CURRENT_USER_IE_PROXY_CONFIG* settings);
};
extern WinHttpSeams winHttpSeams;
