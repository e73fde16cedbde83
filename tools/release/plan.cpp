// What is named, what may go: the one plan of every command, and the one order it is carried
// out in.
#include "tools/release/release.h"

#include <cstdio>
#include <iostream>
#include <set>

namespace {

constexpr std::string_view FilesPath = "/patch/files/";

std::string FileLine(const PlannedFile& f) {
    const std::string size = std::to_string(f.size) + " bytes";
    return f.label.empty() ? "patch/files/" + f.hex + "  " + size
                           : f.label + "  " + size + "  " + f.hex;
}

std::string DeletionPath(const PlannedDeletion& d) {
    return d.release ? "patch/releases/" + d.name + "/" : "patch/files/" + d.name;
}

void Name(const std::vector<ManifestRecord>& records, std::set<std::string>& named) {
    for (const ManifestRecord& record : records) named.insert(StoredNameOf(record));
}

}  // namespace

bool IsStoredName(std::string_view name) {
    return name.size() == 64 && name.find_first_not_of("0123456789abcdef") == std::string::npos;
}

std::string StoredNameOf(const ManifestRecord& record) {
    if (record.remotePath.compare(0, FilesPath.size(), FilesPath) != 0) return "";
    return record.remotePath.substr(FilesPath.size());
}

Plan MirrorPlan(const Mirror& local, const Served& served, const Inventory& inventory) {
    Plan plan;
    for (const PlannedFile& file : local.sources) {
        const auto held = inventory.files.find(file.hex);
        if (held == inventory.files.end() || held->second != file.size) plan.files.push_back(file);
    }
    std::set<std::string> keptIds;
    for (const KeptRelease& release : local.keep) {
        keptIds.insert(release.id);
        const auto held = inventory.releases.find(release.id);
        if (held == inventory.releases.end() ||
            held->second.manifestSize != release.manifest.size() ||
            held->second.signatureSize != release.signature.size()) {
            plan.releases.push_back({release.id, release.manifest, release.signature});
        }
    }
    plan.serve = {local.serve.id, local.serve.manifest, local.serve.signature};
    plan.switchPair = !served.known || served.cacheable ||
                      served.manifest != local.serve.manifest ||
                      served.signature != local.serve.signature;
    if (!local.prune) return plan;
    // Whatever is served, now or next, and whatever stays kept keeps its files.
    std::set<std::string> named;
    Name(local.serve.records, named);
    Name(served.records, named);
    for (const KeptRelease& release : local.keep) Name(release.records, named);
    for (const auto& [id, held] : inventory.releases) {
        if (!keptIds.count(id) && id != local.serve.id) {
            plan.deletions.push_back({true, id, held.bytes});
        }
    }
    for (const auto& [name, size] : inventory.files) {
        if (!named.count(name)) plan.deletions.push_back({false, name, size});
    }
    return plan;
}

bool CarryOut(const Plan& plan, const Place& place, bool dryRun, std::string& error) {
    // Every line is out before the step it names, so a killed run has said how far it got.
    const auto say = [](const std::string& line) { std::cout << line << std::endl; };
    const auto sayDeletions = [&say](const std::vector<PlannedDeletion>& doomed) {
        for (const PlannedDeletion& d : doomed) {
            say("delete   " + DeletionPath(d) + "  " + std::to_string(d.bytes) + " bytes");
        }
    };
    if (dryRun) {
        for (const PlannedFile& f : plan.files) say("store    " + FileLine(f));
        for (const PlannedRelease& r : plan.releases) say("keep     release " + r.id);
        if (plan.switchPair) say("serve    release " + plan.serve.id);
        sayDeletions(plan.deletions);
        return true;
    }
    std::vector<bool> stored;
    if (!plan.files.empty() && !place.putFiles(plan.files, stored, error)) return false;
    for (size_t i = 0; i < plan.files.size(); ++i) {
        say((stored[i] ? "stored   " : "present  ") + FileLine(plan.files[i]));
    }
    if (!plan.releases.empty() && !place.putReleases(plan.releases, error)) return false;
    for (const PlannedRelease& r : plan.releases) say("kept     release " + r.id);
    if (plan.switchPair) {
        if (!place.switchesInOneStep) say("switching to release " + plan.serve.id);
        double gap = 0;
        if (!place.switchPair(plan.serve, gap, error)) return false;
        if (place.switchesInOneStep) {
            say("serving release " + plan.serve.id);
        } else {
            char ms[32];
            std::snprintf(ms, sizeof(ms), "%.1f", gap * 1000);
            say("serving release " + plan.serve.id + "; the manifest and signature uploads were " +
                ms + " ms apart (only a player fetching in between sees a mismatch, once)");
        }
    }
    std::vector<PlannedDeletion> doomed = plan.deletions;
    if (!doomed.empty() && place.confirmRemove && !place.confirmRemove(doomed, error)) {
        return false;
    }
    sayDeletions(doomed);
    return doomed.empty() || place.remove(doomed, error);
}
