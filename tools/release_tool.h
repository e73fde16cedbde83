// The operators' release tool: signing keys, publishing a release and checking what is served.
#pragma once

#include "update/manifest_rules.h"

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

inline constexpr size_t ModulusBytes = 256;  // RSA-2048

// The served manifest's and signature's names in WEB_ROOT/patch and in every kept release.
inline constexpr std::string_view ManifestFileName =
    ManifestWebPath.substr(ManifestWebPath.rfind('/') + 1);
inline constexpr std::string_view SignatureFileName =
    SignatureWebPath.substr(SignatureWebPath.rfind('/') + 1);

// Positional arguments and --name value options of one subcommand.
struct Arguments {
    std::vector<std::string> positional;
    std::map<std::string, std::string> options;
};

// crypto.cpp. Every failure leaves a message for the operator in error.
bool GenerateKey(const std::string& path, std::string& modulusBase64, std::string& error);
bool ReadKeyModulus(const std::string& path, std::string& modulusBase64, std::string& error);
bool SignWithKey(const std::string& keyPath, std::string_view message, std::string& signature,
                 std::string& modulusBase64, std::string& error);
// True only for a PKCS#1 v1.5 SHA-256 signature of exactly 256 bytes under that modulus.
bool VerifyWithModulus(const std::string& modulusBase64, std::string_view message,
                       std::string_view signature, std::string& error);
bool CheckModulusText(const std::string& modulusBase64, std::string& error);
bool HashFile(const std::string& path, Sha256Digest& digest, uint64_t& size, std::string& error);
Sha256Digest HashBytes(std::string_view bytes);
// Sets the file's mode, writes every byte, syncs and closes fd (closed on every path).
// Returns 0, or the errno of the first step that failed.
int WriteSyncClose(int fd, unsigned mode, std::string_view bytes);

// One release as the checks read it.
struct CheckedRelease {
    std::string manifest;
    std::string signature;
    std::vector<ManifestRecord> records;  // empty unless the manifest passed the launcher's rules
};

// publish.cpp. Each write goes to a temporary file beside target, synced, renamed over target.
bool ReplaceFile(const std::filesystem::path& target, std::string_view bytes, std::string& error);
bool SyncDirectory(const std::filesystem::path& dir, std::string& error);
// "." + target's name + ".vantor-" + this process's id + "-" + six random letters or digits,
// beside target: the one form of the tool's temporary names, new on every call. The next run
// that holds the web root's lock removes exactly such names, and only of names the tool owns.
std::string TemporaryName(const std::filesystem::path& target);
bool IsTemporarySuffix(std::string_view suffix);
bool ReadWhole(const std::filesystem::path& path, std::string& bytes, std::string& error);
// False, with "path: not a directory" or the cause that hid it, unless path is a directory.
bool IsDirectory(const std::filesystem::path& path, std::string& error);

// verify.cpp. The launcher's checks of the manifest and signature at the two paths under
// webRoot, then of every file the manifest names as webRoot serves it; prints one line per
// check. Returns the number of checks that failed. A file for which hashedLater is true is
// checked but not read: its caller hashes it as it reads it.
int CheckRelease(const std::filesystem::path& webRoot, const std::string& modulus,
                 const std::string& manifestPath, const std::string& signaturePath,
                 CheckedRelease& release,
                 const std::function<bool(const ManifestRecord&)>& hashedLater = {});

// history.cpp. The kept releases of a web root and the pair it serves.
struct KeptRelease {
    std::string id;  // empty for the served manifest
    std::string manifest;
    std::string signature;
    std::vector<ManifestRecord> records;
    std::string problem;  // why records could not be read; empty when they could
};

struct History {
    std::vector<KeptRelease> kept;  // oldest first
    KeptRelease served;
    // The served release: the one "current" links to when both served names go through it,
    // else the newest kept release with the served bytes; or -1.
    int current = -1;
    int manifestOf = -1;   // the newest kept release whose manifest is served, or -1
    int signatureOf = -1;  // the same for the signature
    bool linked = false;   // both served names reach kept[current] through "current"
};

bool IsReleaseId(std::string_view id);
// Reads every kept release and the served one. Fails only when the folders cannot be listed;
// a release that cannot be read carries its problem instead.
bool LoadHistory(const std::filesystem::path& patchDir, History& history, std::string& error);
// Empty while the served manifest and signature are one kept release's pair (or none is kept);
// otherwise which kept release each of the two belongs to.
std::string PairProblem(const History& history);
std::string ServedPairProblem(const std::filesystem::path& patchDir);
// Takes an open-file-description lock on WEB_ROOT/.vantor-release.lock, held until the
// process exits (refused when another run holds it, or when it cannot be taken and noLock is
// false), then removes what killed runs left under the tool's temporary names and makes what
// the web server must read readable by others.
bool OpenWebRoot(const std::filesystem::path& webRoot, bool noLock, std::string& error);
// Turns served plain files into links through patch/current without changing the pair they
// serve (a pair served before releases were kept is kept first).
bool LinkServedNames(const std::filesystem::path& patchDir, std::string& error);
// The id the next kept release gets, after every kept one; empty when none is left.
std::string NextReleaseId(const std::vector<KeptRelease>& kept);

// plan.cpp. What one command changes in one place, in the order that keeps every reader
// served a whole pair: content-addressed files, then kept releases, then the served pair,
// then only what nothing served or kept names any more.
struct PlannedFile {
    std::string hex;  // SHA-256, the name under patch/files
    uint64_t size = 0;
    std::filesystem::path source;  // the bytes to put
    std::string label;             // how the operator knows the file
};
struct PlannedRelease {
    std::string id;
    std::string manifest;
    std::string signature;
};
struct PlannedDeletion {
    bool release = false;  // patch/releases/<name>/, else patch/files/<name>
    std::string name;
    uint64_t bytes = 0;
};
struct Plan {
    std::vector<PlannedFile> files;
    std::vector<PlannedRelease> releases;
    bool switchPair = false;
    PlannedRelease serve;  // the pair to serve when switchPair
    std::vector<PlannedDeletion> deletions;
};

// A place that serves a web root's patch/ tree: a folder or a bucket. Each step is whole or
// reports failure; a step that finds its work done succeeds only once that is durable.
struct Place {
    void* context = nullptr;
    // A folder switches both served names with one rename; a bucket needs two uploads, and a
    // reader between them can see one half of each pair.
    bool switchesInOneStep = false;
    // stored[i]: whether files[i] was written (else an intact copy was there).
    bool (*putFiles)(void* context, const std::vector<PlannedFile>& files,
                     std::vector<bool>& stored, std::string& error) = nullptr;
    bool (*putReleases)(void* context, const std::vector<PlannedRelease>& releases,
                        std::string& error) = nullptr;
    // gapSeconds: how long the two halves of the pair were not one release's.
    bool (*switchPair)(void* context, const PlannedRelease& release, double& gapSeconds,
                       std::string& error) = nullptr;
    bool (*remove)(void* context, const std::vector<PlannedDeletion>& doomed,
                   std::string& error) = nullptr;
};

// Carries the plan out in order, printing each step; with dryRun, only prints it.
bool CarryOut(const Plan& plan, const Place& place, bool dryRun, std::string& error);
// history.cpp: the web root's patch/ folder as a place.
Place FolderPlace(const std::filesystem::path* patchDir);

// The subcommands; each returns the process exit code.
int RunPublish(const Arguments& args);
int RunVerify(const Arguments& args);
int RunReleases(const Arguments& args);
int RunRollback(const Arguments& args);
int RunPrune(const Arguments& args);
int RunPush(const Arguments& args);
int RunSignLauncher(const Arguments& args);
