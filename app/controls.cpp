#include "app/window.h"

namespace {

struct ControlSpec {
    const wchar_t* className;
    const wchar_t* text;
    DWORD style;
    int id;
    int x, y, width, height;
    bool titleFont;
    // Where the launcher keeps the control to change it later; null for a fixed one.
    HWND LauncherState::*slot;
    // Without it the window is not created.
    bool required;
};

constexpr DWORD Static = WS_CHILD | WS_VISIBLE;
constexpr DWORD Button = WS_CHILD | WS_VISIBLE;

const ControlSpec Controls[] = {
    {L"STATIC", L"Vantor", Static | SS_CENTER, 0, 24, 24, 472, 48, true, nullptr, true},
    {L"STATIC", L"\u7a33\u5b9a\u7b80\u4f53\u4e2d\u6587\u7248", Static | SS_CENTER, 0, 24, 72, 472,
     28, false, nullptr, false},
    {L"STATIC", L"Server Status", Static | SS_LEFT, 0, 92, 112, 130, 28, false, nullptr, false},
    {L"STATIC", L"Checking...", Static | SS_RIGHT, IDC_SERVER_STATUS, 260, 112, 168, 28, false,
     &LauncherState::serverStatusLabel, true},
    {L"STATIC", L"Client Update", Static | SS_LEFT, 0, 92, 143, 130, 28, false, nullptr, false},
    {L"STATIC", L"Checking securely...", Static | SS_RIGHT, IDC_UPDATE_STATUS, 230, 143, 198, 28,
     false, &LauncherState::updateStatusLabel, false},
    {L"BUTTON", L"Start Game", Button | BS_DEFPUSHBUTTON, IDC_START_GAME, 132, 185, 256, 54, false,
     &LauncherState::startGameButton, true},
    {L"BUTTON", L"\u5b98\u7f51", Button | BS_PUSHBUTTON, IDC_WEBSITE, 28, 266, 108, 34, false,
     nullptr, false},
    {L"BUTTON", L"\u6ce8\u518c\u8d26\u53f7", Button | BS_PUSHBUTTON, IDC_REGISTER, 146, 266, 108,
     34, false, nullptr, false},
    {L"BUTTON", L"\u5fd8\u8bb0\u5bc6\u7801", Button | BS_PUSHBUTTON, IDC_FORGOT_PASSWORD, 264, 266,
     108, 34, false, nullptr, false},
    {L"BUTTON", L"\u4e0b\u8f7d\u8bf4\u660e", Button | BS_PUSHBUTTON, IDC_DOWNLOAD, 382, 266, 108,
     34, false, nullptr, false},
};

HFONT CreateLauncherFont(int height, int weight) {
    return ::CreateFontW(height, 0, 0, 0, weight, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                         OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY,
                         DEFAULT_PITCH | FF_DONTCARE, L"Segoe UI");
}

}  // namespace

bool CreateLauncherControls(HWND window) {
    LauncherState& s = launcherState;
    s.bodyFont.reset(CreateLauncherFont(-18, FW_NORMAL));
    s.titleFont.reset(CreateLauncherFont(-36, FW_BOLD));
    s.backgroundBrush.reset(::CreateSolidBrush(BackgroundColour));
    if (!s.bodyFont || !s.titleFont || !s.backgroundBrush) return false;

    const HINSTANCE instance = ::GetModuleHandleW(nullptr);
    bool complete = true;
    for (const ControlSpec& c : Controls) {
        const HWND control = ::CreateWindowExW(
            0, c.className, c.text, c.style, c.x, c.y, c.width, c.height, window,
            reinterpret_cast<HMENU>(static_cast<INT_PTR>(c.id)), instance, nullptr);
        if (c.slot) s.*c.slot = control;
        if (!control) {
            complete = complete && !c.required;
            continue;
        }
        HFONT font = c.titleFont ? s.titleFont.get() : s.bodyFont.get();
        ::SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
    }
    return complete;
}
