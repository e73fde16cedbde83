// Stand-in game client for tests: records how it was started (extended by the launch tests).
#include <windows.h>

#include <cstdio>
#include <string>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    wchar_t self[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring record(self);
    record = record.substr(0, record.find_last_of(L'\\')) + L"\\stub-client-record.txt";
    if (FILE* out = _wfopen(record.c_str(), L"w, ccs=UTF-8")) {
        std::fwprintf(out, L"%ls\n", ::GetCommandLineW());
        std::fclose(out);
    }
    return 0;
}
