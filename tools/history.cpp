// Release history in the web root: patch/releases/<id>/ keeps each published manifest and its
// signature, so that an earlier release can be served again and unneeded files pruned. The
// web root's patch/ folder is also a place that a plan is carried out against.
#include "tools/release_tool.h"

#include <fcntl.h>
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
constexpr char LockFileName[] = ".vantor-release.lock";

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

// The names the tool owns in each folder; only their temporaries are ever removed.
bool IsServedName(std::string_view name) {
    return name == ManifestFileName || name == SignatureFileName || name == CurrentName;
}
bool IsStoredName(std::string_view name) {
    return name.size() == 64 && name.find_first_not_of("0123456789abcdef") == std::string::npos;
}

// A killed run's temporary of an owned name: this version's form, or one of the two fixed
// names earlier versions used (".current.link", ".<id>.gone").
bool IsLeftover(const std::string& name, bool (*owned)(std::string_view), const char* oldSuffix) {
    const size_t dot = name.rfind('.');
    if (name.size() < 3 || name[0] != '.' || dot < 2 || dot == std::string::npos) return false;
    const std::string_view suffix = std::string_view(name).substr(dot + 1);
    return owned(std::string_view(name).substr(1, dot - 1)) &&
           (IsTemporarySuffix(suffix) || suffix == oldSuffix);
}

std::string Shown(const fs::path& patchDir, const fs::path& path) {
    return path.lexically_relative(patchDir.parent_path()).generic_string();
}

// The web server reads as another user: what the tool serves must be readable by others
// (an earlier version under a strict umask made releases/ 0700).
bool RepairMode(const fs::path& patchDir, const fs::path& path, bool folder, std::string& error) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return true;  // nothing there to serve
    if (folder ? !S_ISDIR(st.st_mode) : !S_ISREG(st.st_mode)) return true;
    const mode_t need = folder ? S_IROTH | S_IXOTH : S_IROTH;
    if ((st.st_mode & need) == need) return true;
    const mode_t repaired = folder ? 0755 : 0644;
    if (::chmod(path.c_str(), repaired) != 0) {
        error = path.string() +
                ": others cannot read it and it cannot be changed: " + std::strerror(errno);
        return false;
    }
    char modes[48];
    std::snprintf(modes, sizeof(modes), "mode %04o, now %04o", unsigned(st.st_mode & 07777),
                  unsigned(repaired));
    std::cout << "repaired " << Shown(patchDir, path) << " (" << modes
              << "; the web server could not read it)\n";
    return true;
}

// One walk over the tool's three folders: removes what killed runs left under temporary names
// of owned names, and makes each owned folder and file readable by others.
bool TidyWebRoot(const fs::path& patchDir, std::string& error) {
    const struct {
        fs::path dir;
        bool (*owned)(std::string_view);
        const char* oldSuffix;
        bool folders;  // what the owned names are here
    } places[] = {
        {patchDir, IsServedName, "link", false},
        {patchDir / "files", IsStoredName, "", false},
        {patchDir / "releases", IsReleaseId, "gone", true},
    };
    for (const auto& place : places) {
        if (!RepairMode(patchDir, place.dir, true, error)) return false;
        std::error_code ec;
        std::vector<fs::path> leftovers;
        fs::directory_iterator it(place.dir, ec);
        if (ec == std::errc::no_such_file_or_directory) continue;
        for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
            const fs::path& path = it->path();
            const std::string name = path.filename().string();
            if (IsLeftover(name, place.owned, place.oldSuffix)) leftovers.push_back(path);
            if (!place.owned(name)) continue;
            if (!RepairMode(patchDir, path, place.folders, error) ||
                (place.folders &&
                 (!RepairMode(patchDir, path / ManifestFileName, false, error) ||
                  !RepairMode(patchDir, path / SignatureFileName, false, error)))) {
                return false;
            }
        }
        if (ec) {
            error = place.dir.string() + ": cannot read: " + ec.message();
            return false;
        }
        for (const fs::path& leftover : leftovers) {
            std::error_code removed;
            fs::remove_all(leftover, removed);
            if (removed) {
                error = leftover.string() +
                        ": cannot remove what an interrupted run left: " + removed.message();
                return false;
            }
            std::cout << "removed  " << Shown(patchDir, leftover)
                      << " (left by an interrupted run)\n";
        }
        if (!leftovers.empty() && !SyncDirectory(place.dir, error)) return false;
    }
    return true;
}

// Points link at target: a new link made under a temporary name is renamed over it, so a
// reader finds the old target or the new one. A link that points there already is synced
// too: the rename that made it may be a killed run's and not yet durable.
bool SwitchLink(const fs::path& link, const std::string& target, std::string& error) {
    if (LinkTarget(link) != target) {
        const std::string temp = TemporaryName(link);
        if (::symlink(target.c_str(), temp.c_str()) != 0 ||
            ::rename(temp.c_str(), link.c_str()) != 0) {
            error = link.string() + ": cannot link to " + target + ": " + std::strerror(errno) +
                    "; what is served has not changed";
            ::unlink(temp.c_str());
            return false;
        }
    }
    if (SyncDirectory(link.parent_path(), error)) return true;
    error += "; " + link.string() + " links to " + target + " now, but a crash may undo that";
    return false;
}

// Filled under a temporary name and renamed into place, so a kept release is always whole.
bool WriteRelease(const fs::path& patchDir, const PlannedRelease& release, std::string& error) {
    const fs::path releasesDir = patchDir / "releases";
    std::error_code ec;
    if (fs::create_directory(releasesDir, ec) && !SyncDirectory(patchDir, error)) return false;
    if (ec) {
        error = releasesDir.string() + ": " + ec.message();
        return false;
    }
    const fs::path target = releasesDir / release.id;
    const std::string temp = TemporaryName(target);
    if (::mkdir(temp.c_str(), 0755) != 0) {
        error = releasesDir.string() + ": cannot create a folder: " + std::strerror(errno);
        return false;
    }
    bool ok = ReplaceFile(fs::path(temp) / ManifestFileName, release.manifest, error) &&
              ReplaceFile(fs::path(temp) / SignatureFileName, release.signature, error);
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
    return SyncDirectory(releasesDir, error);
}

// Copies each file to its content-addressed place, unless an intact copy is there.
bool FolderPutFiles(void* context, const std::vector<PlannedFile>& files, std::vector<bool>& stored,
                    std::string& error) {
    const fs::path filesDir = *static_cast<const fs::path*>(context) / "files";
    stored.assign(files.size(), false);
    for (size_t i = 0; i < files.size(); ++i) {
        const PlannedFile& file = files[i];
        const fs::path target = filesDir / file.hex;
        Sha256Digest existing{};
        uint64_t existingSize = 0;
        std::string ignored;
        std::error_code ec;
        if (fs::is_regular_file(target, ec) &&
            HashFile(target.string(), existing, existingSize, ignored) &&
            existingSize == file.size && DigestToHex(existing) == file.hex) {
            continue;
        }
        std::string bytes;
        if (!ReadWhole(file.source, bytes, error)) return false;
        // The bytes copied are the bytes the manifest vouches for, or nothing is published.
        if (bytes.size() != file.size || DigestToHex(HashBytes(bytes)) != file.hex) {
            error = file.source.string() + ": changed while being published; run again";
            return false;
        }
        stored[i] = true;
        if (!ReplaceFile(target, bytes, error)) return false;
    }
    // A copy found intact may be a killed run's rename that is not yet durable.
    return SyncDirectory(filesDir, error);
}

bool FolderPutReleases(void* context, const std::vector<PlannedRelease>& releases,
                       std::string& error) {
    for (const PlannedRelease& release : releases) {
        if (!WriteRelease(*static_cast<const fs::path*>(context), release, error)) return false;
    }
    return true;
}

bool FolderSwitchPair(void* context, const PlannedRelease& release, double& gapSeconds,
                      std::string& error) {
    const fs::path& patchDir = *static_cast<const fs::path*>(context);
    gapSeconds = 0;  // one rename
    // The kept release may be a killed run's rename that is not yet durable: synced before
    // anything links to it.
    return SyncDirectory(patchDir / "releases", error) && LinkServedNames(patchDir, error) &&
           SwitchLink(patchDir / CurrentName, "releases/" + release.id, error);
}

// Release folders go first: an interrupted run leaves unnamed files, never a kept release
// whose files are gone. A folder vanishes whole under one rename, then is emptied under its
// temporary name, which the next run removes if this one is killed.
bool FolderRemove(void* context, const std::vector<PlannedDeletion>& doomed, std::string& error) {
    const fs::path& patchDir = *static_cast<const fs::path*>(context);
    bool releases = false;
    bool files = false;
    for (const PlannedDeletion& d : doomed) {
        const fs::path path = patchDir / (d.release ? "releases" : "files") / d.name;
        std::error_code ec;
        if (d.release) {
            const fs::path hidden = TemporaryName(path);
            fs::rename(path, hidden, ec);
            if (!ec) fs::remove_all(hidden, ec);
            releases = true;
        } else {
            if (releases && !files && !SyncDirectory(patchDir / "releases", error)) return false;
            fs::remove(path, ec);
            files = true;
        }
        if (ec) {
            error = path.string() + ": cannot delete: " + ec.message();
            return false;
        }
    }
    return (!releases || files || SyncDirectory(patchDir / "releases", error)) &&
           (!files || SyncDirectory(patchDir / "files", error));
}

int Fail(const char* command, const std::string& message) {
    std::cerr << "vantor-release " << command << ": " << message << "\n";
    return 1;
}

}  // namespace

bool IsReleaseId(std::string_view id) {
    if (id.size() != IdLength) return false;
    for (size_t i = 0; i < IdLength; ++i) {
        const char want = i == 8 ? 'T' : i == StampLength - 1 ? 'Z' : i == StampLength ? '-' : 0;
        if (want ? id[i] != want : id[i] < '0' || id[i] > '9') return false;
    }
    return true;
}

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

bool LinkServedNames(const fs::path& patchDir, std::string& error) {
    History history;
    if (!LoadHistory(patchDir, history, error)) return false;
    if (history.linked) return SyncDirectory(patchDir, error);
    // "current" first names the release served now: of a mixed pair, the manifest's release,
    // which the links then make whole.
    const int now = history.current >= 0      ? history.current
                    : history.manifestOf >= 0 ? history.manifestOf
                                              : history.signatureOf;
    std::string id = now >= 0 ? history.kept[now].id : "";
    if (now < 0 && history.served.problem.empty()) {
        id = NextReleaseId(history.kept);
        if (id.empty()) {
            error = "cannot name the release after " + history.kept.back().id + "; check the clock";
            return false;
        }
        if (!WriteRelease(patchDir, {id, history.served.manifest, history.served.signature},
                          error)) {
            return false;
        }
    }
    if (!id.empty() && !SwitchLink(patchDir / CurrentName, "releases/" + id, error)) return false;
    // The signature first: where nothing was served, a lone signature is never fetched.
    return SwitchLink(patchDir / SignatureFileName, LinkToServed(SignatureFileName), error) &&
           SwitchLink(patchDir / ManifestFileName, LinkToServed(ManifestFileName), error);
}

bool OpenWebRoot(const fs::path& webRoot, bool noLock, std::string& error) {
    const fs::path patchDir = webRoot / "patch";
    if (!noLock) {
        // An open-file-description lock on a regular file: network file systems that cannot
        // lock a folder lock a file, and it is held until the process exits.
        const fs::path lockPath = webRoot / LockFileName;
        const int fd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd < 0) {
            error = lockPath.string() + ": cannot open: " + std::strerror(errno);
            return false;
        }
        struct flock lock {};
        lock.l_type = F_WRLCK;
        lock.l_whence = SEEK_SET;
        if (::fcntl(fd, F_OFD_SETLK, &lock) != 0) {
            const int failure = errno;
            ::close(fd);
            if (failure == EAGAIN || failure == EACCES) {
                error = webRoot.string() + ": another vantor-release is changing this web root";
            } else {
                error = lockPath.string() + ": cannot lock: " + std::strerror(failure) +
                        "; if no other run can change this web root meanwhile, --no-lock "
                        "goes on without the lock";
            }
            return false;
        }
    }
    return TidyWebRoot(patchDir, error);
}

std::string ServedPairProblem(const fs::path& patchDir) {
    History history;
    std::string error;
    return LoadHistory(patchDir, history, error) ? PairProblem(history) : "";
}

Place FolderPlace(const fs::path* patchDir) {
    Place place;
    place.context = const_cast<fs::path*>(patchDir);
    place.switchesInOneStep = true;
    place.putFiles = FolderPutFiles;
    place.putReleases = FolderPutReleases;
    place.switchPair = FolderSwitchPair;
    place.remove = FolderRemove;
    return place;
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
    Plan plan;
    plan.switchPair = true;
    plan.serve = {id, release.manifest, release.signature};
    if (!CarryOut(plan, FolderPlace(&patchDir), false, error)) return Fail("rollback", error);
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

    Plan plan;
    uint64_t freed = 0;
    for (size_t i = 0; i < history.kept.size(); ++i) {
        if (keeping[i]) continue;
        const uint64_t bytes = FolderBytes(patchDir / "releases" / history.kept[i].id);
        plan.deletions.push_back({true, history.kept[i].id, bytes});
        freed += bytes;
    }
    std::error_code ec;
    std::vector<fs::directory_entry> files;
    fs::directory_iterator it(patchDir / "files", ec);
    for (; !ec && it != fs::directory_iterator(); it.increment(ec)) files.push_back(*it);
    if (ec) return Fail("prune", (patchDir / "files").string() + ": cannot read: " + ec.message());
    std::sort(files.begin(), files.end());
    for (const fs::directory_entry& entry : files) {
        const std::string name = entry.path().filename().string();
        std::error_code entryError;  // a dangling link is no file of ours, not a failure
        if (!entry.is_regular_file(entryError) || named.count("/patch/files/" + name)) continue;
        const uint64_t bytes = entry.file_size(entryError);
        plan.deletions.push_back({false, name, bytes});
        freed += bytes;
    }
    if (!CarryOut(plan, FolderPlace(&patchDir), dryRun, error)) return Fail("prune", error);
    // Deletions a killed run made are durable before this run reports them done.
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
