// Adds a DER certificate to this Wine prefix's ROOT store, so WinHTTP trusts the test CA.
#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <vector>

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        std::fputs("usage: add_root_cert CERT.der\n", stderr);
        return 2;
    }
    HANDLE file =
        ::CreateFileW(argv[1], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        std::fputs("cannot open certificate\n", stderr);
        return 1;
    }
    std::vector<BYTE> der(65536);
    DWORD got = 0;
    const BOOL read = ::ReadFile(file, der.data(), static_cast<DWORD>(der.size()), &got, nullptr);
    ::CloseHandle(file);
    if (!read || got == 0) return 1;
    if (!::CertAddEncodedCertificateToSystemStoreW(L"ROOT", der.data(), got)) {
        std::fprintf(stderr, "CertAddEncodedCertificateToSystemStoreW failed: %lu\n",
                     ::GetLastError());
        return 1;
    }
    return 0;
}
