#include "update/manifest_rules.h"
#include "update/update.h"

#include "tests/harness/test_support.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <cctype>
#include <optional>

namespace {

using namespace std::string_literals;

const std::string kHeader = "VANTOR-MANIFEST-V1";
const std::string kHex = "0f1e2d3c4b5a69788796a5b4c3d2e1f000112233445566778899aabbccddeeff";

Sha256Digest DigestOf(const std::string& hex) {
    Sha256Digest digest{};
    EXPECT_TRUE(ParseDigestHex(hex, digest)) << hex;
    return digest;
}

std::string Line(const std::string& relative, const std::string& remote, const std::string& size,
                 const std::string& hex = kHex) {
    return relative + "|" + remote + "|" + size + "|" + hex;
}

TEST(Utf8ToWide, ConvertsStrictUtf8AndAgreesWithTheSharedCheck) {
    const struct {
        const char* name;
        std::string bytes;
        std::optional<std::wstring> wide;  // nullopt: invalid, converts to empty
    } cases[] = {
        {"ascii", "/patch/a", L"/patch/a"},
        {"two-byte", "\xC3\xA9", L"\u00E9"},
        {"three-byte", "\xE6\x96\x87\xE4\xBB\xB6", L"\u6587\u4EF6"},
        {"four-byte to a surrogate pair", "\xF0\x9F\x98\x80", L"\xD83D\xDE00"},
        {"highest code point", "\xF4\x8F\xBF\xBF", L"\xDBFF\xDFFF"},
        {"NUL byte kept", "a\0b"s, std::wstring(L"a\0b", 3)},
        {"last before surrogates", "\xED\x9F\xBF", L"\uD7FF"},
        {"first after surrogates", "\xEE\x80\x80", L"\uE000"},
        {"noncharacter U+FFFF", "\xEF\xBF\xBF", L"\uFFFF"},
        {"lone continuation byte", "\x80", std::nullopt},
        {"overlong slash", "\xC0\xAF", std::nullopt},
        {"overlong C1 lead", "\xC1\xBF", std::nullopt},
        {"overlong three-byte", "\xE0\x80\xAF", std::nullopt},
        {"overlong four-byte", "\xF0\x80\x80\xAF", std::nullopt},
        {"high surrogate", "\xED\xA0\x80", std::nullopt},
        {"low surrogate", "\xED\xBF\xBF", std::nullopt},
        {"encoded surrogate pair", "\xED\xA0\xBD\xED\xB8\x80", std::nullopt},
        {"above U+10FFFF", "\xF4\x90\x80\x80", std::nullopt},
        {"F5 lead", "\xF5\x80\x80\x80", std::nullopt},
        {"FF byte", "a\xFF", std::nullopt},
        {"truncated at the end", "ab\xE2\x82", std::nullopt},
        {"truncated before ascii",
         "\xE2\x82"
         "a",
         std::nullopt},
        {"four-byte cut short", "\xF0\x9F\x98", std::nullopt},
    };
    for (const auto& c : cases) {
        // Wine 8 follows Windows here; a difference would show as a failed row.
        EXPECT_EQ(Utf8ToWide(c.bytes), c.wide.value_or(L"")) << c.name;
        EXPECT_EQ(IsValidUtf8(c.bytes), c.wide.has_value()) << c.name;
    }
    EXPECT_EQ(Utf8ToWide(""), L"");
}

TEST(ParseManifestSize, ReadsLikeTheStandardConversionWithoutThrowing) {
    const struct {
        std::string field;
        std::optional<uint64_t> value;
    } cases[] = {
        {"1024", 1024},
        {"007", 7},
        {" 12", 12},
        {"\t\v\f\r 12", 12},
        {"+12", 12},
        {"12abc", 12},
        {"12 ", 12},
        {"12|", 12},
        {"0x400", 0},
        {"-0", 0},
        {"-1", UINT64_MAX},
        {"-18446744073709551615", 1},
        {"18446744073709551615", UINT64_MAX},
        {"18446744073709551616", std::nullopt},
        {"99999999999999999999999", std::nullopt},
        {"-18446744073709551616", std::nullopt},
        {"", std::nullopt},
        {" ", std::nullopt},
        {"+", std::nullopt},
        {"-", std::nullopt},
        {"+-5", std::nullopt},
        {"+ 5", std::nullopt},
        {"abc", std::nullopt},
        {"\0"
         "5"s,
         std::nullopt},
    };
    for (const auto& c : cases) {
        uint64_t value = 42;
        EXPECT_EQ(ParseManifestSize(c.field, value), c.value.has_value()) << c.field;
        if (c.value) {
            EXPECT_EQ(value, *c.value) << c.field;
        }
    }
}

struct Expected {
    std::wstring relativePath;
    std::wstring remotePath;
    uint64_t size;
    std::string hex;
};

void ExpectEntries(const std::vector<ManifestEntry>& got, const std::vector<Expected>& want,
                   const char* name) {
    ASSERT_EQ(got.size(), want.size()) << name;
    for (size_t i = 0; i < want.size(); ++i) {
        EXPECT_EQ(got[i].relativePath, want[i].relativePath) << name << " #" << i;
        EXPECT_EQ(got[i].remotePath, want[i].remotePath) << name << " #" << i;
        EXPECT_EQ(got[i].size, want[i].size) << name << " #" << i;
        EXPECT_EQ(got[i].sha256, DigestOf(want[i].hex)) << name << " #" << i;
    }
}

TEST(ParseUpdateManifest, AcceptsValidManifestsAndKeepsEntriesAsWritten) {
    const std::string upperHex = "0F1E2D3C4B5A69788796A5B4C3D2E1F000112233445566778899AABBCCDDEEFF";
    const std::string mixedHex = "0f1E2d3C4b5A69788796a5B4c3D2e1F000112233445566778899AaBbCcDdEeFf";
    const std::string prontera = Line("Data\\prontera.gat", "/patch/p", "1024");
    const Expected pronteraEntry{L"Data\\prontera.gat", L"/patch/p", 1024, kHex};
    const struct {
        const char* name;
        std::string body;
        std::vector<Expected> entries;
    } cases[] = {
        {"LF endings", kHeader + "\n" + prontera + "\n", {pronteraEntry}},
        {"CR LF endings", kHeader + "\r\n" + prontera + "\r\n", {pronteraEntry}},
        {"no final line end", kHeader + "\n" + prontera, {pronteraEntry}},
        {"mixed endings, blank lines everywhere",
         "\n\r\n" + kHeader + "\r\n\n" + prontera + "\n\r\n" +
             Line("System\\itemInfo.lub", "/patch/i", "7") + "\r\n\n",
         {pronteraEntry, {L"System\\itemInfo.lub", L"/patch/i", 7, kHex}}},
        {"letter case of the path kept as written",
         kHeader + "\n" + Line("dATA\\PRONTERA.GAT", "/patch/p", "1024"),
         {{L"dATA\\PRONTERA.GAT", L"/patch/p", 1024, kHex}}},
        {"upper and mixed case digests",
         kHeader + "\n" + Line("Data\\izlude.gat", "/i", "1", upperHex) + "\n" +
             Line("Data\\izlude.gnd", "/i", "2", mixedHex),
         {{L"Data\\izlude.gat", L"/i", 1, kHex}, {L"Data\\izlude.gnd", L"/i", 2, kHex}}},
        {"lenient sizes",
         kHeader + "\n" + Line("Data\\geffen.gat", "/a", " 5") + "\n" +
             Line("Data\\geffen.gnd", "/b", "+6") + "\n" +
             Line("Data\\geffen.rsw", "/c", "7 bytes") + "\n" +
             Line("Data\\alberta.gat", "/d", "\t8"),
         {{L"Data\\geffen.gat", L"/a", 5, kHex},
          {L"Data\\geffen.gnd", L"/b", 6, kHex},
          {L"Data\\geffen.rsw", L"/c", 7, kHex},
          {L"Data\\alberta.gat", L"/d", 8, kHex}}},
        {"largest size",
         kHeader + "\n" + Line("Data\\mp3nametable.txt", "/m", "67108864"),
         {{L"Data\\mp3nametable.txt", L"/m", 67108864, kHex}}},
        {"shared remote path, spaces and non-ASCII in it",
         kHeader + "\n" + Line("Data\\alberta.gnd", "/patch/\xE6\x96\x87 a.b", "3") + "\n" +
             Line("Data\\alberta.rsw", "/patch/\xE6\x96\x87 a.b", "3"),
         {{L"Data\\alberta.gnd", L"/patch/\u6587 a.b", 3, kHex},
          {L"Data\\alberta.rsw", L"/patch/\u6587 a.b", 3, kHex}}},
        {"path with a space inside",
         kHeader + "\n" + Line("Data\\luafiles514\\lua files\\datainfo\\itemInfo.lub", "/x", "9"),
         {{L"Data\\luafiles514\\lua files\\datainfo\\itemInfo.lub", L"/x", 9, kHex}}},
        {"single dots in the remote path",
         kHeader + "\n" + Line("Data\\izlude.rsw", "/./a.b.c", "1"),
         {{L"Data\\izlude.rsw", L"/./a.b.c", 1, kHex}}},
    };
    for (const auto& c : cases) {
        std::vector<ManifestEntry> entries;
        EXPECT_TRUE(ParseUpdateManifest(c.body, entries)) << c.name;
        ExpectEntries(entries, c.entries, c.name);
    }
}

// One case per file, shared with the release tool's checker, which must reject them too.
TEST(ParseUpdateManifest, RejectsEveryManifestOfTheSharedBadCorpus) {
    const std::wstring dir = SourcePath(L"tests\\update\\data\\bad-manifests");
    WIN32_FIND_DATAW found{};
    HANDLE search = ::FindFirstFileW((dir + L"\\*.txt").c_str(), &found);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    std::vector<std::wstring> names;
    do {
        names.push_back(found.cFileName);
    } while (::FindNextFileW(search, &found));
    ::FindClose(search);
    EXPECT_GE(names.size(), 40u);
    for (const std::wstring& name : names) {
        const auto body = ReadBytes(dir + L"\\" + name);
        ASSERT_TRUE(body) << Narrow(name);
        std::vector<ManifestEntry> entries;
        EXPECT_FALSE(ParseUpdateManifest(*body, entries)) << Narrow(name);
        std::vector<ManifestRecord> records;
        EXPECT_FALSE(ParseManifestRecords(*body, records)) << Narrow(name);
    }
}

// Manifests written the way a release would be, with every updatable file.
TEST(ParseUpdateManifest, RoundTripsEveryUpdatableFileInEachLineStyle) {
    const struct {
        const char* name;
        const char* lineEnd;
        bool blankLines;
        bool upperCasePaths;
    } styles[] = {
        {"LF", "\n", false, false},
        {"CR LF", "\r\n", false, false},
        {"LF with blank lines", "\n", true, false},
        {"CR LF, upper-case paths", "\r\n", true, true},
    };
    for (const auto& style : styles) {
        std::string body = kHeader + style.lineEnd;
        std::vector<Expected> want;
        for (size_t i = 0; i < UpdatableFiles.size(); ++i) {
            std::string path(UpdatableFiles[i]);
            if (style.upperCasePaths) {
                for (char& c : path) {
                    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
                }
            }
            std::array<unsigned char, 32> digest{};
            for (size_t k = 0; k < digest.size(); ++k) {
                digest[k] = static_cast<unsigned char>(i * 37 + k * 11);
            }
            const uint64_t size = (i == 0) ? MaxManifestFileSize : i * 1000 + 1;
            const std::string remote = "/patch/files/" + DigestToHex(digest);
            body += Line(path, remote, std::to_string(size), DigestToHex(digest)) + style.lineEnd;
            if (style.blankLines) body += style.lineEnd;
            want.push_back({Widen(path), Widen(remote), size, DigestToHex(digest)});
        }
        std::vector<ManifestEntry> entries;
        EXPECT_TRUE(ParseUpdateManifest(body, entries)) << style.name;
        ExpectEntries(entries, want, style.name);

        // A 27th line can only repeat a path, whatever its case.
        std::string lowered(UpdatableFiles[25]);
        for (char& c : lowered) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        entries.clear();
        EXPECT_FALSE(ParseUpdateManifest(body + Line(lowered, "/z", "1"), entries)) << style.name;
    }
}

}  // namespace
