// The one order in which publish, rollback, prune and push change a place.
#include "tools/release_tool.h"

#include <cstdio>
#include <iostream>

namespace {

std::string FileLine(const PlannedFile& f) {
    const std::string size = std::to_string(f.size) + " bytes";
    return f.label.empty() ? "patch/files/" + f.hex + "  " + size
                           : f.label + "  " + size + "  " + f.hex;
}

std::string DeletionPath(const PlannedDeletion& d) {
    return d.release ? "patch/releases/" + d.name + "/" : "patch/files/" + d.name;
}

}  // namespace

bool CarryOut(const Plan& plan, const Place& place, bool dryRun, std::string& error) {
    // Every line is out before the step it names, so a killed run has said how far it got.
    const auto say = [](const std::string& line) { std::cout << line << std::endl; };
    if (dryRun) {
        for (const PlannedFile& f : plan.files) {
            say("store    " + FileLine(f));
        }
        for (const PlannedRelease& r : plan.releases) say("keep     release " + r.id);
        if (plan.switchPair) say("serve    release " + plan.serve.id);
        for (const PlannedDeletion& d : plan.deletions) {
            say("delete   " + DeletionPath(d) + "  " + std::to_string(d.bytes) + " bytes");
        }
        return true;
    }
    std::vector<bool> stored;
    if (!plan.files.empty() && !place.putFiles(place.context, plan.files, stored, error)) {
        return false;
    }
    for (size_t i = 0; i < plan.files.size(); ++i) {
        const PlannedFile& f = plan.files[i];
        say((stored[i] ? "stored   " : "present  ") + FileLine(f));
    }
    if (!plan.releases.empty() && !place.putReleases(place.context, plan.releases, error)) {
        return false;
    }
    for (const PlannedRelease& r : plan.releases) say("kept     release " + r.id);
    if (plan.switchPair) {
        if (!place.switchesInOneStep) say("switching to release " + plan.serve.id);
        double gap = 0;
        if (!place.switchPair(place.context, plan.serve, gap, error)) return false;
        if (place.switchesInOneStep) {
            say("serving release " + plan.serve.id);
        } else {
            char ms[32];
            std::snprintf(ms, sizeof(ms), "%.1f", gap * 1000);
            say("serving release " + plan.serve.id + "; the manifest and signature uploads were " +
                ms + " ms apart (only a player fetching in between sees a mismatch, once)");
        }
    }
    for (const PlannedDeletion& d : plan.deletions) {
        say("delete   " + DeletionPath(d) + "  " + std::to_string(d.bytes) + " bytes");
    }
    return plan.deletions.empty() || place.remove(place.context, plan.deletions, error);
}
