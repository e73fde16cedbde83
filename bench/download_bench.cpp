// Downloads the given paths from the update host into memory, each on its own WinHTTP session
// as the launcher does, and drops them:  download_bench MODE PATH...
//   plain      WinHttpReadData in 1 MiB pieces into one reused buffer: the platform's limit
//   announced  the launcher's loop shape (query the available count, read exactly that) into
//              one reused buffer
//   product    the launcher's HttpsGet itself
// and, without a network:  download_bench touch BYTES...
//   touch      takes fresh memory for each body size and fills it, as holding each body whole
//              in its own buffer does: the memory side of the download's floor
#include "update/update.h"
#include "update/winhttp_handles.h"
#include "vantor_config.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

bool Fetch(const wchar_t* path, bool announced, std::vector<unsigned char>& buffer,
           unsigned long long& total) {
    unique_hinternet session(::WinHttpOpen(L"Vantor bench", WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY,
                                           WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
    if (!session) return false;
    unique_hinternet connection(::WinHttpConnect(session.get(), UpdateHost, UpdatePort, 0));
    if (!connection) return false;
    unique_hinternet request(::WinHttpOpenRequest(connection.get(), L"GET", path, nullptr,
                                                  WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                                  WINHTTP_FLAG_SECURE));
    if (!request ||
        !::WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0,
                              WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
        !::WinHttpReceiveResponse(request.get(), nullptr)) {
        return false;
    }
    for (;;) {
        DWORD ask = static_cast<DWORD>(buffer.size());
        if (announced) {
            if (!::WinHttpQueryDataAvailable(request.get(), &ask)) return false;
            if (ask == 0) return true;
            if (ask > buffer.size()) buffer.resize(ask);
        }
        DWORD read = 0;
        if (!::WinHttpReadData(request.get(), buffer.data(), ask, &read)) return false;
        if (read == 0) return true;
        total += read;
    }
}

// Fills fresh memory as HttpsGet's reserve-then-grow does; returns the bytes filled.
unsigned long long Touch(const wchar_t* bytesText) {
    const unsigned long long bytes = std::wcstoull(bytesText, nullptr, 10);
    std::vector<unsigned char> body;
    body.reserve(bytes);
    body.resize(bytes);
    // Read back one byte per page, so that the fill cannot be left out.
    unsigned long long sum = 0;
    for (size_t i = 0; i < body.size(); i += 4096) sum += body[i];
    return body.size() + sum;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const std::wstring mode = argc > 1 ? argv[1] : L"";
    if (argc < 3 ||
        (mode != L"plain" && mode != L"announced" && mode != L"product" && mode != L"touch")) {
        std::fputs("usage: download_bench plain|announced|product PATH... | touch BYTES...\n",
                   stderr);
        return 2;
    }
    std::vector<unsigned char> buffer(1 << 20);
    unsigned long long total = 0;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 2; i < argc; ++i) {
        bool fetched = false;
        if (mode == L"touch") {
            total += Touch(argv[i]);
            fetched = true;
        } else if (mode == L"product") {
            ByteBuffer body;
            std::wstring error;
            fetched = HttpsGet(argv[i], MaxManifestFileSize, body, error);
            total += body.size();
        } else {
            fetched = Fetch(argv[i], mode == L"announced", buffer, total);
        }
        if (!fetched) {
            std::fprintf(stderr, "cannot fetch %ls\n", argv[i]);
            return 1;
        }
    }
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    std::printf("seconds=%.4f\nbytes=%llu\n", elapsed.count(), total);
    return 0;
}
