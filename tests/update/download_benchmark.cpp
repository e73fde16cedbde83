// Figures, not verdicts: throughput and memory of the largest download and install allowed.
#include "tests/update/update_test_support.h"

#include <gtest/gtest.h>
#include <psapi.h>

#include <chrono>
#include <cstdio>

namespace {

double PeakWorkingSetMiB() {
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof(counters);
    ::GetProcessMemoryInfo(::GetCurrentProcess(), &counters, sizeof(counters));
    return counters.PeakWorkingSetSize / 1048576.0;
}

TEST(UpdateBenchmark, LargestFileDownloadAndInstall) {
    ResetHost();
    const size_t size = static_cast<size_t>(MaxManifestFileSize);
    Bytes content(size, '\0');
    for (size_t i = 0; i < size; ++i) content[i] = static_cast<char>(i * 2654435761u >> 24);
    PutHostFile("/patch/files/big.gat", content);
    const double baseline = PeakWorkingSetMiB();

    auto start = std::chrono::steady_clock::now();
    ByteBuffer body;
    std::wstring error;
    ASSERT_TRUE(HttpsGet(L"/patch/files/big.gat", size, body, error)) << Narrow(error);
    const double downloadSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ASSERT_EQ(body.size(), size);
    const double bufferMiB = body.capacity() / 1048576.0;
    body = ByteBuffer();

    TempDir install;
    RetryBudget budget;
    start = std::chrono::steady_clock::now();
    const UpdateResult result = ApplyUpdates(
        install.path(), {{L"Data\\prontera.gat", L"/patch/files/big.gat", size, DigestOf(content)}},
        budget);
    const double installSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(result.message, L"Updated to 1.2.2");

    std::printf("download of %.0f MiB: %.2f s (%.1f MiB/s), body buffer %.1f MiB\n",
                size / 1048576.0, downloadSeconds, size / 1048576.0 / downloadSeconds, bufferMiB);
    std::printf("staged install of it: %.2f s; peak working set %.1f MiB (%.1f MiB before)\n",
                installSeconds, PeakWorkingSetMiB(), baseline);
}

}  // namespace
