// An empty top-level window of the launcher's client size: the floor for start-up and
// message round trips under the same Wine. Built a second time with VANTOR_BENCH_IMPORTS, it
// also imports the system DLLs that the launcher imports, so start-up splits into the window
// and the loading of those DLLs.
#include <windows.h>

#ifdef VANTOR_BENCH_IMPORTS
#include <bcrypt.h>
#include <shellapi.h>
#include <wincrypt.h>
#include <winhttp.h>
#include <winsock2.h>
#endif

namespace {

#ifdef VANTOR_BENCH_IMPORTS
// Referenced, never called: enough for the loader to map each DLL at start.
const void* volatile launcherImports[] = {
    reinterpret_cast<const void*>(&::WinHttpOpen),
    reinterpret_cast<const void*>(&::BCryptOpenAlgorithmProvider),
    reinterpret_cast<const void*>(&::CryptStringToBinaryA),
    reinterpret_cast<const void*>(&::ShellExecuteW),
    reinterpret_cast<const void*>(&::WSAStartup),
};
#endif

LRESULT CALLBACK MinimalWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_DESTROY) {
        ::PostQuitMessage(0);
        return 0;
    }
    return ::DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand) {
#ifdef VANTOR_BENCH_IMPORTS
    if (launcherImports[0] == nullptr) return 1;
#endif
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = &MinimalWindowProc;
    windowClass.hInstance = instance;
    windowClass.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_WINDOW + 1));
    windowClass.lpszClassName = L"VantorBenchMinimalWindow";
    if (::RegisterClassExW(&windowClass) == 0) return 1;
    const DWORD style = WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
    RECT outer{0, 0, 520, 330};
    ::AdjustWindowRectEx(&outer, style, FALSE, 0);
    HWND window = ::CreateWindowExW(0, windowClass.lpszClassName, L"Minimal", style, CW_USEDEFAULT,
                                    CW_USEDEFAULT, outer.right - outer.left,
                                    outer.bottom - outer.top, nullptr, nullptr, instance, nullptr);
    if (window == nullptr) return 1;
    ::ShowWindow(window, showCommand);
    ::UpdateWindow(window);
    MSG message{};
    while (::GetMessageW(&message, nullptr, 0, 0) > 0) {
        ::TranslateMessage(&message);
        ::DispatchMessageW(&message);
    }
    return 0;
}
