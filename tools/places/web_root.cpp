// Release history in the web root: patch/releases/<id>/ keeps each published manifest and its
// signature, so that an earlier release can be served again and unneeded files pruned. The
// web root's patch/ folder is also a place that a plan is carried out against.
#include "tools/places/places.h"

#include "tools/keys/keys.h"

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
bool FolderPutFiles(const fs::path& patchDir, const std::vector<PlannedFile>& files,
                    std::vector<bool>& stored, std::string& error) {
    const fs::path filesDir = patchDir / "files";
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

bool FolderPutReleases(const fs::path& patchDir, const std::vector<PlannedRelease>& releases,
                       std::string& error) {
    for (const PlannedRelease& release : releases) {
        if (!WriteRelease(patchDir, release, error)) return false;
    }
    return true;
}

bool FolderSwitchPair(const fs::path& patchDir, const PlannedRelease& release, double& gapSeconds,
                      std::string& error) {
    gapSeconds = 0;  // one rename
    // The kept release may be a killed run's rename that is not yet durable: synced before
    // anything links to it.
    return SyncDirectory(patchDir / "releases", error) && LinkServedNames(patchDir, error) &&
           SwitchLink(patchDir / CurrentName, "releases/" + release.id, error);
}

// Release folders go first: an interrupted run leaves unnamed files, never a kept release
// whose files are gone. A folder vanishes whole under one rename, then is emptied under its
// temporary name, which the next run removes if this one is killed.
bool FolderRemove(const fs::path& patchDir, const std::vector<PlannedDeletion>& doomed,
                  std::string& error) {
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

}  // namespace

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

Place FolderPlace(const fs::path& patchDir) {
    Place place;
    place.switchesInOneStep = true;
    place.putFiles = [patchDir](const std::vector<PlannedFile>& files, std::vector<bool>& stored,
                                std::string& error) {
        return FolderPutFiles(patchDir, files, stored, error);
    };
    place.putReleases = [patchDir](const std::vector<PlannedRelease>& releases,
                                   std::string& error) {
        return FolderPutReleases(patchDir, releases, error);
    };
    place.switchPair = [patchDir](const PlannedRelease& release, double& gap, std::string& error) {
        return FolderSwitchPair(patchDir, release, gap, error);
    };
    place.remove = [patchDir](const std::vector<PlannedDeletion>& doomed, std::string& error) {
        return FolderRemove(patchDir, doomed, error);
    };
    return place;
}

KeptRelease ServedRelease(const History& history) {
    KeptRelease served = history.served;
    served.id = history.current >= 0 ? history.kept[history.current].id : "(not kept)";
    return served;
}

bool TakeInventory(const fs::path& patchDir, const History& history, Inventory& inventory,
                   std::string& error) {
    for (const KeptRelease& release : history.kept) {
        inventory.releases[release.id] = {release.manifest.size(), release.signature.size(),
                                          FolderBytes(patchDir / "releases" / release.id)};
    }
    const fs::path filesDir = patchDir / "files";
    std::error_code ec;
    fs::directory_iterator it(filesDir, ec);
    for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
        std::error_code entryError;  // a dangling link is no file of ours, not a failure
        if (!it->is_regular_file(entryError)) continue;
        inventory.files[it->path().filename().string()] = it->file_size(entryError);
    }
    if (ec) {
        error = filesDir.string() + ": cannot read: " + ec.message();
        return false;
    }
    return true;
}
