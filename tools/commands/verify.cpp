#include "tools/commands/commands.h"
#include "tools/places/places.h"
#include "tools/release_tool.h"

#include <curl/curl.h>

#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
#include <optional>

namespace fs = std::filesystem;

namespace {

struct Source {
    bool https = false;
    std::string base;  // URL or directory, without a trailing '/'
    std::string caFile;
};

struct Download {
    CURL* curl;
    std::string* body;
    uint64_t limit;
    bool tooLarge = false;
};

size_t Collect(char* data, size_t size, size_t count, void* context) {
    auto* download = static_cast<Download*>(context);
    const size_t n = size * count;
    long status = 0;
    curl_easy_getinfo(download->curl, CURLINFO_RESPONSE_CODE, &status);
    if (status != 200) return n;  // a redirect's or an error's body is never the file
    if (n > download->limit - download->body->size()) {
        download->tooLarge = true;
        return 0;  // aborts the transfer
    }
    download->body->append(data, n);
    return n;
}

// WinHTTP's default policy, which the launcher keeps: it follows redirects by itself, at most
// MaxRedirects in a row (WINHTTP_OPTION_MAX_HTTP_AUTOMATIC_REDIRECTS) and never from https to
// http (WINHTTP_OPTION_REDIRECT_POLICY_DISALLOW_HTTPS_TO_HTTP). Windows follows 301, 302, 303,
// 307 and 308, Wine's WinHTTP only 301, 302 and 307, so only those three count as followed.
// libcurl's own following would also take 300 and any other 3xx, hence the loop below.
constexpr int MaxRedirects = 10;

bool IsFollowedEverywhere(long status) {
    return status == 301 || status == 302 || status == 307;
}

bool IsFollowedOnWindowsOnly(long status) {
    return status == 303 || status == 308;
}

// The web server reads as its own user: a served file must be readable by others, and every
// folder from patch/ down to it (links followed) searchable by others.
std::string UnreadableByOthers(const fs::path& base, const fs::path& file) {
    std::error_code ec;
    const fs::path top = fs::canonical(base / "patch", ec);
    const fs::path real = fs::canonical(file, ec);
    if (ec) return "";
    const auto denied = [](const fs::path& path, mode_t need) -> std::string {
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0 || (st.st_mode & need) == need) return "";
        char mode[8];
        std::snprintf(mode, sizeof(mode), "%04o", unsigned(st.st_mode & 07777));
        return path.string() + ": mode " + mode +
               ", others cannot read it (the web server's user gets 403); publish, serve or "
               "prune repairs it";
    };
    if (std::string problem = denied(real, S_IROTH); !problem.empty()) return problem;
    for (fs::path dir = real.parent_path(); !top.empty(); dir = dir.parent_path()) {
        const fs::path inside = dir.lexically_relative(top);
        if (inside.empty() || *inside.begin() == "..") break;
        if (std::string problem = denied(dir, S_IXOTH); !problem.empty()) return problem;
        if (dir == top || dir == dir.parent_path()) break;
    }
    return "";
}

// A file below the local web root as a static server would serve it: its size, if at most limit.
bool LocalSize(const Source& source, const std::string& path, uint64_t limit, uint64_t& size,
               std::string& error) {
    const fs::path file = source.base + path;
    std::error_code ec;
    const bool regular = fs::is_regular_file(file, ec);
    size = regular ? fs::file_size(file, ec) : 0;
    if (ec && ec != std::errc::no_such_file_or_directory) {
        error = file.string() + ": " + ec.message();
        return false;
    }
    if (!regular) {
        error = file.string() + ": not found";
        return false;
    }
    if (size > limit) {
        error = file.string() + ": larger than " + std::to_string(limit) + " bytes";
        return false;
    }
    error = UnreadableByOthers(source.base, file);
    return error.empty();
}

// One GET the way the launcher makes it: HTTPS only, status 200 only, at most limit bytes.
bool Fetch(const Source& source, const std::string& path, uint64_t limit, std::string& body,
           std::string& error) {
    body.clear();
    if (!source.https) {
        uint64_t size = 0;
        if (!LocalSize(source, path, limit, size, error)) return false;
        const fs::path file = source.base + path;
        // One read of the known size: a byte-wise copy took five times as long as the hash.
        std::ifstream in(file, std::ios::binary);
        body.resize(size);
        in.read(body.data(), static_cast<std::streamsize>(size));
        if (!in || static_cast<uint64_t>(in.gcount()) != size || in.peek() != EOF) {
            error = file.string() + ": read error";
            return false;
        }
        return true;
    }
    std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl(curl_easy_init(), curl_easy_cleanup);
    if (!curl) {
        error = "libcurl failed to start";
        return false;
    }
    const std::string first = source.base + path;
    std::string url = first;
    char curlError[CURL_ERROR_SIZE] = {};
    curl_easy_setopt(curl.get(), CURLOPT_PROTOCOLS_STR, "https");
    curl_easy_setopt(curl.get(), CURLOPT_USERAGENT, std::string(UpdateUserAgent).c_str());
    curl_easy_setopt(curl.get(), CURLOPT_CONNECTTIMEOUT, 30L);
    curl_easy_setopt(curl.get(), CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(curl.get(), CURLOPT_LOW_SPEED_TIME, 60L);
    curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, Collect);
    curl_easy_setopt(curl.get(), CURLOPT_ERRORBUFFER, curlError);
    if (!source.caFile.empty()) curl_easy_setopt(curl.get(), CURLOPT_CAINFO, source.caFile.c_str());
    for (int redirects = 0;; ++redirects) {
        body.clear();
        curlError[0] = '\0';
        Download download{curl.get(), &body, limit};
        curl_easy_setopt(curl.get(), CURLOPT_URL, url.c_str());
        curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, &download);
        const CURLcode result = curl_easy_perform(curl.get());
        if (download.tooLarge) {
            error = url + ": larger than " + std::to_string(limit) + " bytes";
            return false;
        }
        if (result != CURLE_OK) {
            error = url + ": " + (curlError[0] ? curlError : curl_easy_strerror(result));
            return false;
        }
        long status = 0;
        curl_easy_getinfo(curl.get(), CURLINFO_RESPONSE_CODE, &status);
        if (status == 200) return true;
        const char* next = nullptr;
        curl_easy_getinfo(curl.get(), CURLINFO_REDIRECT_URL, &next);
        const std::string hop = url + ": HTTP " + std::to_string(status);
        if (next && IsFollowedOnWindowsOnly(status)) {
            error = hop + " to " + next +
                    ": Windows follows it but Wine does not; redirect with 301, 302 or 307";
            return false;
        }
        if (!next || !IsFollowedEverywhere(status)) {
            error = hop + " (the launcher accepts only 200)";
            return false;
        }
        if (std::string_view(next).rfind("https://", 0) != 0) {
            error = hop + " to " + next +
                    ": the launcher does not follow it, it follows https redirects only";
            return false;
        }
        if (redirects == MaxRedirects) {
            error = first + ": more than " + std::to_string(MaxRedirects) +
                    " redirects, the launcher gives up after " + std::to_string(MaxRedirects);
            return false;
        }
        url = next;
    }
}

// The installation's file for a manifest path, found as Windows finds it: letter case ignored.
std::optional<fs::path> FindInstalled(const fs::path& root, const std::string& launcherPath) {
    fs::path current = root;
    size_t start = 0;
    while (start <= launcherPath.size()) {
        const size_t cut = std::min(launcherPath.find('\\', start), launcherPath.size());
        const std::string part = launcherPath.substr(start, cut - start);
        start = cut + 1;
        std::error_code ec;
        if (fs::exists(current / part, ec)) {
            current /= part;
            continue;
        }
        std::optional<fs::path> match;
        for (const auto& entry : fs::directory_iterator(current, ec)) {
            if (EqualsIgnoringAsciiCase(entry.path().filename().string(), part)) {
                match = entry.path();
                break;
            }
        }
        if (!match) return std::nullopt;
        current = *match;
    }
    return current;
}

int CheckServed(const Source& source, const std::string& modulus, const std::string& manifestPath,
                const std::string& signaturePath, CheckedRelease& release,
                const std::function<bool(const ManifestRecord&)>& hashedLater = {}) {
    int failures = 0;
    const auto failed = [&failures](const std::string& what) {
        ++failures;
        std::cout << "FAIL  " << what << "\n";
    };
    std::string error;
    if (!Fetch(source, manifestPath, ManifestLimit, release.manifest, error)) {
        failed("manifest: " + error);
        return failures;
    }
    if (!Fetch(source, signaturePath, SignatureLimit, release.signature, error)) {
        failed("signature: " + error);
    } else if (!VerifyWithModulus(modulus, release.manifest, release.signature, error)) {
        failed("signature: " + error);
    } else {
        std::cout << "ok    signature of the " << release.manifest.size() << "-byte manifest\n";
    }
    std::string problem;
    if (!ParseManifestRecords(release.manifest, release.records, &problem)) {
        release.records.clear();
        failed("manifest is invalid, the launcher would refuse it: " + problem);
        return failures;
    }
    std::cout << "ok    manifest format, " << release.records.size() << " file(s)\n";

    for (const ManifestRecord& record : release.records) {
        std::string body;
        uint64_t size = 0;
        const bool later = hashedLater && hashedLater(record);
        if (!(later ? LocalSize(source, record.remotePath, record.size, size, error)
                    : Fetch(source, record.remotePath, record.size, body, error))) {
            failed(record.relativePath + ": " + error);
        } else if ((size = later ? size : body.size()) != record.size) {
            failed(record.relativePath + ": " + std::to_string(size) +
                   " bytes served, manifest says " + std::to_string(record.size));
        } else if (!later && HashBytes(body) != record.sha256) {
            failed(record.relativePath + ": content served does not match its digest");
        } else {
            std::cout << "ok    " << record.relativePath << "  " << record.size << " bytes\n";
        }
    }
    return failures;
}

}  // namespace

int CheckRelease(const fs::path& webRoot, const std::string& modulus,
                 const std::string& manifestPath, const std::string& signaturePath,
                 CheckedRelease& release,
                 const std::function<bool(const ManifestRecord&)>& hashedLater) {
    return CheckServed({false, webRoot.string(), ""}, modulus, manifestPath, signaturePath, release,
                       hashedLater);
}

int RunVerify(const Arguments& args) {
    Source source;
    source.base = args.positional[0];
    const std::string modulus = args.options.at("--modulus");
    if (const auto ca = args.options.find("--cacert"); ca != args.options.end()) {
        source.caFile = ca->second;
    }
    if (source.base.rfind("https://", 0) == 0) {
        source.https = true;
    } else if (source.base.find("://") != std::string::npos) {
        std::cerr << "vantor-release verify: " << source.base
                  << ": the launcher only speaks https\n";
        return 1;
    }
    std::string error;
    if (!source.https && !IsDirectory(source.base, error)) {
        std::cerr << "vantor-release verify: " << error << "\n";
        return 1;
    }
    while (source.base.size() > 1 && source.base.back() == '/') source.base.pop_back();
    if (!CheckModulusText(modulus, error)) {
        std::cerr << "vantor-release verify: --modulus: " << error << "\n";
        return 1;
    }

    std::cout << "source     " << source.base << "\n";
    CheckedRelease release;
    int failures = CheckServed(source, modulus, std::string(ManifestWebPath),
                               std::string(SignatureWebPath), release);
    if (const std::string mixed = source.https ? "" : ServedPairProblem(source.base + "/patch");
        !mixed.empty()) {
        ++failures;
        std::cout << "FAIL  " << mixed << "\n";
    }
    if (release.records.empty()) {
        std::cout << "result     FAILED\n";
        return 1;
    }
    const std::vector<ManifestRecord>& records = release.records;

    if (const auto install = args.options.find("--install"); install != args.options.end()) {
        if (!fs::is_directory(install->second)) {
            ++failures;
            std::cout << "FAIL  --install: " << install->second << ": not a directory\n";
        } else {
            size_t outdated = 0;
            for (const ManifestRecord& record : records) {
                const auto path = FindInstalled(install->second, record.relativePath);
                const char* why = nullptr;
                Sha256Digest digest{};
                uint64_t size = 0;
                if (!path || !fs::is_regular_file(*path)) {
                    why = "missing";
                } else if (!HashFile(path->string(), digest, size, error)) {
                    why = "unreadable";
                } else if (size != record.size) {
                    why = "size differs";
                } else if (digest != record.sha256) {
                    why = "content differs";
                }
                if (why) {
                    ++outdated;
                    std::cout << "update  " << record.relativePath << " (" << why << ")\n";
                } else {
                    std::cout << "current " << record.relativePath << "\n";
                }
            }
            std::cout << "install    " << outdated << " of " << records.size()
                      << " file(s) would be updated in " << install->second << "\n";
        }
    }
    std::cout << "result     " << (failures ? "FAILED" : "OK") << "\n";
    return failures ? 1 : 0;
}
