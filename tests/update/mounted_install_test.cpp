// Update runs into installations on file systems that mounted_install.sh prepares as root: a
// disk too small for the update, and a directory that cannot be written.
#include "tests/update/update_test_support.h"

#include "common/error_text.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

constexpr wchar_t DownloadFailed[] = L"Unable to download a required update.\n";

std::wstring EnvironmentText(const wchar_t* name) {
    const wchar_t* value = _wgetenv(name);
    return value ? value : L"";
}

Bytes Pattern(size_t size) {
    Bytes bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 131 + 7) % 251);
    return bytes;
}

void Serve(const std::vector<ListedFile>& files) {
    ResetHost();
    ServeRelease(files);
}

class MountedInstallTest : public testing::Test {
protected:
    UpdateResult Run(const std::wstring& installDir) {
        ScopedInstallDirectory useInstall(installDir);
        return RunUpdateOnce();
    }
};

// Two small files stage, the third does not fit: all staging files go, nothing else changes.
TEST_F(MountedInstallTest, FullDiskLeavesTheInstallationAsItWas) {
    const std::wstring disk = EnvironmentText(L"VANTOR_TEST_SMALL_DISK");
    if (disk.empty()) GTEST_SKIP() << Narrow(EnvironmentText(L"VANTOR_TEST_MOUNT_SKIP"));
    const std::wstring install = disk + L"\\install";
    ASSERT_TRUE(WriteBytes(install + L"\\Data\\prontera.gat", "old prontera"));
    ASSERT_TRUE(WriteBytes(install + L"\\System\\itemInfo.lub", "old system items"));
    ASSERT_TRUE(WriteBytes(install + L"\\Data\\clientinfo.xml", "<clientinfo/>"));
    Serve({{"Data\\prontera.gat", "/patch/files/prontera.gat", "new prontera map"},
           {"Data\\mp3nametable.txt", "/patch/files/mp3nametable.txt", "new music table"},
           {"System\\itemInfo.lub", "/patch/files/itemInfo.lub", Pattern(1 << 20)}});
    const TreeSnapshot before = SnapshotTree(install);

    const UpdateResult result = Run(install);

    EXPECT_EQ(result.message, DownloadFailed + WindowsErrorText(ERROR_DISK_FULL));
    EXPECT_FALSE(result.succeeded);
    EXPECT_EQ(SnapshotTree(install), before);
    RemoveTree(install);
}

// The directory of the third file is mounted read-only.
TEST_F(MountedInstallTest, ReadOnlyDirectoryLeavesTheInstallationAsItWas) {
    const std::wstring install = EnvironmentText(L"VANTOR_TEST_READONLY_INSTALL");
    if (install.empty()) GTEST_SKIP() << Narrow(EnvironmentText(L"VANTOR_TEST_MOUNT_SKIP"));
    ASSERT_TRUE(WriteBytes(install + L"\\Data\\prontera.gat", "old prontera"));
    Serve({{"Data\\prontera.gat", "/patch/files/prontera.gat", "new prontera map"},
           {"System\\itemInfo.lub", "/patch/files/itemInfo.lub", "new system items"}});
    const TreeSnapshot before = SnapshotTree(install);
    ASSERT_EQ(before.at(L"System\\itemInfo.lub"), "old system items");

    const UpdateResult result = Run(install);

    // Wine turns the read-only mount into a denial, as Windows a folder the player may not write.
    EXPECT_EQ(result.message, DownloadFailed + WindowsErrorText(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(result.succeeded);
    EXPECT_EQ(SnapshotTree(install), before);
}

}  // namespace
