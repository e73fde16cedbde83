#include "app/window.h"

#include "common/process_seams.h"

#include <exception>
#include <utility>

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

// Thread messages of the taskbar's own thread. Apply: wParam the state, with StateChanged when
// it differs from the last, lParam total in the high half and done in the low (the window's
// values fit). Renew: a new object, shown the last state again. Settled: lParam an event to set.
constexpr UINT TaskbarApply = WM_APP + 1;
constexpr UINT TaskbarRenew = WM_APP + 2;
constexpr UINT TaskbarSettled = WM_APP + 3;
constexpr WPARAM StateChanged = WPARAM{1} << 32;
// How long the window waits at its end for the thread's last calls, or a test for its calls.
constexpr DWORD TaskbarThreadEndMs = 2000;

// The window thread's record of what the button shows; the thread is told every change.
struct TaskbarButton {
    unique_handle thread;
    DWORD threadId = 0;
    TBPFLAG state = TBPF_NOPROGRESS;
    ULONGLONG done = 0;
    ULONGLONG total = 0;
};
TaskbarButton button;

struct TaskbarStart {
    HWND window;
    unique_handle ready;
};

// Results are not looked at: a call that fails leaves the button as it was, and the next change
// tries again.
void Apply(ITaskbarList3* list, HWND window, WPARAM wParam, LPARAM lParam) {
    if (!list) return;
    const auto state = static_cast<TBPFLAG>(wParam & 0xFFFFFFFFu);
    if (wParam & StateChanged) taskbarSeams.setState(list, window, state);
    if (state == TBPF_NORMAL || state == TBPF_ERROR) {
        const uint64_t packed = static_cast<uint64_t>(lParam);
        taskbarSeams.setValue(list, window, packed & 0xFFFFFFFFu, packed >> 32);
    }
}

// The object and every call to it live here: making it loads the shell's code and each call
// waits for Explorer, neither of which the window may wait for. It is made when there is first
// something to show, once the window is up: not while the window and the update start.
DWORD WINAPI TaskbarThread(LPVOID argument) {
    try {
        MSG message{};
        const HWND window = static_cast<TaskbarStart*>(argument)->window;
        // The queue exists before the window is told so: from then on no post is lost.
        ::PeekMessageW(&message, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
        ::SetEvent(static_cast<TaskbarStart*>(argument)->ready.get());
        bool com = false;
        bool made = false;
        {
            unique_taskbar_list list;
            const auto make = [&] {
                if (!std::exchange(made, true)) {
                    com = SUCCEEDED(::CoInitializeEx(
                        nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE));
                }
                list.reset(taskbarSeams.create());
            };
            WPARAM lastState = TBPF_NOPROGRESS;
            LPARAM lastBytes = 0;
            while (::GetMessageW(&message, nullptr, 0, 0) > 0) {
                switch (message.message) {
                    case TaskbarApply:
                        if (!made) make();
                        lastState = message.wParam & 0xFFFFFFFFu;
                        lastBytes = message.lParam;
                        Apply(list.get(), window, message.wParam, message.lParam);
                        break;
                    case TaskbarRenew:
                        make();
                        if (lastState != TBPF_NOPROGRESS) {
                            Apply(list.get(), window, lastState | StateChanged, lastBytes);
                        }
                        break;
                    case TaskbarSettled:
                        ::SetEvent(reinterpret_cast<HANDLE>(message.lParam));
                        break;
                    default:
                        break;
                }
            }
        }  // released in the apartment it was made in
        if (com) ::CoUninitialize();
    } catch (...) {
        std::terminate();
    }
    return 0;
}

void Post(UINT message, WPARAM wParam, LPARAM lParam) {
    if (button.thread) ::PostThreadMessageW(button.threadId, message, wParam, lParam);
}

}  // namespace

TaskbarSeams taskbarSeams = {&CreateTaskbarList, &ReleaseTaskbarList, &SetTaskbarState,
                             &SetTaskbarValue,   &::FlashWindowEx,    &::GetForegroundWindow};

UINT TaskbarButtonCreatedMessage() {
    static const UINT id = ::RegisterWindowMessageW(L"TaskbarButtonCreated");
    return id;
}

void OpenTaskbarButton(HWND window) {
    CloseTaskbarButton();
    TaskbarStart start{window, unique_handle(::CreateEventW(nullptr, TRUE, FALSE, nullptr))};
    if (!start.ready) return;
    unique_handle thread(processSeams.createThread(&TaskbarThread, &start));
    if (!thread) return;
    // Its queue is made first thing, long before the shell's code is loaded; after that the
    // thread no longer reads start.
    ::WaitForSingleObject(start.ready.get(), INFINITE);
    button.threadId = ::GetThreadId(thread.get());
    button.thread = std::move(thread);
}

void CloseTaskbarButton() {
    if (button.thread) {
        ::PostThreadMessageW(button.threadId, WM_QUIT, 0, 0);
        // Its last calls and the object's release, bounded: an Explorer that hangs must not
        // keep the launcher from ending.
        ::WaitForSingleObject(button.thread.get(), TaskbarThreadEndMs);
    }
    button = TaskbarButton{};
}

void SettleTaskbarButton() {
    const unique_handle settled(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!button.thread || !settled) return;
    Post(TaskbarSettled, 0, reinterpret_cast<LPARAM>(settled.get()));
    ::WaitForSingleObject(settled.get(), TaskbarThreadEndMs);
}

void ShowTaskbarProgress(HWND, TBPFLAG state, ULONGLONG done, ULONGLONG total) {
    if (!button.thread) return;
    if (state == button.state && done == button.done && total == button.total) return;
    const WPARAM changed = state != button.state ? StateChanged : 0;
    button.state = state;
    button.done = done;
    button.total = total;
    Post(TaskbarApply, static_cast<WPARAM>(state) | changed,
         static_cast<LPARAM>((total << 32) | (done & 0xFFFFFFFFu)));
}

void ShowTaskbarError(HWND window) {
    // Red on an empty bar shows nothing: a run that failed before staging shows a full one.
    if (button.state == TBPF_NORMAL) {
        ShowTaskbarProgress(window, TBPF_ERROR, button.done, button.total);
    } else {
        ShowTaskbarProgress(window, TBPF_ERROR, 1, 1);
    }
}

void RenewTaskbarButton(HWND) {
    Post(TaskbarRenew, 0, 0);
}

void FlashIfInBackground(HWND window) {
    const HWND front = taskbarSeams.foreground();
    // One of the launcher's own boxes in front counts as the launcher.
    if (front != nullptr && ::GetAncestor(front, GA_ROOTOWNER) == window) return;
    FLASHWINFO info{sizeof(info), window, FLASHW_TRAY | FLASHW_TIMERNOFG, 0, 0};
    taskbarSeams.flash(&info);
}
