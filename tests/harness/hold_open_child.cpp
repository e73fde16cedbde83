// Another program holding a file open without delete sharing.
//   hold_open_child PATH              holds PATH shared with no one until it is ended, as a
//                                     running game client or an editor would
//   hold_open_child PATH MILLISECONDS holds PATH that long, sharing reading and writing, as a
//                                     virus scanner or an indexer glances at a new file
//   hold_open_child PATH MILLISECONDS map
//                                     maps PATH into its memory that long, sharing everything
//                                     and holding no handle to it, as an indexer reads a file;
//                                     sets the event HeldEventName(its process id) once mapped
// Either waits for PATH to appear and for whoever writes it to let go. Exit code 0 after a
// timed hold, 1 when PATH cannot be opened within a minute, 2 for wrong arguments.
#include "common/handles.h"

#include <cwchar>
#include <string>

namespace {

void Unmap(void* view) noexcept {
    ::UnmapViewOfFile(view);
}
using unique_view = unique_any<void*, &Unmap>;

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2 || argc > 4) return 2;
    const bool glance = argc >= 3;
    const bool map = argc == 4 && std::wstring(argv[3]) == L"map";
    if (argc == 4 && !map) return 2;
    const DWORD share = map      ? FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE
                        : glance ? FILE_SHARE_READ | FILE_SHARE_WRITE
                                 : 0;
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
    unique_view view;
    if (map) {
        const unique_handle mapping(
            ::CreateFileMappingW(held.get(), nullptr, PAGE_READONLY, 0, 0, nullptr));
        if (mapping) view.reset(::MapViewOfFile(mapping.get(), FILE_MAP_READ, 0, 0, 0));
        if (!view) return 1;
        held.reset();  // the view alone keeps the file mapped
        const std::wstring event =
            L"Local\\VantorHoldMapped" + std::to_wstring(::GetCurrentProcessId());
        const unique_handle mapped(::CreateEventW(nullptr, TRUE, TRUE, event.c_str()));
        if (!mapped) return 1;
        ::Sleep(std::wcstoul(argv[2], nullptr, 10));
        return 0;
    }
    ::Sleep(glance ? std::wcstoul(argv[2], nullptr, 10) : INFINITE);
    return 0;
}
