// TCP listeners on 127.0.0.1 for the probe tests.
#pragma once

#include "status/winsock_handles.h"

#include <string>
#include <vector>

// Winsock for the test's own sockets; the probe starts and ends its own use beside it.
struct WinsockForTests {
    WinsockForTests();
    ~WinsockForTests();
    WinsockForTests(const WinsockForTests&) = delete;
    WinsockForTests& operator=(const WinsockForTests&) = delete;
};

struct Listener {
    unique_socket socket;
    unsigned short port = 0;
    // Binds 127.0.0.1:port (0 = any free port) and listens; false when that fails.
    bool Open(unsigned short wanted, int backlog = SOMAXCONN);
    std::wstring PortText() const { return std::to_wstring(port); }
    // The next connection, waiting up to limitMs; invalid when none came.
    unique_socket Accept(int limitMs) const;
};

// A port on 127.0.0.1 that nobody listens on: connecting to it is refused.
unsigned short RefusingPort();

// Fills the listener's accept queue so that a further connect is never answered. Wine: the
// sockets are Linux's, and Linux drops SYNs to a full queue; Windows would refuse them at once
// (also "not reachable", but without the wait). Keeps the filling sockets open.
struct FullBacklog {
    Listener listener;
    std::vector<unique_socket> fillers;
    bool Open(unsigned short wanted);
};
