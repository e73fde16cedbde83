// The commands that read and change a web root's history: releases, serve (rollback), prune.
#include "tools/commands/commands.h"
#include "tools/places/places.h"
#include "tools/release_tool.h"

#include <iostream>

namespace fs = std::filesystem;

namespace {

std::string DateOf(const std::string& id) {
    return id.substr(0, 4) + "-" + id.substr(4, 2) + "-" + id.substr(6, 2) + " " + id.substr(9, 2) +
           ":" + id.substr(11, 2) + ":" + id.substr(13, 2) + " UTC";
}

uint64_t TotalBytes(const std::vector<ManifestRecord>& records) {
    uint64_t total = 0;
    for (const ManifestRecord& record : records) total += record.size;
    return total;
}

int Fail(const char* command, const std::string& message) {
    std::cerr << "vantor-release " << command << ": " << message << "\n";
    return 1;
}

}  // namespace

int RunReleases(const Arguments& args) {
    const fs::path patchDir = fs::path(args.positional[0]) / "patch";
    History history;
    std::string error;
    if (!IsDirectory(patchDir, error) || !LoadHistory(patchDir, history, error)) {
        return Fail("releases", error);
    }
    int damaged = 0;
    for (size_t i = 0; i < history.kept.size(); ++i) {
        const KeptRelease& release = history.kept[i];
        std::cout << release.id << "  " << DateOf(release.id) << "  ";
        if (!release.problem.empty()) {
            ++damaged;
            std::cout << "unreadable: " << release.problem << "\n";
            continue;
        }
        std::cout << release.records.size() << " file(s)  " << TotalBytes(release.records)
                  << " bytes" << (static_cast<int>(i) == history.current ? " (current)" : "")
                  << "\n";
    }
    if (history.kept.empty()) std::cerr << "no kept releases in " << patchDir.string() << "\n";
    if (const std::string mixed = PairProblem(history); !mixed.empty()) {
        std::cerr << mixed << "; players fail the signature check until a publish or rollback\n";
        return 1;
    }
    if (history.current < 0 && history.served.problem.empty()) {
        std::cerr << "the served manifest is not one of the kept releases\n";
    }
    return damaged ? 1 : 0;
}

int RunRollback(const Arguments& args) {
    const fs::path webRoot = args.positional[0];
    fs::path patchDir = webRoot / "patch";
    const std::string& id = args.positional[1];
    const std::string& modulus = args.options.at("--modulus");
    std::string error;
    if (!IsReleaseId(id)) {
        return Fail("rollback", id + ": not a release id (vantor-release releases lists them)");
    }
    if (!CheckModulusText(modulus, error)) return Fail("rollback", "--modulus: " + error);
    if (!IsDirectory(patchDir, error)) return Fail("rollback", error);
    std::error_code ec;
    if (!fs::is_directory(patchDir / "releases" / id, ec)) {
        return Fail("rollback", (patchDir / "releases" / id).string() + ": no such release");
    }
    if (!OpenWebRoot(webRoot, args.options.count("--no-lock") != 0, error)) {
        return Fail("rollback", error);
    }
    const std::string folder = "/patch/releases/" + id + "/";
    CheckedRelease release;
    if (CheckRelease(webRoot, modulus, folder + std::string(ManifestFileName),
                     folder + std::string(SignatureFileName), release) != 0) {
        return Fail("rollback", "refusing to serve release " + id + "; nothing was changed");
    }
    Mirror local;
    local.serve = {id, release.manifest, release.signature, release.records, ""};
    if (!CarryOut(MirrorPlan(local, Served{}, Inventory{}), FolderPlace(patchDir), false, error)) {
        return Fail("rollback", error);
    }
    return 0;
}

int RunPrune(const Arguments& args) {
    const fs::path webRoot = args.positional[0];
    fs::path patchDir = webRoot / "patch";
    const std::string& keepText = args.options.at("--keep");
    const bool dryRun = args.options.count("--dry-run") != 0;
    if (keepText.empty() || keepText.size() > 6 ||
        keepText.find_first_not_of("0123456789") != std::string::npos || std::stoi(keepText) < 1) {
        std::cerr << "vantor-release prune: --keep takes a number of releases, 1 or more\n";
        return 2;
    }
    const size_t keep = std::stoul(keepText);
    std::string error;
    if (!IsDirectory(patchDir / "files", error)) return Fail("prune", error);
    if (!dryRun && !OpenWebRoot(webRoot, args.options.count("--no-lock") != 0, error)) {
        return Fail("prune", error);
    }
    History history;
    if (!LoadHistory(patchDir, history, error)) return Fail("prune", error);
    if (!history.served.problem.empty()) {
        return Fail("prune", history.served.problem + "; nothing was deleted");
    }

    // The served release counts towards the N kept, then the newest others. So does every
    // release that holds the served manifest or signature: even a mixed pair keeps both.
    std::vector<bool> keeping(history.kept.size(), false);
    size_t kept = 0;
    for (size_t i = 0; i < history.kept.size(); ++i) {
        const KeptRelease& release = history.kept[i];
        if (static_cast<int>(i) == history.current || release.manifest == history.served.manifest ||
            release.signature == history.served.signature) {
            keeping[i] = true;
            ++kept;
        }
    }
    for (size_t i = history.kept.size(); i-- > 0 && kept < keep;) {
        if (!keeping[i]) ++kept;
        keeping[i] = true;
    }
    for (size_t i = 0; i < history.kept.size(); ++i) {
        const KeptRelease& release = history.kept[i];
        if (!keeping[i]) continue;
        if (!release.problem.empty()) {
            return Fail("prune",
                        "release " + release.id + ": " + release.problem + "; nothing was deleted");
        }
        std::cout << "keep     release " << release.id
                  << (static_cast<int>(i) == history.current ? " (current)" : "") << "\n";
    }

    Mirror local;
    local.serve = ServedRelease(history);
    local.prune = true;
    for (size_t i = 0; i < history.kept.size(); ++i) {
        if (keeping[i]) local.keep.push_back(history.kept[i]);
    }
    Served served;
    served.known = true;
    served.manifest = history.served.manifest;
    served.signature = history.served.signature;
    served.records = history.served.records;
    Inventory inventory;
    if (!TakeInventory(patchDir, history, inventory, error)) return Fail("prune", error);
    const Plan plan = MirrorPlan(local, served, inventory);
    uint64_t freed = 0;
    for (const PlannedDeletion& d : plan.deletions) freed += d.bytes;
    if (!CarryOut(plan, FolderPlace(patchDir), dryRun, error)) return Fail("prune", error);
    // Deletions a killed run made are durable before this run reports them done.
    std::error_code ec;
    if (!dryRun &&
        (!SyncDirectory(patchDir / "files", error) ||
         (fs::exists(patchDir / "releases", ec) && !SyncDirectory(patchDir / "releases", error)))) {
        return Fail("prune", error);
    }
    if (dryRun) {
        std::cout << "would free " << freed << " bytes (dry run: nothing was deleted)\n";
    } else {
        std::cout << "freed " << freed << " bytes\n";
    }
    return 0;
}
