#include "tests/harness/test_support.h"

#include <atomic>
#include <mutex>
#include <thread>

namespace {

std::wstring EnvironmentPath(const wchar_t* name) {
    wchar_t buffer[32768] = {};
    const DWORD count = ::GetEnvironmentVariableW(name, buffer, 32768);
    if (count == 0 || count >= 32768) return {};
    return std::wstring(buffer, count);
}

void CreateParents(const std::wstring& path) {
    for (size_t at = path.find(L'\\', 3); at != std::wstring::npos; at = path.find(L'\\', at + 1)) {
        ::CreateDirectoryW(path.substr(0, at).c_str(), nullptr);
    }
}

void SnapshotInto(const std::wstring& root, const std::wstring& relative, TreeSnapshot& out) {
    const std::wstring dir = relative.empty() ? root : root + L"\\" + relative;
    WIN32_FIND_DATAW data{};
    HANDLE find = ::FindFirstFileW((dir + L"\\*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return;
    do {
        const std::wstring name = data.cFileName;
        if (name == L"." || name == L"..") continue;
        const std::wstring child = relative.empty() ? name : relative + L"\\" + name;
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            out[child] = "<dir>";
            SnapshotInto(root, child, out);
        } else {
            out[child] = ReadBytes(root + L"\\" + child).value_or("<unreadable>");
        }
    } while (::FindNextFileW(find, &data));
    ::FindClose(find);
}

}  // namespace

TempDir::TempDir() {
    static std::atomic<unsigned> counter{0};
    wchar_t base[MAX_PATH + 1] = {};
    ::GetTempPathW(MAX_PATH + 1, base);
    std::wstring root(base);
    if (!root.empty() && root.back() == L'\\') root.pop_back();
    for (;;) {
        path_ = root + L"\\vantor-test-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
                std::to_wstring(counter++);
        if (::CreateDirectoryW(path_.c_str(), nullptr)) break;
    }
}

TempDir::~TempDir() {
    RemoveTree(path_);
}

std::wstring TempDir::operator/(const std::wstring& relative) const {
    return path_ + L"\\" + relative;
}

void RemoveTree(const std::wstring& path) {
    WIN32_FIND_DATAW data{};
    HANDLE find = ::FindFirstFileW((path + L"\\*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = data.cFileName;
            if (name == L"." || name == L"..") continue;
            const std::wstring child = path + L"\\" + name;
            ::SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
            if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                RemoveTree(child);
            } else {
                ::DeleteFileW(child.c_str());
            }
        } while (::FindNextFileW(find, &data));
        ::FindClose(find);
    }
    // A folder whose name ends in a blank or a dot is named exactly only in the long form.
    const bool trimmed =
        path.size() > 2 && path[1] == L':' && (path.back() == L' ' || path.back() == L'.');
    const std::wstring exact = trimmed ? L"\\\\?\\" + path : path;
    ::SetFileAttributesW(exact.c_str(), FILE_ATTRIBUTE_NORMAL);
    ::RemoveDirectoryW(exact.c_str());
}

bool WriteBytes(const std::wstring& path, const Bytes& bytes) {
    CreateParents(path);
    unique_file file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                   FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    size_t offset = 0;
    while (offset < bytes.size()) {
        const DWORD piece = static_cast<DWORD>(std::min<size_t>(bytes.size() - offset, 1 << 20));
        DWORD written = 0;
        if (!::WriteFile(file.get(), bytes.data() + offset, piece, &written, nullptr) ||
            written != piece) {
            return false;
        }
        offset += piece;
    }
    return true;
}

std::optional<Bytes> ReadBytes(const std::wstring& path) {
    unique_file file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return std::nullopt;
    Bytes out;
    char buffer[65536];
    DWORD got = 0;
    while (::ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr) && got > 0)
        out.append(buffer, got);
    return out;
}

bool CopyInto(const std::wstring& from, const std::wstring& to) {
    CreateParents(to);
    return ::CopyFileW(from.c_str(), to.c_str(), FALSE) != 0;
}

TreeSnapshot SnapshotTree(const std::wstring& root) {
    TreeSnapshot out;
    SnapshotInto(root, L"", out);
    return out;
}

std::string Narrow(const std::wstring& text) {
    if (text.empty()) return {};
    const int n = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                        nullptr, 0, nullptr, nullptr);
    std::string out(n, '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n,
                          nullptr, nullptr);
    return out;
}

std::wstring Widen(const std::string& text) {
    if (text.empty()) return {};
    const int n =
        ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(n, L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
    return out;
}

std::wstring UnixToWindowsPath(const std::string& unixPath) {
    std::wstring out = L"Z:" + Widen(unixPath);
    for (wchar_t& c : out) {
        if (c == L'/') c = L'\\';
    }
    return out;
}

std::wstring BuildPath(const std::wstring& relative) {
    const std::wstring build = EnvironmentPath(L"VANTOR_BUILD_DIR");
    return UnixToWindowsPath(Narrow(build)) + L"\\" + relative;
}

std::wstring SourcePath(const std::wstring& relative) {
    const std::wstring source = EnvironmentPath(L"VANTOR_SOURCE_DIR");
    return UnixToWindowsPath(Narrow(source)) + L"\\" + relative;
}

bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    for (;;) {
        MSG message;
        while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            ::TranslateMessage(&message);
            ::DispatchMessageW(&message);
        }
        if (done()) return true;
        if (std::chrono::steady_clock::now() >= end) return false;
        ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    }
}

void PumpFor(std::chrono::milliseconds duration) {
    PumpUntil([] { return false; }, duration);
}

std::wstring WindowText(HWND window) {
    const int length = ::GetWindowTextLengthW(window);
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    const int got = ::GetWindowTextW(window, text.data(), length + 1);
    text.resize(static_cast<size_t>(got));
    return text;
}

std::wstring MessageBoxText(HWND box) {
    std::wstring found;
    for (HWND child = ::GetWindow(box, GW_CHILD); child; child = ::GetWindow(child, GW_HWNDNEXT)) {
        wchar_t className[64] = {};
        ::GetClassNameW(child, className, 64);
        if (_wcsicmp(className, L"Static") != 0) continue;
        const std::wstring text = WindowText(child);
        if (!text.empty()) found = text;
    }
    return found;
}

namespace {
struct BoxSearch {
    DWORD processId;
    HWND found;
};
BOOL CALLBACK FindBox(HWND window, LPARAM lParam) {
    auto* search = reinterpret_cast<BoxSearch*>(lParam);
    DWORD pid = 0;
    ::GetWindowThreadProcessId(window, &pid);
    wchar_t className[64] = {};
    ::GetClassNameW(window, className, 64);
    if (pid == search->processId && wcscmp(className, L"#32770") == 0 &&
        ::IsWindowVisible(window)) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}
}  // namespace

std::optional<MessageBoxSeen> WaitForMessageBox(DWORD processId, std::chrono::milliseconds limit,
                                                bool close) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        BoxSearch search{processId, nullptr};
        ::EnumWindows(&FindBox, reinterpret_cast<LPARAM>(&search));
        if (search.found) {
            MessageBoxSeen seen;
            seen.box = search.found;
            seen.caption = WindowText(search.found);
            // The text control may be filled just after the dialog appears.
            for (int i = 0; i < 50 && seen.text.empty(); ++i) {
                seen.text = MessageBoxText(search.found);
                if (seen.text.empty()) ::Sleep(20);
            }
            seen.owned = ::GetWindow(search.found, GW_OWNER) != nullptr;
            if (close) ::PostMessageW(search.found, WM_COMMAND, IDOK, 0);
            return seen;
        }
        ::Sleep(20);
    }
    return std::nullopt;
}

struct MessageBoxCloser::Shared {
    std::atomic<bool> stop{false};
    mutable std::mutex lock;
    std::vector<MessageBoxSeen> seen;
};

namespace {
DWORD WINAPI CloserThread(LPVOID parameter) {
    auto* shared = static_cast<MessageBoxCloser::Shared*>(parameter);
    while (!shared->stop.load()) {
        auto seen =
            WaitForMessageBox(::GetCurrentProcessId(), std::chrono::milliseconds(50), false);
        if (seen) {
            // Counted before it is closed: once closed, the code under test may return and read
            // the count before this thread runs again.
            {
                std::lock_guard<std::mutex> guard(shared->lock);
                shared->seen.push_back(*seen);
            }
            ::PostMessageW(seen->box, WM_COMMAND, IDOK, 0);
            // Wait for the box to go so that it is counted once, however slow the machine.
            while (::IsWindow(seen->box) && !shared->stop.load()) ::Sleep(10);
        }
    }
    return 0;
}
}  // namespace

MessageBoxCloser::MessageBoxCloser() : shared_(new Shared) {
    thread_.reset(::CreateThread(nullptr, 0, &CloserThread, shared_, 0, nullptr));
}

MessageBoxCloser::~MessageBoxCloser() {
    shared_->stop.store(true);
    if (thread_) ::WaitForSingleObject(thread_.get(), INFINITE);
    delete shared_;
}

std::vector<MessageBoxSeen> MessageBoxCloser::seen() const {
    std::lock_guard<std::mutex> guard(shared_->lock);
    return shared_->seen;
}

bool ChildProcess::Start(const std::wstring& exe, const std::wstring& arguments,
                         const std::wstring& directory) {
    std::wstring commandLine = L"\"" + exe + L"\"";
    if (!arguments.empty()) commandLine += L" " + arguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    // Wine refuses a process start now and then on a loaded machine (seen: ERROR_INTERNAL_ERROR,
    // cause not found); a short retry rides out such a passing refusal, a lasting one stays.
    for (int attempt = 0;; ++attempt) {
        if (::CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                             directory.empty() ? nullptr : directory.c_str(), &startup, &info)) {
            break;
        }
        error = ::GetLastError();
        if (attempt == 2) return false;
        ::Sleep(200);
    }
    unique_handle thread(info.hThread);
    process.reset(info.hProcess);
    id = info.dwProcessId;
    return true;
}

std::optional<DWORD> ChildProcess::Wait(std::chrono::milliseconds limit) {
    if (::WaitForSingleObject(process.get(), static_cast<DWORD>(limit.count())) != WAIT_OBJECT_0) {
        return std::nullopt;
    }
    DWORD code = 0;
    ::GetExitCodeProcess(process.get(), &code);
    return code;
}

ChildProcess::~ChildProcess() {
    if (process && ::WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT) {
        ::TerminateProcess(process.get(), 99);
        ::WaitForSingleObject(process.get(), 5000);
    }
}

namespace {
struct WindowSearch {
    DWORD processId;
    std::wstring className;
    std::vector<HWND> found;
};
BOOL CALLBACK CollectWindows(HWND window, LPARAM lParam) {
    auto* search = reinterpret_cast<WindowSearch*>(lParam);
    DWORD pid = 0;
    ::GetWindowThreadProcessId(window, &pid);
    if (pid != search->processId) return TRUE;
    if (!search->className.empty()) {
        wchar_t className[256] = {};
        ::GetClassNameW(window, className, 256);
        if (search->className != className) return TRUE;
    }
    search->found.push_back(window);
    return TRUE;
}
}  // namespace

std::vector<HWND> ProcessWindows(DWORD processId, const std::wstring& className) {
    WindowSearch search{processId, className, {}};
    ::EnumWindows(&CollectWindows, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

HWND WaitForProcessWindow(DWORD processId, const std::wstring& className,
                          std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        auto windows = ProcessWindows(processId, className);
        if (!windows.empty()) return windows.front();
        ::Sleep(20);
    }
    return nullptr;
}
