#include "common/paths.h"

#include <gtest/gtest.h>

#include <windows.h>

namespace {

struct ModulePathCase {
    std::wstring path;
    unsigned long count;  // what GetModuleFileNameW reported
    bool ok;
    std::wstring directory;
};

TEST(GetInstallDirectory, CutsAtTheLastSeparatorOfEitherKind) {
    const std::wstring longPath = L"C:\\" + std::wstring(32767 - 3 - 4, L'a') + L"\\x.e";
    const std::vector<ModulePathCase> cases = {
        {L"C:\\Games\\Launcher\\launcher.exe", 0, true, L"C:\\Games\\Launcher"},
        {L"C:/Games/Launcher/launcher.exe", 0, true, L"C:/Games/Launcher"},
        {L"C:\\Games/launcher.exe", 0, true, L"C:\\Games"},
        {L"\\launcher.exe", 0, true, L""},
        {L"launcher.exe", 0, false, L"untouched"},
        {L"\\\\?\\UNC\\server\\share\\VANTOR.exe", 0, true, L"\\\\?\\UNC\\server\\share"},
        {L"", 0, false, L"untouched"},
        {longPath, 32767, true, longPath.substr(0, longPath.size() - 4)},
        {longPath + L"x", 32768, false, L"untouched"},
    };
    for (const auto& c : cases) {
        std::wstring dir = L"untouched";
        const unsigned long count = c.count ? c.count : static_cast<unsigned long>(c.path.size());
        // An empty path stands for GetModuleFileNameW's 0 result.
        EXPECT_EQ(InstallDirectoryFromModulePath(c.path.c_str(), count, 32768, dir), c.ok)
            << std::string(c.path.begin(), c.path.begin() + std::min<size_t>(c.path.size(), 60));
        EXPECT_EQ(dir, c.directory);
    }
}

TEST(GetInstallDirectory, IsTheRunningExecutablesDirectory) {
    wchar_t self[MAX_PATH] = {};
    const DWORD n = ::GetModuleFileNameW(nullptr, self, MAX_PATH);
    ASSERT_GT(n, 0u);
    std::wstring expected(self, n);
    expected.resize(expected.find_last_of(L"\\/"));
    std::wstring dir;
    ASSERT_TRUE(GetInstallDirectory(dir));
    EXPECT_EQ(dir, expected);
}

TEST(JoinPath, AddsOneBackslashOnlyWhereNeeded) {
    const struct {
        std::wstring base;
        const wchar_t* name;
        std::wstring joined;
    } cases[] = {
        {L"C:\\Games\\Launcher", L"Data\\clientinfo.xml",
         L"C:\\Games\\Launcher\\Data\\clientinfo.xml"},
        {L"C:/Games/Launcher", L"Data\\clientinfo.xml", L"C:/Games/Launcher\\Data\\clientinfo.xml"},
        {L"C:\\dir\\", L"x", L"C:\\dir\\x"},
        {L"", L"name", L"name"},
        {L"C:\\dir", L"\\lead", L"C:\\dir\\\\lead"},
        {L"C:\\dir", L"..\\up/x", L"C:\\dir\\..\\up/x"},
    };
    for (const auto& c : cases) {
        const std::wstring base = c.base;
        EXPECT_EQ(JoinPath(c.base, c.name), c.joined);
        EXPECT_EQ(c.base, base);
    }
}

}  // namespace
