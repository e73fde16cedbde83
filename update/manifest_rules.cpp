#include "update/manifest_rules.h"

#include <algorithm>

namespace {

char FoldAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool IsStoullSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Null when the line is a valid entry, else why not (for the release tool's report).
const char* ParseEntryLine(std::string_view line, const std::vector<ManifestRecord>& earlier,
                           ManifestRecord& record) {
    std::array<size_t, 3> bars{};
    size_t count = 0;
    for (size_t i = 0; i < line.size(); ++i) {
        if (line[i] != '|') continue;
        if (count == bars.size()) return "more than four fields";
        bars[count++] = i;
    }
    if (count != bars.size()) return "fewer than four fields";
    const std::string_view relative = line.substr(0, bars[0]);
    const std::string_view remote = line.substr(bars[0] + 1, bars[1] - bars[0] - 1);
    const std::string_view size = line.substr(bars[1] + 1, bars[2] - bars[1] - 1);
    const std::string_view digest = line.substr(bars[2] + 1);

    if (relative.empty() || remote.empty()) return "empty path field";
    if (!IsValidUtf8(relative) || !IsValidUtf8(remote)) return "path field is not valid UTF-8";
    if (FindUpdatableFile(relative) < 0) return "not a file the launcher may update";
    if (remote.front() != '/') return "remote path does not begin with /";
    if (remote.find("..") != std::string_view::npos) return "remote path contains ..";
    for (size_t i = 0; i < remote.size(); ++i) {
        // A NUL would cut the request path short; other control bytes have no place in one.
        const unsigned char c = static_cast<unsigned char>(remote[i]);
        if (c < 0x20 || c == 0x7f) return "remote path holds a control byte";
        // "%2e%2e" is ".." to the server that decodes it.
        if (c == '%' && EqualsIgnoringAsciiCase(remote.substr(i, 3), "%2e")) {
            return "remote path holds an encoded dot";
        }
    }
    if (!ParseManifestSize(size, record.size)) return "size is not a number";
    if (record.size < 1 || record.size > MaxManifestFileSize) return "size outside 1 to 64 MiB";
    if (!ParseDigestHex(digest, record.sha256)) return "digest is not 64 hexadecimal digits";
    for (const ManifestRecord& other : earlier) {
        if (EqualsIgnoringAsciiCase(other.relativePath, relative)) return "file listed twice";
    }
    record.relativePath.assign(relative);
    record.remotePath.assign(remote);
    return nullptr;
}

}  // namespace

bool IsValidUtf8(std::string_view text) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const size_t n = text.size();
    size_t i = 0;
    while (i < n) {
        const unsigned char lead = p[i];
        if (lead < 0x80) {
            ++i;
            continue;
        }
        size_t length;
        uint32_t code;
        uint32_t minimum;
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2, code = lead & 0x1F, minimum = 0x80;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3, code = lead & 0x0F, minimum = 0x800;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4, code = lead & 0x07, minimum = 0x10000;
        } else {
            return false;  // stray continuation byte, C0/C1 overlong lead, or F5-FF
        }
        if (n - i < length) return false;
        for (size_t k = 1; k < length; ++k) {
            if ((p[i + k] & 0xC0) != 0x80) return false;
            code = (code << 6) | (p[i + k] & 0x3F);
        }
        if (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
        i += length;
    }
    return true;
}

bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return FoldAscii(x) == FoldAscii(y);
           });
}

int FindUpdatableFile(std::string_view path) {
    for (size_t i = 0; i < UpdatableFiles.size(); ++i) {
        if (EqualsIgnoringAsciiCase(UpdatableFiles[i], path)) return static_cast<int>(i);
    }
    return -1;
}

bool ParseManifestSize(std::string_view field, uint64_t& value) {
    size_t i = 0;
    while (i < field.size() && IsStoullSpace(field[i])) ++i;
    bool negative = false;
    if (i < field.size() && (field[i] == '+' || field[i] == '-')) {
        negative = field[i] == '-';
        ++i;
    }
    uint64_t result = 0;
    size_t digits = 0;
    for (; i < field.size() && field[i] >= '0' && field[i] <= '9'; ++i, ++digits) {
        const uint64_t digit = static_cast<uint64_t>(field[i] - '0');
        if (result > (UINT64_MAX - digit) / 10) return false;
        result = result * 10 + digit;
    }
    if (digits == 0) return false;
    // Unsigned negation wraps modulo 2^64, as the standard conversion does.
    value = negative ? (0 - result) : result;
    return true;
}

bool ParseDigestHex(std::string_view field, Sha256Digest& digest) {
    if (field.size() != 64) return false;
    for (size_t i = 0; i < 32; ++i) {
        const int high = HexValue(field[2 * i]);
        const int low = HexValue(field[2 * i + 1]);
        if (high < 0 || low < 0) return false;
        digest[i] = static_cast<unsigned char>(high * 16 + low);
    }
    return true;
}

std::string DigestToHex(const Sha256Digest& digest) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(64);
    for (unsigned char b : digest) {
        hex.push_back(digits[b >> 4]);
        hex.push_back(digits[b & 0x0F]);
    }
    return hex;
}

bool ParseManifestRecords(std::string_view body, std::vector<ManifestRecord>& records,
                          std::string* problem) {
    const auto fail = [problem](size_t lineNumber, const char* why) {
        if (problem) *problem = "line " + std::to_string(lineNumber) + ": " + why;
        return false;
    };
    bool header = false;
    size_t p = 0;
    size_t lineNumber = 0;
    while (p <= body.size()) {
        ++lineNumber;
        const size_t lf = body.find('\n', p);
        std::string_view line =
            body.substr(p, (lf == std::string_view::npos ? body.size() : lf) - p);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        p = (lf == std::string_view::npos) ? body.size() + 1 : lf + 1;
        if (line.empty()) continue;
        if (!header) {
            if (line != ManifestHeaderLine) return fail(lineNumber, "expected the header line");
            header = true;
            continue;
        }
        ManifestRecord record;
        if (const char* why = ParseEntryLine(line, records, record)) return fail(lineNumber, why);
        records.push_back(std::move(record));
    }
    if (!header || records.empty()) {
        if (problem) *problem = header ? "no entry" : "no header line";
        return false;
    }
    return true;
}
