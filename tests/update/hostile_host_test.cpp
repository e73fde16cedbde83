// Whole update runs against an update host that misbehaves: each must end with its exact text
// and leave the installation byte for byte as it was.
#include "tests/update/update_test_support.h"

#include <winhttp.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <iostream>

namespace {

constexpr wchar_t CheckFailed[] = L"Unable to securely check for updates.\n";
constexpr wchar_t DownloadFailed[] = L"Unable to download a required update.\n";
constexpr wchar_t SizeLimit[] = L"Update file exceeds the safe size limit.";

// The third file is the one the host spoils, after two others were staged.
const std::vector<ListedFile> release = {
    {"Data\\prontera.gat", "/patch/files/prontera.gat", "new prontera map"},
    {"Data\\luafiles514\\lua files\\datainfo\\itemInfo.lub", "/patch/files/itemInfo-deep.lub",
     "new item info"},
    {"System\\itemInfo.lub", "/patch/files/itemInfo.lub",
     "new system items, sixty-four bytes of "
     "them to spread over many chunks"},
};
const std::string manifestPath = "/patch/manifest-v4.txt";
const std::string signaturePath = "/patch/manifest-v4.sig";
const std::string thirdPath = release[2].remotePath;

// Serves the release; extraScenario adds rules for single paths.
void Serve(const std::string& extraScenario = "") {
    ServeRelease(release, extraScenario);
}

Bytes Spoiled(Bytes bytes) {
    bytes.back() ^= 1;
    return bytes;
}

// The download goes to another of the host's ports, under the update host's name.
unsigned short otherPort = 0;
bool HttpsGetFromOtherPort(const std::wstring& path, uint64_t maxBytes, ByteBuffer& body,
                           std::wstring& error) {
    return HttpsGetFrom(L"localhost", otherPort, path, maxBytes, body, error);
}

// Windows' codes, and Wine 8's where it reports another one for the same fault.
std::wstring WinHttpError(DWORD code) {
    return L"WinHTTP error " + std::to_wstring(code);
}

struct HostileCase {
    const char* name;
    void (*arrange)();
    const char* port;                        // the host's port by name
    std::vector<std::wstring> messages;      // the first is Windows' text; others are Wine's
    std::vector<std::string> requests = {};  // when given, the host's whole log
};

const HostileCase hostileCases[] = {
    {"EndlessManifest",
     [] { Serve(R"("/patch/manifest-v4.txt": {"status": 200, "endless": true})"); },
     "main",
     {std::wstring(CheckFailed) + SizeLimit}},
    {"EndlessFile",
     [] { Serve(R"("/patch/files/itemInfo.lub": {"endless": true})"); },
     "main",
     {std::wstring(DownloadFailed) + SizeLimit}},
    {"ManifestOverItsLimitAcrossManyChunks",
     [] {
         Serve(R"("/patch/manifest-v4.txt": {"chunks": [16384, 16384, 16384, 16384, 1],
                                             "chunk_delay": 0.05})");
         PutHostFile(manifestPath,
                     ManifestOf(release) + Bytes(65537 - ManifestOf(release).size(), '\n'));
     },
     "main",
     {std::wstring(CheckFailed) + SizeLimit}},
    {"FileOverItsSizeInOneChunk",
     [] {
         Serve();
         PutHostFile(thirdPath, release[2].release + "+");
     },
     "main",
     {std::wstring(DownloadFailed) + SizeLimit}},
    {"FileOverItsSizeAcrossManyChunks",
     [] {
         Serve(R"("/patch/files/itemInfo.lub": {"chunks": [7, 7, 7, 7, 7, 7, 7, 7, 7],
                                                "chunk_delay": 0.05})");
         PutHostFile(thirdPath, release[2].release + "+");
     },
     "main",
     {std::wstring(DownloadFailed) + SizeLimit}},
    {"ClosesMidBody",
     [] { Serve(R"("/patch/files/itemInfo.lub": {"truncate": 20})"); },
     "main",
     {std::wstring(DownloadFailed) + WinHttpError(ERROR_WINHTTP_CONNECTION_ERROR),
      // Wine 8 takes the early end for the end of the body: the length check catches it.
      DownloadFailed}},
    // The body is one byte short of the size that the manifest and the header both announce.
    {"AnnouncesMoreThanItSends",
     [] {
         Serve(R"("/patch/files/itemInfo.lub": {"content_length": 64})");
         PutHostFile(thirdPath, release[2].release.substr(1));
     },
     "main",
     {std::wstring(DownloadFailed) + WinHttpError(ERROR_WINHTTP_CONNECTION_ERROR), DownloadFailed}},
    {"AnnouncesLessThanItSends",
     [] { Serve(R"("/patch/files/itemInfo.lub": {"content_length": 63})"); },
     "main",
     {DownloadFailed}},
    {"FailsTheTlsHandshake",
     [] { Serve(); },
     "plain",
     {std::wstring(CheckFailed) + WinHttpError(ERROR_WINHTTP_SECURE_CHANNEL_ERROR)}},
    // Wine 8 fails certificate validation inside the handshake: 12157 instead of 12175.
    {"ExpiredCertificate",
     [] { Serve(); },
     "expired",
     {std::wstring(CheckFailed) + WinHttpError(ERROR_WINHTTP_SECURE_FAILURE),
      std::wstring(CheckFailed) + WinHttpError(ERROR_WINHTTP_SECURE_CHANNEL_ERROR)}},
    {"CertificateForAnotherName",
     [] { Serve(); },
     "mismatch",
     {std::wstring(CheckFailed) + WinHttpError(ERROR_WINHTTP_SECURE_FAILURE),
      std::wstring(CheckFailed) + WinHttpError(ERROR_WINHTTP_SECURE_CHANNEL_ERROR)}},
    // WinHTTP never follows a redirect from https to http.
    {"RedirectsTheManifestToHttp",
     [] {
         Serve(R"("/patch/manifest-v4.txt": {"status": 302,
                  "headers": {"Location": "http://localhost:1/patch/manifest-v4.txt"}})");
     },
     "main",
     {std::wstring(CheckFailed) + L"Update server returned HTTP 302.",
      // Wine 8 fails the request instead of handing back the redirect it will not follow.
      std::wstring(CheckFailed) + WinHttpError(ERROR_WINHTTP_REDIRECT_FAILED)}},
    {"RedirectsAFileToHttp",
     [] {
         Serve(R"("/patch/files/itemInfo.lub": {"status": 301,
                  "headers": {"Location": "http://localhost:1/patch/files/itemInfo.lub"}})");
     },
     "main",
     {std::wstring(DownloadFailed) + L"Update server returned HTTP 301.",
      std::wstring(DownloadFailed) + WinHttpError(ERROR_WINHTTP_REDIRECT_FAILED)}},
    {"NotModifiedManifest",
     [] { Serve(R"("/patch/manifest-v4.txt": {"status": 304})"); },
     "main",
     {std::wstring(CheckFailed) + L"Update server returned HTTP 304."}},
    // A CDN's error page served with 200 in place of the signature: a signature that stays bad
    // is looked at once more before the alarm, and no more.
    {"ErrorPageForASignature",
     [] {
         Serve(R"("/patch/manifest-v4.sig": {"status": 200})");
         PutHostFile(signaturePath, "<html><body>Service Unavailable</body></html>");
     },
     "main",
     {L"The Vantor update manifest signature is invalid."},
     {manifestPath, signaturePath, manifestPath, signaturePath}},
    {"ForbiddenSignature",
     [] { Serve(R"("/patch/manifest-v4.sig": {"status": 403})"); },
     "main",
     {std::wstring(CheckFailed) + L"Update server returned HTTP 403."}},
    {"MissingFile",
     [] {
         Serve();
         ResetHost();
         PutHostFile(release[0].remotePath, release[0].release);
         PutHostFile(release[1].remotePath, release[1].release);
         PublishManifest(ManifestOf(release));
     },
     "main",
     {std::wstring(DownloadFailed) + L"Update server returned HTTP 404."}},
    {"UnavailableManifest",
     [] { Serve(R"("/patch/manifest-v4.txt": {"status": 503})"); },
     "main",
     {std::wstring(CheckFailed) + L"Update server returned HTTP 503."}},
    {"FileServerError",
     [] { Serve(R"("/patch/files/itemInfo.lub": {"status": 500})"); },
     "main",
     {std::wstring(DownloadFailed) + L"Update server returned HTTP 500."}},
    {"SignedFileOneByteShort",
     [] {
         Serve();
         PutHostFile(thirdPath, release[2].release.substr(1));
     },
     "main",
     {DownloadFailed}},
    {"SignedFileOneByteLong",
     [] {
         Serve();
         PutHostFile(thirdPath, release[2].release + "+");
     },
     "main",
     {std::wstring(DownloadFailed) + SizeLimit}},
    {"SignedFileDiffers",
     [] {
         Serve();
         PutHostFile(thirdPath, Spoiled(release[2].release));
     },
     "main",
     {L"A downloaded update failed its SHA-256 check."}},
};

void PrintTo(const HostileCase& c, std::ostream* os) {
    *os << c.name;
}

class HostileHostTest : public testing::TestWithParam<HostileCase> {
protected:
    void SetUp() override {
        ResetHost();
        ASSERT_TRUE(WriteBytes(install / L"Data\\prontera.gat", "old prontera"));
        ASSERT_TRUE(WriteBytes(install / L"System\\itemInfo.lub", "old system items"));
        ASSERT_TRUE(WriteBytes(install / L"Data\\clientinfo.xml", "<clientinfo/>"));
        // Staging creates these; they are kept by design, so they exist here already.
        ASSERT_TRUE(WriteBytes(install / L"Data\\luafiles514\\lua files\\datainfo\\x", ""));
        ASSERT_TRUE(
            ::DeleteFileW((install / L"Data\\luafiles514\\lua files\\datainfo\\x").c_str()));
        before = SnapshotTree(install.path());
    }

    UpdateResult Run() { return RunUpdateOnce(); }

    ScopedSeams seams{updateRunSeams};
    TempDir install;
    ScopedInstallDirectory useInstall{install.path()};
    TreeSnapshot before;
};

TEST_P(HostileHostTest, FailsWithItsTextAndChangesNothing) {
    const HostileCase& c = GetParam();
    c.arrange();
    if (std::string(c.port) != "main") {
        otherPort = HostPort(c.port);
        updateRunSeams.httpsGet = &HttpsGetFromOtherPort;
    }

    const UpdateResult result = Run();

    std::cout << "the player sees: " << Narrow(result.message) << "\n";
    EXPECT_FALSE(result.succeeded);
    EXPECT_FALSE(result.filesInstalled);
    EXPECT_THAT(result.message, testing::AnyOfArray(c.messages));
    EXPECT_EQ(SnapshotTree(install.path()), before);
    if (!c.requests.empty()) {
        EXPECT_EQ(HostLogPaths(), c.requests);
    }
}

INSTANTIATE_TEST_SUITE_P(Hosts, HostileHostTest, testing::ValuesIn(hostileCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(HostileHostTest, SlowButSteadyHostStillUpdates) {
    // Each piece comes well within the receive time-out; the whole takes some seconds.
    Serve(R"("/patch/manifest-v4.txt": {"drip": [64, 0.3]},
             "/patch/files/itemInfo.lub": {"drip": [8, 0.8]})");
    const UpdateResult result = Run();
    EXPECT_EQ(result.message, L"Updated to 1.2.2");
    TreeSnapshot expected = before;
    for (const ListedFile& file : release) expected[Widen(file.relativePath)] = file.release;
    EXPECT_EQ(SnapshotTree(install.path()), expected);
}

// The launcher's first manifest is the old release's, its signature the new one's, as when the
// host switches between the two fetches: the second pair is the new release whole.
TEST_F(HostileHostTest, ReleaseSwitchedBetweenTheTwoFetchesStillUpdates) {
    Serve(R"("/patch/manifest-v4.txt": {"first": {"file": "/patch/old/manifest-v4.txt"}})");
    PutHostFile("/patch/old/manifest-v4.txt", ManifestOf({release[0]}));
    const UpdateResult result = Run();
    EXPECT_EQ(result.message, L"Updated to 1.2.2");
    TreeSnapshot expected = before;
    for (const ListedFile& file : release) expected[Widen(file.relativePath)] = file.release;
    EXPECT_EQ(SnapshotTree(install.path()), expected);
    std::vector<std::string> requests = {manifestPath, signaturePath, manifestPath, signaturePath};
    for (const ListedFile& file : release) requests.push_back(file.remotePath);
    EXPECT_EQ(HostLogPaths(), requests);
}

// About 60 seconds: the receive time-out has to run out.
TEST_F(HostileHostTest, StallPastTheReceiveTimeOutFailsTheDownload) {
    Serve(R"("/patch/files/itemInfo.lub": {"drip": [16, 75]})");
    const UpdateResult result = Run();
    // Wine 8 reports the socket's own time-out, WSAETIMEDOUT (10060), not WinHTTP's 12002.
    EXPECT_THAT(result.message,
                testing::AnyOf(std::wstring(DownloadFailed) + WinHttpError(ERROR_WINHTTP_TIMEOUT),
                               std::wstring(DownloadFailed) + WinHttpError(WSAETIMEDOUT)));
    EXPECT_FALSE(result.succeeded);
    EXPECT_EQ(SnapshotTree(install.path()), before);
}

}  // namespace
