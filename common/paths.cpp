#include "common/paths.h"

#include <windows.h>

#include <vector>

namespace {
constexpr DWORD ModulePathBufferSize = 32768;
}

bool InstallDirectoryFromModulePath(const wchar_t* path, unsigned long count,
                                    unsigned long bufferSize, std::wstring& installDir) {
    if (count == 0 || count >= bufferSize) return false;
    std::wstring_view full(path, count);
    const size_t separator = full.find_last_of(L"\\/");
    if (separator == std::wstring_view::npos) return false;
    installDir.assign(full.substr(0, separator));
    return true;
}

bool GetInstallDirectory(std::wstring& installDir) {
    std::vector<wchar_t> buffer(ModulePathBufferSize, L'\0');
    const DWORD count = ::GetModuleFileNameW(nullptr, buffer.data(), ModulePathBufferSize);
    return InstallDirectoryFromModulePath(buffer.data(), count, ModulePathBufferSize, installDir);
}

std::wstring JoinPath(const std::wstring& base, const wchar_t* name) {
    std::wstring joined(base);
    if (!joined.empty() && joined.back() != L'\\') joined.push_back(L'\\');
    joined.append(name);
    return joined;
}

std::wstring DirectoryArgument(const std::wstring& directory) {
    if (directory.empty() || directory.back() == L'\\' || directory.back() == L'/')
        return directory;
    return directory + L'\\';
}

bool IsPlainFile(const std::wstring& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}
