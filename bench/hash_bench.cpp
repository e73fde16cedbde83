// The plainest SHA-256 loop over the platform's CNG calls, as the limit that the launcher's file
// hashing can approach:  hash_bench BUFFER_KIB ROOT RELATIVE_PATH...
#include "update/bcrypt_handles.h"

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

int wmain(int argc, wchar_t** argv) {
    if (argc < 4 || _wtoi(argv[1]) <= 0) {
        std::fputs("usage: hash_bench BUFFER_KIB ROOT RELATIVE_PATH...\n", stderr);
        return 2;
    }
    const DWORD BufferBytes = static_cast<DWORD>(_wtoi(argv[1])) * 1024;
    std::vector<unsigned char> buffer(BufferBytes);
    unsigned long long total = 0;
    unsigned char digest[32] = {};

    const auto start = std::chrono::steady_clock::now();
    unique_bcrypt_alg provider;
    if (!BCRYPT_SUCCESS(
            ::BCryptOpenAlgorithmProvider(provider.put(), BCRYPT_SHA256_ALGORITHM, nullptr, 0))) {
        return 1;
    }
    for (int i = 3; i < argc; ++i) {
        const std::wstring path = std::wstring(argv[2]) + L"\\" + argv[i];
        unique_file file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                       OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
        unique_bcrypt_hash hash;
        if (!file || !BCRYPT_SUCCESS(::BCryptCreateHash(provider.get(), hash.put(), nullptr, 0,
                                                        nullptr, 0, 0))) {
            std::fprintf(stderr, "cannot hash %ls\n", path.c_str());
            return 1;
        }
        DWORD read = 0;
        while (::ReadFile(file.get(), buffer.data(), BufferBytes, &read, nullptr) && read > 0) {
            ::BCryptHashData(hash.get(), buffer.data(), read, 0);
            total += read;
        }
        ::BCryptFinishHash(hash.get(), digest, sizeof(digest), 0);
    }
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    std::printf("seconds=%.4f\nbytes=%llu\n", elapsed.count(), total);
    return 0;
}
