#include "app/window.h"

#include "common/process_seams.h"
#include "launch/launch.h"
#include "status/probe.h"
#include "update/update.h"
#include "vantor_config.h"

#include <shellapi.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <new>
#include <string>
#include <utility>

namespace {

constexpr UINT ProbeTimerPeriodMs = 30000;
constexpr COLORREF TextColour = RGB(42, 32, 39);

// The one record the update worker has handed over and the window has not yet taken. Any program
// on the desktop can post WM_APP_UPDATE_RESULT, so lParam is trusted only when it matches.
std::atomic<UpdateResult*> updateHandOver{nullptr};

// Start Game's error boxes run a modal loop that dispatches this window's posted messages.
bool startGameRunning = false;

// From the worker's start until its result is taken: progress means something only meanwhile.
bool updateRunning = false;

// The update worker's install phase against a close: a process that ends while installed files
// are replaced leaves some new and some old, so a close then waits for the install to end.
enum InstallGate : int { GateOpen, GateInstalling, GateClosed };
std::atomic<int> installGate{GateOpen};
// The player closed the window while the install ran: it is hidden and ends with the result.
bool closeWhenInstalled = false;
bool endOfSessionHeld = false;
// How long the end of the session waits for an install: longer than the install's own pauses.
constexpr DWORD EndOfSessionWaitMs = 30000;
constexpr wchar_t EndOfSessionReasonText[] = L"Installing the Vantor update.";

constexpr std::chrono::milliseconds ProgressPostInterval{100};

// The worker's side of its progress posts: a new phase is posted at once, bytes no more often
// than every ProgressPostInterval, whatever the speed of the download.
struct ProgressPoster {
    HWND window = nullptr;
    bool posted = false;
    UpdatePhase phase = UpdatePhase::Checking;
    std::chrono::steady_clock::time_point postedAt;
};

void PostUpdateProgress(void* context, UpdatePhase phase, uint64_t done, uint64_t total) {
    ProgressPoster& poster = *static_cast<ProgressPoster*>(context);
    const auto now = std::chrono::steady_clock::now();
    if (poster.posted && phase == poster.phase && now - poster.postedAt < ProgressPostInterval) {
        return;
    }
    poster.posted = true;
    poster.phase = phase;
    poster.postedAt = now;
    // Never waits for the window; a post that fails is only a bar that lags.
    ::PostMessageW(poster.window, WM_APP_UPDATE_PROGRESS, static_cast<WPARAM>(phase),
                   PackProgressBytes(done, total));
}

bool EnterInstall(void*) {
    int open = GateOpen;
    return installGate.compare_exchange_strong(open, GateInstalling);
}

void LeaveInstall(void*) {
    int installing = GateInstalling;
    installGate.compare_exchange_strong(installing, GateOpen);
}

// True when nothing is being installed, and from now on nothing will be.
bool CloseInstallGate() {
    int open = GateOpen;
    return installGate.compare_exchange_strong(open, GateClosed) || open == GateClosed;
}

// Log-off and shut-down are held off, with a reason the system shows, for the install phase only.
void HoldEndOfSession(HWND window, bool hold) {
    if (hold == endOfSessionHeld) return;
    endOfSessionHeld = hold;
    if (hold) {
        ::ShutdownBlockReasonCreate(window, EndOfSessionReasonText);
    } else {
        ::ShutdownBlockReasonDestroy(window);
    }
}

INT_PTR ShellOpen(HWND owner, const wchar_t* address) {
    return reinterpret_cast<INT_PTR>(
        ::ShellExecuteW(owner, L"open", address, nullptr, nullptr, SW_SHOWNORMAL));
}

// Full addresses of the web buttons, built once from the configured base.
const std::wstring& Address(int index) {
    static const std::wstring addresses[] = {
        WebsiteBase,
        std::wstring(WebsiteBase) + L"/register",
        std::wstring(WebsiteBase) + L"/forgot-password",
        std::wstring(WebsiteBase) + L"/download",
    };
    return addresses[index];
}

// The address behind a web button, or null for any other id.
const wchar_t* WebsiteAddressFor(int controlId) {
    switch (controlId) {
        case IDC_WEBSITE:
            return Address(0).c_str();
        case IDC_REGISTER:
            return Address(1).c_str();
        case IDC_FORGOT_PASSWORD:
            return Address(2).c_str();
        case IDC_DOWNLOAD:
            return Address(3).c_str();
        default:
            return nullptr;
    }
}

void OpenWebsite(HWND owner, const wchar_t* address) {
    if (launcherServices.openAddress(owner, address) <= 32) {
        ShowLauncherError(owner, L"Unable to open the website in your default browser.");
    }
}

DWORD WINAPI UpdateWorker(LPVOID window) {
    try {
        UpdateResult* result = new (std::nothrow) UpdateResult;
        if (result == nullptr) return 0;
        std::unique_ptr<UpdateResult> owned(result);
        ProgressPoster poster;
        poster.window = static_cast<HWND>(window);
        updateProgress = {&PostUpdateProgress, &EnterInstall, &LeaveInstall, &poster};
        launcherServices.runUpdate(*owned);
        updateProgress = {};
        updateHandOver.store(owned.get());
        if (::PostMessageW(static_cast<HWND>(window), WM_APP_UPDATE_RESULT, 0,
                           reinterpret_cast<LPARAM>(owned.get()))) {
            owned.release();  // the window procedure frees it now
        } else {
            UpdateResult* published = owned.get();
            // A message forged with this very address may have taken it meanwhile.
            if (!updateHandOver.compare_exchange_strong(published, nullptr)) owned.release();
        }
    } catch (...) {
        std::terminate();
    }
    return 0;
}

// The update failed: its text in a box, the taskbar button red until the box is closed.
void ShowUpdateFailure(HWND window, const wchar_t* text) {
    ShowTaskbarError(window);
    ShowLauncherError(window, text);
    ShowTaskbarProgress(window, TBPF_NOPROGRESS, 0, 0);
}

LRESULT OnCreate(HWND window) {
    LauncherState& s = launcherState;
    OpenTaskbarButton(window);
    // Run with more rights than Explorer, the launcher would not hear a button made anew.
    ::ChangeWindowMessageFilterEx(window, TaskbarButtonCreatedMessage(), MSGFLT_ALLOW, nullptr);
    if (!CreateLauncherControls(window)) return -1;
    ::SetTimer(window, ProbeTimerId, ProbeTimerPeriodMs, nullptr);
    launcherServices.startServerProbe(window);
    s.updateSucceeded.exchange(0);
    installGate.store(GateOpen);
    closeWhenInstalled = false;
    ::SetWindowTextW(s.updateStatusLabel, L"Checking securely...");
    ::EnableWindow(s.startGameButton, FALSE);
    updateRunning = true;
    unique_handle worker(processSeams.createThread(&UpdateWorker, window));
    if (!worker) {
        updateRunning = false;
        ::SetWindowTextW(s.updateStatusLabel, L"Update check failed");
        ShowUpdateFailure(window, L"Unable to start the secure Vantor update check.");
    }
    return 0;
}

void OnUpdateResult(HWND window, LPARAM lParam) {
    LauncherState& s = launcherState;
    // Takes the slot only when it holds this very record, so a forged or repeated message
    // neither frees anything nor steals the real result still on its way.
    UpdateResult* expected = reinterpret_cast<UpdateResult*>(lParam);
    if (expected == nullptr || !updateHandOver.compare_exchange_strong(expected, nullptr)) return;
    // Owned from here on, including when a message box below is still open.
    std::unique_ptr<UpdateResult> owned(expected);
    updateRunning = false;
    HoldEndOfSession(window, false);
    if (closeWhenInstalled) {
        ::DestroyWindow(window);
        return;
    }
    FlashIfInBackground(window);
    // Start Game first: whoever reads the label as the result finds the button already set.
    s.updateSucceeded.exchange(owned->succeeded ? 1 : 0);
    ::EnableWindow(s.startGameButton, StartGameAllowed() ? TRUE : FALSE);
    ::SetWindowTextW(s.updateStatusLabel, owned->message.c_str());
    if (owned->succeeded) {
        ShowTaskbarProgress(window, TBPF_NOPROGRESS, 0, 0);
    } else {
        ShowUpdateFailure(window, owned->message.c_str());
    }
}

// Any program can post this message: it counts only while the run goes on, for a phase the run
// has and bytes within their total.
void OnUpdateProgress(HWND window, WPARAM wParam, LPARAM lParam) {
    const uint64_t packed = static_cast<uint64_t>(lParam);
    const ULONGLONG done = packed & 0xFFFFFFFFu;
    // Nothing to download is done at once.
    const ULONGLONG total = std::max<ULONGLONG>(packed >> 32, 1);
    if (!updateRunning || done > total) return;
    switch (wParam) {
        case static_cast<WPARAM>(UpdatePhase::Checking):
            ShowTaskbarProgress(window, TBPF_INDETERMINATE, 0, 0);
            break;
        case static_cast<WPARAM>(UpdatePhase::Staging):
            ShowTaskbarProgress(window, TBPF_NORMAL, done, total);
            break;
        case static_cast<WPARAM>(UpdatePhase::Installing):
            HoldEndOfSession(window, installGate.load() == GateInstalling);
            ShowTaskbarProgress(window, TBPF_NORMAL, total, total);
            break;
        default:
            break;
    }
}

LRESULT OnColourStatic(HDC dc, HWND control) {
    LauncherState& s = launcherState;
    ::SetBkColor(dc, BackgroundColour);
    COLORREF text = TextColour;
    if (control != nullptr && control == s.serverStatusLabel) {
        switch (s.serverState.load()) {
            case Reachable:
                text = RGB(25, 125, 62);
                break;
            case Offline:
                text = RGB(180, 35, 35);
                break;
            default:
                text = RGB(95, 95, 95);
                break;
        }
    }
    ::SetTextColor(dc, text);
    return reinterpret_cast<LRESULT>(s.backgroundBrush.get());
}

// A close while installed files are replaced hides the window; the result then ends it.
bool OnClose(HWND window) {
    if (CloseInstallGate()) return true;
    closeWhenInstalled = true;
    ::ShowWindow(window, SW_HIDE);
    return false;
}

// The session ends whatever the launcher answers: an install under way is let finish first.
void OnEndSession(HWND window) {
    if (CloseInstallGate()) return;
    HoldEndOfSession(window, true);
    for (DWORD waited = 0; installGate.load() == GateInstalling && waited < EndOfSessionWaitMs;
         waited += 50) {
        ::Sleep(50);
    }
}

void OnDestroy(HWND window) {
    LauncherState& s = launcherState;
    ::KillTimer(window, ProbeTimerId);
    s.gameProcess.reset();
    s.titleFont.reset();
    s.bodyFont.reset();
    s.backgroundBrush.reset();
    CloseTaskbarButton();
    HoldEndOfSession(window, false);
    updateRunning = false;
    ::PostQuitMessage(0);
}

LRESULT HandleMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_CREATE:
            return OnCreate(window);
        case WM_DESTROY:
            OnDestroy(window);
            return 0;
        case WM_CLOSE:
            if (!OnClose(window)) return 0;
            break;
        case WM_QUERYENDSESSION:
            if (installGate.load() != GateInstalling) return TRUE;
            HoldEndOfSession(window, true);
            return FALSE;
        case WM_ENDSESSION:
            if (wParam) OnEndSession(window);
            return 0;
        case WM_COMMAND: {
            const int id = LOWORD(wParam);
            if (id == IDC_START_GAME) {
                // Any program can post this command, also while the button is disabled: it
                // runs only when the button would, and not while a box of the launcher (which
                // disables the window) is open.
                if (HIWORD(wParam) == 0 && StartGameAllowed() && !startGameRunning &&
                    ::IsWindowEnabled(window)) {
                    startGameRunning = true;
                    launcherServices.startGame(window);
                    startGameRunning = false;
                }
                return 0;
            }
            if (const wchar_t* address = WebsiteAddressFor(id)) {
                OpenWebsite(window, address);
                return 0;
            }
            break;
        }
        case WM_TIMER:
            if (wParam == ProbeTimerId) launcherServices.startServerProbe(window);
            return 0;
        case WM_CTLCOLORSTATIC:
            return OnColourStatic(reinterpret_cast<HDC>(wParam), reinterpret_cast<HWND>(lParam));
        case WM_APP_SERVER_STATUS:
            SetServerState(wParam != 0 ? Reachable : Offline);
            return 0;
        case WM_APP_GAME_EXITED:
            ::DestroyWindow(window);
            return 0;
        case WM_APP_UPDATE_RESULT:
            OnUpdateResult(window, lParam);
            return 0;
        case WM_APP_UPDATE_PROGRESS:
            OnUpdateProgress(window, wParam, lParam);
            return 0;
        default:
            if (message != 0 && message == TaskbarButtonCreatedMessage()) {
                RenewTaskbarButton(window);
                return 0;
            }
            break;
    }
    return ::DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace

LauncherServices launcherServices = {&RunUpdate, &StartServerProbe, &StartGame, &ShellOpen};

LPARAM PackProgressBytes(uint64_t done, uint64_t total) {
    static_assert(sizeof(LPARAM) == sizeof(uint64_t), "the launcher is a 64-bit program");
    for (; total > 0xFFFFFFFFu; total >>= 1) done >>= 1;
    return static_cast<LPARAM>((total << 32) | (done & 0xFFFFFFFFu));
}

LRESULT CALLBACK LauncherWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    // Nothing may unwind into the system's dispatcher; running out of memory ends the process.
    try {
        return HandleMessage(window, message, wParam, lParam);
    } catch (...) {
        std::terminate();
    }
}
