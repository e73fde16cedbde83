// Owning wrappers for Winsock sockets and resolver results.
#pragma once

#include "common/handles.h"

#include <winsock2.h>
#include <ws2tcpip.h>

constexpr SOCKET InvalidSocketValue() noexcept {
    return INVALID_SOCKET;
}

namespace handle_close {
inline void Socket(SOCKET s) noexcept {
    ::closesocket(s);
}
inline void AddrInfo(ADDRINFOW* p) noexcept {
    ::FreeAddrInfoW(p);
}
}  // namespace handle_close

using unique_socket = unique_any<SOCKET, &handle_close::Socket, &InvalidSocketValue>;
using unique_addrinfo = unique_any<ADDRINFOW*, &handle_close::AddrInfo>;
