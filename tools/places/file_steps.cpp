// The file steps every change of a web root is made of: each leaves a state the next run can
// finish from.
#include "tools/places/places.h"

#include "tools/keys/keys.h"

#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <random>
#include <vector>

namespace fs = std::filesystem;

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
