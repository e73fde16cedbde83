// Generated and mutated manifests against a second, deliberately plain reading of the format.
// VANTOR_FUZZ_ITERATIONS sets the count (scripts/soak runs a million); VANTOR_FUZZ_SEED the seed.
#include "update/update.h"

#include "tests/harness/test_support.h"
#include "vantor_config.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <random>
#include <stdexcept>

namespace {

// ---- The oracle: written from the format's rules, sharing no code with the launcher. ----

const char* const OracleFiles[] = {
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

std::string AsciiLower(std::string s) {
    for (char& c : s) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return s;
}

// UTF-8 to UTF-16 by the well-formed byte sequences of the Unicode standard; nullopt if ill-formed.
std::optional<std::wstring> OracleUtf16(const std::string& s) {
    std::wstring out;
    size_t i = 0;
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    const auto in = [](unsigned char b, unsigned lo, unsigned hi) { return b >= lo && b <= hi; };
    while (i < s.size()) {
        const unsigned char b0 = byte(i);
        unsigned cp = 0;
        size_t n = 0;
        if (b0 <= 0x7F) {
            cp = b0, n = 1;
        } else if (in(b0, 0xC2, 0xDF)) {
            n = 2;
        } else if (in(b0, 0xE0, 0xEF)) {
            n = 3;
        } else if (in(b0, 0xF0, 0xF4)) {
            n = 4;
        } else {
            return std::nullopt;
        }
        if (i + n > s.size()) return std::nullopt;
        if (n > 1) {
            unsigned lo = 0x80, hi = 0xBF;  // the second byte's range depends on the first
            if (b0 == 0xE0) lo = 0xA0;
            if (b0 == 0xED) hi = 0x9F;
            if (b0 == 0xF0) lo = 0x90;
            if (b0 == 0xF4) hi = 0x8F;
            if (!in(byte(i + 1), lo, hi)) return std::nullopt;
            for (size_t k = 2; k < n; ++k) {
                if (!in(byte(i + k), 0x80, 0xBF)) return std::nullopt;
            }
            cp = b0 & (n == 2 ? 0x1F : n == 3 ? 0x0F : 0x07);
            for (size_t k = 1; k < n; ++k) cp = (cp << 6) | (byte(i + k) & 0x3F);
        }
        if (cp >= 0x10000) {
            out.push_back(static_cast<wchar_t>(0xD800 + ((cp - 0x10000) >> 10)));
            out.push_back(static_cast<wchar_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
        } else {
            out.push_back(static_cast<wchar_t>(cp));
        }
        i += n;
    }
    return out;
}

std::optional<std::vector<ManifestEntry>> OracleParse(const std::string& body) {
    std::vector<ManifestEntry> entries;
    std::vector<std::string> seen;
    bool header = false;
    size_t start = 0;
    for (;;) {
        const size_t lf = body.find('\n', start);
        std::string line =
            body.substr(start, lf == std::string::npos ? std::string::npos : lf - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty()) {
            if (!header) {
                if (line != "VANTOR-MANIFEST-V1") return std::nullopt;
                header = true;
            } else {
                std::vector<std::string> fields;
                size_t from = 0;
                for (size_t bar; (bar = line.find('|', from)) != std::string::npos;
                     from = bar + 1) {
                    fields.push_back(line.substr(from, bar - from));
                }
                fields.push_back(line.substr(from));
                if (fields.size() != 4) return std::nullopt;
                const auto relative = OracleUtf16(fields[0]);
                const auto remote = OracleUtf16(fields[1]);
                if (!relative || !remote || relative->empty() || remote->empty())
                    return std::nullopt;
                bool listed = false;
                for (const char* f : OracleFiles)
                    listed = listed || AsciiLower(fields[0]) == AsciiLower(f);
                if (!listed) return std::nullopt;
                if (fields[1][0] != '/' || fields[1].find("..") != std::string::npos ||
                    AsciiLower(fields[1]).find("%2e") != std::string::npos)
                    return std::nullopt;
                for (const char c : fields[1]) {
                    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return std::nullopt;
                }
                unsigned long long size = 0;
                try {
                    size = std::stoull(fields[2], nullptr, 10);
                } catch (const std::exception&) {
                    return std::nullopt;
                }
                if (size < 1 || size > 67108864) return std::nullopt;
                if (fields[3].size() != 64) return std::nullopt;
                ManifestEntry e;
                for (int k = 0; k < 32; ++k) {
                    const std::string pair = fields[3].substr(2 * k, 2);
                    if (!std::isxdigit(static_cast<unsigned char>(pair[0])) ||
                        !std::isxdigit(static_cast<unsigned char>(pair[1]))) {
                        return std::nullopt;
                    }
                    e.sha256[k] = static_cast<unsigned char>(std::stoul(pair, nullptr, 16));
                }
                for (const std::string& other : seen) {
                    if (AsciiLower(other) == AsciiLower(fields[0])) return std::nullopt;
                }
                seen.push_back(fields[0]);
                e.relativePath = *relative;
                e.remotePath = *remote;
                e.size = size;
                entries.push_back(e);
            }
        }
        if (lf == std::string::npos) break;
        start = lf + 1;
    }
    if (!header || entries.empty()) return std::nullopt;
    return entries;
}

// ---- Generator and mutator. ----

class ManifestGenerator {
public:
    explicit ManifestGenerator(uint64_t seed) : rng_(seed) {}

    std::string Next() {
        std::string body = Generate();
        const int mutations = Pick(4) == 0 ? 1 + Pick(3) : 0;
        for (int i = 0; i < mutations; ++i) Mutate(body);
        return body;
    }

private:
    int Pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }
    template <typename T>
    const T& OneOf(const std::vector<T>& v) {
        return v[Pick(static_cast<int>(v.size()))];
    }

    std::string Ending() { return OneOf<std::string>({"\n", "\n", "\r\n", "\r\r\n", "\r"}); }

    std::string Relative() {
        std::string name = OracleFiles[Pick(26)];
        switch (Pick(12)) {
            case 0:
                for (char& c : name)
                    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
                break;
            case 1:
                for (char& c : name) c = c == '\\' ? '/' : c;
                break;
            case 2:
                name += OneOf<std::string>({" ", "x", "\xC3\xA9", "\xFF", "\t"});
                break;
            case 3:
                name = OneOf<std::string>({"", "VANTOR.exe", "Data\\clientinfo.xml",
                                           "..\\Data\\prontera.gat", "Data\\PRONTERA.GAT",
                                           "Data\\prontera.ga\xC3\xA9"});
                break;
            default:
                break;
        }
        return name;
    }

    std::string Remote() {
        return OneOf<std::string>({"/patch/files/a", "/p", "/", "patch/x", "/a/../b", "/a..b",
                                   "/..", "/f\xC3\xA9", "/f\xED\xA0\x80", "/f\xC0\xAF",
                                   "/\xF0\x9F\x98\x80", "", "/x y", "/x\tz", "/%2e%2E/x", "/%2f",
                                   "/x\x7f", std::string("/x\0y", 4)});
    }

    std::string Size() {
        return OneOf<std::string>({"1",
                                   "1024",
                                   "67108864",
                                   "67108865",
                                   "0",
                                   "-1",
                                   "-0",
                                   "+5",
                                   " 5",
                                   "\t7",
                                   "\v8",
                                   "5 ",
                                   "5x",
                                   "x5",
                                   "",
                                   " ",
                                   "+",
                                   "-",
                                   "18446744073709551615",
                                   "18446744073709551616",
                                   "99999999999999999999999",
                                   "0000000000000000000001",
                                   "1e3",
                                   "0x10",
                                   "\r9"});
    }

    std::string Digest() {
        std::string hex;
        const char* digits = "0123456789abcdefABCDEF";
        for (int i = 0; i < 64; ++i) hex.push_back(digits[Pick(22)]);
        switch (Pick(10)) {
            case 0:
                hex.pop_back();
                break;
            case 1:
                hex.push_back('0');
                break;
            case 2:
                hex[Pick(64)] = OneOf<char>({'g', ' ', 'x', '-', '\xFF'});
                break;
            case 3:
                hex += " ";
                break;
            default:
                break;
        }
        return hex;
    }

    std::string CleanEntry() {
        std::string hex;
        for (int i = 0; i < 64; ++i) hex.push_back("0123456789abcdefABCDEF"[Pick(22)]);
        return std::string(OracleFiles[Pick(26)]) + "|/patch/files/" + hex + "|" +
               std::to_string(1 + Pick(100000)) + "|" + hex;
    }

    std::string Entry() {
        if (Pick(2) == 0) return CleanEntry();
        std::vector<std::string> fields = {Relative(), Remote(), Size(), Digest()};
        if (Pick(10) == 0) fields.push_back(Pick(2) ? "" : "extra");
        if (Pick(15) == 0) fields.pop_back();
        std::string line;
        for (size_t i = 0; i < fields.size(); ++i) line += (i ? "|" : "") + fields[i];
        return line;
    }

    std::string Generate() {
        std::string body;
        const int leading = Pick(3);
        for (int i = 0; i < leading; ++i) body += Ending();
        switch (Pick(14)) {
            case 0:
                body += "vantor-manifest-v1";
                break;
            case 1:
                body += "\xEF\xBB\xBFVANTOR-MANIFEST-V1";
                break;
            case 2:
                body += "VANTOR-MANIFEST-V1 ";
                break;
            case 3:
                break;  // no header
            default:
                body += "VANTOR-MANIFEST-V1";
        }
        const int entries = Pick(4);
        for (int i = 0; i < entries; ++i) {
            body += Ending();
            if (Pick(5) == 0) body += Ending();
            body += Pick(20) == 0 ? "VANTOR-MANIFEST-V1" : Entry();
        }
        if (Pick(2)) body += Ending();
        return body;
    }

    void Mutate(std::string& body) {
        const char interesting[] = {'|', '\n', '\r', '\\',   '/',    '.', '0',
                                    '9', ' ',  '\0', '\x80', '\xFF', 'a'};
        if (body.empty()) {
            body.push_back(interesting[Pick(sizeof interesting)]);
            return;
        }
        const size_t at = static_cast<size_t>(Pick(static_cast<int>(body.size())));
        switch (Pick(5)) {
            case 0:
                body[at] = static_cast<char>(body[at] ^ (1 << Pick(8)));
                break;
            case 1:
                body.insert(body.begin() + at, interesting[Pick(sizeof interesting)]);
                break;
            case 2:
                body.erase(at, 1);
                break;
            case 3:
                body[at] = interesting[Pick(sizeof interesting)];
                break;
            case 4:
                body.insert(at, body.substr(at, 1 + Pick(20)));
                break;
        }
    }

    std::mt19937_64 rng_;
};

uint64_t EnvironmentNumber(const char* name, uint64_t fallback) {
    const char* text = std::getenv(name);
    return text && *text ? std::strtoull(text, nullptr, 10) : fallback;
}

TEST(ManifestFuzz, ParserAgreesWithAnIndependentReadingOfTheFormat) {
    const uint64_t iterations = EnvironmentNumber("VANTOR_FUZZ_ITERATIONS", 10000);
    const uint64_t seed = EnvironmentNumber("VANTOR_FUZZ_SEED", 20261209);
    ManifestGenerator generator(seed);
    uint64_t accepted = 0, disagreements = 0;
    for (uint64_t i = 0; i < iterations; ++i) {
        const std::string body = generator.Next();
        std::vector<ManifestEntry> entries;
        const bool parsed = ParseUpdateManifest(body, entries);
        const auto oracle = OracleParse(body);
        bool same = parsed == oracle.has_value();
        if (same && parsed) {
            same = entries.size() == oracle->size();
            for (size_t k = 0; same && k < entries.size(); ++k) {
                const ManifestEntry& a = entries[k];
                const ManifestEntry& b = (*oracle)[k];
                same = a.relativePath == b.relativePath && a.remotePath == b.remotePath &&
                       a.size == b.size && a.sha256 == b.sha256;
            }
        }
        accepted += parsed ? 1 : 0;
        if (!same && ++disagreements <= 5) {
            ADD_FAILURE() << "input " << i << " (seed " << seed << "): parser "
                          << (parsed ? "accepts" : "rejects") << ", oracle "
                          << (oracle ? "accepts" : "rejects") << "\n"
                          << ::testing::PrintToString(body);
        }
    }
    std::printf(
        "manifest fuzz: %llu inputs, %llu accepted, %llu rejected, %llu disagreements (seed "
        "%llu)\n",
        static_cast<unsigned long long>(iterations), static_cast<unsigned long long>(accepted),
        static_cast<unsigned long long>(iterations - accepted),
        static_cast<unsigned long long>(disagreements), static_cast<unsigned long long>(seed));
    EXPECT_EQ(disagreements, 0u);
    // A generator that never produces a valid manifest would test only the rejections.
    EXPECT_GT(accepted, iterations / 50);
}

TEST(SignatureFuzz, OnlyTheValidSignatureOfTheExactBytesVerifies) {
    const auto manifest = ReadBytes(BuildPath(L"tests\\update\\data\\signed-manifest.txt"));
    const auto signature = ReadBytes(BuildPath(L"tests\\update\\data\\signed-manifest.sig"));
    ASSERT_TRUE(manifest && signature);
    ASSERT_TRUE(VerifyManifestSignature(*manifest, *signature));
    const uint64_t iterations = EnvironmentNumber("VANTOR_FUZZ_SIGNATURES", 2000);
    std::mt19937_64 rng(EnvironmentNumber("VANTOR_FUZZ_SEED", 20261209));
    const auto pick = [&](size_t n) { return static_cast<size_t>(rng() % n); };
    uint64_t verified = 0;
    for (uint64_t i = 0; i < iterations; ++i) {
        std::string m = *manifest, s = *signature;
        switch (i % 5) {
            case 0:  // random bytes of a random length
                s.resize(pick(600));
                for (char& c : s) c = static_cast<char>(rng());
                break;
            case 1:  // one flipped bit of the valid signature
                s[pick(s.size())] ^= static_cast<char>(1 << pick(8));
                break;
            case 2:  // the valid signature cut or extended
                s.resize(pick(2) ? pick(s.size()) : s.size() + 1 + pick(300),
                         static_cast<char>(rng()));
                break;
            case 3:  // the manifest changed in one byte
                m[pick(m.size())] ^= static_cast<char>(1 + pick(255));
                break;
            case 4:  // bytes added to or removed from the manifest
                if (pick(2)) {
                    m.insert(pick(m.size() + 1), 1, static_cast<char>(rng()));
                } else {
                    m.erase(pick(m.size()), 1);
                }
                break;
        }
        verified += VerifyManifestSignature(m, s) ? 1 : 0;
    }
    std::printf("signature fuzz: %llu inputs, %llu verified\n",
                static_cast<unsigned long long>(iterations),
                static_cast<unsigned long long>(verified));
    EXPECT_EQ(verified, 0u);
}

TEST(SignatureFuzz, NoKeyButTheSignersVerifiesTheValidSignature) {
    const auto manifest = ReadBytes(BuildPath(L"tests\\update\\data\\signed-manifest.txt"));
    const auto signature = ReadBytes(BuildPath(L"tests\\update\\data\\signed-manifest.sig"));
    ASSERT_TRUE(manifest && signature);
    const std::string modulus = ManifestSigningKeyModulus;
    ASSERT_TRUE(VerifySignatureWithKey(*manifest, *signature, modulus.c_str(), "AQAB"));
    const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    // Texts that decode to 65537 again (a leading zero byte, white space) are the same key, not
    // fuzz.
    const std::vector<std::string> exponents = {"AQAB", "AQAA", "Aw==", "AQ==", "AQAC", "", "!!!!"};
    const uint64_t iterations = EnvironmentNumber("VANTOR_FUZZ_SIGNATURES", 2000) / 4;
    std::mt19937_64 rng(EnvironmentNumber("VANTOR_FUZZ_SEED", 20261209) + 1);
    const auto pick = [&](size_t n) { return static_cast<size_t>(rng() % n); };
    uint64_t verified = 0;
    for (uint64_t i = 0; i < iterations; ++i) {
        std::string m = modulus;
        std::string e = "AQAB";
        switch (i % 4) {
            case 0:  // one Base64 digit of the modulus changed, where every bit counts
                m[pick(341)] = alphabet[pick(64)];
                if (m == modulus) m[0] = m[0] == 'A' ? 'B' : 'A';
                break;
            case 1:  // a random modulus of a random length
                m.resize(4 * (1 + pick(120)));
                for (char& c : m) c = alphabet[pick(64)];
                break;
            case 2:  // the modulus cut short, shifted by an inserted digit, or broken as text
                if (pick(3) == 0) {
                    m = m.substr(0, pick(341));  // cutting only the padding keeps the key
                } else if (pick(2)) {
                    m.insert(pick(340), 1, alphabet[pick(64)]);
                } else {
                    m[pick(m.size())] = '*';
                }
                break;
            case 3:  // another exponent with the right modulus
                e = exponents[1 + pick(exponents.size() - 1)];
                break;
        }
        verified += VerifySignatureWithKey(*manifest, *signature, m.c_str(), e.c_str()) ? 1 : 0;
    }
    std::printf("key fuzz: %llu keys, %llu verified\n", static_cast<unsigned long long>(iterations),
                static_cast<unsigned long long>(verified));
    EXPECT_EQ(verified, 0u);
}

}  // namespace
