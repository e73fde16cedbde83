#include "tools/places/places.h"
#include "tools/release_tool.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct ReleaseFile {
    int row = -1;     // index into UpdatableFiles
    fs::path source;  // as found in the release directory
    uint64_t size = 0;
    Sha256Digest sha256{};
};

std::string ParentOf(std::string_view launcherPath) {
    const size_t cut = launcherPath.rfind('\\');
    return std::string(cut == std::string_view::npos ? "" : launcherPath.substr(0, cut));
}

bool IsCoveredDirectory(const std::string& launcherDir) {
    for (std::string_view row : UpdatableFiles) {
        if (EqualsIgnoringAsciiCase(ParentOf(row), launcherDir)) return true;
    }
    return false;
}

// Walks the release and sorts every file into listed, skipped or refused.
bool ScanRelease(const fs::path& root, std::vector<ReleaseFile>& files,
                 std::vector<std::string>& skipped, std::vector<std::string>& problems) {
    std::error_code ec;
    fs::recursive_directory_iterator it(root, ec), end;
    if (ec) {
        problems.push_back(root.string() + ": cannot read: " + ec.message());
        return false;
    }
    std::vector<std::optional<fs::path>> seen(UpdatableFiles.size());
    for (; it != end; it.increment(ec)) {
        if (ec) break;
        const std::string shown = it->path().lexically_relative(root).generic_string();
        std::string launcherPath = shown;
        for (char& c : launcherPath) {
            if (c == '/') c = '\\';
        }
        if (it->path().filename().string().find('\\') != std::string::npos) {
            problems.push_back(shown + ": a backslash in a name cannot be installed");
            continue;
        }
        if (!IsValidUtf8(shown)) {
            problems.push_back(shown + ": the name is not valid UTF-8");
            continue;
        }
        const fs::file_status link = it->symlink_status(ec);
        const fs::file_status target = it->status(ec);
        const int row = FindUpdatableFile(launcherPath);
        if (fs::is_directory(link)) {
            if (row >= 0) problems.push_back(shown + ": a listed file is a directory here");
            continue;
        }
        if (!fs::is_regular_file(target)) {
            problems.push_back(shown + ": not a regular file");
            continue;
        }
        if (row < 0) {
            if (IsCoveredDirectory(ParentOf(launcherPath))) {
                problems.push_back(shown + ": not a file the launcher may update");
            } else {
                skipped.push_back(shown);
            }
            continue;
        }
        if (fs::is_symlink(link)) {
            // The web root gets a copy; a link out of the release would publish whatever it
            // reaches (tried: /etc/hostname).
            std::error_code linkError;
            const fs::path real = fs::canonical(it->path(), linkError);
            const fs::path inside = real.lexically_relative(fs::canonical(root, linkError));
            if (linkError || inside.empty() || *inside.begin() == "..") {
                problems.push_back(shown + ": a link to " + real.string() + ", outside " +
                                   root.string());
                continue;
            }
        }
        if (seen[row]) {
            problems.push_back(shown + " and " +
                               seen[row]->lexically_relative(root).generic_string() +
                               " are the same file to the launcher (letter case is ignored)");
            continue;
        }
        seen[row] = it->path();
        const uint64_t size = fs::file_size(it->path(), ec);
        if (ec) {
            problems.push_back(shown + ": " + ec.message());
        } else if (size == 0) {
            problems.push_back(shown + ": empty; the launcher accepts 1 byte to 64 MiB");
        } else if (size > MaxManifestFileSize) {
            problems.push_back(shown + ": " + std::to_string(size) +
                               " bytes; the launcher accepts at most 64 MiB");
        } else {
            files.push_back({row, it->path(), size, {}});
        }
    }
    if (ec) problems.push_back(root.string() + ": cannot read: " + ec.message());
    if (problems.empty() && files.empty()) {
        problems.push_back(root.string() + ": holds none of the files the launcher may update");
    }
    return problems.empty();
}

}  // namespace

int RunPublish(const Arguments& args) {
    const fs::path release = args.positional[0];
    const fs::path webRoot = args.positional[1];
    const std::string keyPath = args.options.at("--key");
    const auto fail = [](const std::string& message) {
        std::cerr << "vantor-release publish: " << message << "\n";
        return 1;
    };
    std::string error;
    if (!IsDirectory(release, error)) return fail(error);

    std::vector<ReleaseFile> files;
    std::vector<std::string> skipped;
    std::vector<std::string> problems;
    if (!ScanRelease(release, files, skipped, problems)) {
        std::cerr << "vantor-release publish: refusing the release; nothing was written:\n";
        for (const std::string& p : problems) std::cerr << "  " << p << "\n";
        return 1;
    }
    std::sort(files.begin(), files.end(),
              [](const ReleaseFile& a, const ReleaseFile& b) { return a.row < b.row; });

    std::string manifest(ManifestHeaderLine);
    manifest += "\n";
    for (ReleaseFile& file : files) {
        uint64_t size = 0;
        if (!HashFile(file.source.string(), file.sha256, size, error)) return fail(error);
        if (size != file.size) {
            return fail(file.source.string() + ": changed while being published; run again");
        }
        const std::string hex = DigestToHex(file.sha256);
        manifest += std::string(UpdatableFiles[file.row]) + "|/patch/files/" + hex + "|" +
                    std::to_string(file.size) + "|" + hex + "\n";
    }
    std::vector<ManifestRecord> records;
    std::string problem;
    if (!ParseManifestRecords(manifest, records, &problem) || records.size() != files.size()) {
        return fail("internal error: the manifest written fails the launcher's rules: " + problem);
    }
    std::string signature;
    std::string modulus;
    if (!SignWithKey(keyPath, manifest, signature, modulus, error)) return fail(error);
    if (!VerifyWithModulus(modulus, manifest, signature, error)) {
        return fail("the new signature does not verify: " + error);
    }

    fs::path patchDir = webRoot / "patch";
    std::error_code ec;
    fs::create_directories(patchDir / "files", ec);
    if (ec) return fail((patchDir / "files").string() + ": " + ec.message());
    History history;
    if (!OpenWebRoot(webRoot, args.options.count("--no-lock") != 0, error) ||
        !LinkServedNames(patchDir, error) || !LoadHistory(patchDir, history, error)) {
        return fail(error);
    }
    Mirror local;
    local.serve = {"", manifest, signature, records, ""};
    local.keep = history.kept;
    for (const ReleaseFile& file : files) {
        local.sources.push_back({DigestToHex(file.sha256), file.size, file.source,
                                 std::string(UpdatableFiles[file.row])});
    }
    // Kept again only when the newest kept release is not these very bytes.
    if (!history.kept.empty() && history.kept.back().manifest == manifest &&
        history.kept.back().signature == signature) {
        local.serve.id = history.kept.back().id;
    } else {
        local.serve.id = NextReleaseId(history.kept);
        if (local.serve.id.empty()) {
            return fail("cannot name the release after " + history.kept.back().id +
                        "; check the clock");
        }
        local.keep.push_back(local.serve);
    }
    Inventory inventory;
    if (!TakeInventory(patchDir, history, inventory, error)) return fail(error);
    inventory.files.clear();  // the folder checks each copy itself, and repairs a damaged one
    Plan plan = MirrorPlan(local, Served{}, inventory);
    const bool stage = args.options.count("--no-serve") != 0;
    plan.switchPair = !stage;
    if (!CarryOut(plan, FolderPlace(patchDir), false, error)) return fail(error);
    for (const std::string& s : skipped) std::cout << "skipped  " << s << " (not updatable)\n";
    if (plan.releases.empty()) std::cout << "present  release " << plan.serve.id << "\n";
    std::cout << (stage ? "staged " : "published ") << files.size() << " file(s); manifest "
              << manifest.size() << " bytes, signed by key " << modulus.substr(0, 16) << "...\n";
    if (stage) {
        std::cout << "not served yet: vantor-release serve " << webRoot.string() << " "
                  << plan.serve.id << " --modulus ... serves it\n";
    }
    return 0;
}
