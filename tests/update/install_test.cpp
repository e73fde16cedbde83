#include "tests/update/update_test_support.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>
#include <set>

namespace {

constexpr wchar_t DirectoryText[] = L"Unable to create an update directory.";
constexpr wchar_t DownloadText[] = L"Unable to download a required update.\n";
constexpr wchar_t DigestText[] = L"A downloaded update failed its SHA-256 check.";
constexpr wchar_t InstallText[] =
    L"Unable to install the Vantor update. Existing files were restored.";
constexpr wchar_t NotRestoredText[] =
    L"Unable to install the Vantor update. Some files could not be restored; start Vantor again "
    L"to repair them.";
constexpr wchar_t SuccessText[] = L"Updated to 1.2.2";

// ---- file-operation fakes: forward to Win32, record every call, fail chosen calls ----

std::vector<std::string> opCalls;
std::vector<std::wstring> opPaths;
std::set<size_t> failingCalls;  // 1-based positions in opCalls
std::vector<DWORD> writeSizes;

bool Fails(const char* op, const wchar_t* path) {
    opCalls.push_back(op);
    opPaths.push_back(path ? path : L"");
    return failingCalls.count(opCalls.size()) != 0;
}

BOOL WINAPI FakeCreateDirectory(LPCWSTR path, LPSECURITY_ATTRIBUTES security) {
    if (Fails("createDirectory", path)) {
        ::SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    return ::CreateDirectoryW(path, security);
}
HANDLE WINAPI FakeCreateFile(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa,
                             DWORD disposition, DWORD flags, HANDLE templ) {
    if (Fails("createFile", path)) {
        ::SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    return ::CreateFileW(path, access, share, sa, disposition, flags, templ);
}
BOOL WINAPI FakeWriteFile(HANDLE file, LPCVOID data, DWORD count, LPDWORD written,
                          LPOVERLAPPED overlapped) {
    writeSizes.push_back(count);
    if (Fails("writeFile", nullptr)) return FALSE;
    return ::WriteFile(file, data, count, written, overlapped);
}
BOOL WINAPI FakeFlush(HANDLE file) {
    return Fails("flush", nullptr) ? FALSE : ::FlushFileBuffers(file);
}
BOOL WINAPI FakeClose(HANDLE handle) {
    const bool fail = Fails("close", nullptr);
    const BOOL closed = ::CloseHandle(handle);  // a failed close must not leak the handle
    return fail ? FALSE : closed;
}
BOOL WINAPI FakeDelete(LPCWSTR path) {
    if (Fails("delete", path)) {
        ::SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    return ::DeleteFileW(path);
}
DWORD WINAPI FakeAttributes(LPCWSTR path) {
    return Fails("attributes", path) ? INVALID_FILE_ATTRIBUTES : ::GetFileAttributesW(path);
}
BOOL WINAPI FakeMove(LPCWSTR from, LPCWSTR to, DWORD flags) {
    if (Fails("move", from)) {
        ::SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    return ::MoveFileExW(from, to, flags);
}
BOOL WINAPI FakeSetAttributes(LPCWSTR path, DWORD attributes) {
    if (Fails("setAttributes", path)) {
        ::SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    return ::SetFileAttributesW(path, attributes);
}

void UseFakeFileOps(std::set<size_t> failing = {}) {
    opCalls.clear();
    opPaths.clear();
    writeSizes.clear();
    failingCalls = std::move(failing);
    installFileOps = {&FakeCreateDirectory, &FakeCreateFile, &FakeWriteFile,
                      &FakeFlush,           &FakeClose,      &FakeDelete,
                      &FakeAttributes,      &FakeMove,       &FakeSetAttributes};
}

// ---- the download, served from memory ----

std::map<std::wstring, Bytes> served;
std::vector<std::wstring> fetched;

bool FakeHttpsGet(const std::wstring& path, uint64_t maxBytes, ByteBuffer& body,
                  std::wstring& error) {
    fetched.push_back(path);
    const auto found = served.find(path);
    if (found == served.end()) {
        error = L"Update server returned HTTP 404.";
        return false;
    }
    if (found->second.size() > maxBytes) {
        error = L"Update file exceeds the safe size limit.";
        return false;
    }
    body.assign(found->second.begin(), found->second.end());
    return true;
}

// ---- the installation: three files, an existing one, a new deep one, an existing one ----

const std::wstring pathA = L"Data\\prontera.gat";
const std::wstring pathC = L"Data\\luafiles514\\lua files\\datainfo\\itemInfo.lub";
const std::wstring pathB = L"System\\itemInfo.lub";
const Bytes oldA = "old prontera map";
const Bytes newA = "new prontera map, longer";
const Bytes newC = "new item info";
const Bytes oldB = "old system items";
const Bytes newB = "new system items!";

ManifestEntry Entry(const std::wstring& relativePath, const std::wstring& remotePath,
                    const Bytes& content) {
    return {relativePath, remotePath, content.size(), DigestOf(content)};
}

std::vector<ManifestEntry> ThreeFiles() {
    return {Entry(pathA, L"/f/a", newA), Entry(pathC, L"/f/c", newC), Entry(pathB, L"/f/b", newB)};
}

const TreeSnapshot initialTree = {
    {L"Data", "<dir>"}, {pathA, oldA}, {L"System", "<dir>"}, {pathB, oldB}};

TreeSnapshot With(TreeSnapshot tree, const TreeSnapshot& changes) {
    for (const auto& [path, content] : changes) {
        if (content == "<gone>") {
            tree.erase(path);
        } else {
            tree[path] = content;
        }
    }
    return tree;
}

const TreeSnapshot deepDirs = {{L"Data\\luafiles514", "<dir>"},
                               {L"Data\\luafiles514\\lua files", "<dir>"},
                               {L"Data\\luafiles514\\lua files\\datainfo", "<dir>"}};
const TreeSnapshot installedTree =
    With(With(initialTree, deepDirs), {{pathA, newA}, {pathC, newC}, {pathB, newB}});

void Populate(const std::wstring& root, const TreeSnapshot& tree) {
    for (const auto& [path, content] : tree) {
        if (content == "<dir>") {
            WriteBytes(root + L"\\" + path + L"\\.probe", "");
            ::DeleteFileW((root + L"\\" + path + L"\\.probe").c_str());
        } else {
            ASSERT_TRUE(WriteBytes(root + L"\\" + path, content));
        }
    }
}

class InstallTest : public testing::Test {
protected:
    void SetUp() override {
        served = {{L"/f/a", newA}, {L"/f/c", newC}, {L"/f/b", newB}};
        fetched.clear();
        updateRunSeams.httpsGet = &FakeHttpsGet;
        Populate(install.path(), initialTree);
    }
    UpdateResult Apply() { return ApplyUpdates(install.path(), ThreeFiles()); }

    ScopedSeams seams{installFileOps, updateRunSeams};
    TempDir install;
};

struct InstallCase {
    const char* name;
    TreeSnapshot extra;                   // added to the initial installation
    std::map<std::wstring, Bytes> serve;  // replaces what the host serves for a path
    const wchar_t* holdOpen;              // a file held open without sharing during the install
    std::wstring message;
    TreeSnapshot expected;
    std::vector<std::wstring> expectedFetches;
};

const std::vector<std::wstring> allFetched = {L"/f/a", L"/f/c", L"/f/b"};

const InstallCase installCases[] = {
    {"AllInstalled", {}, {}, nullptr, SuccessText, installedTree, allFetched},
    {"LeftoverBackupOfAnInstalledFileIsReplaced",
     {{pathA + L".vantor-backup", "stale"}},
     {},
     nullptr,
     SuccessText,
     installedTree,
     allFetched},
    {"LeftoverStagingFileIsOverwritten",
     {{pathB + L".vantor-new", "half a file"}},
     {},
     nullptr,
     SuccessText,
     installedTree,
     allFetched},
    {"SecondDigestWrongStopsBeforeTheThird",
     {},
     {{L"/f/c", "new item infX"}},
     nullptr,
     DigestText,
     With(initialTree, deepDirs),
     {L"/f/a", L"/f/c"}},
    {"ShortBody",
     {},
     {{L"/f/c", "new item inf"}},
     nullptr,
     DownloadText,
     With(initialTree, deepDirs),
     {L"/f/a", L"/f/c"}},
    {"LongBodyFailsInTheDownload",
     {},
     {{L"/f/b", newB + "!"}},
     nullptr,
     std::wstring(DownloadText) + L"Update file exceeds the safe size limit.",
     With(initialTree, deepDirs),
     allFetched},
    {"DownloadErrorTextFollowsTheFirstLine",
     {},
     {{L"/f/b", "<404>"}},
     nullptr,
     std::wstring(DownloadText) + L"Update server returned HTTP 404.",
     With(initialTree, deepDirs),
     allFetched},
    {"DirectoryCannotBeCreatedForTheSecond",
     {{L"Data\\luafiles514", "a file where a directory belongs"}},
     {},
     nullptr,
     DirectoryText,
     With(initialTree, {{L"Data\\luafiles514", "a file where a directory belongs"}}),
     {L"/f/a"}},
    {"TargetIsADirectoryRollsBackAll",
     {{pathB, "<dir>"}},
     {},
     nullptr,
     InstallText,
     With(With(initialTree, deepDirs), {{pathB, "<dir>"}}),
     allFetched},
    {"TargetHeldOpenRollsBackAll",
     {},
     {},
     L"System\\itemInfo.lub",
     InstallText,
     With(initialTree, deepDirs),
     allFetched},
    // The new file of this run is deleted again; the unreached third keeps its own contents
    // and the leftover backup is not allowed to overwrite it.
    {"LeftoverBackupNeverOverwritesAnUntouchedTarget",
     {{pathC, "<dir>"}, {pathB + L".vantor-backup", "stale backup"}},
     {},
     nullptr,
     InstallText,
     With(With(initialTree, deepDirs),
          {{pathC, "<dir>"}, {pathB + L".vantor-backup", "stale backup"}}),
     allFetched},
    // A target missing beside a leftover backup is what an interrupted install leaves: the
    // rollback puts that backup back in place.
    {"LeftoverBackupFillsAMissingUnreachedTarget",
     {{pathC, "<dir>"}, {pathB, "<gone>"}, {pathB + L".vantor-backup", oldB}},
     {},
     nullptr,
     InstallText,
     With(With(initialTree, deepDirs), {{pathC, "<dir>"}}),
     allFetched},
    // A run that ended between moving A aside and moving its new file in left the old A only
    // at the backup name; when this run rolls back, that old A comes back.
    {"MissingTargetBesideItsBackupComesBackOnRollback",
     {{pathA, "<gone>"}, {pathA + L".vantor-backup", oldA}, {pathB, "<dir>"}},
     {},
     nullptr,
     InstallText,
     With(With(initialTree, deepDirs), {{pathB, "<dir>"}}),
     allFetched},
};

void PrintTo(const InstallCase& c, std::ostream* os) {
    *os << c.name;
}

class InstallCaseTest : public InstallTest, public testing::WithParamInterface<InstallCase> {};

TEST_P(InstallCaseTest, EndsInItsStateWithItsText) {
    const InstallCase& c = GetParam();
    for (const auto& [path, content] : c.extra) ::DeleteFileW((install / path).c_str());
    TreeSnapshot extra;
    for (const auto& [path, content] : c.extra) {
        if (content != "<gone>") extra[path] = content;
    }
    Populate(install.path(), extra);
    for (const auto& [path, content] : c.serve) {
        if (content == "<404>") {
            served.erase(path);
        } else {
            served[path] = content;
        }
    }

    unique_file held;
    if (c.holdOpen) {
        held.reset(::CreateFileW((install / c.holdOpen).c_str(), GENERIC_READ, 0, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(held.valid());
    }
    const UpdateResult result = Apply();
    held.reset();

    EXPECT_EQ(result.message, c.message);
    EXPECT_EQ(result.succeeded, c.message == SuccessText);
    EXPECT_EQ(result.filesInstalled, c.message == SuccessText);
    EXPECT_EQ(SnapshotTree(install.path()), c.expected);
    EXPECT_EQ(fetched, c.expectedFetches);
}

INSTANTIATE_TEST_SUITE_P(Outcomes, InstallCaseTest, testing::ValuesIn(installCases),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- every step of a three-file install failing in turn ----

struct FaultCase {
    std::set<size_t> failing;  // positions of the calls that fail
    const char* op;            // the first failing call, as a check on the sequence
    std::wstring message;
    TreeSnapshot expected;
};

const TreeSnapshot stagingDirs1 = {{L"Data\\luafiles514", "<dir>"}};
const TreeSnapshot stagingDirs2 = {{L"Data\\luafiles514", "<dir>"},
                                   {L"Data\\luafiles514\\lua files", "<dir>"}};
const TreeSnapshot rolledBack = With(initialTree, deepDirs);

// Sequence of a clean run: staging A (1-5), C (6-13), B (14-18); install A (19-22),
// C (23-25), B (26-29); commit (30-32).
const FaultCase faultCases[] = {
    {{1}, "createDirectory", DirectoryText, initialTree},
    {{2}, "createFile", DownloadText, initialTree},
    {{3}, "writeFile", DownloadText, initialTree},
    {{4}, "flush", DownloadText, initialTree},
    {{5}, "close", SuccessText, installedTree},
    {{6}, "createDirectory", DirectoryText, initialTree},
    {{7}, "createDirectory", DirectoryText, initialTree},
    {{8}, "createDirectory", DirectoryText, With(initialTree, stagingDirs1)},
    {{9}, "createDirectory", DirectoryText, With(initialTree, stagingDirs2)},
    {{10}, "createFile", DownloadText, rolledBack},
    {{11}, "writeFile", DownloadText, rolledBack},
    {{12}, "flush", DownloadText, rolledBack},
    {{13}, "close", SuccessText, installedTree},
    {{14}, "createDirectory", DirectoryText, rolledBack},
    {{15}, "createFile", DownloadText, rolledBack},
    {{16}, "writeFile", DownloadText, rolledBack},
    {{17}, "flush", DownloadText, rolledBack},
    {{18}, "close", SuccessText, installedTree},
    // A target that cannot be seen is not moved aside, and its staging file cannot replace it.
    {{19}, "attributes", InstallText, rolledBack},
    {{20}, "delete", SuccessText, installedTree},
    {{21}, "move", InstallText, rolledBack},
    {{22}, "move", InstallText, rolledBack},
    {{23}, "attributes", SuccessText, installedTree},  // C does not exist: the same answer
    {{24}, "attributes", SuccessText, installedTree},  // C has no backup: the same answer
    {{25}, "move", InstallText, rolledBack},
    {{26}, "attributes", InstallText, rolledBack},
    {{27}, "delete", SuccessText, installedTree},
    {{28}, "move", InstallText, rolledBack},
    {{29}, "move", InstallText, rolledBack},
    // A backup whose delete is refused is tried once more only when it is a read-only file
    // (31 looks); any other stays for the next run to delete.
    {{30}, "delete", SuccessText, With(installedTree, {{pathA + L".vantor-backup", oldA}})},
    {{30, 31}, "delete", SuccessText, With(installedTree, {{pathA + L".vantor-backup", oldA}})},
    {{31}, "delete", SuccessText, installedTree},
    {{32}, "delete", SuccessText, With(installedTree, {{pathB + L".vantor-backup", oldB}})},
    {{33}, "", SuccessText, installedTree},
    // Failures inside the rollback after C's move failed (25): A's new file cannot be
    // deleted (28) - the restoring move replaces it anyway; A's restoring move fails (30) -
    // the old contents stay safe at the backup name, and the text says so.
    {{25, 28}, "move", InstallText, rolledBack},
    {{25, 30},
     "move",
     NotRestoredText,
     With(rolledBack, {{pathA, "<gone>"}, {pathA + L".vantor-backup", oldA}})},
};

void PrintTo(const FaultCase& c, std::ostream* os) {
    *os << "fails " << c.op;
}

class FaultTest : public InstallTest, public testing::WithParamInterface<FaultCase> {};

TEST_P(FaultTest, EveryFailingStepLeavesAKnownState) {
    const FaultCase& c = GetParam();
    UseFakeFileOps(c.failing);
    const UpdateResult result = Apply();
    const size_t first = *c.failing.begin();
    if (first <= opCalls.size()) {
        EXPECT_EQ(opCalls[first - 1], c.op) << Narrow(opPaths[first - 1]);
    } else {
        EXPECT_EQ(opCalls.size(), 32u);  // the row past the end is the clean run
    }
    EXPECT_EQ(result.message, c.message);
    EXPECT_EQ(result.succeeded, c.message == SuccessText);
    EXPECT_EQ(SnapshotTree(install.path()), c.expected);
}

INSTANTIATE_TEST_SUITE_P(EachCall, FaultTest, testing::ValuesIn(faultCases), [](const auto& info) {
    std::string name = "Call";
    for (size_t k : info.param.failing) name += "_" + std::to_string(k);
    return name;
});

// ---- the two helpers ----

struct DirectoryCase {
    const char* name;
    TreeSnapshot existing;
    std::wstring relative;
    bool result;
    std::vector<std::wstring> created;  // directories that exist afterwards, beyond existing
};

const DirectoryCase directoryCases[] = {
    {"WholeChainInOrder",
     {},
     L"Data\\luafiles514\\lua files\\datainfo\\itemInfo.lub",
     true,
     {L"Data", L"Data\\luafiles514", L"Data\\luafiles514\\lua files",
      L"Data\\luafiles514\\lua files\\datainfo"}},
    {"ExistingDirectoriesAreFine", {{L"System", "<dir>"}}, L"System\\itemInfo.lub", true, {}},
    {"NoSeparatorCreatesNothing", {}, L"file.txt", true, {}},
    {"ForwardSlashesAreNotSeparators", {}, L"Data/sub/file.txt", true, {}},
    {"FileInTheWayOfALowerDirectory", {{L"Data", "x"}}, L"Data\\sub\\file.txt", false, {}},
};

void PrintTo(const DirectoryCase& c, std::ostream* os) {
    *os << c.name;
}

class DirectoryTest : public testing::TestWithParam<DirectoryCase> {};

TEST_P(DirectoryTest, CreatesExactlyTheParents) {
    const DirectoryCase& c = GetParam();
    ScopedSeams seams{installFileOps};
    TempDir root;
    Populate(root.path(), c.existing);
    UseFakeFileOps();
    EXPECT_EQ(CreateParentDirectories(root / c.relative, root.path()), c.result);
    TreeSnapshot expected = c.existing;
    for (const std::wstring& dir : c.created) expected[dir] = "<dir>";
    EXPECT_EQ(SnapshotTree(root.path()), expected);
    if (c.result) {
        // Creation runs left to right and never names the file or the base.
        std::vector<std::wstring> asked;
        for (const std::wstring& path : opPaths)
            asked.push_back(path.substr(root.path().size() + 1));
        std::vector<std::wstring> expectedAsked;
        for (size_t at = c.relative.find(L'\\'); at != std::wstring::npos;
             at = c.relative.find(L'\\', at + 1)) {
            expectedAsked.push_back(c.relative.substr(0, at));
        }
        EXPECT_EQ(asked, expectedAsked);
    }
}

INSTANTIATE_TEST_SUITE_P(Paths, DirectoryTest, testing::ValuesIn(directoryCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(CreateParentDirectories, NeverCreatesTheBase) {
    TempDir root;
    const std::wstring base = root / L"not-there";
    EXPECT_FALSE(CreateParentDirectories(base + L"\\Data\\x.gat", base));
    EXPECT_TRUE(SnapshotTree(root.path()).empty());
}

struct WriteCase {
    const char* name;
    size_t size;
    std::set<size_t> failing;
    bool result;
    std::vector<DWORD> pieces;
};

const WriteCase writeCases[] = {
    {"Empty", 0, {}, true, {}},
    {"OnePiece", 1048576, {}, true, {1048576}},
    {"PiecesOfOneMiB", 2621440, {}, true, {1048576, 1048576, 524288}},
    {"CreateFails", 10, {1}, false, {}},
    {"SecondWriteFails", 2621440, {3}, false, {1048576, 1048576}},
    {"FlushFails", 10, {3}, false, {10}},
};

void PrintTo(const WriteCase& c, std::ostream* os) {
    *os << c.name;
}

class WriteTest : public testing::TestWithParam<WriteCase> {};

TEST_P(WriteTest, WritesAllOrLeavesNothing) {
    const WriteCase& c = GetParam();
    ScopedSeams seams{installFileOps};
    TempDir dir;
    Bytes content(c.size, 'v');
    UseFakeFileOps(c.failing);
    EXPECT_EQ(WriteWholeFile(dir / L"out.bin", ByteBuffer(content.begin(), content.end())),
              c.result);
    EXPECT_EQ(writeSizes, c.pieces);
    if (c.result) {
        EXPECT_EQ(ReadBytes(dir / L"out.bin"), content);
    } else {
        EXPECT_EQ(::GetFileAttributesW((dir / L"out.bin").c_str()), INVALID_FILE_ATTRIBUTES);
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, WriteTest, testing::ValuesIn(writeCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(WriteWholeFile, ReplacesAnExistingFileCompletely) {
    TempDir dir;
    ASSERT_TRUE(WriteBytes(dir / L"out.bin", "a much longer earlier content"));
    EXPECT_TRUE(WriteWholeFile(dir / L"out.bin", ByteBuffer{'n', 'e', 'w'}));
    EXPECT_EQ(ReadBytes(dir / L"out.bin"), "new");
}

}  // namespace
