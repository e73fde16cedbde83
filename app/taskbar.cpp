#include "app/window.h"

namespace {

ITaskbarList3* CreateTaskbarList() {
    ITaskbarList3* taskbar = nullptr;
    // The compiler's own identifiers: naming the library's constants links its whole table of
    // them into the executable, 48 KiB of identifiers it never uses.
    if (FAILED(::CoCreateInstance(__uuidof(TaskbarList), nullptr, CLSCTX_INPROC_SERVER,
                                  __uuidof(ITaskbarList3), reinterpret_cast<void**>(&taskbar)))) {
        return nullptr;
    }
    if (FAILED(taskbar->HrInit())) {
        taskbar->Release();
        return nullptr;
    }
    return taskbar;
}

void ReleaseTaskbarList(ITaskbarList3* taskbar) {
    taskbar->Release();
}

HRESULT SetTaskbarState(ITaskbarList3* taskbar, HWND window, TBPFLAG state) {
    return taskbar->SetProgressState(window, state);
}

HRESULT SetTaskbarValue(ITaskbarList3* taskbar, HWND window, ULONGLONG done, ULONGLONG total) {
    return taskbar->SetProgressValue(window, done, total);
}

void ReleaseThroughSeams(ITaskbarList3* taskbar) noexcept {
    taskbarSeams.release(taskbar);
}
using unique_taskbar_list = unique_any<ITaskbarList3*, &ReleaseThroughSeams>;

struct TaskbarButton {
    unique_taskbar_list list;
    bool open = false;  // from WM_CREATE to WM_DESTROY
    TBPFLAG state = TBPF_NOPROGRESS;
    ULONGLONG done = 0;
    ULONGLONG total = 0;
};
TaskbarButton button;

// Results are not looked at: a call that fails leaves the button as it was, and the next change
// tries again.
void Apply(HWND window, bool stateChanged) {
    if (!button.list) return;
    if (stateChanged) taskbarSeams.setState(button.list.get(), window, button.state);
    if (button.state == TBPF_NORMAL || button.state == TBPF_ERROR) {
        taskbarSeams.setValue(button.list.get(), window, button.done, button.total);
    }
}

}  // namespace

TaskbarSeams taskbarSeams = {&CreateTaskbarList, &ReleaseTaskbarList, &SetTaskbarState,
                             &SetTaskbarValue,   &::FlashWindowEx,    &::GetForegroundWindow};

UINT TaskbarButtonCreatedMessage() {
    static const UINT id = ::RegisterWindowMessageW(L"TaskbarButtonCreated");
    return id;
}

// Made before the window is shown, and again only when the button is announced anew: the
// object's first making loads the shell's code, which would stall a window already on screen.
void OpenTaskbarButton() {
    CloseTaskbarButton();
    button.open = true;
    button.list.reset(taskbarSeams.create());
}

void CloseTaskbarButton() {
    button.list.reset();
    button = TaskbarButton{};
}

void ShowTaskbarProgress(HWND window, TBPFLAG state, ULONGLONG done, ULONGLONG total) {
    if (!button.open) return;
    if (state == button.state && done == button.done && total == button.total) return;
    const bool stateChanged = state != button.state;
    button.state = state;
    button.done = done;
    button.total = total;
    Apply(window, stateChanged);
}

void ShowTaskbarError(HWND window) {
    // Red on an empty bar shows nothing: a run that failed before staging shows a full one.
    if (button.state == TBPF_NORMAL) {
        ShowTaskbarProgress(window, TBPF_ERROR, button.done, button.total);
    } else {
        ShowTaskbarProgress(window, TBPF_ERROR, 1, 1);
    }
}

void RenewTaskbarButton(HWND window) {
    if (!button.open) return;
    button.list.reset(taskbarSeams.create());
    if (button.state != TBPF_NOPROGRESS) Apply(window, true);
}

void FlashIfInBackground(HWND window) {
    const HWND front = taskbarSeams.foreground();
    // One of the launcher's own boxes in front counts as the launcher.
    if (front != nullptr && ::GetAncestor(front, GA_ROOTOWNER) == window) return;
    FLASHWINFO info{sizeof(info), window, FLASHW_TRAY | FLASHW_TIMERNOFG, 0, 0};
    taskbarSeams.flash(&info);
}
