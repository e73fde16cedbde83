// Another program holding a file open without sharing, as a running game client, a virus
// scanner or an editor would, until it is ended.
//   hold_open_child PATH   exit code 1 when PATH cannot be opened
#include "common/handles.h"

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) return 2;
    unique_file held;
    // The starter looks at the file until it is held; that look can collide with this open.
    for (int attempt = 0; attempt < 500 && !held; ++attempt) {
        held.reset(::CreateFileW(argv[1], GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!held && ::GetLastError() != ERROR_SHARING_VIOLATION) return 1;
        if (!held) ::Sleep(10);
    }
    if (!held) return 1;
    ::Sleep(INFINITE);
    return 0;
}
