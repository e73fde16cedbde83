// Whole update runs against installed files that resist being replaced.
#include "tests/update/update_test_support.h"

#include <gtest/gtest.h>

#include <list>

namespace {

constexpr wchar_t InstallFailed[] =
    L"Unable to install the Vantor update. Existing files were restored.";
constexpr wchar_t NotRestored[] =
    L"Unable to install the Vantor update. Some files could not be restored; start Vantor again "
    L"to repair them.";
constexpr wchar_t Updated[] = L"Updated to 1.2.2";
constexpr wchar_t UpToDate[] = L"Up to date";

const std::wstring pathA = L"Data\\prontera.gat";
const std::wstring pathC = L"Data\\luafiles514\\lua files\\datainfo\\itemInfo.lub";
const std::wstring pathB = L"System\\itemInfo.lub";
const std::vector<ListedFile> release = {
    {Narrow(pathA), "/patch/files/prontera.gat", "new prontera map"},
    {Narrow(pathC), "/patch/files/itemInfo-deep.lub", "new item info"},
    {Narrow(pathB), "/patch/files/itemInfo.lub", "new system items"},
};

// The whole installation after a successful run, beside what it was before.
TreeSnapshot Released(TreeSnapshot tree) {
    for (const ListedFile& file : release) {
        tree[Widen(file.relativePath)] = file.release;
        tree.erase(Widen(file.relativePath) + L".vantor-backup");
        tree.erase(Widen(file.relativePath) + L".vantor-new");
    }
    return tree;
}

// Another program holding a file: for good, or a scanner's glance of glanceMs; from before the
// run, or from the moment the file appears during it.
struct Hold {
    std::wstring path;
    DWORD glanceMs = 0;
    bool whenItAppears = false;
    bool mapped = false;
};

struct HostileFileCase {
    const char* name;
    void (*arrange)(const TempDir& install);  // spoils the installation
    std::wstring message;
    bool rolledBack;  // else: the release is installed
    std::vector<Hold> holds = {};
    TreeSnapshot kept = {};     // files the run could not put back, as it left them
    const char* scenario = "";  // rules for the update host
};

const HostileFileCase hostileFileCases[] = {
    {"TargetHeldOpenByAnotherProcess", [](const TempDir&) {}, InstallFailed, true, {{pathB}}},
    // A glance at a file the install is about to move, or at a new file just written: the
    // install waits it out. B is served late so the scanner is sure to see the staging file.
    {"ScannerGlancesAtTheInstalledFile", [](const TempDir&) {}, Updated, false, {{pathA, 1500}}},
    {"ScannerGlancesAtTheStagingFile",
     [](const TempDir&) {},
     Updated,
     false,
     {{pathA + L".vantor-new", 1500, true}},
     {},
     R"("/patch/files/itemInfo.lub": {"delay": 0.3})"},
    // An indexer has mapped a leftover staging file: Windows refuses to truncate it (1224)
    // until the mapping ends, as it refuses a file open without sharing.
    {"IndexerMapsALeftoverStagingFile",
     [](const TempDir& install) {
         ASSERT_TRUE(WriteBytes(install / (pathA + L".vantor-new"), "half of an earlier download"));
     },
     Updated,
     false,
     {{pathA + L".vantor-new", 1500, false, true}}},
    // B stops the install and a scanner holds C, which this run added, until the rollback has
    // given up deleting it.
    {"RefusedDeleteOfAnAddedFile",
     [](const TempDir&) {},
     NotRestored,
     true,
     {{pathB}, {pathC, 0, true}},
     {{pathC, "new item info"}}},
    {"TargetIsADirectory",
     [](const TempDir& install) {
         ASSERT_TRUE(::DeleteFileW((install / pathB).c_str()));
         ASSERT_TRUE(WriteBytes(install / (pathB + L"\\inside.txt"), "a file in the way"));
     },
     InstallFailed, true},
    // The read-only bit guards contents, not the name: Windows renames such a file, so the
    // old file is moved aside and replaced like any other.
    {"ReadOnlyTarget",
     [](const TempDir& install) {
         ASSERT_TRUE(::SetFileAttributesW((install / pathB).c_str(), FILE_ATTRIBUTE_READONLY));
     },
     Updated, false},
    // What the run above left before read-only backups were deleted: a backup that could not
    // be deleted blocked every later update of its file.
    {"ReadOnlyLeftoverBackup",
     [](const TempDir& install) {
         const std::wstring backup = install / (pathB + L".vantor-backup");
         ASSERT_TRUE(WriteBytes(backup, "older system items"));
         ASSERT_TRUE(::SetFileAttributesW(backup.c_str(), FILE_ATTRIBUTE_READONLY));
     },
     Updated, false},
    // A read-only target whose install is rolled back gets its contents and its bit back.
    {"ReadOnlyTargetBeforeAFailingOne",
     [](const TempDir& install) {
         ASSERT_TRUE(::SetFileAttributesW((install / pathA).c_str(), FILE_ATTRIBUTE_READONLY));
     },
     InstallFailed,
     true,
     {{pathB}}},
    // A directory that bears the backup's name is not the launcher's to change: B cannot be
    // moved aside, and the directory keeps its attributes.
    {"DirectoryNamedLikeTheBackup",
     [](const TempDir& install) {
         const std::wstring backup = install / (pathB + L".vantor-backup");
         ASSERT_TRUE(::CreateDirectoryW(backup.c_str(), nullptr));
         ASSERT_TRUE(::SetFileAttributesW(backup.c_str(), FILE_ATTRIBUTE_HIDDEN));
     },
     InstallFailed, true},
    // Windows keeps the read-only bit of a directory but ignores it for what is created in it.
    // Wine 8 accepts the call and drops the bit (the directory reads back without it), so the
    // run goes the same way.
    {"ReadOnlyBitOnTheDirectory",
     [](const TempDir& install) {
         ASSERT_TRUE(::SetFileAttributesW((install / L"System").c_str(), FILE_ATTRIBUTE_READONLY));
     },
     Updated, false},
};

void PrintTo(const HostileFileCase& c, std::ostream* os) {
    *os << c.name;
}

class HostileFileTest : public testing::TestWithParam<HostileFileCase> {
protected:
    void SetUp() override {
        ResetHost();
        ServeRelease(release, GetParam().scenario);
        installFileOps.sleep = &CountedSleep;
        paused = 0;
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

    static VOID WINAPI CountedSleep(DWORD ms) {
        paused += ms;
        ::Sleep(ms);
    }

    static inline DWORD paused = 0;
    ScopedSeams seams{installFileOps};
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
    std::chrono::steady_clock::duration took{};
    {
        std::list<ChildProcess> holders;  // ended when this block ends, so files can be read
        for (const Hold& hold : c.holds) {
            ASSERT_TRUE(HoldOpenInAnotherProcess(holders.emplace_back(), install / hold.path,
                                                 hold.glanceMs, hold.whenItAppears, hold.mapped));
        }
        const auto start = std::chrono::steady_clock::now();
        RunUpdate(result);
        took = std::chrono::steady_clock::now() - start;
    }

    EXPECT_EQ(result.message, c.message);
    EXPECT_EQ(result.succeeded, !c.rolledBack);
    TreeSnapshot expected = c.rolledBack ? before : Released(before);
    for (const auto& [path, content] : c.kept) expected[path] = content;
    EXPECT_EQ(SnapshotTree(install.path()), expected);
    if (c.rolledBack) {
        EXPECT_EQ(Attributes(install / pathA), attributesA);
        EXPECT_EQ(Attributes(install / pathB), attributesB);
        EXPECT_EQ(Attributes(install / (pathB + L".vantor-backup")), attributesBackupB);
    }
    // Only a held file makes the run wait, and not for long: at most 10 s of pauses in all.
    EXPECT_EQ(paused != 0, !c.holds.empty());
    EXPECT_LT(took, std::chrono::seconds(20));
    if (c.holds.empty()) return;

    // With the other programs gone, the next start finishes the update.
    UpdateResult next;
    RunUpdate(next);
    EXPECT_EQ(next.message, c.rolledBack ? Updated : UpToDate);
    EXPECT_EQ(SnapshotTree(install.path()), Released(before));
}

INSTANTIATE_TEST_SUITE_P(Files, HostileFileTest, testing::ValuesIn(hostileFileCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
