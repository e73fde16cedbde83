// An S3 bucket as a place: the web root's patch/ tree under a prefix, written through any
// store. A bucket cannot switch its pair in one step and another push may share it, so it
// looks again before it switches and before it deletes.
#include "tools/places/places.h"

#include "tools/keys/keys.h"

#include <chrono>
#include <iostream>
#include <set>

namespace {

using Clock = std::chrono::steady_clock;

constexpr char ImmutableCache[] = "public, max-age=31536000, immutable";
constexpr char NoCache[] = "no-cache";

std::string PairKey(const std::string& prefix, std::string_view name) {
    return prefix + "patch/" + std::string(name);
}

std::string ReleaseKey(const std::string& prefix, const std::string& id, std::string_view name) {
    return prefix + "patch/releases/" + id + "/" + std::string(name);
}

// The error of the first final failure, else of the first that failed at all.
bool Settled(const std::vector<Outcome>& outcomes, std::string& error) {
    const Outcome* failed = nullptr;
    for (const Outcome& outcome : outcomes) {
        if (outcome.kind == Outcome::Kind::Done) continue;
        const bool placeholder = outcome.error == "not started" || outcome.error == "stopped";
        if (!failed ||
            (!placeholder && (failed->error == "not started" || failed->error == "stopped"))) {
            failed = &outcome;
        }
    }
    if (failed) error = failed->error;
    return !failed;
}

bool Put(const Store& store, const std::vector<Upload>& uploads, std::string& error) {
    std::vector<Outcome> outcomes;
    store.put(uploads, outcomes);
    return Settled(outcomes, error);
}

Upload Body(const std::string& key, const std::string& bytes) {
    return {key, NoCache, {}, bytes, bytes.size(), DigestToHex(HashBytes(bytes))};
}

bool Get(const Store& store, const std::string& key, Fetched& object, bool& found,
         std::string& error) {
    const Outcome outcome = store.get(key, object);
    found = outcome.kind == Outcome::Kind::Done;
    if (outcome.kind == Outcome::Kind::Done || outcome.kind == Outcome::Kind::Missing) return true;
    error = outcome.error;
    return false;
}

// The pair as the bucket serves it now, with whether a cache may keep either half.
bool ReadPair(const Store& store, const std::string& prefix, Served& served, std::string& error) {
    Fetched manifest, signature;
    bool hasManifest = false, hasSignature = false;
    if (!Get(store, PairKey(prefix, ManifestFileName), manifest, hasManifest, error) ||
        !Get(store, PairKey(prefix, SignatureFileName), signature, hasSignature, error)) {
        return false;
    }
    served = Served{};
    served.known = true;
    if (hasManifest) served.manifest = manifest.bytes;
    if (hasSignature) served.signature = signature.bytes;
    const auto cacheable = [](const Fetched& half, bool present) {
        return present && half.cacheControl.find(NoCache) == std::string::npos;
    };
    served.cacheable = cacheable(manifest, hasManifest) || cacheable(signature, hasSignature);
    return true;
}

bool SamePair(const Served& served, const std::string& manifest, const std::string& signature) {
    return served.manifest == manifest && served.signature == signature;
}

// The ids of the releases kept under prefix, with the two halves' sizes.
void ReadReleases(const std::map<std::string, uint64_t>& objects, const std::string& prefix,
                  Inventory& inventory) {
    const std::string files = prefix + "patch/files/";
    const std::string releases = prefix + "patch/releases/";
    for (const auto& [key, size] : objects) {
        if (key.compare(0, files.size(), files) == 0) {
            const std::string name = key.substr(files.size());
            if (IsStoredName(name)) inventory.files[name] = size;
            continue;
        }
        if (key.compare(0, releases.size(), releases) != 0) continue;
        const std::string rest = key.substr(releases.size());
        const std::string id = rest.substr(0, rest.find('/'));
        const std::string name = rest.substr(std::min(rest.size(), id.size() + 1));
        if (!IsReleaseId(id) || (name != ManifestFileName && name != SignatureFileName)) continue;
        HeldRelease& held = inventory.releases[id];
        (name == ManifestFileName ? held.manifestSize : held.signatureSize) = size;
        held.bytes += size;
    }
}

// Names a kept release in the bucket that the web root does not keep names: they stay.
bool NamedByOthers(const Store& store, const std::string& prefix, const Mirror& local,
                   const std::set<std::string>& leaving, std::set<std::string>& named,
                   std::string& error) {
    std::map<std::string, uint64_t> objects;
    if (!ListAll(store, prefix + "patch/releases/", objects, error)) return false;
    Inventory now;
    ReadReleases(objects, prefix, now);
    std::set<std::string> ours;
    for (const KeptRelease& release : local.keep) ours.insert(release.id);
    for (const auto& [id, held] : now.releases) {
        if (ours.count(id) || leaving.count(id) || held.manifestSize == 0) continue;
        Fetched manifest;
        bool found = false;
        if (!Get(store, ReleaseKey(prefix, id, ManifestFileName), manifest, found, error)) {
            return false;
        }
        std::vector<ManifestRecord> records;
        if (found && ParseManifestRecords(manifest.bytes, records, nullptr)) {
            for (const ManifestRecord& record : records) named.insert(StoredNameOf(record));
        }
    }
    return true;
}

bool StillOurs(const Store& store, const std::string& prefix, const Mirror& local,
               std::string& error) {
    Served now;
    if (!ReadPair(store, prefix, now, error)) return false;
    if (SamePair(now, local.serve.manifest, local.serve.signature)) return true;
    error = "the bucket no longer serves release " + local.serve.id +
            " (another push switched it meanwhile): nothing more was deleted; push again from "
            "the web root that should be served";
    return false;
}

// Another push may delete a file between this push's last look and its switch: whatever the
// pair now served names and the bucket lacks is put back at once.
bool Restore(const Store& store, const std::string& prefix, const Mirror& local,
             std::string& error) {
    std::map<std::string, uint64_t> objects;
    if (!ListAll(store, prefix + "patch/files/", objects, error)) return false;
    std::set<std::string> named;
    for (const ManifestRecord& record : local.serve.records) named.insert(StoredNameOf(record));
    std::vector<Upload> missing;
    for (const PlannedFile& file : local.sources) {
        const std::string key = prefix + "patch/files/" + file.hex;
        if (!named.count(file.hex) || objects.count(key)) continue;
        std::cout << "restored patch/files/" << file.hex << " (deleted by another push meanwhile)"
                  << std::endl;
        missing.push_back({key, ImmutableCache, file.source, "", file.size, file.hex});
    }
    return missing.empty() || Put(store, missing, error);
}

}  // namespace

bool ViewBucket(const Store& store, const std::string& prefix, BucketView& view,
                std::string& error) {
    std::map<std::string, uint64_t> objects;
    if (!ListAll(store, prefix + "patch/", objects, error)) return false;
    ReadReleases(objects, prefix, view.inventory);
    return ReadPair(store, prefix, view.served, error);
}

std::string BucketReleaseOf(const Store& store, const std::string& prefix,
                            const Inventory& inventory, const std::string& manifest) {
    for (auto it = inventory.releases.rbegin(); it != inventory.releases.rend(); ++it) {
        if (it->second.manifestSize != manifest.size()) continue;
        Fetched kept;
        bool found = false;
        std::string ignored;
        if (Get(store, ReleaseKey(prefix, it->first, ManifestFileName), kept, found, ignored) &&
            found && kept.bytes == manifest) {
            return it->first;
        }
    }
    return "";
}

Place BucketPlace(const Store& store, const std::string& prefix, const Served& before,
                  const Mirror& local) {
    Place place;
    place.switchesInOneStep = false;
    place.putFiles = [store, prefix](const std::vector<PlannedFile>& files,
                                     std::vector<bool>& stored, std::string& error) {
        std::vector<Upload> uploads;
        for (const PlannedFile& file : files) {
            // Checked as it is read: the name is the digest players check.
            uploads.push_back({prefix + "patch/files/" + file.hex, ImmutableCache, file.source, "",
                               file.size, file.hex});
        }
        stored.assign(files.size(), true);
        return Put(store, uploads, error);
    };
    place.putReleases = [store, prefix](const std::vector<PlannedRelease>& releases,
                                        std::string& error) {
        std::vector<Upload> uploads;
        for (const PlannedRelease& release : releases) {
            uploads.push_back(
                Body(ReleaseKey(prefix, release.id, ManifestFileName), release.manifest));
            uploads.push_back(
                Body(ReleaseKey(prefix, release.id, SignatureFileName), release.signature));
        }
        return Put(store, uploads, error);
    };
    // Two uploads back to back on a connection already open, and only over the pair this push
    // planned from. The signature first: where nothing was served, a lone signature is never
    // fetched.
    place.switchPair = [store, prefix, before, local](const PlannedRelease& release,
                                                      double& gapSeconds, std::string& error) {
        Served now;
        if (!ReadPair(store, prefix, now, error)) return false;
        if (!SamePair(now, before.manifest, before.signature) &&
            !SamePair(now, release.manifest, release.signature)) {
            error =
                "the bucket's pair changed while this push ran (another push?): nothing was "
                "switched; run push again";
            return false;
        }
        if (!Put(store, {Body(PairKey(prefix, SignatureFileName), release.signature)}, error)) {
            return false;
        }
        const Clock::time_point first = Clock::now();
        if (!Put(store, {Body(PairKey(prefix, ManifestFileName), release.manifest)}, error)) {
            error +=
                "; the bucket serves the new signature with the old manifest until push is "
                "run again";
            return false;
        }
        gapSeconds = std::chrono::duration<double>(Clock::now() - first).count();
        return Restore(store, prefix, local, error);
    };
    // Deletes only while the bucket serves this push's pair, and never a file that a release
    // kept in the bucket names, another push's too.
    place.confirmRemove = [store, prefix, local](std::vector<PlannedDeletion>& doomed,
                                                 std::string& error) {
        if (!StillOurs(store, prefix, local, error)) return false;
        std::set<std::string> leaving, named;
        for (const PlannedDeletion& d : doomed) {
            if (d.release) leaving.insert(d.name);
        }
        if (!NamedByOthers(store, prefix, local, leaving, named, error)) return false;
        std::erase_if(doomed, [&named](const PlannedDeletion& d) {
            return !d.release && named.count(d.name);
        });
        return true;
    };
    // Kept releases first, then files, as in a folder: an interrupted run never leaves a kept
    // release whose files are gone.
    place.remove = [store, prefix, local](const std::vector<PlannedDeletion>& doomed,
                                          std::string& error) {
        std::vector<std::string> releases, files;
        for (const PlannedDeletion& d : doomed) {
            if (d.release) {
                releases.push_back(ReleaseKey(prefix, d.name, ManifestFileName));
                releases.push_back(ReleaseKey(prefix, d.name, SignatureFileName));
            } else {
                files.push_back(prefix + "patch/files/" + d.name);
            }
        }
        std::vector<Outcome> outcomes;
        if (!releases.empty()) {
            store.remove(releases, outcomes);
            if (!Settled(outcomes, error)) return false;
            if (files.empty()) return true;
            if (!StillOurs(store, prefix, local, error)) return false;
        }
        store.remove(files, outcomes);
        return Settled(outcomes, error);
    };
    return place;
}
