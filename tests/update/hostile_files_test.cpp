// Whole update runs against installed files that resist being replaced.
#include "tests/update/update_test_support.h"

#include <gtest/gtest.h>

namespace {

constexpr wchar_t InstallFailed[] =
    L"Unable to install the Vantor update. Existing files were restored.";
constexpr wchar_t Updated[] = L"Updated to 1.2.2";

const std::wstring pathA = L"Data\\prontera.gat";
const std::wstring pathB = L"System\\itemInfo.lub";
const std::vector<ListedFile> release = {
    {Narrow(pathA), "/patch/files/prontera.gat", "new prontera map"},
    {"Data\\luafiles514\\lua files\\datainfo\\itemInfo.lub", "/patch/files/itemInfo-deep.lub",
     "new item info"},
    {Narrow(pathB), "/patch/files/itemInfo.lub", "new system items"},
};

// The whole installation after a successful run, beside what it was before.
TreeSnapshot Released(TreeSnapshot tree) {
    for (const ListedFile& file : release) {
        tree[Widen(file.relativePath)] = file.release;
        tree.erase(Widen(file.relativePath) + L".vantor-backup");
    }
    return tree;
}

struct HostileFileCase {
    const char* name;
    void (*arrange)(const TempDir& install);  // spoils the installation
    const wchar_t* holdOpen;                  // held open by another program during the run
    std::wstring message;
    bool rolledBack;  // else: the release is installed
};

const HostileFileCase hostileFileCases[] = {
    {"TargetHeldOpenByAnotherProcess", [](const TempDir&) {}, pathB.c_str(), InstallFailed, true},
    {"TargetIsADirectory",
     [](const TempDir& install) {
         ASSERT_TRUE(::DeleteFileW((install / pathB).c_str()));
         ASSERT_TRUE(WriteBytes(install / (pathB + L"\\inside.txt"), "a file in the way"));
     },
     nullptr, InstallFailed, true},
    // The read-only bit guards contents, not the name: Windows renames such a file, so the
    // old file is moved aside and replaced like any other.
    {"ReadOnlyTarget",
     [](const TempDir& install) {
         ASSERT_TRUE(::SetFileAttributesW((install / pathB).c_str(), FILE_ATTRIBUTE_READONLY));
     },
     nullptr, Updated, false},
    // What the run above left before read-only backups were deleted: a backup that could not
    // be deleted blocked every later update of its file.
    {"ReadOnlyLeftoverBackup",
     [](const TempDir& install) {
         const std::wstring backup = install / (pathB + L".vantor-backup");
         ASSERT_TRUE(WriteBytes(backup, "older system items"));
         ASSERT_TRUE(::SetFileAttributesW(backup.c_str(), FILE_ATTRIBUTE_READONLY));
     },
     nullptr, Updated, false},
    // A read-only target whose install is rolled back gets its contents and its bit back.
    {"ReadOnlyTargetBeforeAFailingOne",
     [](const TempDir& install) {
         ASSERT_TRUE(::SetFileAttributesW((install / pathA).c_str(), FILE_ATTRIBUTE_READONLY));
     },
     pathB.c_str(), InstallFailed, true},
    // A directory that bears the backup's name is not the launcher's to change: B cannot be
    // moved aside, and the directory keeps its attributes.
    {"DirectoryNamedLikeTheBackup",
     [](const TempDir& install) {
         const std::wstring backup = install / (pathB + L".vantor-backup");
         ASSERT_TRUE(::CreateDirectoryW(backup.c_str(), nullptr));
         ASSERT_TRUE(::SetFileAttributesW(backup.c_str(), FILE_ATTRIBUTE_HIDDEN));
     },
     nullptr, InstallFailed, true},
    // Windows keeps the read-only bit of a directory but ignores it for what is created in it.
    // Wine 8 accepts the call and drops the bit (the directory reads back without it), so the
    // run goes the same way.
    {"ReadOnlyBitOnTheDirectory",
     [](const TempDir& install) {
         ASSERT_TRUE(::SetFileAttributesW((install / L"System").c_str(), FILE_ATTRIBUTE_READONLY));
     },
     nullptr, Updated, false},
};

void PrintTo(const HostileFileCase& c, std::ostream* os) {
    *os << c.name;
}

class HostileFileTest : public testing::TestWithParam<HostileFileCase> {
protected:
    void SetUp() override {
        ResetHost();
        ServeRelease(release);
        ASSERT_TRUE(WriteBytes(install / pathA, "old prontera"));
        ASSERT_TRUE(WriteBytes(install / pathB, "old system items"));
        ASSERT_TRUE(WriteBytes(install / L"System\\itemInfo_Sak.lub", "sak items"));
        // Staging creates these and keeps them by design; here they exist already.
        ASSERT_TRUE(::CreateDirectoryW((install / L"Data\\luafiles514").c_str(), nullptr));
        ASSERT_TRUE(
            ::CreateDirectoryW((install / L"Data\\luafiles514\\lua files").c_str(), nullptr));
        ASSERT_TRUE(::CreateDirectoryW(
            (install / L"Data\\luafiles514\\lua files\\datainfo").c_str(), nullptr));
    }
    void TearDown() override {
        // TempDir cannot remove what carries the read-only bit.
        for (const std::wstring& path : {pathA, pathB, std::wstring(L"System")}) {
            ::SetFileAttributesW((install / path).c_str(), FILE_ATTRIBUTE_NORMAL);
        }
        for (const ListedFile& file : release) {
            ::SetFileAttributesW((install / (Widen(file.relativePath) + L".vantor-backup")).c_str(),
                                 FILE_ATTRIBUTE_NORMAL);
        }
    }

    TempDir install;
    ScopedInstallDirectory useInstall{install.path()};
};

DWORD Attributes(const std::wstring& path) {
    return ::GetFileAttributesW(path.c_str()) &
           (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_DIRECTORY);
}

TEST_P(HostileFileTest, EndsWithItsTextAndLosesNothing) {
    const HostileFileCase& c = GetParam();
    c.arrange(install);
    if (HasFatalFailure()) return;
    const TreeSnapshot before = SnapshotTree(install.path());
    const DWORD attributesA = Attributes(install / pathA);
    const DWORD attributesB = Attributes(install / pathB);
    const DWORD attributesBackupB = Attributes(install / (pathB + L".vantor-backup"));

    UpdateResult result;
    {
        ChildProcess holder;  // ended when this block ends, so that the file can be read
        if (c.holdOpen) {
            ASSERT_TRUE(HoldOpenInAnotherProcess(holder, install / c.holdOpen));
        }
        RunUpdate(result);
    }

    EXPECT_EQ(result.message, c.message);
    EXPECT_EQ(result.succeeded, !c.rolledBack);
    EXPECT_EQ(SnapshotTree(install.path()), c.rolledBack ? before : Released(before));
    if (c.rolledBack) {
        EXPECT_EQ(Attributes(install / pathA), attributesA);
        EXPECT_EQ(Attributes(install / pathB), attributesB);
        EXPECT_EQ(Attributes(install / (pathB + L".vantor-backup")), attributesBackupB);
    }
}

INSTANTIATE_TEST_SUITE_P(Files, HostileFileTest, testing::ValuesIn(hostileFileCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
