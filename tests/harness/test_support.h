// Helpers shared by the Windows test programs.
#pragma once

#include "common/handles.h"

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

using Bytes = std::string;

// A fresh directory under the prefix's temp folder, removed with everything in it.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::wstring& path() const { return path_; }
    std::wstring operator/(const std::wstring& relative) const;

private:
    std::wstring path_;
};

void RemoveTree(const std::wstring& path);
bool WriteBytes(const std::wstring& path, const Bytes& bytes);  // creates parent directories
std::optional<Bytes> ReadBytes(const std::wstring& path);
bool CopyInto(const std::wstring& from, const std::wstring& to);

// relative path -> content; directories map to "<dir>". For byte-identical comparisons.
using TreeSnapshot = std::map<std::wstring, Bytes>;
TreeSnapshot SnapshotTree(const std::wstring& root);

std::string Narrow(const std::wstring& text);  // UTF-8, for readable test failures
std::wstring Widen(const std::string& text);

// A file of the build tree or the source tree (the harness passes both as Unix paths).
std::wstring BuildPath(const std::wstring& relative);
std::wstring SourcePath(const std::wstring& relative);
std::wstring UnixToWindowsPath(const std::string& unixPath);

// Pumps this thread's messages until the predicate holds or the time runs out.
bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds limit);
void PumpFor(std::chrono::milliseconds duration);

std::wstring WindowText(HWND window);

struct MessageBoxSeen {
    HWND box = nullptr;
    std::wstring caption;
    std::wstring text;
    bool owned = false;  // has an owner window
};
// Waits for a message box (#32770 dialog) shown by a process; closes it when asked.
std::optional<MessageBoxSeen> WaitForMessageBox(DWORD processId, std::chrono::milliseconds limit,
                                                bool close = true);
// The dialog's message text (the static control that is not the icon).
std::wstring MessageBoxText(HWND box);

// Closes every message box of this process from a helper thread while a test waits on one.
class MessageBoxCloser {
public:
    MessageBoxCloser();
    ~MessageBoxCloser();
    MessageBoxCloser(const MessageBoxCloser&) = delete;
    MessageBoxCloser& operator=(const MessageBoxCloser&) = delete;
    std::vector<MessageBoxSeen> seen() const;
    struct Shared;

private:
    Shared* shared_;
    unique_handle thread_;
};

// Puts seam records back as they were when it was made, whatever a test swapped in them:
//   ScopedSeams seams{launcherServices, processSeams};
class ScopedSeams {
public:
    template <typename... Records>
    explicit ScopedSeams(Records&... records) {
        static_assert(sizeof...(Records) > 0, "name the records to restore");
        (Keep(records), ...);
    }
    ~ScopedSeams() {
        for (const auto& restore : restores_) restore();
    }
    ScopedSeams(const ScopedSeams&) = delete;
    ScopedSeams& operator=(const ScopedSeams&) = delete;

private:
    template <typename Record>
    void Keep(Record& record) {
        restores_.push_back([&record, saved = record] { record = saved; });
    }
    std::vector<std::function<void()>> restores_;
};

// A started Windows process, ended (if still running) when this goes out of scope.
struct ChildProcess {
    unique_process process;
    DWORD id = 0;
    DWORD error = 0;  // GetLastError of a failed Start
    bool Start(const std::wstring& exe, const std::wstring& arguments,
               const std::wstring& directory);
    // Exit code, or nullopt when it did not end in time.
    std::optional<DWORD> Wait(std::chrono::milliseconds limit);
    ~ChildProcess();
};

// Top-level windows of a process with the given class (empty = any).
std::vector<HWND> ProcessWindows(DWORD processId, const std::wstring& className);
HWND WaitForProcessWindow(DWORD processId, const std::wstring& className,
                          std::chrono::milliseconds limit);
