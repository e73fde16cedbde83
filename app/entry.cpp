#include "app/window.h"

#include <objbase.h>
#include <winsock2.h>

namespace {

constexpr int ClientWidth = 520;
constexpr int ClientHeight = 330;
constexpr DWORD MainWindowStyle = WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
constexpr int LauncherIconId = 101;
constexpr wchar_t LauncherMutexName[] = L"Local\\VANTORFinalLauncher";

// A use of a counted system facility, left when the entry returns.
template <auto Leave>
struct Entered {
    bool entered = false;
    ~Entered() {
        if (entered) Leave();
    }
};

bool StartWinsock() {
    WSADATA data{};
    return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

}  // namespace

POINT CentredPosition(int screenWidth, int screenHeight, int width, int height) {
    // Signed, truncating toward zero; a window larger than the screen keeps its negative offset.
    return POINT{(screenWidth - width) / 2, (screenHeight - height) / 2};
}

ATOM RegisterLauncherClass(HINSTANCE instance) {
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.style = 0;
    windowClass.lpfnWndProc = &LauncherWindowProc;
    windowClass.hInstance = instance;
    windowClass.hIcon = ::LoadIconW(instance, MAKEINTRESOURCEW(LauncherIconId));
    windowClass.hIconSm = ::LoadIconW(instance, MAKEINTRESOURCEW(LauncherIconId));
    windowClass.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_WINDOW + 1));
    windowClass.lpszClassName = LauncherClassName;
    return ::RegisterClassExW(&windowClass);
}

HWND CreateMainWindow(HINSTANCE instance) {
    RECT outer{0, 0, ClientWidth, ClientHeight};
    ::AdjustWindowRectEx(&outer, MainWindowStyle, FALSE, 0);
    const int width = outer.right - outer.left;
    const int height = outer.bottom - outer.top;
    const POINT at = CentredPosition(::GetSystemMetrics(SM_CXSCREEN),
                                     ::GetSystemMetrics(SM_CYSCREEN), width, height);
    return ::CreateWindowExW(0, LauncherClassName, LauncherCaption, MainWindowStyle, at.x, at.y,
                             width, height, nullptr, nullptr, instance, nullptr);
}

int RunLauncher(HINSTANCE instance, int showCommand) {
    ::SetProcessDPIAware();
    unique_handle mutex(::CreateMutexW(nullptr, TRUE, LauncherMutexName));
    const DWORD mutexError = ::GetLastError();
    // A launcher started with other rights holds a name this one may not open: the name exists.
    if (!mutex && mutexError != ERROR_ACCESS_DENIED) return 1;
    if (!mutex || mutexError == ERROR_ALREADY_EXISTS) {
        ::MessageBoxW(nullptr, L"Vantor is already running.", LauncherCaption,
                      MB_OK | MB_ICONINFORMATION);
        return 0;
    }
    // Winsock counts its users per process, and the count reaching zero ends the sockets of
    // every thread: a probe's cleanup would cut off the update's download. Held from before the
    // window until after the loop, it never falls to zero while either runs.
    const Entered<&::WSACleanup> winsock{StartWinsock()};
    // The thread that entered the apartment leaves it last, after every shell call (a web
    // page's handler may be a COM object) is done with it.
    const Entered<&::CoUninitialize> com{
        SUCCEEDED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE))};
    if (RegisterLauncherClass(instance) == 0) return 1;
    launcherState.mainWindow = CreateMainWindow(instance);
    if (launcherState.mainWindow == nullptr) return 1;
    ::ShowWindow(launcherState.mainWindow, showCommand);
    ::UpdateWindow(launcherState.mainWindow);

    MSG message{};
    while (::GetMessageW(&message, nullptr, 0, 0) > 0) {
        ::TranslateMessage(&message);
        ::DispatchMessageW(&message);
    }
    return static_cast<int>(message.wParam);
}
