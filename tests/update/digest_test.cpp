#include "update/manifest_rules.h"
#include "update/update.h"

#include "tests/harness/test_support.h"

#include <gtest/gtest.h>

#include <windows.h>

namespace {

Bytes Pattern(size_t size) {
    Bytes bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + 3) % 251);
    return bytes;
}

std::string HexOf(const Sha256Digest& digest) {
    return DigestToHex(digest);
}

TEST(HashFileSha256, MatchesKnownDigestsAcrossReadChunkBoundaries) {
    const struct {
        size_t size;
        const char* sha256;
    } cases[] = {
        {0, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {65535, "e8f3d8d5ca3bbbc3435337aabd9d299b9ed4ebf56d13ae167503259ea24c1c1e"},
        {65536, "93d1a595bb5828c088e99c53df8dca5511567b7724bc2325cf3e54d725fa069b"},
        {65537, "1f97534600bc110bc61e3d51829deadef8a1ec24e00bb2becc3f9f75b9527e79"},
        {131073, "98b39fc2db8f94e05ed2dbe35f03cdeb0dc8b3db9c976777246820ad32c7ce5c"},
    };
    TempDir dir;
    for (const auto& c : cases) {
        const std::wstring path = dir / (L"file-" + std::to_wstring(c.size));
        ASSERT_TRUE(WriteBytes(path, Pattern(c.size)));
        Sha256Digest digest{};
        ASSERT_TRUE(HashFileSha256(path, digest)) << c.size;
        EXPECT_EQ(HexOf(digest), c.sha256) << c.size;
    }
}

TEST(HashFileSha256, FailsWhenTheFileCannotBeReadWhole) {
    TempDir dir;
    const std::wstring file = dir / L"held.bin";
    ASSERT_TRUE(WriteBytes(file, "content"));
    const struct {
        const char* name;
        std::wstring path;
        DWORD otherAccess;  // 0: no other handle
        DWORD otherShare;
    } cases[] = {
        {"missing file", dir / L"missing.bin", 0, 0},
        {"missing directory", dir / L"no\\such.bin", 0, 0},
        {"a directory", dir.path(), 0, 0},
        {"held for writing without sharing", file, GENERIC_WRITE, 0},
        {"held for writing, reads shared", file, GENERIC_WRITE, FILE_SHARE_READ},
        {"held for reading without sharing", file, GENERIC_READ, 0},
    };
    for (const auto& c : cases) {
        unique_file other;
        if (c.otherAccess) {
            other.reset(::CreateFileW(c.path.c_str(), c.otherAccess, c.otherShare, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
            ASSERT_TRUE(other) << c.name;
        }
        Sha256Digest digest{};
        EXPECT_FALSE(HashFileSha256(c.path, digest)) << c.name;
    }
    // Readers that share reading do not block the hash.
    unique_file reader(::CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(reader);
    Sha256Digest digest{};
    EXPECT_TRUE(HashFileSha256(file, digest));
}

TEST(HashFileSha256, LeavesTheFileOpenableForWritingAfterwards) {
    TempDir dir;
    const std::wstring file = dir / L"a.bin";
    ASSERT_TRUE(WriteBytes(file, Pattern(70000)));
    Sha256Digest digest{};
    ASSERT_TRUE(HashFileSha256(file, digest));
    // A handle left open by the hash would make the exclusive open fail.
    unique_file exclusive(::CreateFileW(file.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, 0,
                                        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    EXPECT_TRUE(exclusive);
}

Bytes ReadRequired(const std::wstring& path) {
    auto bytes = ReadBytes(path);
    if (!bytes) ADD_FAILURE() << "cannot read " << Narrow(path);
    return bytes.value_or(Bytes{});
}

Bytes Base64Of(const Bytes& raw) {
    static constexpr char alphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    Bytes out;
    for (size_t i = 0; i < raw.size(); i += 3) {
        uint32_t v = static_cast<unsigned char>(raw[i]) << 16;
        if (i + 1 < raw.size()) v |= static_cast<unsigned char>(raw[i + 1]) << 8;
        if (i + 2 < raw.size()) v |= static_cast<unsigned char>(raw[i + 2]);
        out += alphabet[(v >> 18) & 63];
        out += alphabet[(v >> 12) & 63];
        out += i + 1 < raw.size() ? alphabet[(v >> 6) & 63] : '=';
        out += i + 2 < raw.size() ? alphabet[v & 63] : '=';
    }
    return out;
}

TEST(VerifyManifestSignature, AcceptsOnlyTheBuildKeysSignatureOverTheExactBytes) {
    // Signed at build time with openssl by tests/update/CMakeLists.txt.
    const Bytes manifest = ReadRequired(BuildPath(L"tests\\update\\data\\signed-manifest.txt"));
    const Bytes signature = ReadRequired(BuildPath(L"tests\\update\\data\\signed-manifest.sig"));
    const Bytes otherKey =
        ReadRequired(BuildPath(L"tests\\update\\data\\signed-manifest.other.sig"));
    ASSERT_EQ(signature.size(), 256u);
    ASSERT_EQ(otherKey.size(), 256u);
    ASSERT_NE(manifest.find("\r\n"), Bytes::npos);

    Bytes oneByteChanged = manifest;
    oneByteChanged[manifest.size() / 2] ^= 0x01;
    Bytes lineFeedsOnly;
    for (char c : manifest) {
        if (c != '\r') lineFeedsOnly += c;
    }
    Bytes flippedSignature = signature;
    flippedSignature[200] ^= 0x80;

    const struct {
        const char* name;
        Bytes manifest;
        Bytes signature;
        bool valid;
    } cases[] = {
        {"valid", manifest, signature, true},
        {"one manifest byte changed", oneByteChanged, signature, false},
        {"CR LF turned into LF", lineFeedsOnly, signature, false},
        {"trailing line feed added", manifest + "\n", signature, false},
        {"manifest empty", "", signature, false},
        {"signature bit flipped", manifest, flippedSignature, false},
        {"signature of 255 bytes", manifest, signature.substr(0, 255), false},
        {"signature of 257 bytes", manifest, signature + '\0', false},
        {"signature with a leading zero byte", manifest, '\0' + signature, false},
        {"signature as Base64 text", manifest, Base64Of(signature), false},
        {"signature as Base64 with line end", manifest, Base64Of(signature) + "\r\n", false},
        {"signature empty", manifest, "", false},
        {"signature by another key", manifest, otherKey, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(VerifyManifestSignature(c.manifest, c.signature), c.valid) << c.name;
    }
}

TEST(VerifyManifestSignature, RepeatedCallsGiveTheSameAnswer) {
    // Every call opens and releases its own providers and key; nothing carries over.
    const Bytes manifest = ReadRequired(BuildPath(L"tests\\update\\data\\signed-manifest.txt"));
    const Bytes signature = ReadRequired(BuildPath(L"tests\\update\\data\\signed-manifest.sig"));
    for (int i = 0; i < 50; ++i) {
        ASSERT_TRUE(VerifyManifestSignature(manifest, signature)) << i;
        ASSERT_FALSE(VerifyManifestSignature(manifest + " ", signature)) << i;
    }
}

}  // namespace
