// Runs one update run in the directory this program was copied to, and ends the process on the
// spot at a chosen file-system call of the install, as a power cut or a killed launcher would.
//   update_crash_child OUT_DIR 0       default file operations (a normal launcher start)
// In every mode a refused call is tried again without pausing: files here are held for good or
// not at all, so waiting would show nothing.
//   update_crash_child OUT_DIR count   counts the calls of a whole run
//   update_crash_child OUT_DIR K       ends the process when the K-th call is reached
// OUT_DIR (outside the installation) receives calls.txt (one "op<TAB>path" line per call made,
// the last one being the call that was not made when it crashed) and result.txt ("1" or "0",
// a line feed and the run's message, UTF-8).
#include "common/handles.h"
#include "update/update_seams.h"

#include <string>
#include <vector>

namespace {

std::wstring outDir;
unsigned long crashAt = 0;  // 0: never
std::vector<std::wstring> calls;

std::string Utf8(const std::wstring& text) {
    std::string bytes(text.size() * 3, '\0');
    bytes.resize(::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                       bytes.data(), static_cast<int>(bytes.size()), nullptr,
                                       nullptr));
    return bytes;
}

bool WriteOut(const wchar_t* name, const std::wstring& text) {
    unique_file out(::CreateFileW((outDir + L"\\" + name).c_str(), GENERIC_WRITE, 0, nullptr,
                                  CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    const std::string bytes = Utf8(text);
    DWORD written = 0;
    return out &&
           ::WriteFile(out.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                       nullptr) &&
           written == bytes.size();
}

std::wstring CallLog() {
    std::wstring log;
    for (const std::wstring& call : calls) log += call + L"\n";
    return log;
}

void Reach(const wchar_t* op, const wchar_t* path) {
    calls.push_back(std::wstring(op) + L"\t" + (path ? path : L""));
    if (calls.size() == crashAt) {
        WriteOut(L"calls.txt", CallLog());
        ::TerminateProcess(::GetCurrentProcess(), 99);
    }
}

// Each remembers the path of the handle it opened, for a readable call log.
std::vector<std::pair<HANDLE, std::wstring>> openFiles;
const wchar_t* PathOf(HANDLE handle) {
    for (const auto& [open, path] : openFiles) {
        if (open == handle) return path.c_str();
    }
    return L"";
}

BOOL WINAPI CrashCreateDirectory(LPCWSTR path, LPSECURITY_ATTRIBUTES security) {
    Reach(L"createDirectory", path);
    return ::CreateDirectoryW(path, security);
}
HANDLE WINAPI CrashCreateFile(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa,
                              DWORD disposition, DWORD flags, HANDLE templ) {
    Reach(L"createFile", path);
    HANDLE handle = ::CreateFileW(path, access, share, sa, disposition, flags, templ);
    if (handle != INVALID_HANDLE_VALUE) openFiles.emplace_back(handle, path);
    return handle;
}
BOOL WINAPI CrashWriteFile(HANDLE file, LPCVOID data, DWORD count, LPDWORD written,
                           LPOVERLAPPED overlapped) {
    Reach(L"writeFile", PathOf(file));
    return ::WriteFile(file, data, count, written, overlapped);
}
BOOL WINAPI CrashFlush(HANDLE file) {
    Reach(L"flush", PathOf(file));
    return ::FlushFileBuffers(file);
}
BOOL WINAPI CrashClose(HANDLE handle) {
    Reach(L"close", PathOf(handle));
    std::erase_if(openFiles, [handle](const auto& open) { return open.first == handle; });
    return ::CloseHandle(handle);
}
BOOL WINAPI CrashDelete(LPCWSTR path) {
    Reach(L"delete", path);
    return ::DeleteFileW(path);
}
DWORD WINAPI CrashAttributes(LPCWSTR path) {
    Reach(L"attributes", path);
    return ::GetFileAttributesW(path);
}
BOOL WINAPI CrashSetAttributes(LPCWSTR path, DWORD attributes) {
    Reach(L"setAttributes", path);
    return ::SetFileAttributesW(path, attributes);
}
VOID WINAPI NoPause(DWORD) {}

BOOL WINAPI CrashMove(LPCWSTR from, LPCWSTR to, DWORD flags) {
    Reach(L"move", (std::wstring(from) + L" -> " + to).c_str());
    return ::MoveFileExW(from, to, flags);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) return 2;
    outDir = argv[1];
    const std::wstring mode = argv[2];
    installFileOps.sleep = &NoPause;
    if (mode != L"0") {
        crashAt = mode == L"count" ? 0 : std::wcstoul(mode.c_str(), nullptr, 10);
        installFileOps = {&CrashCreateDirectory, &CrashCreateFile, &CrashWriteFile,  &CrashFlush,
                          &CrashClose,           &CrashDelete,     &CrashAttributes, &CrashMove,
                          &CrashSetAttributes,   &NoPause,         &HashFileSha256};
    }
    UpdateResult result;
    RunUpdate(result);
    if (!WriteOut(L"calls.txt", CallLog()) ||
        !WriteOut(L"result.txt", (result.succeeded ? L"1\n" : L"0\n") + result.message)) {
        return 2;
    }
    return result.succeeded ? 0 : 1;
}
