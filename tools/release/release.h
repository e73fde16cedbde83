// The release model: kept releases, the served pair, and the one plan by which publish, serve,
// prune and push change a place. Pure records and functions; the places carry plans out.
#pragma once

#include "update/manifest_rules.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

// The served manifest's and signature's names in patch/ and in every kept release.
inline constexpr std::string_view ManifestFileName =
    ManifestWebPath.substr(ManifestWebPath.rfind('/') + 1);
inline constexpr std::string_view SignatureFileName =
    SignatureWebPath.substr(SignatureWebPath.rfind('/') + 1);

// "20250102T030405Z-000": the UTC second of a publish and a sequence number.
bool IsReleaseId(std::string_view id);
// A content-addressed name: 64 lower-case hexadecimal digits.
bool IsStoredName(std::string_view name);
// The name under patch/files/ of a manifest record, or "" when it lies elsewhere.
std::string StoredNameOf(const ManifestRecord& record);

// One release: kept (with its id) or served (id empty unless it is a kept one).
struct KeptRelease {
    std::string id;
    std::string manifest;
    std::string signature;
    std::vector<ManifestRecord> records;
    std::string problem;  // why records could not be read; empty when they could
};
// The id the next kept release gets, after every kept one; empty when none is left.
std::string NextReleaseId(const std::vector<KeptRelease>& kept);

// What one command changes in one place, in the order that keeps every reader served a whole
// pair: content-addressed files, then kept releases, then the served pair, then only what
// nothing served or kept names any more.
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

// What a place should serve and keep afterwards.
struct Mirror {
    KeptRelease serve;
    std::vector<KeptRelease> keep;
    std::vector<PlannedFile> sources;  // files that may be put, each named by serve or keep
    bool prune = false;                // delete what nothing served or kept names
};
// The pair a place serves now, as far as it is known.
struct Served {
    bool known = false;  // unknown: switched again, which finds its work done
    std::string manifest;
    std::string signature;
    bool cacheable = false;  // served without no-cache, so a cache may hold each half apart
    std::vector<ManifestRecord> records;
};
// A kept release as a place holds it.
struct HeldRelease {
    uint64_t manifestSize = 0;  // 0 when that half is missing
    uint64_t signatureSize = 0;
    uint64_t bytes = 0;  // what deleting it frees
};
// What a place holds: content-addressed files and kept releases, by name.
struct Inventory {
    std::map<std::string, uint64_t> files;
    std::map<std::string, HeldRelease> releases;
};
Plan MirrorPlan(const Mirror& local, const Served& served, const Inventory& inventory);

// A place that serves a web root's patch/ tree: a folder or a bucket. Each step is whole or
// reports failure; a step that finds its work done succeeds only once that is durable.
struct Place {
    // A folder switches both served names with one rename; a bucket needs two uploads, and a
    // reader between them can see one half of each pair.
    bool switchesInOneStep = false;
    // stored[i]: whether files[i] was written (else an intact copy was there).
    std::function<bool(const std::vector<PlannedFile>& files, std::vector<bool>& stored,
                       std::string& error)>
        putFiles;
    std::function<bool(const std::vector<PlannedRelease>& releases, std::string& error)>
        putReleases;
    // gapSeconds: how long the two halves of the pair were not one release's.
    std::function<bool(const PlannedRelease& release, double& gapSeconds, std::string& error)>
        switchPair;
    // May drop deletions that the place, looked at again, no longer allows.
    std::function<bool(std::vector<PlannedDeletion>& doomed, std::string& error)> confirmRemove;
    std::function<bool(const std::vector<PlannedDeletion>& doomed, std::string& error)> remove;
};

// Carries the plan out in order, printing each step; with dryRun, only prints it.
bool CarryOut(const Plan& plan, const Place& place, bool dryRun, std::string& error);
