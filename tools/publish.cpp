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
#include <random>
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

bool SyncDirectory(const fs::path& dir, std::string& error) {
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const bool ok = fd >= 0 && ::fsync(fd) == 0;
    if (fd >= 0) ::close(fd);
    if (!ok) error = dir.string() + ": cannot sync: " + std::strerror(errno);
    return ok;
}

std::string TemporaryName(const fs::path& target) {
    static constexpr char Alphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    static std::random_device random;
    std::string suffix(6, 'x');
    for (char& c : suffix) c = Alphabet[random() % (sizeof(Alphabet) - 1)];
    // Built piecewise: GCC 12 misreports -Wrestrict on a chained concatenation here.
    std::string temp = target.parent_path().string();
    temp += "/.";
    temp += target.filename().string();
    temp += ".vantor-";
    temp += std::to_string(::getpid());
    temp += "-";
    temp += suffix;
    return temp;
}

bool IsTemporarySuffix(std::string_view suffix) {
    constexpr std::string_view prefix = "vantor-";
    if (suffix.substr(0, prefix.size()) != prefix) return false;
    suffix.remove_prefix(prefix.size());
    const size_t dash = suffix.find('-');
    if (dash == 0 || dash > 10 || dash == std::string_view::npos || suffix.size() != dash + 7 ||
        suffix.substr(0, dash).find_first_not_of("0123456789") != std::string_view::npos) {
        return false;
    }
    for (const char c : suffix.substr(dash + 1)) {
        if (!std::isalnum(static_cast<unsigned char>(c))) return false;
    }
    return true;
}

// Writes bytes to a temporary file beside target, syncs it and renames it over target.
bool ReplaceFile(const fs::path& target, std::string_view bytes, std::string& error) {
    const std::string temp = TemporaryName(target);
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        error = target.string() + ": cannot create a temporary file: " + std::strerror(errno);
        return false;
    }
    int failure = WriteSyncClose(fd, 0644, bytes);
    if (failure == 0 && ::rename(temp.c_str(), target.c_str()) != 0) failure = errno;
    if (failure != 0) {
        error = target.string() + ": cannot write: " + std::strerror(failure);
        ::unlink(temp.c_str());
        return false;
    }
    return SyncDirectory(target.parent_path(), error);
}

bool IsDirectory(const fs::path& path, std::string& error) {
    std::error_code ec;
    const fs::file_status status = fs::status(path, ec);
    if (fs::is_directory(status)) return true;
    const bool missing = !ec || ec == std::errc::no_such_file_or_directory;
    error = path.string() + ": " + (missing ? "not a directory" : ec.message());
    return false;
}

bool ReadWhole(const fs::path& path, std::string& bytes, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = path.string() + ": cannot open: " + std::strerror(errno);
        return false;
    }
    // Read in large blocks: a byte-wise copy of a large file takes longer than hashing it.
    bytes.clear();
    std::error_code ec;
    if (const uintmax_t size = fs::file_size(path, ec); !ec) bytes.reserve(size);
    std::vector<char> block(1 << 20);
    while (in.read(block.data(), static_cast<std::streamsize>(block.size())) || in.gcount() > 0) {
        bytes.append(block.data(), static_cast<size_t>(in.gcount()));
    }
    if (in.bad()) {
        error = path.string() + ": read error";
        return false;
    }
    return true;
}

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
    Plan plan;
    for (const ReleaseFile& file : files) {
        plan.files.push_back({DigestToHex(file.sha256), file.size, file.source,
                              std::string(UpdatableFiles[file.row])});
    }
    // Kept again only when the newest kept release is not these very bytes.
    plan.serve = {"", manifest, signature};
    if (!history.kept.empty() && history.kept.back().manifest == manifest &&
        history.kept.back().signature == signature) {
        plan.serve.id = history.kept.back().id;
    } else {
        plan.serve.id = NextReleaseId(history.kept);
        if (plan.serve.id.empty()) {
            return fail("cannot name the release after " + history.kept.back().id +
                        "; check the clock");
        }
        plan.releases.push_back(plan.serve);
    }
    const bool stage = args.options.count("--no-serve") != 0;
    plan.switchPair = !stage;
    if (!CarryOut(plan, FolderPlace(&patchDir), false, error)) return fail(error);
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
