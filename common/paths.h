// The installation directory and paths inside it.
#pragma once

#include <string>

// The directory of the running executable, without a trailing separator.
// Leaves installDir untouched on failure.
bool GetInstallDirectory(std::wstring& installDir);

// True when path names an existing file, not a directory.
bool IsPlainFile(const std::wstring& path);

// base + "\" + name; no separator is added to an empty base or one ending in a backslash.
std::wstring JoinPath(const std::wstring& base, const wchar_t* name);

// A directory as a Windows call takes it where a directory is meant: behind a separator, so
// that a drive's root "D:" is not that drive's current directory and a last name ending in
// blanks or dots is not trimmed to another folder's ("Vantor " to "Vantor").
std::wstring DirectoryArgument(const std::wstring& directory);

// The rule behind GetInstallDirectory, declared for its tests: on a module path and the count
// GetModuleFileNameW returned (count == bufferSize means the path was cut).
bool InstallDirectoryFromModulePath(const wchar_t* path, unsigned long count,
                                    unsigned long bufferSize, std::wstring& installDir);
