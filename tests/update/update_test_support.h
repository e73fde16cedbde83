// Driving the test update host and building signed manifests for the update tests.
#pragma once

#include "common/process_seams.h"
#include "tests/harness/test_support.h"
#include "update/update.h"
#include "update/update_seams.h"

#include <string>
#include <vector>

// The host's state directory as Wine sees it, and its ports by name (main, mismatch,
// untrusted); waits for the host to be up.
std::wstring HostStateDir();
unsigned short HostPort(const std::string& name);

// Empties the web root, the scenario and the request log.
void ResetHost();
// Serves bytes at a web path ("/patch/x").
void PutHostFile(const std::string& webPath, const Bytes& bytes);
// The whole scenario.json: {"/path": {behaviour}, ...}.
void SetHostScenario(const std::string& json);

struct HostRequest {
    std::string path;
    int status = 0;
    long long bytes = 0;
};
std::vector<HostRequest> HostLog();
std::vector<std::string> HostLogPaths();

// A manifest line and the SHA-256 in the forms the tests need.
std::string DigestHex(const Bytes& content);
Sha256Digest DigestOf(const Bytes& content);
std::string ManifestLine(const std::string& relativePath, const std::string& remotePath,
                         const Bytes& content);
// Publishes a manifest and a signature by the build's key (or "other").
void PublishManifest(const Bytes& manifest, const std::string& key = "test",
                     const std::string& extraScenario = "");

// Starts hold_open_child on path, holding it for good or, for a glance, glanceMs once it appears
// (mapped into its memory rather than open, if asked), and returns once that other process
// holds it (at once when it need not appear yet); false when it could not.
bool HoldOpenInAnotherProcess(ChildProcess& holder, const std::wstring& path, DWORD glanceMs = 0,
                              bool whenItAppears = false, bool mapped = false);

// A file of a test release: where the manifest puts it, where the host serves it, its bytes.
struct ListedFile {
    std::string relativePath;
    std::string remotePath;
    Bytes release;
};
// The manifest (CR LF lines) that lists the files.
Bytes ManifestOf(const std::vector<ListedFile>& files);
// Serves the files and their manifest, signed by the build's key; extraScenario adds rules.
void ServeRelease(const std::vector<ListedFile>& files, const std::string& extraScenario = "");

// One update run with the seams as they are; the record it filled.
UpdateResult RunUpdateOnce();

// Points the update run at a directory instead of the test program's own.
class ScopedInstallDirectory {
public:
    explicit ScopedInstallDirectory(const std::wstring& directory);

private:
    ScopedSeams restore_{processSeams};
};
