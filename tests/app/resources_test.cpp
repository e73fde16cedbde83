// Reads the built VANTOR.exe's resources back as Windows sees them.
#include "tests/harness/test_support.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

#pragma pack(push, 2)
struct GroupIconHeader {
    WORD reserved, type, count;
};
struct GroupIconEntry {
    BYTE width, height, colours, reserved;
    WORD planes, bitCount;
    DWORD bytes;
    WORD id;
};
#pragma pack(pop)

struct Module {
    HMODULE handle = nullptr;
    ~Module() {
        if (handle) ::FreeLibrary(handle);
    }
};

std::string ResourceBytes(HMODULE module, LPCWSTR type, LPCWSTR name, WORD language) {
    HRSRC found = ::FindResourceExW(module, type, name, language);
    if (!found) return {};
    HGLOBAL loaded = ::LoadResource(module, found);
    const void* data = ::LockResource(loaded);
    return std::string(static_cast<const char*>(data), ::SizeofResource(module, found));
}

const WORD EnglishUs = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);

class ResourcesTest : public ::testing::Test {
protected:
    void SetUp() override {
        exe = BuildPath(L"VANTOR.exe");
        module.handle = ::LoadLibraryExW(exe.c_str(), nullptr,
                                         LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
        ASSERT_NE(module.handle, nullptr) << Narrow(exe);
    }
    std::wstring exe;
    Module module;
};

TEST_F(ResourcesTest, IconGroupHasSevenSquarePngImagesOf32Bits) {
    const std::string group =
        ResourceBytes(module.handle, RT_GROUP_ICON, MAKEINTRESOURCEW(101), EnglishUs);
    ASSERT_GE(group.size(), sizeof(GroupIconHeader));
    GroupIconHeader header;
    std::memcpy(&header, group.data(), sizeof header);
    EXPECT_EQ(header.type, 1);
    ASSERT_EQ(header.count, 7);
    ASSERT_EQ(group.size(), sizeof header + 7 * sizeof(GroupIconEntry));
    const int sizes[] = {16, 24, 32, 48, 64, 128, 256};
    for (int i = 0; i < 7; ++i) {
        GroupIconEntry entry;
        std::memcpy(&entry, group.data() + sizeof header + i * sizeof entry, sizeof entry);
        const int width = entry.width == 0 ? 256 : entry.width;
        const int height = entry.height == 0 ? 256 : entry.height;
        EXPECT_EQ(width, sizes[i]);
        EXPECT_EQ(height, sizes[i]);
        EXPECT_EQ(entry.bitCount, 32);
        const std::string image =
            ResourceBytes(module.handle, RT_ICON, MAKEINTRESOURCEW(entry.id), EnglishUs);
        ASSERT_EQ(image.size(), entry.bytes);
        ASSERT_GE(image.size(), 33u);
        EXPECT_EQ(image.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
        // IHDR: the stored image really has the entry's size, RGBA with 8 bits a channel.
        const auto be32 = [&](size_t at) {
            return (unsigned char)image[at] << 24 | (unsigned char)image[at + 1] << 16 |
                   (unsigned char)image[at + 2] << 8 | (unsigned char)image[at + 3];
        };
        EXPECT_EQ(be32(16), sizes[i]);
        EXPECT_EQ(be32(20), sizes[i]);
        EXPECT_EQ(image[24], 8);
        EXPECT_EQ(image[25], 6);
    }
}

TEST_F(ResourcesTest, ManifestIsExactlyTheAsInvokerManifest) {
    const std::string manifest =
        ResourceBytes(module.handle, RT_MANIFEST, MAKEINTRESOURCEW(1), EnglishUs);
    const auto expected = ReadBytes(SourcePath(L"resources\\vantor.manifest"));
    ASSERT_TRUE(expected.has_value());
    EXPECT_EQ(manifest, *expected);
    EXPECT_NE(manifest.find("level=\"asInvoker\" uiAccess=\"false\""), std::string::npos);
    for (const char* absent : {"dpiAware", "Microsoft.Windows.Common-Controls", "supportedOS"}) {
        EXPECT_EQ(manifest.find(absent), std::string::npos) << absent;
    }
}

TEST_F(ResourcesTest, VersionBlockCarriesItsNumbersAndStrings) {
    DWORD ignored = 0;
    const DWORD size = ::GetFileVersionInfoSizeW(exe.c_str(), &ignored);
    ASSERT_GT(size, 0u);
    std::vector<char> block(size);
    ASSERT_TRUE(::GetFileVersionInfoW(exe.c_str(), 0, size, block.data()));

    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(::VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(fixed->dwFileVersionMS, 0x00010002u);
    EXPECT_EQ(fixed->dwFileVersionLS, 0x00020000u);
    EXPECT_EQ(fixed->dwProductVersionMS, 0x00010002u);
    EXPECT_EQ(fixed->dwProductVersionLS, 0x00020000u);
    EXPECT_EQ(fixed->dwFileFlags, 0u);
    EXPECT_EQ(fixed->dwFileOS, static_cast<DWORD>(VOS_NT_WINDOWS32));
    EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_APP));

    WORD* translation = nullptr;
    ASSERT_TRUE(::VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation",
                                 reinterpret_cast<void**>(&translation), &length));
    ASSERT_EQ(length, 4u);
    EXPECT_EQ(translation[0], 0x0409);
    EXPECT_EQ(translation[1], 0x04b0);

    const struct {
        const wchar_t* name;
        const wchar_t* value;
    } strings[] = {
        {L"CompanyName", L"Vantor"},          {L"FileDescription", L"Vantor Launcher"},
        {L"FileVersion", L"1.2.2.0"},         {L"InternalName", L"VANTOR"},
        {L"OriginalFilename", L"VANTOR.exe"}, {L"ProductName", L"Vantor"},
        {L"ProductVersion", L"1.2.2.0"},
    };
    for (const auto& s : strings) {
        wchar_t* value = nullptr;
        const std::wstring query = std::wstring(L"\\StringFileInfo\\040904b0\\") + s.name;
        ASSERT_TRUE(::VerQueryValueW(block.data(), query.c_str(), reinterpret_cast<void**>(&value),
                                     &length))
            << Narrow(s.name);
        EXPECT_EQ(std::wstring(value), s.value) << Narrow(s.name);
    }
}

}  // namespace
