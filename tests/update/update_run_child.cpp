// Runs one update run in whatever directory this program was copied to, as the launcher would,
// and leaves its outcome beside itself: first line 1 or 0, then the message (UTF-8).
#include "common/handles.h"
#include "common/paths.h"
#include "update/update.h"

#include <string>

int wmain() {
    UpdateResult result;
    RunUpdate(result);
    std::wstring directory;
    if (!GetInstallDirectory(directory)) return 2;
    const std::wstring text = (result.succeeded ? L"1\n" : L"0\n") + result.message;
    std::string bytes(text.size() * 3, '\0');
    bytes.resize(::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                       bytes.data(), static_cast<int>(bytes.size()), nullptr,
                                       nullptr));
    unique_file out(::CreateFileW(JoinPath(directory, L"run-result.txt").c_str(), GENERIC_WRITE, 0,
                                  nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    if (!out || !::WriteFile(out.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                             nullptr)) {
        return 2;
    }
    return result.succeeded ? 0 : 1;
}
