// Starts a window program and measures it from outside, as the player's desktop sees it:
//   window_bench startup EXE CLASS      process start to the window shown, in ms
//   window_bench probe EXE CLASS MS     the first answer of the shown window to WM_NULL, then
//                                       the worst round trip of WM_NULL sent every 10 ms, for
//                                       MS ms, or with MS 0 until the launcher's update label
//                                       leaves "Checking securely..."
// The program is closed with WM_CLOSE afterwards.
#include "common/handles.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double MillisecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

struct Started {
    unique_process process;
    DWORD processId = 0;
};

bool Start(const std::wstring& exe, Started& started) {
    std::wstring commandLine = L"\"" + exe + L"\"";
    const std::wstring directory = exe.substr(0, exe.find_last_of(L'\\'));
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    if (!::CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                          directory.c_str(), &startup, &info)) {
        std::fprintf(stderr, "cannot start %ls: %lu\n", exe.c_str(), ::GetLastError());
        return false;
    }
    started.process.reset(info.hProcess);
    unique_handle thread(info.hThread);
    started.processId = info.dwProcessId;
    return true;
}

// The started process's visible window of the class, polled every millisecond.
HWND WaitShown(const Started& started, const wchar_t* className) {
    const auto start = Clock::now();
    while (MillisecondsSince(start) < 60000) {
        for (HWND w = ::FindWindowExW(nullptr, nullptr, className, nullptr); w != nullptr;
             w = ::FindWindowExW(nullptr, w, className, nullptr)) {
            DWORD owner = 0;
            ::GetWindowThreadProcessId(w, &owner);
            if (owner == started.processId && ::IsWindowVisible(w)) return w;
        }
        if (::WaitForSingleObject(started.process.get(), 1) == WAIT_OBJECT_0) return nullptr;
    }
    return nullptr;
}

void Close(HWND window, const Started& started) {
    ::PostMessageW(window, WM_CLOSE, 0, 0);
    if (::WaitForSingleObject(started.process.get(), 30000) != WAIT_OBJECT_0) {
        std::fputs("window did not close; ending the process\n", stderr);
        ::TerminateProcess(started.process.get(), 1);
    }
}

std::wstring UpdateLabel(HWND window) {
    wchar_t text[256] = {};
    ::GetWindowTextW(::GetDlgItem(window, 1007), text, 256);
    return text;
}

// One WM_NULL round trip in ms; it waits at most 10 s.
double RoundTrip(HWND window) {
    const auto sent = Clock::now();
    DWORD_PTR ignored = 0;
    if (!::SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_NORMAL, 10000, &ignored)) {
        std::fputs("no answer within 10 s\n", stderr);
    }
    return MillisecondsSince(sent);
}

int Probe(HWND window, int milliseconds) {
    // The first answer comes once the shown window has painted and entered its message loop:
    // a start-up figure, kept apart from the trips that follow.
    const double first = RoundTrip(window);
    std::vector<double> trips;
    double worst = -1;
    double worstAt = 0;  // ms into the probing, to tell stalls at its start from later ones
    const auto start = Clock::now();
    auto next = start;
    std::wstring label;
    for (;;) {
        const double at = MillisecondsSince(start);
        if (milliseconds > 0 && at >= milliseconds) break;
        if (milliseconds == 0) {
            label = UpdateLabel(window);
            if (label != L"Checking securely...") break;
        }
        trips.push_back(RoundTrip(window));
        if (trips.back() > worst) {
            worst = trips.back();
            worstAt = at;
        }
        next += std::chrono::milliseconds(10);
        const auto now = Clock::now();
        if (next > now) {
            ::Sleep(static_cast<DWORD>(
                std::chrono::duration_cast<std::chrono::milliseconds>(next - now).count()));
        } else {
            next = now;
        }
    }
    if (trips.empty()) {
        std::fputs("no probe was sent\n", stderr);
        return 1;
    }
    const double seconds = MillisecondsSince(start) / 1000.0;
    std::sort(trips.begin(), trips.end());
    std::printf(
        "first_ms=%.3f\nworst_ms=%.3f\nworst_at_ms=%.0f\np99_ms=%.3f\nmedian_ms=%.3f\n"
        "probes=%zu\nseconds=%.3f\n",
        first, trips.back(), worstAt, trips[trips.size() * 99 / 100], trips[trips.size() / 2],
        trips.size(), seconds);
    if (milliseconds == 0) {
        // One line for the script: the label's line feeds become " / ".
        for (size_t at = label.find(L'\n'); at != std::wstring::npos; at = label.find(L'\n', at))
            label.replace(at, 1, L" / ");
        std::printf("label=%ls\n", label.c_str());
    }
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 4) {
        std::fputs("usage: window_bench startup|probe EXE CLASS [MS]\n", stderr);
        return 2;
    }
    const std::wstring command = argv[1];
    Started started;
    const auto start = Clock::now();
    if (!Start(argv[2], started)) return 1;
    HWND window = WaitShown(started, argv[3]);
    if (window == nullptr) {
        std::fputs("the window was not shown\n", stderr);
        return 1;
    }
    int status = 0;
    if (command == L"startup") {
        std::printf("ms=%.3f\n", MillisecondsSince(start));
    } else if (command == L"probe") {
        status = Probe(window, argc > 4 ? _wtoi(argv[4]) : 0);
    } else {
        std::fputs("unknown command\n", stderr);
        status = 2;
    }
    Close(window, started);
    return status;
}
