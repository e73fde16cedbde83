// Drives a running VANTOR.exe from outside, as a player would, and prints what it shows.
// Used by the demo and the end-to-end test: launcher_driver COMMAND [SECONDS]
//   wait-settled S  wait until both status labels have a result; print them
//   state           print the labels, Start Game's state and the window's visibility
//   boxes S         print and close the launcher's message boxes for S seconds
//   click-start     press Start Game
//   wait-title S    wait for a visible top-level window titled "Vantor" of another class
//   wait-hidden S   wait until the launcher window, past the update's result, is hidden
//   wait-exit S     wait until the launcher's process ends (launcher=watched first); print its
//                   exit code
//   terminate       end the launcher's process (one started from a shortcut has no parent)
// The launcher's window exists before WM_CREATE has made its controls: a missing control or an
// empty label means "not yet", and every command waits for the controls before reading anything.
#include "tests/harness/test_support.h"

#include <cstdio>
#include <cwchar>

namespace {

using namespace std::chrono;

HWND Launcher() {
    return ::FindWindowW(L"VANTORLauncherWindow", nullptr);
}

std::wstring Label(HWND window, int id) {
    return WindowText(::GetDlgItem(window, id));
}

bool HasControls(HWND window) {
    return ::GetDlgItem(window, 1001) && ::GetDlgItem(window, 1002) && ::GetDlgItem(window, 1007);
}

bool UpdateFinished(HWND window) {
    if (!HasControls(window)) return false;
    const std::wstring update = Label(window, 1007);
    return !update.empty() && update != L"Checking securely...";
}

// Both status rows show a result: the update's outcome and the probe's answer.
bool Settled(HWND window) {
    const std::wstring server = Label(window, 1002);
    return UpdateFinished(window) && (server == L"Ready" || server == L"Server Offline");
}

void Print(const std::wstring& key, const std::wstring& value) {
    std::printf("%s=%s\n", Narrow(key).c_str(), Narrow(value).c_str());
    std::fflush(stdout);
}

bool WaitFor(const std::function<bool()>& done, int seconds) {
    const auto end = steady_clock::now() + std::chrono::seconds(seconds);
    while (!done()) {
        if (steady_clock::now() > end) return false;
        ::Sleep(50);
    }
    return true;
}

void PrintState(HWND w) {
    Print(L"server", Label(w, 1002));
    Print(L"update", Label(w, 1007));
    Print(L"start", ::IsWindowEnabled(::GetDlgItem(w, 1001)) ? L"enabled" : L"disabled");
    Print(L"window", ::IsWindowVisible(w) ? L"visible" : L"hidden");
}

struct TitleSearch {
    HWND found = nullptr;
};

BOOL CALLBACK FindRetitled(HWND window, LPARAM parameter) {
    wchar_t className[128] = {};
    ::GetClassNameW(window, className, 128);
    if (::IsWindowVisible(window) && WindowText(window) == L"Vantor" &&
        std::wcscmp(className, L"VANTORLauncherWindow") != 0) {
        reinterpret_cast<TitleSearch*>(parameter)->found = window;
        return FALSE;
    }
    return TRUE;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) {
        std::fputs("usage: launcher_driver COMMAND [SECONDS]\n", stderr);
        return 2;
    }
    const std::wstring command = argv[1];
    const int seconds = argc > 2 ? _wtoi(argv[2]) : 30;
    HWND window = nullptr;
    const bool complete = WaitFor(
        [&] {
            window = Launcher();
            return window != nullptr && HasControls(window);
        },
        command == L"state" ? 0 : seconds);
    if (!complete) {
        std::fputs(window ? "launcher window without its controls\n" : "no launcher window\n",
                   stderr);
        return 1;
    }
    DWORD pid = 0;
    ::GetWindowThreadProcessId(window, &pid);

    if (command == L"wait-settled") {
        const bool settled =
            WaitFor([&] { return Settled(window) || !::IsWindow(window); }, seconds) &&
            ::IsWindow(window);
        PrintState(window);
        return settled ? 0 : 1;
    }
    if (command == L"state") {
        PrintState(window);
        return 0;
    }
    if (command == L"boxes") {
        int count = 0;
        const auto end = steady_clock::now() + std::chrono::seconds(seconds);
        while (steady_clock::now() < end) {
            if (auto box = WaitForMessageBox(pid, milliseconds(200))) {
                Print(L"box", box->text);
                ++count;
            }
        }
        return count > 0 ? 0 : 1;
    }
    if (command == L"click-start") {
        if (!::IsWindowEnabled(::GetDlgItem(window, 1001))) {
            std::fputs("Start Game is disabled\n", stderr);
            return 1;
        }
        ::PostMessageW(window, WM_COMMAND, MAKEWPARAM(1001, BN_CLICKED),
                       reinterpret_cast<LPARAM>(::GetDlgItem(window, 1001)));
        return 0;
    }
    if (command == L"wait-title") {
        TitleSearch search;
        const bool found = WaitFor(
            [&] {
                ::EnumWindows(&FindRetitled, reinterpret_cast<LPARAM>(&search));
                return search.found != nullptr;
            },
            seconds);
        if (!found) return 1;
        wchar_t className[128] = {};
        ::GetClassNameW(search.found, className, 128);
        Print(L"client-window", std::wstring(L"\"Vantor\" (class ") + className + L")");
        return 0;
    }
    if (command == L"wait-hidden") {
        // Not yet shown is not hidden: the launcher shows its window before it handles the
        // update's result, so hidden counts only after that result. A destroyed window is gone.
        const bool hidden = WaitFor(
            [&] {
                return !::IsWindow(window) ||
                       (UpdateFinished(window) && !::IsWindowVisible(window));
            },
            seconds);
        Print(L"window", !::IsWindow(window) ? L"gone" : hidden ? L"hidden" : L"visible");
        return hidden && ::IsWindow(window) ? 0 : 1;
    }
    if (command == L"wait-exit" || command == L"terminate") {
        // A launcher started from its shortcut is no child of the script that started it: its
        // end and its exit code are read here.
        unique_process process(::OpenProcess(
            SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE, FALSE, pid));
        if (!process) {
            std::fputs("cannot open the launcher's process\n", stderr);
            return 1;
        }
        // Said at once: a script may end the launcher only once it is watched.
        Print(L"launcher", L"watched");
        if (command == L"terminate") ::TerminateProcess(process.get(), 1);
        DWORD code = 0;
        const bool ended = ::WaitForSingleObject(process.get(), static_cast<DWORD>(seconds) *
                                                                    1000) == WAIT_OBJECT_0 &&
                           ::GetExitCodeProcess(process.get(), &code);
        Print(L"exit", ended ? std::to_wstring(code) : L"running");
        return ended ? 0 : 1;
    }
    std::fputs("unknown command\n", stderr);
    return 2;
}
