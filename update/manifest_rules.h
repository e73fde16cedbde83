// Byte-level rules of the update manifest, in plain standard C++ so that the operators'
// release tool on Linux applies exactly the checks the launcher applies.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

inline constexpr std::string_view ManifestHeaderLine = "VANTOR-MANIFEST-V1";
inline constexpr uint64_t MaxManifestFileSize = 67108864;  // 64 MiB

// Where the update host serves the manifest and its signature, and the most the launcher reads
// of each; the release tool checks a web root by the same numbers.
inline constexpr std::string_view ManifestWebPath = "/patch/manifest-v4.txt";
inline constexpr std::string_view SignatureWebPath = "/patch/manifest-v4.sig";
inline constexpr uint64_t ManifestLimit = 65536;
inline constexpr uint64_t SignatureLimit = 4096;
// Sent with every request, so that the tool's fetches meet the same server rules.
inline constexpr std::string_view UpdateUserAgent = "Vantor Launcher/1.1";

// 32 raw bytes as SHA-256 produces them; compared byte for byte.
using Sha256Digest = std::array<unsigned char, 32>;

// The only files a manifest may name, relative to the installation, with backslashes.
inline constexpr std::array<std::string_view, 26> UpdatableFiles = {
    "Data\\luafiles514\\lua files\\datainfo\\itemInfo.lub",
    "System\\itemInfo.lub",
    "System\\itemInfo_Sak.lub",
    "Data\\luafiles514\\lua files\\navigation\\navi_f_krpri.lub",
    "Data\\luafiles514\\lua files\\navigation\\navi_map_krpri.lub",
    "Data\\luafiles514\\lua files\\navigation\\navi_map_krsak.lub",
    "Data\\luafiles514\\lua files\\navigation\\navi_mob_krpri.lub",
    "Data\\luafiles514\\lua files\\navigation\\navi_npc_krpri.lub",
    "Data\\luafiles514\\lua files\\navigation\\navi_scroll_krpri.lub",
    "Data\\luafiles514\\lua files\\worldviewdata\\worldviewdata_language.lub",
    "Data\\prontera.gat",
    "Data\\prontera.gnd",
    "Data\\prontera.rsw",
    "Data\\izlude.gat",
    "Data\\izlude.gnd",
    "Data\\izlude.rsw",
    "Data\\geffen.gat",
    "Data\\geffen.gnd",
    "Data\\geffen.rsw",
    "Data\\alberta.gat",
    "Data\\alberta.gnd",
    "Data\\alberta.rsw",
    "Data\\aldebaran.gat",
    "Data\\aldebaran.gnd",
    "Data\\aldebaran.rsw",
    "Data\\mp3nametable.txt",
};

// One entry line with its path fields still in UTF-8.
struct ManifestRecord {
    std::string relativePath;
    std::string remotePath;
    uint64_t size = 0;
    Sha256Digest sha256{};
};

// Strict UTF-8 as MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS) accepts it: no overlong
// forms, no surrogates, nothing above U+10FFFF, no truncated sequence.
bool IsValidUtf8(std::string_view text);

// Equality that folds only the ASCII letters A-Z / a-z; every other byte compares by value.
bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b);

// The row of UpdatableFiles that path names (ASCII case ignored), or -1.
int FindUpdatableFile(std::string_view path);

// 64 lower-case hexadecimal digits, high nibble first.
std::string DigestToHex(const Sha256Digest& digest);

// The whole manifest by the launcher's rules; all-or-nothing, records in manifest order.
// problem, when given, receives where and why the first rule failed.
bool ParseManifestRecords(std::string_view body, std::vector<ManifestRecord>& records,
                          std::string* problem = nullptr);

// Steps of ParseManifestRecords, declared for their tests.
// Decimal conversion with the leniency of std::stoull(text, nullptr, 10), without throwing:
// false when there is no digit or the value exceeds 2^64 - 1.
bool ParseManifestSize(std::string_view field, uint64_t& value);
// Exactly 64 hexadecimal digits of either case into 32 bytes, high nibble first.
bool ParseDigestHex(std::string_view field, Sha256Digest& digest);
