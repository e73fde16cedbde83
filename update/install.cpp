#include "common/handles.h"
#include "common/paths.h"
#include "update/update_seams.h"

#include <algorithm>

InstallFileOps installFileOps = {&::CreateDirectoryW,   &::CreateFileW, &::WriteFile,
                                 &::FlushFileBuffers,   &::CloseHandle, &::DeleteFileW,
                                 &::GetFileAttributesW, &::MoveFileExW, &::SetFileAttributesW};

namespace {

void CloseThroughOps(HANDLE handle) noexcept {
    installFileOps.closeHandle(handle);
}
using unique_install_file = unique_any<HANDLE, &CloseThroughOps, &InvalidFileHandleValue>;

constexpr DWORD WriteChunkBytes = 1048576;
constexpr wchar_t UpdateVersionText[] = L"1.2.2";

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

bool IsExistingFile(const std::wstring& path) {
    const DWORD attributes = installFileOps.getFileAttributes(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

UpdateResult Failure(const std::wstring& message) {
    return {false, false, message};
}

// A moved target keeps its read-only bit, and Windows refuses to delete a read-only file: such a
// backup would stay for good and make every later move aside of its target fail.
void DeleteBackup(const std::wstring& backupPath) {
    if (installFileOps.deleteFile(backupPath.c_str()) || ::GetLastError() != ERROR_ACCESS_DENIED) {
        return;
    }
    // A directory of that name is someone else's, and so is any other reason for the refusal.
    const DWORD attributes = installFileOps.getFileAttributes(backupPath.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ||
        (attributes & FILE_ATTRIBUTE_READONLY) == 0) {
        return;
    }
    if (installFileOps.setFileAttributes(backupPath.c_str(), FILE_ATTRIBUTE_NORMAL)) {
        installFileOps.deleteFile(backupPath.c_str());
    }
}

void DeleteStagingFiles(const std::vector<StagedFile>& stagedFiles, const StagedFile* current) {
    for (const StagedFile& file : stagedFiles) installFileOps.deleteFile(file.stagingPath.c_str());
    if (current) installFileOps.deleteFile(current->stagingPath.c_str());
}

// Undoes the install for every record, also those the install never reached. False when a
// file this run moved aside could not be put back.
bool RollBack(const std::vector<StagedFile>& stagedFiles, size_t installedCount) {
    bool restored = true;
    for (size_t j = 0; j < stagedFiles.size(); ++j) {
        const StagedFile& file = stagedFiles[j];
        installFileOps.deleteFile(file.stagingPath.c_str());
        if (j < installedCount) installFileOps.deleteFile(file.targetPath.c_str());
        if (file.backedUp) {
            // Moved aside by this run: it goes back without a look first, which could fail and
            // skip it unnoticed.
            if (!installFileOps.moveFileEx(file.backupPath.c_str(), file.targetPath.c_str(),
                                           MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
                restored = false;
            }
        } else if (IsExistingFile(file.backupPath)) {
            // A backup left by an earlier, interrupted run may only fill a missing target:
            // replacing with it would overwrite a file that this run never touched.
            installFileOps.moveFileEx(file.backupPath.c_str(), file.targetPath.c_str(),
                                      MOVEFILE_WRITE_THROUGH);
        }
    }
    return restored;
}

}  // namespace

void RestoreLeftoverBackups(const std::wstring& installDir) {
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
        installFileOps.moveFileEx(backupPath.c_str(), targetPath.c_str(), MOVEFILE_WRITE_THROUGH);
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

bool WriteWholeFile(const std::wstring& path, const ByteBuffer& bytes) {
    unique_install_file file(
        installFileOps.createFile(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_WRITE_THROUGH, nullptr));
    if (!file) return false;
    for (size_t offset = 0; offset < bytes.size();) {
        const DWORD piece =
            static_cast<DWORD>(std::min<size_t>(bytes.size() - offset, WriteChunkBytes));
        DWORD written = 0;
        if (!installFileOps.writeFile(file.get(), bytes.data() + offset, piece, &written,
                                      nullptr) ||
            written != piece) {
            file.reset();
            installFileOps.deleteFile(path.c_str());
            return false;
        }
        offset += piece;
    }
    const bool flushed = installFileOps.flushFileBuffers(file.get()) != FALSE;
    file.reset();
    if (!flushed) {
        installFileOps.deleteFile(path.c_str());
        return false;
    }
    return true;
}

UpdateResult ApplyUpdates(const std::wstring& installDir,
                          const std::vector<ManifestEntry>& updateList) {
    std::vector<StagedFile> stagedFiles;
    stagedFiles.reserve(updateList.size());
    for (const ManifestEntry& entry : updateList) {
        const std::wstring targetPath = JoinPath(installDir, entry.relativePath.c_str());
        StagedFile file{.entry = entry,
                        .targetPath = targetPath,
                        .stagingPath = targetPath + L".vantor-new",
                        .backupPath = targetPath + L".vantor-backup"};

        if (!CreateParentDirectories(file.targetPath, installDir)) {
            DeleteStagingFiles(stagedFiles, &file);
            return Failure(DirectoryFailedText);
        }
        std::wstring downloadError;
        bool written = false;
        {
            ByteBuffer body;
            written = updateRunSeams.httpsGet(file.entry.remotePath, file.entry.size, body,
                                              downloadError) &&
                      body.size() == file.entry.size && WriteWholeFile(file.stagingPath, body);
        }  // the body is released before the next download
        if (!written) {
            DeleteStagingFiles(stagedFiles, &file);
            return Failure(DownloadFailedText + downloadError);
        }
        Sha256Digest digest{};
        if (!HashFileSha256(file.stagingPath, digest) || digest != file.entry.sha256) {
            DeleteStagingFiles(stagedFiles, &file);
            return Failure(DigestFailedText);
        }
        stagedFiles.push_back(std::move(file));
    }

    size_t installedCount = 0;
    for (StagedFile& file : stagedFiles) {
        if (IsExistingFile(file.targetPath)) {
            DeleteBackup(file.backupPath);
            if (!installFileOps.moveFileEx(file.targetPath.c_str(), file.backupPath.c_str(),
                                           MOVEFILE_WRITE_THROUGH)) {
                break;
            }
            file.backedUp = true;
        } else if (IsExistingFile(file.backupPath)) {
            // A run that ended between its two moves left the old file only at the backup
            // name: keep it as this run's backup, so that a rollback gives it back.
            file.backedUp = true;
        }
        if (!installFileOps.moveFileEx(file.stagingPath.c_str(), file.targetPath.c_str(),
                                       MOVEFILE_WRITE_THROUGH)) {
            // Back at once; once there, the rollback has nothing more to put back for it.
            if (file.backedUp &&
                installFileOps.moveFileEx(file.backupPath.c_str(), file.targetPath.c_str(),
                                          MOVEFILE_WRITE_THROUGH)) {
                file.backedUp = false;
            }
            break;
        }
        ++installedCount;
    }

    if (installedCount < stagedFiles.size()) {
        return Failure(RollBack(stagedFiles, installedCount) ? InstallFailedText : NotRestoredText);
    }
    for (const StagedFile& file : stagedFiles) DeleteBackup(file.backupPath);
    return {true, true, std::wstring(L"Updated to ") + UpdateVersionText};
}
