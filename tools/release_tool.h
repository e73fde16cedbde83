// The operators' release tool: signing keys, publishing a release and checking what is served.
#pragma once

#include "update/manifest_rules.h"

#include <array>
#include <cstdint>
#include <filesystem>
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
// "." + target's name + "." + suffix, beside target: the one form of the tool's temporary names,
// which the next run that holds the web root's lock removes.
std::string TemporaryName(const std::filesystem::path& target, std::string_view suffix);
bool ReadWhole(const std::filesystem::path& path, std::string& bytes, std::string& error);
// False, with "path: not a directory" or the cause that hid it, unless path is a directory.
bool IsDirectory(const std::filesystem::path& path, std::string& error);

// verify.cpp. The launcher's checks of the manifest and signature at the two paths under
// webRoot, then of every file the manifest names as webRoot serves it; prints one line per
// check. Returns the number of checks that failed.
int CheckRelease(const std::filesystem::path& webRoot, const std::string& modulus,
                 const std::string& manifestPath, const std::string& signaturePath,
                 CheckedRelease& release);

// history.cpp. Locks patchDir against other changes by this tool until the process exits, then
// removes what killed runs left under their temporary names.
bool LockPatchDirectory(const std::filesystem::path& patchDir, std::string& error);
// Keeps the release under patchDir/releases/<id>, unless the newest kept one has the same bytes.
bool KeepRelease(const std::filesystem::path& patchDir, std::string_view manifest,
                 std::string_view signature, std::string& id, bool& kept, std::string& error);
// Serves kept release id. The served names are links through patchDir/current, which one rename
// switches; a web root of plain files is first turned into links that serve the same pair.
bool ServeRelease(const std::filesystem::path& patchDir, const std::string& id, std::string& error);
// Empty while patchDir serves one kept release's manifest and signature (or none is kept);
// otherwise which kept release each of the two belongs to.
std::string ServedPairProblem(const std::filesystem::path& patchDir);

// The subcommands; each returns the process exit code.
int RunPublish(const Arguments& args);
int RunVerify(const Arguments& args);
int RunReleases(const Arguments& args);
int RunRollback(const Arguments& args);
int RunPrune(const Arguments& args);
int RunSignLauncher(const Arguments& args);
