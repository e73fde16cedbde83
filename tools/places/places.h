// The two places a web root's patch/ tree is served from: the web root's own folder and an
// S3 bucket. Each is a Place (tools/release/release.h) that a plan is carried out against.
#pragma once

#include "tools/release/release.h"
#include "tools/s3/store.h"

#include <filesystem>
#include <string>
#include <string_view>

// --- The web root's folder (web_root.cpp, file_steps.cpp) ---

// Each write goes to a temporary file beside target, synced, renamed over target.
bool ReplaceFile(const std::filesystem::path& target, std::string_view bytes, std::string& error);
bool SyncDirectory(const std::filesystem::path& dir, std::string& error);
// "." + target's name + ".vantor-" + this process's id + "-" + six random letters or digits,
// beside target: the one form of the tool's temporary names, new on every call. The next run
// that holds the web root's lock removes exactly such names, and only of names the tool owns.
std::string TemporaryName(const std::filesystem::path& target);
bool IsTemporarySuffix(std::string_view suffix);
// A read error is named as one, apart from a file that is not there.
bool ReadWhole(const std::filesystem::path& path, std::string& bytes, std::string& error);
// False, with "path: not a directory" or the cause that hid it, unless path is a directory.
bool IsDirectory(const std::filesystem::path& path, std::string& error);

// The kept releases of a web root and the pair it serves.
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

// Reads every kept release and the served one. Fails only when the folders cannot be listed;
// a release that cannot be read carries its problem instead.
bool LoadHistory(const std::filesystem::path& patchDir, History& history, std::string& error);
// The folder's content-addressed files (regular files only) and kept releases.
bool TakeInventory(const std::filesystem::path& patchDir, const History& history,
                   Inventory& inventory, std::string& error);
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
// The release the web root serves, with its id where it is a kept one.
KeptRelease ServedRelease(const History& history);
Place FolderPlace(const std::filesystem::path& patchDir);

// --- An S3 bucket (bucket.cpp) ---

struct BucketView {
    Inventory inventory;
    Served served;  // the pair, with its Cache-Control
};
// Everything below prefix + "patch/" that push owns: content-addressed files, kept releases
// and the served pair. Other keys are never listed into it, so never touched.
bool ViewBucket(const Store& store, const std::string& prefix, BucketView& view,
                std::string& error);
// The id of a kept release in the bucket whose manifest is these bytes; reads the manifests it
// needs. Empty when none is.
std::string BucketReleaseOf(const Store& store, const std::string& prefix,
                            const Inventory& inventory, const std::string& manifest);
// The bucket as a place. It switches only while the bucket still serves before, and deletes
// only while it serves the pair this push put up, never what a release kept there names.
Place BucketPlace(const Store& store, const std::string& prefix, const Served& before,
                  const Mirror& local);
