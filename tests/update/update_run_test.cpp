#include "tests/update/update_test_support.h"

#include <gtest/gtest.h>

namespace {

constexpr wchar_t CheckFailed[] = L"Unable to securely check for updates.\n";
const std::string manifestPath = "/patch/manifest-v4.txt";
const std::string signaturePath = "/patch/manifest-v4.sig";
const std::vector<std::string> manifestAndSignature = {manifestPath, signaturePath};

const std::vector<ListedFile> sixFiles = {
    {"Data\\prontera.gat", "/patch/files/prontera.gat", "prontera, current"},
    {"System\\itemInfo.lub", "/patch/files/itemInfo.lub", "system items, missing on disk"},
    {"Data\\izlude.gat", "/patch/files/izlude.gat", "izlude, one byte short on disk"},
    {"Data\\geffen.gat", "/patch/files/geffen.gat", "geffen, one byte long on disk"},
    {"Data\\alberta.gat", "/patch/files/alberta.gat", "alberta, same size other digest"},
    {"Data\\mp3nametable.txt", "/patch/files/mp3nametable.txt", "music table, current"},
};

void Serve(const std::vector<ListedFile>& files, const std::string& extraScenario = "") {
    ServeRelease(files, extraScenario);
}

class UpdateRunTest : public testing::Test {
protected:
    void SetUp() override { ResetHost(); }
    void Put(const std::string& relativePath, const Bytes& content) {
        ASSERT_TRUE(WriteBytes(install / Widen(relativePath), content));
    }
    UpdateResult Run() { return RunUpdateOnce(); }

    ScopedSeams seams{processSeams};
    TempDir install;
    ScopedInstallDirectory useInstall{install.path()};
};

TEST_F(UpdateRunTest, CurrentInstallationIsUpToDateWithTwoRequests) {
    Serve(sixFiles);
    for (const ListedFile& file : sixFiles) Put(file.relativePath, file.release);
    const TreeSnapshot before = SnapshotTree(install.path());

    const UpdateResult result = Run();

    EXPECT_TRUE(result.succeeded);
    EXPECT_FALSE(result.filesInstalled);
    EXPECT_EQ(result.message, L"Up to date");
    EXPECT_EQ(SnapshotTree(install.path()), before);
    EXPECT_EQ(HostLogPaths(), manifestAndSignature);
}

TEST_F(UpdateRunTest, OnlyDifferingFilesAreFetchedInManifestOrder) {
    Serve(sixFiles);
    Put(sixFiles[0].relativePath, sixFiles[0].release);
    Put(sixFiles[2].relativePath, sixFiles[2].release.substr(1));
    Put(sixFiles[3].relativePath, sixFiles[3].release + "x");
    Bytes otherDigest = sixFiles[4].release;
    otherDigest.back() ^= 1;
    Put(sixFiles[4].relativePath, otherDigest);
    Put(sixFiles[5].relativePath, sixFiles[5].release);

    const UpdateResult result = Run();

    EXPECT_TRUE(result.succeeded);
    EXPECT_TRUE(result.filesInstalled);
    EXPECT_EQ(result.message, L"Updated to 1.2.2");
    std::vector<std::string> expectedRequests = manifestAndSignature;
    for (size_t i : {1, 2, 3, 4}) expectedRequests.push_back(sixFiles[i].remotePath);
    EXPECT_EQ(HostLogPaths(), expectedRequests);
    TreeSnapshot expected = {{L"Data", "<dir>"}, {L"System", "<dir>"}};
    for (const ListedFile& file : sixFiles) expected[Widen(file.relativePath)] = file.release;
    EXPECT_EQ(SnapshotTree(install.path()), expected);
}

TEST_F(UpdateRunTest, NewDeepFileCreatesItsDirectoryChain) {
    const std::vector<ListedFile> deep = {{"Data\\luafiles514\\lua files\\datainfo\\itemInfo.lub",
                                           "/patch/files/itemInfo-deep.lub", "item info"}};
    Serve(deep);
    const UpdateResult result = Run();
    EXPECT_EQ(result.message, L"Updated to 1.2.2");
    const TreeSnapshot expected = {
        {L"Data", "<dir>"},
        {L"Data\\luafiles514", "<dir>"},
        {L"Data\\luafiles514\\lua files", "<dir>"},
        {L"Data\\luafiles514\\lua files\\datainfo", "<dir>"},
        {L"Data\\luafiles514\\lua files\\datainfo\\itemInfo.lub", "item info"}};
    EXPECT_EQ(SnapshotTree(install.path()), expected);
}

// Each row starts from the same installation and must leave it byte for byte as it was.
struct FailureCase {
    const char* name;
    void (*arrange)();  // publishes what the host serves
    std::wstring message;
    std::vector<std::string> requests;
};

const std::vector<ListedFile> threeFiles = {sixFiles[0], sixFiles[1], sixFiles[2]};

std::vector<std::string> Plus(std::vector<std::string> list, const std::vector<std::string>& more) {
    list.insert(list.end(), more.begin(), more.end());
    return list;
}

const FailureCase failureCases[] = {
    {"ManifestOverItsLimit",
     [] {
         PublishManifest(ManifestOf(threeFiles) +
                         Bytes(65537 - ManifestOf(threeFiles).size(), '\n'));
     },
     std::wstring(CheckFailed) + L"Update file exceeds the safe size limit.",
     {manifestPath}},
    {"ManifestMissingMeansNoSignatureRequest",
     [] {},
     std::wstring(CheckFailed) + L"Update server returned HTTP 404.",
     {manifestPath}},
    {"SignatureOverItsLimit",
     [] {
         PutHostFile(manifestPath, ManifestOf(threeFiles));
         PutHostFile(signaturePath, Bytes(4097, 's'));
     },
     std::wstring(CheckFailed) + L"Update file exceeds the safe size limit.", manifestAndSignature},
    {"SignatureServerError",
     [] {
         PutHostFile(manifestPath, ManifestOf(threeFiles));
         SetHostScenario(R"({"/patch/manifest-v4.sig": {"status": 500}})");
     },
     std::wstring(CheckFailed) + L"Update server returned HTTP 500.", manifestAndSignature},
    {"SignedByAnotherKey", [] { PublishManifest(ManifestOf(threeFiles), "other"); },
     L"The Vantor update manifest signature is invalid.",
     Plus(manifestAndSignature, manifestAndSignature)},
    {"SignedButWithoutEntries", [] { PublishManifest("VANTOR-MANIFEST-V1\r\n"); },
     L"The Vantor update manifest is invalid.", manifestAndSignature},
    {"SecondOfThreeFailsItsDigest",
     [] {
         Serve(threeFiles);
         Bytes otherDigest = threeFiles[1].release;
         otherDigest.back() ^= 1;
         PutHostFile(threeFiles[1].remotePath, otherDigest);
     },
     L"A downloaded update failed its SHA-256 check.",
     Plus(manifestAndSignature, {threeFiles[0].remotePath, threeFiles[1].remotePath})},
    {"BodyOneByteShort",
     [] {
         Serve(threeFiles);
         PutHostFile(threeFiles[1].remotePath, threeFiles[1].release.substr(1));
     },
     L"Unable to download a required update.\n",
     Plus(manifestAndSignature, {threeFiles[0].remotePath, threeFiles[1].remotePath})},
    {"BodyOneByteLongInALaterChunk",
     [] {
         Serve(threeFiles, R"("/patch/files/izlude.gat": {"chunks": [10], "chunk_delay": 0.3})");
         PutHostFile(threeFiles[2].remotePath, threeFiles[2].release + "+");
     },
     L"Unable to download a required update.\nUpdate file exceeds the safe size limit.",
     Plus(manifestAndSignature,
          {threeFiles[0].remotePath, threeFiles[1].remotePath, threeFiles[2].remotePath})},
};

void PrintTo(const FailureCase& c, std::ostream* os) {
    *os << c.name;
}

class UpdateRunFailureTest : public UpdateRunTest,
                             public testing::WithParamInterface<FailureCase> {};

TEST_P(UpdateRunFailureTest, ChangesNothing) {
    const FailureCase& c = GetParam();
    // prontera differs, itemInfo is missing, izlude differs: all three are on the list.
    Put(threeFiles[0].relativePath, "an older prontera");
    Put(threeFiles[2].relativePath, "an older izlude");
    // Directories that staging creates are kept by design; this one already exists.
    ASSERT_TRUE(::CreateDirectoryW((install / L"System").c_str(), nullptr));
    const TreeSnapshot before = SnapshotTree(install.path());
    c.arrange();

    const UpdateResult result = Run();

    EXPECT_FALSE(result.succeeded);
    EXPECT_FALSE(result.filesInstalled);
    EXPECT_EQ(result.message, c.message);
    EXPECT_EQ(HostLogPaths(), c.requests);
    EXPECT_EQ(SnapshotTree(install.path()), before);
}

INSTANTIATE_TEST_SUITE_P(Failures, UpdateRunFailureTest, testing::ValuesIn(failureCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(UpdateRunTest, ListedPathThatIsADirectoryIsNotCurrentAndRollsBack) {
    Serve(threeFiles);
    Put(threeFiles[0].relativePath, "an older prontera");
    ASSERT_TRUE(::CreateDirectoryW((install / L"System").c_str(), nullptr));
    ASSERT_TRUE(::CreateDirectoryW((install / L"System\\itemInfo.lub").c_str(), nullptr));
    const TreeSnapshot before = SnapshotTree(install.path());

    const UpdateResult result = Run();

    EXPECT_EQ(result.message,
              L"Unable to install the Vantor update. Existing files were restored.");
    EXPECT_FALSE(result.succeeded);
    EXPECT_EQ(SnapshotTree(install.path()), before);
}

TEST_F(UpdateRunTest, NoInstallationDirectoryFetchesNothing) {
    Serve(threeFiles);
    processSeams.getInstallDirectory = [](std::wstring&) { return false; };
    const UpdateResult result = Run();
    EXPECT_FALSE(result.succeeded);
    EXPECT_EQ(result.message, L"Unable to determine the Vantor installation directory.");
    EXPECT_TRUE(HostLog().empty());
}

// The product's own way of finding the installation: the directory of the running program,
// whatever the working directory is.
TEST(UpdateRunInstalled, UpdatesTheDirectoryOfTheRunningProgram) {
    ResetHost();
    Serve({sixFiles[0]});
    TempDir installation;
    TempDir elsewhere;
    ASSERT_TRUE(CopyInto(BuildPath(L"tests\\update\\update_run_child.exe"),
                         installation / L"launcher.exe"));
    ChildProcess child;
    ASSERT_TRUE(child.Start(installation / L"launcher.exe", L"", elsewhere.path()));
    EXPECT_EQ(child.Wait(std::chrono::seconds(60)), 0u);
    EXPECT_EQ(ReadBytes(installation / L"run-result.txt"), "1\nUpdated to 1.2.2");
    EXPECT_EQ(ReadBytes(installation / Widen(sixFiles[0].relativePath)), sixFiles[0].release);
    EXPECT_TRUE(SnapshotTree(elsewhere.path()).empty());
}

}  // namespace
