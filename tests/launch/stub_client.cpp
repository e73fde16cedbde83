// Stand-in game client for the launch tests. Records how it was started to
// stub-client-record.txt beside itself (UTF-16, "key=value" lines), then behaves as
// stub-client-mode.txt beside it says (ASCII, one word; absent = "exit"):
//   exit         end at once
//   window       a visible unowned window "Stub Main"
//   owned-first  a visible owned popup "Stub Owned" first, its hidden owner "Stub Main" shown later
//   hidden-first a hidden unowned "Stub Hidden" first, a visible unowned "Stub Main" later
//   owned-only   like owned-first, but the owner is never shown
//   none         no window at all
// Every mode but "exit" ends when stub-client-quit appears beside it or a window is closed.
#include <windows.h>

#include <string>

namespace {

constexpr UINT_PTR PollTimer = 1;
constexpr UINT_PTR LaterTimer = 2;
constexpr UINT LaterMs = 700;

std::wstring selfDir;
std::string mode;
HWND mainWindow = nullptr;

std::wstring Beside(const wchar_t* name) {
    return selfDir + L"\\" + name;
}

bool Exists(const std::wstring& path) {
    return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string ReadMode() {
    HANDLE file = ::CreateFileW(Beside(L"stub-client-mode.txt").c_str(), GENERIC_READ,
                                FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return "exit";
    char text[64] = {};
    DWORD read = 0;
    ::ReadFile(file, text, sizeof text - 1, &read, nullptr);
    ::CloseHandle(file);
    std::string word(text, read);
    while (!word.empty() && (word.back() == '\n' || word.back() == '\r' || word.back() == ' ')) {
        word.pop_back();
    }
    return word;
}

// Written under another name and renamed, so a reader never sees half a record.
void WriteRecord() {
    std::wstring record = L"commandline=";
    record += ::GetCommandLineW();
    wchar_t directory[MAX_PATH] = {};
    ::GetCurrentDirectoryW(MAX_PATH, directory);
    record += L"\ncwd=";
    record += directory;
    wchar_t compat[32768] = {};
    ::SetLastError(ERROR_SUCCESS);
    const DWORD length = ::GetEnvironmentVariableW(L"__COMPAT_LAYER", compat, 32768);
    const bool absent = length == 0 && ::GetLastError() == ERROR_ENVVAR_NOT_FOUND;
    record += absent ? L"\ncompat=<absent>" : std::wstring(L"\ncompat=") + compat;
    record += L"\nmode=" + std::wstring(mode.begin(), mode.end());
    record += L"\npid=" + std::to_wstring(::GetCurrentProcessId()) + L"\n";

    const std::wstring partial = Beside(L"stub-client-record.partial");
    HANDLE file =
        ::CreateFileW(partial.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    ::WriteFile(file, record.data(), static_cast<DWORD>(record.size() * sizeof(wchar_t)), &written,
                nullptr);
    ::CloseHandle(file);
    ::MoveFileExW(partial.c_str(), Beside(L"stub-client-record.txt").c_str(),
                  MOVEFILE_REPLACE_EXISTING);
}

HWND MakeWindow(const wchar_t* title, DWORD style, HWND owner) {
    return ::CreateWindowExW(0, L"VantorStubClient", title, style, 40, 40, 320, 200, owner, nullptr,
                             ::GetModuleHandleW(nullptr), nullptr);
}

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_TIMER:
            if (wParam == PollTimer && Exists(Beside(L"stub-client-quit"))) {
                ::PostQuitMessage(0);
            } else if (wParam == LaterTimer) {
                ::KillTimer(window, LaterTimer);
                if (mode == "owned-first") {
                    ::ShowWindow(mainWindow, SW_SHOWNORMAL);
                } else {
                    MakeWindow(L"Stub Main", WS_OVERLAPPEDWINDOW | WS_VISIBLE, nullptr);
                }
            }
            return 0;
        case WM_CLOSE:
            ::PostQuitMessage(0);
            return 0;
        case WM_SETTEXT: {
            const LRESULT result = ::DefWindowProcW(window, message, wParam, lParam);
            ::InvalidateRect(window, nullptr, TRUE);
            return result;
        }
        case WM_PAINT: {
            // The title in the client area too, so that a screenshot without a frame shows it.
            PAINTSTRUCT paint;
            HDC dc = ::BeginPaint(window, &paint);
            wchar_t title[128] = {};
            ::GetWindowTextW(window, title, 128);
            RECT area;
            ::GetClientRect(window, &area);
            ::DrawTextW(dc, title, -1, &area, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
            ::EndPaint(window, &paint);
            return 0;
        }
        default:
            return ::DefWindowProcW(window, message, wParam, lParam);
    }
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    wchar_t self[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, self, MAX_PATH);
    selfDir = self;
    selfDir.erase(selfDir.find_last_of(L'\\'));
    mode = ReadMode();
    WriteRecord();
    if (mode == "exit") return 0;

    if (mode == "none") {
        while (!Exists(Beside(L"stub-client-quit"))) ::Sleep(50);
        return 0;
    }

    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = &WindowProc;
    windowClass.hInstance = instance;
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_WINDOW + 1));
    windowClass.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
    windowClass.lpszClassName = L"VantorStubClient";
    if (!::RegisterClassExW(&windowClass)) return 2;

    HWND timerWindow = nullptr;
    if (mode == "window") {
        mainWindow = MakeWindow(L"Stub Main", WS_OVERLAPPEDWINDOW | WS_VISIBLE, nullptr);
        timerWindow = mainWindow;
    } else if (mode == "owned-first" || mode == "owned-only") {
        mainWindow = MakeWindow(L"Stub Main", WS_OVERLAPPEDWINDOW, nullptr);
        MakeWindow(L"Stub Owned", WS_POPUP | WS_CAPTION | WS_VISIBLE, mainWindow);
        timerWindow = mainWindow;
    } else if (mode == "hidden-first") {
        timerWindow = MakeWindow(L"Stub Hidden", WS_OVERLAPPEDWINDOW, nullptr);
    } else {
        return 3;
    }
    if (timerWindow == nullptr) return 4;
    ::SetTimer(timerWindow, PollTimer, 50, nullptr);
    if (mode == "owned-first" || mode == "hidden-first")
        ::SetTimer(timerWindow, LaterTimer, LaterMs, nullptr);

    MSG message;
    while (::GetMessageW(&message, nullptr, 0, 0) > 0) {
        ::TranslateMessage(&message);
        ::DispatchMessageW(&message);
    }
    return 0;
}
