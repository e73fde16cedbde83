// Release history in the web root: patch/releases/<id>/ keeps each published manifest and its
// signature, so that an earlier release can be served again and unneeded files pruned.
#include "tools/release_tool.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iostream>
#include <set>

namespace fs = std::filesystem;

namespace {

// An id is "20250102T030405Z-000": the UTC second of the publish and a sequence number, so ids
// sort in publish order even for two publishes in one second or after the clock was set back.
constexpr size_t StampLength = 16;
constexpr size_t IdLength = StampLength + 4;

// Both served names link to current/<name>, and "current" links to releases/<id>.
constexpr char CurrentName[] = "current";

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

bool IsReleaseId(std::string_view id) {
    if (id.size() != IdLength) return false;
    for (size_t i = 0; i < IdLength; ++i) {
        const char want = i == 8 ? 'T' : i == StampLength - 1 ? 'Z' : i == StampLength ? '-' : 0;
        if (want ? id[i] != want : id[i] < '0' || id[i] > '9') return false;
    }
    return true;
}

void ReadRelease(const fs::path& dir, KeptRelease& release) {
    std::string problem;
    std::string error;
    if (!ReadWhole(dir / ManifestFileName, release.manifest, error) ||
        !ReadWhole(dir / SignatureFileName, release.signature, error)) {
        release.problem = error;
    } else if (!ParseManifestRecords(release.manifest, release.records, &problem)) {
        release.records.clear();
        release.problem = (dir / ManifestFileName).string() + ": invalid manifest: " + problem;
    }
}

std::string LinkTarget(const fs::path& link) {
    std::error_code ec;
    const fs::path target = fs::read_symlink(link, ec);
    return ec ? "" : target.string();
}

std::string LinkToServed(std::string_view name) {
    return std::string(CurrentName) + "/" + std::string(name);
}

// Reads every kept release and the served one. Fails only when the folders cannot be listed;
// a release that cannot be read carries its problem instead.
bool LoadHistory(const fs::path& patchDir, History& history, std::string& error) {
    const fs::path releasesDir = patchDir / "releases";
    std::error_code ec;
    std::vector<std::string> ids;
    fs::directory_iterator it(releasesDir, ec);
    if (ec == std::errc::no_such_file_or_directory) ec.clear();
    for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
        const std::string name = it->path().filename().string();
        std::error_code ignored;
        if (IsReleaseId(name) && it->is_directory(ignored)) ids.push_back(name);
    }
    if (ec) {
        error = releasesDir.string() + ": cannot read: " + ec.message();
        return false;
    }
    std::sort(ids.begin(), ids.end());
    for (const std::string& id : ids) {
        KeptRelease& release = history.kept.emplace_back();
        release.id = id;
        ReadRelease(releasesDir / id, release);
    }
    if (fs::exists(patchDir / ManifestFileName, ec)) {
        ReadRelease(patchDir, history.served);
    } else {
        history.served.problem = (patchDir / ManifestFileName).string() + ": nothing is served";
    }
    const KeptRelease& served = history.served;
    for (size_t i = 0; i < history.kept.size(); ++i) {
        const KeptRelease& kept = history.kept[i];
        const bool manifest = !served.manifest.empty() && kept.manifest == served.manifest;
        const bool signature = !served.signature.empty() && kept.signature == served.signature;
        if (manifest) history.manifestOf = static_cast<int>(i);
        if (signature) history.signatureOf = static_cast<int>(i);
        if (manifest && signature) history.current = static_cast<int>(i);
    }
    const std::string target = LinkTarget(patchDir / CurrentName);
    if (LinkTarget(patchDir / ManifestFileName) == LinkToServed(ManifestFileName) &&
        LinkTarget(patchDir / SignatureFileName) == LinkToServed(SignatureFileName)) {
        for (size_t i = 0; i < history.kept.size(); ++i) {
            if (target != "releases/" + history.kept[i].id) continue;
            history.current = static_cast<int>(i);
            history.linked = true;
        }
    }
    return true;
}

std::string PairProblem(const History& history) {
    if (history.current >= 0 || (history.manifestOf < 0 && history.signatureOf < 0)) return "";
    const auto owner = [&history](int i) {
        return i < 0 ? std::string("no kept release's") : "release " + history.kept[i].id + "'s";
    };
    return "the served manifest is " + owner(history.manifestOf) + " and the signature is " +
           owner(history.signatureOf) + ", not one release's pair";
}

std::string NextReleaseId(const std::vector<KeptRelease>& kept) {
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    char stamp[StampLength + 1] = {};
    if (!gmtime_r(&now, &utc) || std::strftime(stamp, sizeof(stamp), "%Y%m%dT%H%M%SZ", &utc) == 0) {
        return "";
    }
    if (kept.empty() || kept.back().id.compare(0, StampLength, stamp) < 0) {
        return std::string(stamp) + "-000";
    }
    std::string sequence = std::to_string(std::stoi(kept.back().id.substr(StampLength + 1)) + 1);
    if (sequence.size() > 3) return "";
    sequence.insert(0, 3 - sequence.size(), '0');
    return kept.back().id.substr(0, StampLength + 1) + sequence;
}

std::string DateOf(const std::string& id) {
    return id.substr(0, 4) + "-" + id.substr(4, 2) + "-" + id.substr(6, 2) + " " + id.substr(9, 2) +
           ":" + id.substr(11, 2) + ":" + id.substr(13, 2) + " UTC";
}

uint64_t TotalBytes(const std::vector<ManifestRecord>& records) {
    uint64_t total = 0;
    for (const ManifestRecord& record : records) total += record.size;
    return total;
}

uint64_t FolderBytes(const fs::path& dir) {
    uint64_t total = 0;
    std::error_code ec;
    fs::recursive_directory_iterator it(dir, ec);
    for (; !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        std::error_code ignored;
        if (it->is_regular_file(ignored)) total += it->file_size(ignored);
    }
    return total;
}

// A killed run's temporary names are "." + the name in place + "." + a suffix; only those of
// names the tool owns in each folder are removed, never an operator's own dot-files.
bool IsServedName(std::string_view name) {
    return name == ManifestFileName || name == SignatureFileName || name == CurrentName;
}
bool IsStoredName(std::string_view name) {
    return name.size() == 64 && name.find_first_not_of("0123456789abcdef") == std::string::npos;
}
bool IsKeptName(std::string_view name) {
    return name == "new" || IsReleaseId(name);  // "new": what earlier versions named them
}

bool RemoveLeftovers(const fs::path& patchDir, std::string& error) {
    const std::pair<fs::path, bool (*)(std::string_view)> places[] = {
        {patchDir, IsServedName},
        {patchDir / "files", IsStoredName},
        {patchDir / "releases", IsKeptName},
    };
    for (const auto& [dir, owned] : places) {
        std::error_code ec;
        std::vector<fs::path> leftovers;
        fs::directory_iterator it(dir, ec);
        if (ec == std::errc::no_such_file_or_directory) continue;
        for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
            const std::string name = it->path().filename().string();
            const size_t dot = name.rfind('.');
            if (name[0] == '.' && dot > 1 && dot + 1 < name.size() &&
                owned(std::string_view(name).substr(1, dot - 1))) {
                leftovers.push_back(it->path());
            }
        }
        fs::path failed = dir;
        for (const fs::path& leftover : leftovers) {
            if (fs::remove_all(leftover, ec); ec) {
                failed = leftover;
                break;
            }
        }
        if (ec) {
            error =
                failed.string() + ": cannot remove what an interrupted run left: " + ec.message();
            return false;
        }
    }
    return true;
}

// Points link at target: a new link made under a temporary name is renamed over it, so a
// reader finds the old target or the new one. Nothing is written when it points there already.
bool SwitchLink(const fs::path& link, const std::string& target, std::string& error) {
    if (LinkTarget(link) == target) return true;
    const std::string temp = TemporaryName(link, "link");
    ::unlink(temp.c_str());  // one a run without the lock left
    if (::symlink(target.c_str(), temp.c_str()) != 0 || ::rename(temp.c_str(), link.c_str()) != 0) {
        error = link.string() + ": cannot link to " + target + ": " + std::strerror(errno) +
                "; what is served has not changed";
        ::unlink(temp.c_str());
        return false;
    }
    if (SyncDirectory(link.parent_path(), error)) return true;
    error += "; " + link.string() + " links to " + target + " now, but a crash may undo that";
    return false;
}

bool StoreRelease(const fs::path& patchDir, const History& history, std::string_view manifest,
                  std::string_view signature, std::string& id, bool& kept, std::string& error) {
    kept = false;
    if (!history.kept.empty() && history.kept.back().manifest == manifest &&
        history.kept.back().signature == signature) {
        id = history.kept.back().id;
        return true;
    }
    id = NextReleaseId(history.kept);
    if (id.empty()) {
        error = "cannot name the release after " + history.kept.back().id + "; check the clock";
        return false;
    }
    const fs::path releasesDir = patchDir / "releases";
    std::error_code ec;
    if (fs::create_directory(releasesDir, ec) && !SyncDirectory(patchDir, error)) return false;
    if (ec) {
        error = releasesDir.string() + ": " + ec.message();
        return false;
    }
    // Filled under a temporary name and renamed into place, so a kept release is always whole.
    const fs::path target = releasesDir / id;
    std::string temp = TemporaryName(target, "XXXXXX");
    if (!::mkdtemp(temp.data())) {
        error = releasesDir.string() + ": cannot create a folder: " + std::strerror(errno);
        return false;
    }
    bool ok = ReplaceFile(fs::path(temp) / ManifestFileName, manifest, error) &&
              ReplaceFile(fs::path(temp) / SignatureFileName, signature, error);
    if (ok &&
        (::chmod(temp.c_str(), 0755) != 0 ||
         ::renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) != 0)) {
        error = target.string() + ": cannot create: " + std::strerror(errno);
        ok = false;
    }
    if (!ok) {
        fs::remove_all(temp, ec);
        return false;
    }
    kept = true;
    return SyncDirectory(releasesDir, error);
}

// Turns the served names into links through "current" without changing the pair they serve:
// "current" first names the release served now (a pair served before releases were kept is
// kept first; of a mixed pair, the manifest's release, which the links then make whole).
bool LinkServedNames(const fs::path& patchDir, std::string& error) {
    History history;
    if (!LoadHistory(patchDir, history, error)) return false;
    if (history.linked) return true;
    const int now = history.current >= 0      ? history.current
                    : history.manifestOf >= 0 ? history.manifestOf
                                              : history.signatureOf;
    std::string id = now >= 0 ? history.kept[now].id : "";
    bool kept = false;
    if (now < 0 && history.served.problem.empty() &&
        !StoreRelease(patchDir, history, history.served.manifest, history.served.signature, id,
                      kept, error)) {
        return false;
    }
    if (!id.empty() && !SwitchLink(patchDir / CurrentName, "releases/" + id, error)) return false;
    // The signature first: where nothing was served, a lone signature is never fetched.
    return SwitchLink(patchDir / SignatureFileName, LinkToServed(SignatureFileName), error) &&
           SwitchLink(patchDir / ManifestFileName, LinkToServed(ManifestFileName), error);
}

int Fail(const char* command, const std::string& message) {
    std::cerr << "vantor-release " << command << ": " << message << "\n";
    return 1;
}

}  // namespace

bool LockPatchDirectory(const fs::path& patchDir, std::string& error) {
    // Held until the process exits: each command changes the web root once, then ends.
    const int fd = ::open(patchDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        error = patchDir.string() + ": cannot open: " + std::strerror(errno);
        return false;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return RemoveLeftovers(patchDir, error);
    const int failure = errno;
    ::close(fd);
    if (failure == EWOULDBLOCK) {
        error = patchDir.string() + ": another vantor-release is changing this web root";
        return false;
    }
    // Some network file systems cannot lock a directory; that must not stop a publish, but
    // without the lock another run's temporary files cannot be told from leftovers.
    std::cerr << "vantor-release: warning: " << patchDir.string()
              << ": cannot lock, so runs at the same time are not kept apart: "
              << std::strerror(failure) << "\n";
    return true;
}

bool KeepRelease(const fs::path& patchDir, std::string_view manifest, std::string_view signature,
                 std::string& id, bool& kept, std::string& error) {
    History history;
    return LinkServedNames(patchDir, error) && LoadHistory(patchDir, history, error) &&
           StoreRelease(patchDir, history, manifest, signature, id, kept, error);
}

bool ServeRelease(const fs::path& patchDir, const std::string& id, std::string& error) {
    return LinkServedNames(patchDir, error) &&
           SwitchLink(patchDir / CurrentName, "releases/" + id, error);
}

std::string ServedPairProblem(const fs::path& patchDir) {
    History history;
    std::string error;
    return LoadHistory(patchDir, history, error) ? PairProblem(history) : "";
}

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
    const fs::path patchDir = webRoot / "patch";
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
    if (!LockPatchDirectory(patchDir, error)) return Fail("rollback", error);

    const std::string folder = "/patch/releases/" + id + "/";
    CheckedRelease release;
    if (CheckRelease(webRoot, modulus, folder + std::string(ManifestFileName),
                     folder + std::string(SignatureFileName), release) != 0) {
        return Fail("rollback", "refusing to serve release " + id + "; nothing was changed");
    }
    History history;
    if (LoadHistory(patchDir, history, error) && history.linked &&
        history.kept[history.current].id == id) {
        std::cout << "release " << id << " is already served\n";
        return 0;
    }
    if (!ServeRelease(patchDir, id, error)) return Fail("rollback", error);
    std::cout << "serving release " << id << "\n";
    return 0;
}

int RunPrune(const Arguments& args) {
    const fs::path patchDir = fs::path(args.positional[0]) / "patch";
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
    if (!dryRun && !LockPatchDirectory(patchDir, error)) return Fail("prune", error);
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
    // Whatever is served keeps its files even when it is not a kept release.
    std::set<std::string> named;
    for (const ManifestRecord& record : history.served.records) named.insert(record.remotePath);
    for (size_t i = 0; i < history.kept.size(); ++i) {
        const KeptRelease& release = history.kept[i];
        if (!keeping[i]) continue;
        if (!release.problem.empty()) {
            return Fail("prune",
                        "release " + release.id + ": " + release.problem + "; nothing was deleted");
        }
        for (const ManifestRecord& record : release.records) named.insert(record.remotePath);
        std::cout << "keep     release " << release.id
                  << (static_cast<int>(i) == history.current ? " (current)" : "") << "\n";
    }

    std::vector<fs::path> doomed;
    uint64_t freed = 0;
    for (size_t i = 0; i < history.kept.size(); ++i) {
        if (keeping[i]) continue;
        const fs::path dir = patchDir / "releases" / history.kept[i].id;
        const uint64_t bytes = FolderBytes(dir);
        std::cout << "delete   patch/releases/" << history.kept[i].id << "/  " << bytes
                  << " bytes\n";
        doomed.push_back(dir);
        freed += bytes;
    }
    // Release folders go first: an interrupted prune leaves unnamed files, never a kept
    // release whose files are gone.
    const size_t folders = doomed.size();
    std::error_code ec;
    std::vector<fs::directory_entry> files;
    fs::directory_iterator it(patchDir / "files", ec);
    for (; !ec && it != fs::directory_iterator(); it.increment(ec)) files.push_back(*it);
    if (ec) return Fail("prune", (patchDir / "files").string() + ": cannot read: " + ec.message());
    std::sort(files.begin(), files.end());
    for (const fs::directory_entry& entry : files) {
        const std::string name = entry.path().filename().string();
        if (!entry.is_regular_file(ec) || named.count("/patch/files/" + name)) continue;
        const uint64_t bytes = entry.file_size(ec);
        std::cout << "delete   patch/files/" << name << "  " << bytes << " bytes\n";
        doomed.push_back(entry.path());
        freed += bytes;
    }
    if (dryRun) {
        std::cout << "would free " << freed << " bytes (dry run: nothing was deleted)\n";
        return 0;
    }
    for (size_t i = 0; i < doomed.size(); ++i) {
        // A release folder vanishes whole under one rename, then is emptied under its
        // temporary name, which the next run removes if this one is killed.
        const fs::path hidden =
            i < folders ? fs::path(TemporaryName(doomed[i], "gone")) : doomed[i];
        if (i < folders) fs::rename(doomed[i], hidden, ec);
        if (!ec) fs::remove_all(hidden, ec);
        if (ec) return Fail("prune", doomed[i].string() + ": cannot delete: " + ec.message());
        if (i + 1 == folders && !SyncDirectory(patchDir / "releases", error)) {
            return Fail("prune", error);
        }
    }
    if (doomed.size() > folders && !SyncDirectory(patchDir / "files", error)) {
        return Fail("prune", error);
    }
    std::cout << "freed " << freed << " bytes\n";
    return 0;
}
