// Another program holding a file open without delete sharing.
//   hold_open_child PATH              holds PATH shared with no one until it is ended, as a
//                                     running game client or an editor would
//   hold_open_child PATH MILLISECONDS holds PATH that long, sharing reading and writing, as a
//                                     virus scanner or an indexer glances at a new file
// Either waits for PATH to appear and for whoever writes it to let go. Exit code 0 after a
// timed hold, 1 when PATH cannot be opened within a minute, 2 for wrong arguments.
#include "common/handles.h"

#include <cwchar>

int wmain(int argc, wchar_t** argv) {
    if (argc != 2 && argc != 3) return 2;
    const bool glance = argc == 3;
    const DWORD share = glance ? FILE_SHARE_READ | FILE_SHARE_WRITE : 0;
    unique_file held;
    for (int attempt = 0; attempt < 12000 && !held; ++attempt) {
        held.reset(::CreateFileW(argv[1], GENERIC_READ, share, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
        const DWORD error = held ? ERROR_SUCCESS : ::GetLastError();
        if (error != ERROR_SUCCESS && error != ERROR_FILE_NOT_FOUND &&
            error != ERROR_PATH_NOT_FOUND && error != ERROR_SHARING_VIOLATION) {
            return 1;
        }
        if (!held) ::Sleep(5);
    }
    if (!held) return 1;
    ::Sleep(glance ? std::wcstoul(argv[2], nullptr, 10) : INFINITE);
    return 0;
}
