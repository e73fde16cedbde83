// The launcher's update run, in-process, against a bench installation:
//   update_bench INSTALL_DIR [--warm]
// Prints the run's wall time, where it went (downloads, staging writes, flushes, moves; the
// rest is hashing and the manifest check), the process's working set before the run and its
// peak, and the run's outcome; exits 0 only when the run succeeded. --warm fetches the manifest
// once before the run, so that the working set before it already holds the TLS stack and the
// peak above it is the update's own.
#include "common/process_seams.h"
#include "update/update_seams.h"

#include <psapi.h>

#include <chrono>
#include <cstdio>

namespace {

using Clock = std::chrono::steady_clock;

std::wstring benchInstallDir;
InstallFileOps productOps;
double downloadSeconds = 0, writeSeconds = 0, flushSeconds = 0, moveSeconds = 0;

// Runs one product call and adds its wall time to a total.
template <typename Call>
auto Timed(double& total, Call call) {
    const auto start = Clock::now();
    auto result = call();
    total += std::chrono::duration<double>(Clock::now() - start).count();
    return result;
}

bool TimedHttpsGet(const std::wstring& path, uint64_t maxBytes, ByteBuffer& body,
                   std::wstring& error) {
    return Timed(downloadSeconds, [&] { return HttpsGet(path, maxBytes, body, error); });
}
HANDLE WINAPI TimedCreateFile(LPCWSTR path, DWORD access, DWORD share,
                              LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
                              HANDLE templateFile) {
    return Timed(writeSeconds, [&] {
        return productOps.createFile(path, access, share, security, disposition, flags,
                                     templateFile);
    });
}
BOOL WINAPI TimedWriteFile(HANDLE file, LPCVOID data, DWORD count, LPDWORD written,
                           LPOVERLAPPED overlapped) {
    return Timed(writeSeconds,
                 [&] { return productOps.writeFile(file, data, count, written, overlapped); });
}
BOOL WINAPI TimedFlushFileBuffers(HANDLE file) {
    return Timed(flushSeconds, [&] { return productOps.flushFileBuffers(file); });
}
BOOL WINAPI TimedMoveFileEx(LPCWSTR from, LPCWSTR to, DWORD flags) {
    return Timed(moveSeconds, [&] { return productOps.moveFileEx(from, to, flags); });
}

bool BenchInstallDirectory(std::wstring& installDir) {
    installDir = benchInstallDir;
    return true;
}

PROCESS_MEMORY_COUNTERS Memory() {
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof(counters);
    ::GetProcessMemoryInfo(::GetCurrentProcess(), &counters, sizeof(counters));
    return counters;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const bool warm = argc == 3 && std::wstring(argv[2]) == L"--warm";
    if (argc != 2 && !warm) {
        std::fputs("usage: update_bench INSTALL_DIR [--warm]\n", stderr);
        return 2;
    }
    benchInstallDir = argv[1];
    processSeams.getInstallDirectory = &BenchInstallDirectory;
    updateRunSeams.httpsGet = &TimedHttpsGet;
    productOps = installFileOps;
    installFileOps.createFile = &TimedCreateFile;
    installFileOps.writeFile = &TimedWriteFile;
    installFileOps.flushFileBuffers = &TimedFlushFileBuffers;
    installFileOps.moveFileEx = &TimedMoveFileEx;

    if (warm) {
        ByteBuffer manifest;
        std::wstring error;
        if (!HttpsGet(Utf8ToWide(ManifestWebPath), ManifestLimit, manifest, error)) {
            std::fprintf(stderr, "warm-up fetch failed: %ls\n", error.c_str());
            return 1;
        }
    }
    const SIZE_T before = Memory().WorkingSetSize;
    const auto start = Clock::now();
    UpdateResult result;
    RunUpdate(result);
    const std::chrono::duration<double> elapsed = Clock::now() - start;
    const SIZE_T peak = Memory().PeakWorkingSetSize;

    std::printf(
        "download_seconds=%.4f\nwrite_seconds=%.4f\nflush_seconds=%.4f\nmove_seconds=%.4f\n",
        downloadSeconds, writeSeconds, flushSeconds, moveSeconds);
    std::printf("seconds=%.4f\nworking_set_before=%llu\npeak_working_set=%llu\nsucceeded=%d\n",
                elapsed.count(), static_cast<unsigned long long>(before),
                static_cast<unsigned long long>(peak), result.succeeded ? 1 : 0);
    std::printf("message=%ls\n", result.message.c_str());
    return result.succeeded ? 0 : 1;
}
