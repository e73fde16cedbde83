#include "tests/update/update_test_support.h"

#include "common/error_text.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <numeric>
#include <optional>
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

// A call as the install made it: the operation and the file it names (for a handle, the file
// the handle was opened on; for a move, its source).
struct Call {
    std::string op;
    std::wstring path;
    bool failed = false;
    bool found = false;  // for a look at attributes: whether the file was there
};

// A failure that trying again does not mend, and the refusal of a file another program holds.
constexpr DWORD FinalError = ERROR_WRITE_PROTECT;
constexpr DWORD HeldError = ERROR_SHARING_VIOLATION;

// Names a call by what it is rather than by where it falls: the nth call of op on path (0:
// every one; an empty path: any).
struct CallName {
    std::string op;
    std::wstring path;
    size_t nth = 1;
    DWORD error = FinalError;
};

std::vector<Call> calls;
std::set<size_t> failingCalls;  // 1-based positions in calls
DWORD failingError = FinalError;
std::vector<CallName> failingNames;
std::map<HANDLE, std::wstring> openFiles;
std::vector<DWORD> writeSizes;
std::vector<DWORD> pauses;

// The error the call fails with, or 0.
DWORD Fails(const char* op, const std::wstring& path) {
    size_t nth = 1;
    for (const Call& call : calls) nth += call.op == op && call.path == path;
    DWORD error = failingCalls.count(calls.size() + 1) ? failingError : 0;
    for (const CallName& n : failingNames) {
        if (n.op == op && (n.path.empty() || n.path == path) && (n.nth == 0 || n.nth == nth)) {
            error = n.error;
        }
    }
    calls.push_back({op, path, error != 0});
    return error;
}

BOOL WINAPI FakeCreateDirectory(LPCWSTR path, LPSECURITY_ATTRIBUTES security) {
    if (const DWORD error = Fails("createDirectory", path)) {
        ::SetLastError(error);
        return FALSE;
    }
    return ::CreateDirectoryW(path, security);
}
HANDLE WINAPI FakeCreateFile(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa,
                             DWORD disposition, DWORD flags, HANDLE templ) {
    if (const DWORD error = Fails("createFile", path)) {
        ::SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    const HANDLE file = ::CreateFileW(path, access, share, sa, disposition, flags, templ);
    openFiles[file] = path;
    return file;
}
BOOL WINAPI FakeWriteFile(HANDLE file, LPCVOID data, DWORD count, LPDWORD written,
                          LPOVERLAPPED overlapped) {
    writeSizes.push_back(count);
    if (const DWORD error = Fails("writeFile", openFiles[file])) {
        ::SetLastError(error);
        return FALSE;
    }
    return ::WriteFile(file, data, count, written, overlapped);
}
BOOL WINAPI FakeFlush(HANDLE file) {
    if (const DWORD error = Fails("flush", openFiles[file])) {
        ::SetLastError(error);
        return FALSE;
    }
    return ::FlushFileBuffers(file);
}
BOOL WINAPI FakeClose(HANDLE handle) {
    const bool fail = Fails("close", openFiles[handle]);
    openFiles.erase(handle);
    const BOOL closed = ::CloseHandle(handle);  // a failed close must not leak the handle
    return fail ? FALSE : closed;
}
BOOL WINAPI FakeDelete(LPCWSTR path) {
    if (const DWORD error = Fails("delete", path)) {
        ::SetLastError(error);
        return FALSE;
    }
    return ::DeleteFileW(path);
}
DWORD WINAPI FakeAttributes(LPCWSTR path) {
    const DWORD attributes = ::GetFileAttributesW(path);
    const DWORD lookError = ::GetLastError();
    const DWORD error = Fails("attributes", path);
    calls.back().found = attributes != INVALID_FILE_ATTRIBUTES;
    ::SetLastError(error ? error : lookError);
    return error ? INVALID_FILE_ATTRIBUTES : attributes;
}
BOOL WINAPI FakeMove(LPCWSTR from, LPCWSTR to, DWORD flags) {
    if (const DWORD error = Fails("move", from)) {
        ::SetLastError(error);
        return FALSE;
    }
    return ::MoveFileExW(from, to, flags);
}
BOOL WINAPI FakeSetAttributes(LPCWSTR path, DWORD attributes) {
    if (const DWORD error = Fails("setAttributes", path)) {
        ::SetLastError(error);
        return FALSE;
    }
    return ::SetFileAttributesW(path, attributes);
}
VOID WINAPI FakeSleep(DWORD ms) {
    pauses.push_back(ms);
}
bool FakeHash(const std::wstring& path, Sha256Digest& digest) {
    if (const DWORD error = Fails("hash", path)) {
        ::SetLastError(error);
        return false;
    }
    return HashFileSha256(path, digest);
}

void UseFakeFileOps(std::set<size_t> failing = {}, std::vector<CallName> names = {},
                    DWORD error = FinalError) {
    calls.clear();
    openFiles.clear();
    writeSizes.clear();
    pauses.clear();
    failingCalls = std::move(failing);
    failingError = error;
    failingNames = std::move(names);
    installFileOps = {&FakeCreateDirectory, &FakeCreateFile, &FakeWriteFile,  &FakeFlush,
                      &FakeClose,           &FakeDelete,     &FakeAttributes, &FakeMove,
                      &FakeSetAttributes,   &FakeSleep,      &FakeHash};
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
        installFileOps.sleep = &FakeSleep;
        pauses.clear();
        Populate(install.path(), initialTree);
    }
    UpdateResult Apply() {
        RetryBudget budget;
        return ApplyUpdates(install.path(), ThreeFiles(), budget);
    }

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
    // A directory bearing a backup's name is someone else's: C, which this run added and its
    // rollback removes, is not filled from it.
    {"DirectoryNamedLikeABackupNeverFillsATarget",
     {{pathB, "<dir>"}, {pathC + L".vantor-backup", "<dir>"}},
     {},
     nullptr,
     InstallText,
     With(With(initialTree, deepDirs), {{pathB, "<dir>"}, {pathC + L".vantor-backup", "<dir>"}}),
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
    // Only a held file makes the install wait, and then no longer than one operation's share.
    EXPECT_EQ(std::accumulate(pauses.begin(), pauses.end(), DWORD{0}), c.holdOpen ? 2000u : 0u);
}

INSTANTIATE_TEST_SUITE_P(Outcomes, InstallCaseTest, testing::ValuesIn(installCases),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- every call of a three-file install failing, alone and followed by each later one ----

// One install into a fresh copy of the initial installation with the chosen calls failing;
// the paths of its calls are relative to that installation.
struct FaultRun {
    bool succeeded = false;
    bool filesInstalled = false;
    std::wstring message;
    TreeSnapshot tree;
    std::vector<Call> calls;
    std::vector<DWORD> pauses;
};

// The chosen calls fail with error; the installation starts as the initial one with extra.
// shareSpent: the run has already waited all it may outside a rollback.
FaultRun InstallWithFaults(std::set<size_t> failing, std::vector<CallName> names = {},
                           const TreeSnapshot& extra = {}, DWORD error = FinalError,
                           bool shareSpent = false) {
    TempDir install;
    ScopedSeams seams{installFileOps};
    Populate(install.path(), With(initialTree, extra));
    for (CallName& name : names) {
        if (!name.path.empty()) name.path = install / name.path;
    }
    UseFakeFileOps(std::move(failing), std::move(names), error);
    static const std::vector<ManifestEntry> entries = ThreeFiles();  // digests take a while
    RetryBudget budget;
    if (shareSpent) budget.remainingMs = 0;
    const auto result = ApplyUpdates(install.path(), entries, budget);
    FaultRun run{result.succeeded,
                 result.filesInstalled,
                 result.message,
                 SnapshotTree(install.path()),
                 calls,
                 pauses};
    for (Call& call : run.calls) {
        if (call.path.starts_with(install.path() + L"\\")) {
            call.path.erase(0, install.path().size() + 1);
        }
    }
    return run;
}

std::string Describe(const FaultRun& run, size_t position) {
    const Call& call = run.calls.at(position - 1);
    return "call " + std::to_string(position) + ": " + call.op + " " + Narrow(call.path);
}

bool Refused(const FaultRun& run, const std::string& op, const std::wstring& path) {
    return std::any_of(run.calls.begin(), run.calls.end(), [&](const Call& call) {
        return call.failed && call.op == op && call.path == path;
    });
}

std::optional<Bytes> Take(TreeSnapshot& tree, const std::wstring& path) {
    const auto found = tree.find(path);
    if (found == tree.end()) return std::nullopt;
    Bytes content = found->second;
    tree.erase(found);
    return content;
}

struct Target {
    std::wstring path;
    std::optional<Bytes> before;
    Bytes after;
};
const Target targets[] = {{pathA, oldA, newA}, {pathC, std::nullopt, newC}, {pathB, oldB, newB}};

// A staging file that cannot be written names Windows' text for the error behind its first line.
const std::set<std::wstring> fixedTexts = {DirectoryText,
                                           DownloadText,
                                           DownloadText + WindowsErrorText(FinalError),
                                           DownloadText + WindowsErrorText(HeldError),
                                           DigestText,
                                           InstallText,
                                           NotRestoredText,
                                           SuccessText};

// What holds however the faults fall: each target holds its old or its new contents; only a
// failed restoring step leaves one without its old contents, which then wait at the backup
// name, or keeps a file this run added, and the text owns up to it; a file stays behind only
// where its delete was refused.
void ExpectSafeEnd(const FaultRun& run) {
    EXPECT_EQ(fixedTexts.count(run.message), 1u) << Narrow(run.message);
    const bool succeeded = run.message == SuccessText;
    EXPECT_EQ(run.succeeded, succeeded);
    EXPECT_EQ(run.filesInstalled, succeeded);
    TreeSnapshot rest = run.tree;
    bool notRestored = false;
    for (const Target& target : targets) {
        SCOPED_TRACE(Narrow(target.path));
        const std::wstring backupPath = target.path + L".vantor-backup";
        const std::wstring stagingPath = target.path + L".vantor-new";
        const std::optional<Bytes> now = Take(rest, target.path);
        const std::optional<Bytes> backup = Take(rest, backupPath);
        const bool restored = now == target.before;
        if (succeeded) {
            EXPECT_EQ(now, target.after);
        } else if (!restored && !target.before) {
            EXPECT_EQ(now, target.after);
            EXPECT_TRUE(Refused(run, "delete", target.path));
            notRestored = true;
        } else if (!restored) {
            EXPECT_TRUE(!now || now == target.after);
            EXPECT_EQ(backup, target.before);
            EXPECT_TRUE(Refused(run, "move", backupPath));
            notRestored = true;
        }
        if (backup && (succeeded || restored)) {
            EXPECT_EQ(backup, target.before);
            EXPECT_TRUE(Refused(run, "delete", backupPath));
        }
        if (Take(rest, stagingPath)) {
            EXPECT_TRUE(Refused(run, "delete", stagingPath));
        }
    }
    EXPECT_TRUE(!notRestored || run.message == NotRestoredText);
    // Nothing here is read-only, so no attributes are ever changed.
    for (const Call& call : run.calls) EXPECT_NE(call.op, "setAttributes") << Narrow(call.path);
    // Beyond those files only the installation's directories and those on the way to C.
    for (const auto& [path, content] : rest) {
        EXPECT_TRUE(installedTree.count(path) && content == "<dir>") << Narrow(path);
    }
}

// What one failing call of each kind makes of the whole install: a refused delete only keeps a
// backup, and a close fails after every byte was flushed. A failed look at attributes is
// covered in the sweep itself. The calls another program's glance can refuse are made again.
const std::map<std::string, std::wstring> singleFaultTexts = {{"createDirectory", DirectoryText},
                                                              {"createFile", DownloadText},
                                                              {"writeFile", DownloadText},
                                                              {"flush", DownloadText},
                                                              {"close", SuccessText},
                                                              {"delete", SuccessText},
                                                              {"move", InstallText},
                                                              {"hash", DigestText}};
const std::set<std::string> opsNamingTheError = {"createFile", "writeFile", "flush"};
const std::set<std::string> retriedOps = {"createFile", "delete", "move", "hash"};

class FaultTest : public InstallTest {};

TEST_F(FaultTest, EachCallFailingAlone) {
    const FaultRun clean = InstallWithFaults({});
    EXPECT_EQ(clean.message, SuccessText);
    EXPECT_EQ(clean.tree, installedTree);
    EXPECT_TRUE(clean.pauses.empty());
    for (size_t k = 1; k <= clean.calls.size() * 2; ++k) {
        // Each call fails for good, then each is refused once, as a scanner's glance does.
        const size_t at = (k - 1) % clean.calls.size() + 1;
        const bool glance = k > clean.calls.size();
        const FaultRun run = InstallWithFaults({at}, {}, {}, glance ? HeldError : FinalError);
        SCOPED_TRACE(Describe(clean, at) + (glance ? ", refused once" : ""));
        ASSERT_GE(run.calls.size(), at);
        EXPECT_EQ(run.calls[at - 1].op, clean.calls[at - 1].op);
        ExpectSafeEnd(run);
        const Call& call = clean.calls[at - 1];
        if (glance && retriedOps.count(call.op)) {
            EXPECT_EQ(run.message, SuccessText);
            EXPECT_EQ(run.tree, installedTree);
            EXPECT_EQ(run.pauses, std::vector<DWORD>{50});
            continue;
        }
        EXPECT_TRUE(run.pauses.empty());
        if (call.op == "attributes") {
            // A failed look proves nothing: a target hidden that way is never replaced, and a
            // missing one is installed all the same.
            EXPECT_EQ(run.message, call.found ? InstallText : SuccessText);
        } else {
            EXPECT_EQ(run.message, singleFaultTexts.at(call.op) +
                                       (opsNamingTheError.count(call.op)
                                            ? WindowsErrorText(glance ? HeldError : FinalError)
                                            : L""));
        }
    }
}

TEST_F(FaultTest, EachCallThenEachLaterCall) {
    const size_t cleanCalls = InstallWithFaults({}).calls.size();
    for (size_t k = 1; k <= cleanCalls; ++k) {
        const size_t callsAfterK = InstallWithFaults({k}).calls.size();
        for (size_t j = k + 1; j <= callsAfterK; ++j) {
            const FaultRun run = InstallWithFaults({k, j});
            SCOPED_TRACE(Describe(run, k) + ", then " + Describe(run, j));
            ExpectSafeEnd(run);
        }
    }
}

// ---- the faults a reader must see, by the calls that fail ----

struct FaultCase {
    const char* name;
    std::vector<CallName> failing;
    std::wstring message;
    TreeSnapshot expected;
    TreeSnapshot extra;  // added to the initial installation
    DWORD pausedMs;
    bool shareSpent = false;
};

const FaultCase faultCases[] = {
    // C cannot be moved in, and then A's old file cannot be moved back: it stays safe at the
    // backup name, and the text says so.
    {"RestoringMoveFails",
     {{"move", pathC + L".vantor-new"}, {"move", pathA + L".vantor-backup"}},
     NotRestoredText,
     With(With(initialTree, deepDirs), {{pathA, "<gone>"}, {pathA + L".vantor-backup", oldA}}),
     {},
     0},
    // A backup whose delete is refused after the install stays for the next run to delete.
    {"RefusedDeleteOfABackupLeavesIt",
     {{"delete", pathA + L".vantor-backup", 2}},
     SuccessText,
     With(installedTree, {{pathA + L".vantor-backup", oldA}}),
     {},
     0},
    // Denied once, as Windows does while another program still has the file open.
    {"DeniedDeleteOfABackupIsMadeAgain",
     {{"delete", pathA + L".vantor-backup", 2, ERROR_ACCESS_DENIED}},
     SuccessText,
     installedTree,
     {},
     50},
    // B cannot be looked at: the stale backup beside it is not taken for B's old file, so the
    // rollback cannot move it over B.
    {"StaleBackupBesideATargetTheLookMissed",
     {{"attributes", pathB, 1, ERROR_ACCESS_DENIED}},
     InstallText,
     With(With(initialTree, deepDirs), {{pathB + L".vantor-backup", "stale backup"}}),
     {{pathB + L".vantor-backup", "stale backup"}},
     0},
    // An interrupted run left B only at its backup name; the rollback's fill of B is refused.
    {"RefusedFillOfAMissingTarget",
     {{"move", pathC + L".vantor-new"}, {"move", pathB + L".vantor-backup"}},
     NotRestoredText,
     With(With(initialTree, deepDirs), {{pathB, "<gone>"}, {pathB + L".vantor-backup", oldB}}),
     {{pathB, "<gone>"}, {pathB + L".vantor-backup", oldB}},
     0},
    // Every file held for good: each operation pauses 2 s at most and the run 10 s in all (the
    // install no more than 7 of them); later calls are made once. No target was changed, and the
    // missing C has no backup to be filled from, so all is restored but the staging files.
    {"EveryMoveAndDeleteHeldForGood",
     {{"move", L"", 0, HeldError}, {"delete", L"", 0, HeldError}},
     InstallText,
     With(With(initialTree, deepDirs), {{pathA + L".vantor-new", newA},
                                        {pathC + L".vantor-new", newC},
                                        {pathB + L".vantor-new", newB}}),
     {},
     10000},
    // The install has spent all it may wait; A's move back is refused once, and the rollback's
    // reserve waits that out.
    {"RollbackKeepsItsReserve",
     {{"move", pathC + L".vantor-new", 0, HeldError},
      {"move", pathA + L".vantor-backup", 1, HeldError}},
     InstallText,
     With(initialTree, deepDirs),
     {},
     50,
     true},
    // The backups left after a success are the next run's to delete: held, they keep "Updated
    // to" back half a second in all. Their deletes before the install meet no file, and a
    // denial there is not waited for.
    {"HeldBackupsAfterASuccess",
     {{"delete", pathA + L".vantor-backup", 0, ERROR_ACCESS_DENIED},
      {"delete", pathB + L".vantor-backup", 0, ERROR_ACCESS_DENIED}},
     SuccessText,
     With(installedTree, {{pathA + L".vantor-backup", oldA}, {pathB + L".vantor-backup", oldB}}),
     {},
     500},
    // A folder the player may not write: no file is there to be held, so no create is waited
    // for, and the box gives Windows' text, in the system's language: "Access is denied." on an
    // English Windows, "Access denied." under Wine 8.
    {"FolderThePlayerCannotWrite",
     {{"createFile", L"", 0, ERROR_ACCESS_DENIED}},
     DownloadText + WindowsErrorText(ERROR_ACCESS_DENIED),
     initialTree,
     {},
     0},
    {"DiskFull",
     {{"writeFile", L"", 1, ERROR_DISK_FULL}},
     DownloadText + WindowsErrorText(ERROR_DISK_FULL),
     initialTree,
     {},
     0},
};

void PrintTo(const FaultCase& c, std::ostream* os) {
    *os << c.name;
}

class NamedFaultTest : public InstallTest, public testing::WithParamInterface<FaultCase> {};

TEST_P(NamedFaultTest, EndsInItsStateWithItsText) {
    const FaultCase& c = GetParam();
    const FaultRun run = InstallWithFaults({}, c.failing, c.extra, FinalError, c.shareSpent);
    for (const CallName& name : c.failing) {
        EXPECT_TRUE(name.path.empty() || Refused(run, name.op, name.path)) << name.op;
    }
    EXPECT_EQ(run.message, c.message);
    EXPECT_EQ(run.succeeded, c.message == SuccessText);
    EXPECT_EQ(run.tree, c.expected);
    EXPECT_EQ(std::accumulate(run.pauses.begin(), run.pauses.end(), DWORD{0}), c.pausedMs);
}

INSTANTIATE_TEST_SUITE_P(Calls, NamedFaultTest, testing::ValuesIn(faultCases),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- the helpers ----

// Wine has no path limit, so it cannot show a deep folder failing without the long form; every
// update test, each going through RunUpdate and so through this form, shows nothing else changes.
TEST(LongPathForm, IsWhatWindowsWouldMakeOfAnAbsolutePath) {
    const std::pair<std::wstring, std::wstring> cases[] = {
        {L"C:/Games/.\\old\\..\\Vantor", L"\\\\?\\C:\\Games\\Vantor"},
        {L"C:", L"\\\\?\\C:\\"},  // the installation directory of a program in a drive's root
        // Windows and Wine trim the blanks and dots a path's last name ends in: another folder.
        {L"C:\\Games\\Vantor ", L"\\\\?\\C:\\Games\\Vantor "},
        {L"C:\\Games\\Vantor.", L"\\\\?\\C:\\Games\\Vantor."},
        {L"\\\\server\\games\\old\\..\\Vantor. ", L"\\\\?\\UNC\\server\\games\\Vantor. "},
        {L"\\\\server\\games", L"\\\\?\\UNC\\server\\games"},
        {L"\\\\?\\C:\\Games", L"\\\\?\\C:\\Games"},
        {L"\\\\.\\C:\\Games", L"\\\\.\\C:\\Games"},
        // Completing these would bring in a current directory.
        {L"", L""},
        {L"Games", L"Games"},
        {L"C:Games", L"C:Games"},
        {L"\\Games", L"\\Games"},
    };
    for (const auto& [path, longForm] : cases)
        EXPECT_EQ(LongPathForm(path), longForm) << Narrow(path);
}

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
        for (const Call& call : calls) asked.push_back(call.path.substr(root.path().size() + 1));
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
    std::vector<DWORD> pieces;
};

const WriteCase writeCases[] = {
    {"Empty", 0, {}},
    {"OnePiece", 1048576, {1048576}},
    {"PiecesOfOneMiB", 2621440, {1048576, 1048576, 524288}},
};

void PrintTo(const WriteCase& c, std::ostream* os) {
    *os << c.name;
}

class WriteTest : public testing::TestWithParam<WriteCase> {};

// A clean write, then each of its calls failing in turn: only a close, which comes after every
// byte was flushed, may fail without failing the write, and a failed write is the last one.
TEST_P(WriteTest, WritesAllOrLeavesNothing) {
    const WriteCase& c = GetParam();
    ScopedSeams seams{installFileOps};
    const Bytes content(c.size, 'v');
    std::vector<Call> clean;
    for (size_t k = 0; k == 0 || k <= clean.size(); ++k) {
        SCOPED_TRACE(k ? "fails " + clean[k - 1].op : "clean");
        TempDir dir;
        UseFakeFileOps(k ? std::set<size_t>{k} : std::set<size_t>{});
        RetryBudget budget;
        std::wstring error;
        const bool written = WriteWholeFile(
            dir / L"out.bin", ByteBuffer(content.begin(), content.end()), budget, error);
        if (k == 0) clean = calls;
        const std::string failing = k ? clean[k - 1].op : "";
        EXPECT_EQ(written, failing.empty() || failing == "close");
        EXPECT_EQ(error, written ? L"" : WindowsErrorText(FinalError));
        std::vector<DWORD> pieces = c.pieces;
        if (failing == "createFile") pieces.clear();
        if (failing == "writeFile") {
            pieces.resize(std::count_if(clean.begin(), clean.begin() + k,
                                        [](const Call& call) { return call.op == "writeFile"; }));
        }
        EXPECT_EQ(writeSizes, pieces);
        if (written) {
            EXPECT_EQ(ReadBytes(dir / L"out.bin"), content);
        } else {
            EXPECT_EQ(::GetFileAttributesW((dir / L"out.bin").c_str()), INVALID_FILE_ATTRIBUTES);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, WriteTest, testing::ValuesIn(writeCases),
                         [](const auto& info) { return std::string(info.param.name); });

// Windows' CREATE_ALWAYS refuses an existing read-only, hidden or system file with a denial;
// Wine 8 does not, so the fake refuses as Windows would.
TEST(WriteWholeFile, ReplacesALeftoverThatCreateRefuses) {
    ScopedSeams seams{installFileOps};
    TempDir dir;
    ASSERT_TRUE(WriteBytes(dir / L"out.bin", "half of an earlier download"));
    ASSERT_TRUE(::SetFileAttributesW((dir / L"out.bin").c_str(), FILE_ATTRIBUTE_READONLY |
                                                                     FILE_ATTRIBUTE_HIDDEN |
                                                                     FILE_ATTRIBUTE_SYSTEM));
    UseFakeFileOps({}, {{"createFile", dir / L"out.bin", 1, ERROR_ACCESS_DENIED}});
    RetryBudget budget;
    std::wstring error;
    EXPECT_TRUE(WriteWholeFile(dir / L"out.bin", ByteBuffer{'n', 'e', 'w'}, budget, error));
    EXPECT_EQ(ReadBytes(dir / L"out.bin"), "new");
    EXPECT_TRUE(pauses.empty());
}

TEST(WriteWholeFile, ReplacesAnExistingFileCompletely) {
    TempDir dir;
    ASSERT_TRUE(WriteBytes(dir / L"out.bin", "a much longer earlier content"));
    RetryBudget budget;
    std::wstring error;
    EXPECT_TRUE(WriteWholeFile(dir / L"out.bin", ByteBuffer{'n', 'e', 'w'}, budget, error));
    EXPECT_EQ(ReadBytes(dir / L"out.bin"), "new");
}

}  // namespace
