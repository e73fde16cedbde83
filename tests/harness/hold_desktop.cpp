// Holds the Wine desktop for a whole harness run. Without a Wine program alive, Wine closes its
// desktop; the next window then starts a desktop of its own whose standard streams are that
// test's, and CTest waits for it to exit too. Started detached by the harness; it ends when the
// wineserver is killed.
#include "common/handles.h"

// hold_desktop READY_FILE: READY_FILE appears once the desktop window exists.
int wmain(int argc, wchar_t** argv) {
    if (argc != 2 || !GetDesktopWindow()) return 1;
    if (!unique_file(CreateFileW(argv[1], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr)))
        return 1;
    Sleep(INFINITE);
    return 0;
}
