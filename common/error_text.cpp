#include "common/error_text.h"

#include "common/handles.h"

#include <windows.h>

void TrimTrailingBreaks(std::wstring& text) {
    const size_t keep = text.find_last_not_of(L"\r\n ");
    text.erase(keep == std::wstring::npos ? 0 : keep + 1);
}

std::wstring WindowsErrorText(unsigned long code) {
    unique_local buffer;
    wchar_t* text = nullptr;
    const DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM,
        nullptr, code, 0, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
    buffer.reset(text);
    if (length == 0 || text == nullptr) return L"Unknown Windows error";
    std::wstring result(text, length);
    TrimTrailingBreaks(result);
    return result;
}
