// What the commands share: the check of a web root as a player would make it, and the push
// into any store (the tests' in-memory bucket too).
#pragma once

#include "tools/s3/store.h"
#include "update/manifest_rules.h"

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

// One release as the checks read it.
struct CheckedRelease {
    std::string manifest;
    std::string signature;
    std::vector<ManifestRecord> records;  // empty unless the manifest passed the launcher's rules
};

// The launcher's checks of the manifest and signature at the two paths under webRoot, then of
// every file the manifest names as webRoot serves it; prints one line per check. Returns the
// number of checks that failed. A file for which hashedLater is true is checked but not read:
// its caller hashes it as it reads it.
int CheckRelease(const std::filesystem::path& webRoot, const std::string& modulus,
                 const std::string& manifestPath, const std::string& signaturePath,
                 CheckedRelease& release,
                 const std::function<bool(const ManifestRecord&)>& hashedLater = {});

struct PushRun {
    std::filesystem::path webRoot;
    std::string modulus;
    std::string prefix;  // "" or ending with '/'
    std::string target;  // s3://BUCKET/PREFIX, as shown
    bool dryRun = false;
    bool force = false;  // push even over a release the web root does not know
    bool noLock = false;
};
// Makes the store serve what the web root serves; the exit code.
int PushToStore(const PushRun& run, const Store& store);
