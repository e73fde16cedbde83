// Release ids: "20250102T030405Z-000", the UTC second of the publish and a sequence number, so
// ids sort in publish order even for two publishes in one second or after the clock was set
// back.
#include "tools/release/release.h"

#include <ctime>

namespace {

constexpr size_t StampLength = 16;
constexpr size_t IdLength = StampLength + 4;

}  // namespace

bool IsReleaseId(std::string_view id) {
    if (id.size() != IdLength) return false;
    for (size_t i = 0; i < IdLength; ++i) {
        const char want = i == 8 ? 'T' : i == StampLength - 1 ? 'Z' : i == StampLength ? '-' : 0;
        if (want ? id[i] != want : id[i] < '0' || id[i] > '9') return false;
    }
    return true;
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
