// The plainest staging writes over the platform's calls, as the limit that the launcher's
// WriteWholeFile can approach:  write_bench durable|shared|plain DIRECTORY BYTES...
//   durable  write-through, 1 MiB WriteFile pieces, FlushFileBuffers, each file from memory of
//            its own filled just before (not timed), as staging writes a body just downloaded
//   shared   the same, all files from one warm buffer: what fresh memory costs the writes
//   plain    one warm buffer, no write-through, no flush: what durability costs
// One file per size, deleted after the clock stops.
#include "common/handles.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

void Fill(std::vector<unsigned char>& bytes) {
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<unsigned char>(i * 131);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const std::wstring mode = argc > 1 ? argv[1] : L"";
    if (argc < 4 || (mode != L"durable" && mode != L"shared" && mode != L"plain")) {
        std::fputs("usage: write_bench durable|shared|plain DIRECTORY BYTES...\n", stderr);
        return 2;
    }
    const bool durable = mode != L"plain";
    const bool ownMemory = mode == L"durable";
    std::vector<unsigned long long> sizes;
    for (int i = 3; i < argc; ++i) sizes.push_back(std::wcstoull(argv[i], nullptr, 10));
    std::vector<unsigned char> shared;
    if (!ownMemory) {
        shared.resize(*std::max_element(sizes.begin(), sizes.end()));
        Fill(shared);
    }

    std::vector<std::wstring> written;
    unsigned long long total = 0;
    double seconds = 0;
    double flushSeconds = 0;
    for (const unsigned long long size : sizes) {
        std::vector<unsigned char> own;
        if (ownMemory) {
            own.resize(size);
            Fill(own);
        }
        const unsigned char* source = ownMemory ? own.data() : shared.data();
        written.push_back(std::wstring(argv[2]) + L"\\write-bench-" +
                          std::to_wstring(written.size()) + L".bin");
        const auto start = Clock::now();
        const DWORD flags = FILE_ATTRIBUTE_NORMAL | (durable ? FILE_FLAG_WRITE_THROUGH : 0);
        unique_file file(::CreateFileW(written.back().c_str(), GENERIC_WRITE, 0, nullptr,
                                       CREATE_ALWAYS, flags, nullptr));
        if (!file) {
            std::fprintf(stderr, "cannot create %ls\n", written.back().c_str());
            return 1;
        }
        for (unsigned long long at = 0; at < size;) {
            const DWORD piece =
                static_cast<DWORD>(std::min<unsigned long long>(size - at, 1 << 20));
            DWORD done = 0;
            if (!::WriteFile(file.get(), source + at, piece, &done, nullptr) || done != piece) {
                std::fputs("write failed\n", stderr);
                return 1;
            }
            at += done;
            total += done;
        }
        if (durable) {
            const auto flushStart = Clock::now();
            if (!::FlushFileBuffers(file.get())) {
                std::fputs("flush failed\n", stderr);
                return 1;
            }
            flushSeconds += SecondsSince(flushStart);
        }
        file.reset();
        seconds += SecondsSince(start);
    }
    for (const std::wstring& path : written) ::DeleteFileW(path.c_str());
    std::printf("seconds=%.4f\nwrite_seconds=%.4f\nflush_seconds=%.4f\nbytes=%llu\n", seconds,
                seconds - flushSeconds, flushSeconds, total);
    return 0;
}
