#include "status/probe.h"

#include "app/launcher.h"
#include "common/process_seams.h"
#include "status/winsock_handles.h"
#include "vantor_config.h"

#include <exception>

namespace {

// Longest wait for one address to accept.
constexpr long ProbeConnectWaitSeconds = 1;
constexpr long ProbeConnectWaitMicroseconds = 200000;

// Each probe starts and ends its own Winsock use, so it holds nothing between runs.
struct WinsockSession {
    bool started = false;
    WinsockSession() {
        WSADATA data{};
        started = ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }
    ~WinsockSession() {
        if (started) ::WSACleanup();
    }
    WinsockSession(const WinsockSession&) = delete;
    WinsockSession& operator=(const WinsockSession&) = delete;
};

bool ConnectsInTime(const ADDRINFOW& entry) {
    unique_socket socket(::socket(entry.ai_family, entry.ai_socktype, entry.ai_protocol));
    if (!socket) return false;
    u_long nonBlocking = 1;
    if (::ioctlsocket(socket.get(), FIONBIO, &nonBlocking) != 0) return false;
    if (::connect(socket.get(), entry.ai_addr, static_cast<int>(entry.ai_addrlen)) == 0) {
        return true;
    }
    const int error = ::WSAGetLastError();
    if (error != WSAEWOULDBLOCK && error != WSAEINPROGRESS) return false;

    fd_set writable;
    fd_set failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(socket.get(), &writable);
    FD_SET(socket.get(), &failed);
    timeval wait{ProbeConnectWaitSeconds, ProbeConnectWaitMicroseconds};
    if (::select(0, nullptr, &writable, &failed, &wait) <= 0) return false;
    if (!FD_ISSET(socket.get(), &writable) || FD_ISSET(socket.get(), &failed)) return false;
    int connectError = 0;
    int length = sizeof(connectError);
    if (::getsockopt(socket.get(), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&connectError),
                     &length) != 0) {
        return false;
    }
    return connectError == 0;
}

}  // namespace

bool ProbeServer(const wchar_t* host, const wchar_t* port) {
    WinsockSession winsock;
    if (!winsock.started) return false;
    ADDRINFOW hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    // Declared after the session so that the list is freed before Winsock is cleaned up.
    unique_addrinfo addresses;
    if (::GetAddrInfoW(host, port, &hints, addresses.put()) != 0) return false;
    for (const ADDRINFOW* entry = addresses.get(); entry != nullptr; entry = entry->ai_next) {
        if (ConnectsInTime(*entry)) return true;
    }
    return false;
}

bool ProbeGameServer() {
    return ProbeServer(GameServerHost, GameServerPort);
}

DWORD WINAPI ServerProbeThread(LPVOID window) {
    try {
        const bool reachable = ProbeGameServer();
        ::PostMessageW(static_cast<HWND>(window), WM_APP_SERVER_STATUS, reachable ? 1 : 0, 0);
        // Cleared only after the post: a tick in between must not start an overlapping probe.
        launcherState.probeRunning.exchange(0);
    } catch (...) {
        std::terminate();
    }
    return 0;
}

void StartServerProbe(HWND window) {
    LauncherState& s = launcherState;
    int32_t idle = 0;
    if (!s.probeRunning.compare_exchange_strong(idle, 1)) return;
    SetServerState(Checking);
    unique_handle thread(processSeams.createThread(&ServerProbeThread, window));
    if (!thread) {
        s.probeRunning.exchange(0);
        SetServerState(Offline);
    }
}
