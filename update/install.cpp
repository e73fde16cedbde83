#include "common/error_text.h"
#include "common/handles.h"
#include "common/paths.h"
#include "update/progress.h"
#include "update/update_seams.h"

#include <algorithm>
#include <utility>

InstallFileOps installFileOps = {
    &::CreateDirectoryW,   &::CreateFileW, &::WriteFile,          &::FlushFileBuffers,
    &::CloseHandle,        &::DeleteFileW, &::GetFileAttributesW, &::MoveFileExW,
    &::SetFileAttributesW, &::Sleep,       &HashFileSha256};

namespace {

void CloseThroughOps(HANDLE handle) noexcept {
    installFileOps.closeHandle(handle);
}
using unique_install_file = unique_any<HANDLE, &CloseThroughOps, &InvalidFileHandleValue>;

constexpr DWORD WriteChunkBytes = 1048576;
constexpr wchar_t UpdateVersionText[] = L"1.2.2";
constexpr DWORD FirstPauseMs = 50;
constexpr DWORD OperationPauseMs = 2000;
// A backup left after a success is deleted by the next run: not worth holding "Updated to" back.
constexpr unsigned long CommittedCleanupPauseMs = 500;

constexpr wchar_t DirectoryFailedText[] = L"Unable to create an update directory.";
constexpr wchar_t DownloadFailedText[] = L"Unable to download a required update.\n";
constexpr wchar_t DigestFailedText[] = L"A downloaded update failed its SHA-256 check.";
constexpr wchar_t InstallFailedText[] =
    L"Unable to install the Vantor update. Existing files were restored.";
constexpr wchar_t NotRestoredText[] =
    L"Unable to install the Vantor update. Some files could not be restored; start Vantor again "
    L"to repair them.";

struct StagedFile {
    ManifestEntry entry;
    std::wstring targetPath;
    std::wstring stagingPath;
    std::wstring backupPath;
    // This run moved the old target to backupPath and has not put it back yet; only such a
    // backup may replace a file.
    bool backedUp = false;
};

// How Windows refuses a file that another program holds open without sharing delete access, or
// has mapped into its memory (an indexer reading it), which no create may truncate meanwhile.
bool IsHeldRefusal(DWORD error) {
    return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION ||
           error == ERROR_ACCESS_DENIED || error == ERROR_USER_MAPPED_FILE;
}

bool IsNotFound(DWORD error) {
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

enum class Look { File, Missing, Other };
Look LookAt(const std::wstring& path);

// Scanners and indexers open a file the moment it is written or renamed, for a moment: a call
// they refuse is made again after growing pauses, within the operation's and the run's share of
// waiting. A file held longer still fails the step. The last error is the last attempt's.
template <typename Operation>
bool Retried(RetryBudget& budget, const std::wstring& path, const Operation& operation) {
    DWORD pause = FirstPauseMs;
    for (DWORD paused = 0;; pause *= 2) {
        if (operation()) return true;
        const DWORD error = ::GetLastError();
        const DWORD next = std::min<DWORD>({pause, OperationPauseMs - paused, budget.remainingMs});
        if (!IsHeldRefusal(error) || next == 0) return false;
        // Nobody holds a file that does not exist: that denial is the folder's, and stays.
        if (error == ERROR_ACCESS_DENIED && LookAt(path) == Look::Missing) {
            ::SetLastError(error);
            return false;
        }
        installFileOps.sleep(next);
        paused += next;
        budget.remainingMs -= next;
    }
}

bool Delete(RetryBudget& budget, const std::wstring& path) {
    return Retried(budget, path, [&] { return installFileOps.deleteFile(path.c_str()) != FALSE; });
}

bool Move(RetryBudget& budget, const std::wstring& from, const std::wstring& to, DWORD flags) {
    return Retried(budget, from, [&] {
        return installFileOps.moveFileEx(from.c_str(), to.c_str(), flags) != FALSE;
    });
}

// Only a look that says "not found" proves a path missing: one that failed otherwise may hide a
// file that a backup must never replace.
Look LookAt(const std::wstring& path) {
    const DWORD attributes = installFileOps.getFileAttributes(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return IsNotFound(::GetLastError()) ? Look::Missing : Look::Other;
    }
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ? Look::File : Look::Other;
}

UpdateResult Failure(const std::wstring& message) {
    return {false, false, message};
}

// After a denial: clears the refusing bits of a file of the launcher's own that carries any of
// them. False, with the error to go by, when there is nothing to clear.
bool ClearedRefusingBits(const std::wstring& path, DWORD refusing) {
    const DWORD attributes = installFileOps.getFileAttributes(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        ::SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    // A directory of that name is someone else's: nothing to wait for.
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        ::SetLastError(ERROR_DIRECTORY);
        return false;
    }
    // None of them: another program holds it.
    if ((attributes & refusing) == 0) {
        ::SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    return installFileOps.setFileAttributes(path.c_str(), FILE_ATTRIBUTE_NORMAL) != FALSE;
}

// A moved target keeps its read-only bit, and Windows refuses to delete a read-only file: such a
// backup would stay for good and make every later move aside of its target fail.
void DeleteBackup(RetryBudget& budget, const std::wstring& backupPath) {
    Retried(budget, backupPath, [&] {
        if (installFileOps.deleteFile(backupPath.c_str())) return true;
        return ::GetLastError() == ERROR_ACCESS_DENIED &&
               ClearedRefusingBits(backupPath, FILE_ATTRIBUTE_READONLY) &&
               installFileOps.deleteFile(backupPath.c_str());
    });
}

void DeleteStagingFiles(RetryBudget& budget, const std::vector<StagedFile>& stagedFiles,
                        const StagedFile* current) {
    for (const StagedFile& file : stagedFiles) Delete(budget, file.stagingPath);
    if (current) Delete(budget, current->stagingPath);
}

// Undoes the install for every record, also those the install never reached. False when any
// step that puts the installation back as it was is refused.
bool RollBack(RetryBudget& budget, const std::vector<StagedFile>& stagedFiles,
              size_t installedCount) {
    // However much the install spent, putting things back always has its reserve.
    budget.remainingMs += std::exchange(budget.rollbackReserveMs, 0);
    bool restored = true;
    for (size_t j = 0; j < stagedFiles.size(); ++j) {
        const StagedFile& file = stagedFiles[j];
        Delete(budget, file.stagingPath);
        // A file this run added stays unless its delete goes through; a replaced one is covered
        // by the move back below.
        if (j < installedCount && !Delete(budget, file.targetPath) && !file.backedUp) {
            restored = false;
        }
        if (file.backedUp) {
            // Moved aside by this run: it goes back without a look first, which could fail and
            // skip it unnoticed.
            if (!Move(budget, file.backupPath, file.targetPath,
                      MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
                restored = false;
            }
        } else if (LookAt(file.targetPath) == Look::Missing &&
                   LookAt(file.backupPath) == Look::File &&
                   !Move(budget, file.backupPath, file.targetPath, MOVEFILE_WRITE_THROUGH) &&
                   !IsNotFound(::GetLastError())) {
            // A backup left by an earlier, interrupted run may fill only a missing target;
            // usually there is no such backup.
            restored = false;
        }
    }
    return restored;
}

// Left on every way out of the install phase, after its last file step.
struct InstallPhase {
    InstallPhase() = default;
    InstallPhase(const InstallPhase&) = delete;
    InstallPhase& operator=(const InstallPhase&) = delete;
    ~InstallPhase() { LeaveInstallPhase(); }
};

bool IsSeparator(wchar_t c) {
    return c == L'\\' || c == L'/';
}

}  // namespace

std::wstring LongPathForm(const std::wstring& given) {
    // Behind a separator: a drive's root, as the installation directory of a program in it
    // reads, is that root, and the last name keeps the blanks and dots that it ends in.
    const std::wstring path = DirectoryArgument(given);
    const bool drive = path.size() > 2 && path[1] == L':' && IsSeparator(path[2]);
    const bool unc = path.size() > 2 && IsSeparator(path[0]) && IsSeparator(path[1]);
    // Already in that form, or a device path; and what is not absolute is left as it is, since
    // completing it would bring in the current directory.
    if (unc && (path[2] == L'?' || path[2] == L'.') && (path.size() == 3 || IsSeparator(path[3]))) {
        return given;
    }
    if (!unc && !drive) return given;
    // The full path that Windows would make of it anyway (separators, "." and ".." steps), since
    // the long form is taken as it stands.
    std::wstring full(path.size() + 1, L'\0');
    for (;;) {
        const DWORD length =
            ::GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
        if (length == 0) return given;
        if (length < full.size()) {
            full.resize(length);
            break;
        }
        full.resize(length);
    }
    // The separator asked for goes again, but a drive's root keeps its own.
    if (full.size() > 3 && IsSeparator(full.back())) full.pop_back();
    // A name that ends in a dot may still lose it: the last name is kept as it was given.
    const size_t cut = given.find_last_of(L"\\/");
    const std::wstring_view name =
        cut == std::wstring::npos ? std::wstring_view() : std::wstring_view(given).substr(cut + 1);
    if (!name.empty() && name != L"." && name != L"..") {
        full.resize(full.find_last_of(L'\\') + 1);
        full += name;
    }
    return unc ? L"\\\\?\\UNC" + full.substr(1) : L"\\\\?\\" + full;
}

void RestoreLeftoverBackups(const std::wstring& installDir, RetryBudget& budget) {
    for (const std::string_view relative : UpdatableFiles) {
        const std::wstring targetPath = JoinPath(installDir, Utf8ToWide(relative).c_str());
        const std::wstring backupPath = targetPath + L".vantor-backup";
        // Looked at directly: these reads change nothing, and only a move needs its fault seam.
        if (!IsPlainFile(backupPath) ||
            ::GetFileAttributesW(targetPath.c_str()) != INVALID_FILE_ATTRIBUTES) {
            continue;
        }
        // Never replacing: whatever appeared at the target meanwhile is kept. A failed move is
        // left for the next run.
        Move(budget, backupPath, targetPath, MOVEFILE_WRITE_THROUGH);
    }
}

bool CreateParentDirectories(const std::wstring& path, const std::wstring& base) {
    for (size_t at = path.find(L'\\', base.size() + 1); at != std::wstring::npos;
         at = path.find(L'\\', at + 1)) {
        const std::wstring directory = path.substr(0, at);
        if (!installFileOps.createDirectory(directory.c_str(), nullptr) &&
            ::GetLastError() != ERROR_ALREADY_EXISTS) {
            return false;
        }
    }
    return true;
}

bool WriteWholeFile(const std::wstring& path, const ByteBuffer& bytes, RetryBudget& budget,
                    std::wstring& error) {
    unique_install_file file;
    const auto create = [&] {
        file.reset(installFileOps.createFile(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                             FILE_ATTRIBUTE_NORMAL | FILE_FLAG_WRITE_THROUGH,
                                             nullptr));
        return file.valid();
    };
    // A scanner may still hold a leftover staging file of an earlier run; CREATE_ALWAYS refuses
    // one that is read-only, hidden or system, which would otherwise stop every later update.
    if (!Retried(budget, path, [&] {
            return create() ||
                   (::GetLastError() == ERROR_ACCESS_DENIED &&
                    ClearedRefusingBits(path, FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                                  FILE_ATTRIBUTE_SYSTEM) &&
                    create());
        })) {
        error = WindowsErrorText(::GetLastError());
        return false;
    }
    for (size_t offset = 0; offset < bytes.size();) {
        const DWORD piece =
            static_cast<DWORD>(std::min<size_t>(bytes.size() - offset, WriteChunkBytes));
        DWORD written = 0;
        const bool wrote = installFileOps.writeFile(file.get(), bytes.data() + offset, piece,
                                                    &written, nullptr) != FALSE;
        if (!wrote || written != piece) {
            // A write that takes fewer bytes than asked without failing has run out of room.
            error = WindowsErrorText(wrote ? ERROR_DISK_FULL : ::GetLastError());
            file.reset();
            Delete(budget, path);
            return false;
        }
        offset += piece;
    }
    const bool flushed = installFileOps.flushFileBuffers(file.get()) != FALSE;
    if (!flushed) error = WindowsErrorText(::GetLastError());
    file.reset();
    if (!flushed) {
        Delete(budget, path);
        return false;
    }
    return true;
}

UpdateResult ApplyUpdates(const std::wstring& installDir,
                          const std::vector<ManifestEntry>& updateList, RetryBudget& budget) {
    std::vector<StagedFile> stagedFiles;
    stagedFiles.reserve(updateList.size());
    uint64_t bytesToStage = 0;
    for (const ManifestEntry& entry : updateList) bytesToStage += entry.size;
    BeginStaging(bytesToStage);
    uint64_t stagedBytes = 0;
    for (const ManifestEntry& entry : updateList) {
        const std::wstring targetPath = JoinPath(installDir, entry.relativePath.c_str());
        StagedFile file{.entry = entry,
                        .targetPath = targetPath,
                        .stagingPath = targetPath + L".vantor-new",
                        .backupPath = targetPath + L".vantor-backup"};

        if (!CreateParentDirectories(file.targetPath, installDir)) {
            DeleteStagingFiles(budget, stagedFiles, &file);
            return Failure(DirectoryFailedText);
        }
        std::wstring downloadError;
        bool written = false;
        {
            ByteBuffer body;
            written = updateRunSeams.httpsGet(file.entry.remotePath, file.entry.size, body,
                                              downloadError) &&
                      body.size() == file.entry.size &&
                      WriteWholeFile(file.stagingPath, body, budget, downloadError);
        }  // the body is released before the next download
        if (!written) {
            DeleteStagingFiles(budget, stagedFiles, &file);
            return Failure(DownloadFailedText + downloadError);
        }
        Sha256Digest digest{};
        // A scanner that opens the new file without read sharing is waited out, as for a move.
        if (!Retried(budget, file.stagingPath,
                     [&] { return installFileOps.hashFile(file.stagingPath, digest); }) ||
            digest != file.entry.sha256) {
            DeleteStagingFiles(budget, stagedFiles, &file);
            return Failure(DigestFailedText);
        }
        ReportStagedBytes(stagedBytes += file.entry.size);
        stagedFiles.push_back(std::move(file));
    }
    ReportUpdatePhase(UpdatePhase::Installing);
    if (!EnterInstallPhase()) {
        DeleteStagingFiles(budget, stagedFiles, nullptr);
        return Failure(InstallFailedText);
    }
    const InstallPhase installing;

    size_t installedCount = 0;
    for (StagedFile& file : stagedFiles) {
        const Look target = LookAt(file.targetPath);
        if (target == Look::File) {
            DeleteBackup(budget, file.backupPath);
            if (!Move(budget, file.targetPath, file.backupPath, MOVEFILE_WRITE_THROUGH)) break;
            file.backedUp = true;
        } else if (target == Look::Missing && LookAt(file.backupPath) == Look::File) {
            // A run that ended between its two moves left the old file only at the backup
            // name: keep it as this run's backup, so that a rollback gives it back.
            file.backedUp = true;
        }
        if (!Move(budget, file.stagingPath, file.targetPath, MOVEFILE_WRITE_THROUGH)) {
            // Back at once; once there, the rollback has nothing more to put back for it.
            if (file.backedUp &&
                Move(budget, file.backupPath, file.targetPath, MOVEFILE_WRITE_THROUGH)) {
                file.backedUp = false;
            }
            break;
        }
        ++installedCount;
    }

    if (installedCount < stagedFiles.size()) {
        return Failure(RollBack(budget, stagedFiles, installedCount) ? InstallFailedText
                                                                     : NotRestoredText);
    }
    RetryBudget cleanup{std::min(budget.remainingMs, CommittedCleanupPauseMs), 0};
    for (const StagedFile& file : stagedFiles) DeleteBackup(cleanup, file.backupPath);
    return {true, true, std::wstring(L"Updated to ") + UpdateVersionText};
}
