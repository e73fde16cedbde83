#include "tests/status/listeners.h"

WinsockForTests::WinsockForTests() {
    WSADATA data{};
    ::WSAStartup(MAKEWORD(2, 2), &data);
}

WinsockForTests::~WinsockForTests() {
    ::WSACleanup();
}

namespace {

sockaddr_in Loopback(unsigned short port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = ::htons(port);
    address.sin_addr.s_addr = ::htonl(INADDR_LOOPBACK);
    return address;
}

// True when a non-blocking connect to the port completes within limitMs.
bool ConnectsWithin(unique_socket& socket, unsigned short port, int limitMs) {
    socket.reset(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    if (!socket) return false;
    u_long nonBlocking = 1;
    ::ioctlsocket(socket.get(), FIONBIO, &nonBlocking);
    const sockaddr_in address = Loopback(port);
    if (::connect(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0)
        return true;
    fd_set writable;
    FD_ZERO(&writable);
    FD_SET(socket.get(), &writable);
    timeval wait{0, limitMs * 1000};
    return ::select(0, nullptr, &writable, nullptr, &wait) == 1;
}

}  // namespace

bool Listener::Open(unsigned short wanted, int backlog) {
    socket.reset(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    if (!socket) return false;
    BOOL reuse = TRUE;
    ::setsockopt(socket.get(), SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&reuse),
                 sizeof reuse);
    sockaddr_in address = Loopback(wanted);
    if (::bind(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(socket.get(), backlog) != 0) {
        return false;
    }
    int length = sizeof address;
    ::getsockname(socket.get(), reinterpret_cast<sockaddr*>(&address), &length);
    port = ::ntohs(address.sin_port);
    return true;
}

unique_socket Listener::Accept(int limitMs) const {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(socket.get(), &readable);
    timeval wait{limitMs / 1000, (limitMs % 1000) * 1000};
    if (::select(0, &readable, nullptr, nullptr, &wait) != 1) return unique_socket();
    return unique_socket(::accept(socket.get(), nullptr, nullptr));
}

unsigned short RefusingPort() {
    Listener probe;
    if (!probe.Open(0)) return 0;
    return probe.port;  // closed again on return: nothing listens there any more
}

bool FullBacklog::Open(unsigned short wanted) {
    if (!listener.Open(wanted, 1)) return false;
    for (int i = 0; i < 16; ++i) {
        unique_socket filler;
        const bool connected = ConnectsWithin(filler, listener.port, 300);
        fillers.push_back(std::move(filler));
        if (!connected) return true;
    }
    return false;
}
