#include "tests/update/update_test_support.h"

#include "status/winsock_handles.h"
#include "vantor_config.h"

#include <winhttp.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace {

constexpr wchar_t SizeLimitText[] = L"Update file exceeds the safe size limit.";

Bytes Pattern(size_t size) {
    Bytes bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 131 + 7) % 251);
    return bytes;
}

struct DownloadCase {
    const char* name;
    std::optional<size_t> served;  // size of the file in the web root, none = no file
    const char* behaviour;         // scenario for the path, JSON object
    uint64_t maxBytes;
    const wchar_t* error;  // nullptr = success with the served bytes
};

const DownloadCase downloadCases[] = {
    {"EmptyBody", 0, "{}", 16, nullptr},
    {"EmptyBodyChunked", 0, R"({"chunks": []})", 16, nullptr},
    {"ExactlyMaxBytes", 4096, "{}", 4096, nullptr},
    {"ExactlyMaxBytesInChunks", 4096, R"({"chunks": [1000, 3000, 96]})", 4096, nullptr},
    {"ManySmallPieces", 3000, R"({"drip": [100, 0.005]})", 3000, nullptr},
    {"OneOverMaxBytes", 4097, "{}", 4096, SizeLimitText},
    {"OneOverInLaterChunk", 4097, R"({"chunks": [4096, 1], "chunk_delay": 0.5})", 4096,
     SizeLimitText},
    {"EndlessBody", std::nullopt, R"({"status": 200, "endless": true})", 1 << 20, SizeLimitText},
    {"ZeroLimitNonEmptyBody", 1, "{}", 0, SizeLimitText},
    {"NotFound", std::nullopt, "{}", 16, L"Update server returned HTTP 404."},
    {"ServerError", 10, R"({"status": 500})", 16, L"Update server returned HTTP 500."},
    {"NoContent", 10, R"({"status": 204})", 16, L"Update server returned HTTP 204."},
    {"PartialContent", 10, R"({"status": 206})", 16, L"Update server returned HTTP 206."},
    {"NotModified", 10, R"({"status": 304})", 16, L"Update server returned HTTP 304."},
};

void PrintTo(const DownloadCase& c, std::ostream* os) {
    *os << c.name;
}

class DownloadTest : public testing::TestWithParam<DownloadCase> {};

TEST_P(DownloadTest, FetchesOrFailsWithItsText) {
    const DownloadCase& c = GetParam();
    ResetHost();
    const Bytes content = Pattern(c.served.value_or(0));
    if (c.served) PutHostFile("/patch/item.bin", content);
    SetHostScenario(std::string(R"({"/patch/item.bin": )") + c.behaviour + "}");

    ByteBuffer body{'o', 'l', 'd'};  // whatever the caller held must not survive
    std::wstring error;
    const bool ok = HttpsGet(L"/patch/item.bin", c.maxBytes, body, error);

    if (c.error == nullptr) {
        ASSERT_TRUE(ok) << Narrow(error);
        EXPECT_EQ(error, L"");
        EXPECT_EQ(Bytes(body.begin(), body.end()), content);
    } else {
        EXPECT_FALSE(ok);
        EXPECT_EQ(error, c.error);
        EXPECT_LE(body.size(), c.maxBytes);
    }
    EXPECT_EQ(HostLogPaths(), std::vector<std::string>{"/patch/item.bin"});
}

INSTANTIATE_TEST_SUITE_P(Responses, DownloadTest, testing::ValuesIn(downloadCases),
                         [](const auto& info) { return std::string(info.param.name); });

// One file of n bytes must cost about n bytes of buffer, not the doubling of a growing vector.
TEST(DownloadMemory, BufferIsTakenOnceFromTheLimit) {
    ResetHost();
    const Bytes content = Pattern(3 << 20);
    PutHostFile("/data/big.bin", content);
    SetHostScenario(R"({"/data/big.bin": {"chunks": [1000, 70000, 1048576, 5]}})");
    ByteBuffer body;
    std::wstring error;
    ASSERT_TRUE(HttpsGet(L"/data/big.bin", content.size(), body, error)) << Narrow(error);
    EXPECT_EQ(body.size(), content.size());
    EXPECT_EQ(body.capacity(), content.size());
}

unsigned short RefusedPort() {
    // A port that was just free: bind, learn it, close; nothing listens there afterwards.
    WSADATA data{};
    ::WSAStartup(MAKEWORD(2, 2), &data);
    unique_socket s(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof(address);
    if (!s || ::bind(s.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        ::getsockname(s.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ADD_FAILURE() << "no free port";
        return 0;
    }
    return ntohs(address.sin_port);
}

struct ConnectionCase {
    const char* name;
    const wchar_t* host;
    unsigned short (*port)();
    DWORD code;      // what Windows reports for this failure
    DWORD wineCode;  // what Wine 8 reports instead, where it differs
};

const ConnectionCase connectionCases[] = {
    {"UntrustedCertificate", L"localhost", [] { return HostPort("untrusted"); },
     ERROR_WINHTTP_SECURE_FAILURE, ERROR_WINHTTP_SECURE_CHANNEL_ERROR},
    {"CertificateForAnotherName", L"localhost", [] { return HostPort("mismatch"); },
     ERROR_WINHTTP_SECURE_FAILURE, ERROR_WINHTTP_SECURE_CHANNEL_ERROR},
    {"AddressNotInCertificate", L"127.0.0.1", [] { return UpdatePort; },
     ERROR_WINHTTP_SECURE_FAILURE, ERROR_WINHTTP_SECURE_CHANNEL_ERROR},
    {"RefusedPort", L"localhost", &RefusedPort, ERROR_WINHTTP_CANNOT_CONNECT,
     ERROR_WINHTTP_CANNOT_CONNECT},
    {"NameDoesNotResolve", L"no-such-host.invalid", [] { return UpdatePort; },
     ERROR_WINHTTP_NAME_NOT_RESOLVED, ERROR_WINHTTP_NAME_NOT_RESOLVED},
};

void PrintTo(const ConnectionCase& c, std::ostream* os) {
    *os << c.name;
}

class ConnectionFailureTest : public testing::TestWithParam<ConnectionCase> {};

// Creating the connection object sends nothing, so every one of these fails later, as a
// WinHTTP error, and never reaches the server's request handling.
TEST_P(ConnectionFailureTest, IsAWinHttpErrorWithItsCode) {
    const ConnectionCase& c = GetParam();
    ResetHost();
    PutHostFile("/patch/item.bin", "payload");
    ByteBuffer body;
    std::wstring error;
    EXPECT_FALSE(HttpsGetFrom(c.host, c.port(), L"/patch/item.bin", 64, body, error));
    // Wine 8 fails certificate validation during the handshake and reports 12157
    // (ERROR_WINHTTP_SECURE_CHANNEL_ERROR) where Windows reports 12175 (SECURE_FAILURE).
    EXPECT_THAT(error, testing::AnyOf(L"WinHTTP error " + std::to_wstring(c.code),
                                      L"WinHTTP error " + std::to_wstring(c.wineCode)));
    EXPECT_TRUE(HostLog().empty());
}

INSTANTIATE_TEST_SUITE_P(Failures, ConnectionFailureTest, testing::ValuesIn(connectionCases),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- opening the session on systems that differ: the WinHTTP seam ----

struct SessionCase {
    const char* name;
    DWORD automaticError;      // how opening with automatic proxy fails, 0: it works
    const wchar_t* userProxy;  // the player's own proxy setting, null: none
    bool tls13Refused;         // the system knows no TLS 1.3
    std::vector<std::wstring> calls;
    const wchar_t* error;  // how the error text starts, null: the file is fetched
};

const SessionCase* sessionCase = nullptr;
std::vector<std::wstring> sessionCalls;

HINTERNET WINAPI FakeOpen(LPCWSTR agent, DWORD access, LPCWSTR proxy, LPCWSTR bypass, DWORD flags) {
    sessionCalls.push_back(L"open " + std::to_wstring(access) +
                           (proxy ? L" " + std::wstring(proxy) : L""));
    if (access == WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY && sessionCase->automaticError) {
        ::SetLastError(sessionCase->automaticError);
        return nullptr;
    }
    return ::WinHttpOpen(agent, access, proxy, bypass, flags);
}

// The protocols are answered here: Wine offers TLS 1.2 unasked, so only the asking can be seen.
BOOL WINAPI FakeSetOption(HINTERNET handle, DWORD option, LPVOID buffer, DWORD length) {
    if (option != WINHTTP_OPTION_SECURE_PROTOCOLS) {
        return ::WinHttpSetOption(handle, option, buffer, length);
    }
    const DWORD protocols = *static_cast<DWORD*>(buffer);
    sessionCalls.push_back(L"protocols " + std::to_wstring(protocols));
    if (sessionCase->tls13Refused && (protocols & WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3)) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return TRUE;
}

LPWSTR GlobalCopy(const wchar_t* text) {
    if (text == nullptr) return nullptr;
    const size_t bytes = (wcslen(text) + 1) * sizeof(wchar_t);
    auto* copy = static_cast<LPWSTR>(::GlobalAlloc(GMEM_FIXED, bytes));
    memcpy(copy, text, bytes);
    return copy;
}

BOOL WINAPI FakeUserProxy(WINHTTP_CURRENT_USER_IE_PROXY_CONFIG* settings) {
    *settings = {};
    settings->lpszProxy = GlobalCopy(sessionCase->userProxy);
    settings->lpszProxyBypass = GlobalCopy(sessionCase->userProxy ? L"*.vantor.test" : nullptr);
    return TRUE;
}

const std::wstring Automatic = L"open " + std::to_wstring(WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY);
const std::wstring Default = L"open " + std::to_wstring(WINHTTP_ACCESS_TYPE_DEFAULT_PROXY);
const std::wstring Named = L"open " + std::to_wstring(WINHTTP_ACCESS_TYPE_NAMED_PROXY);
const std::wstring Tls12And13 =
    L"protocols " +
    std::to_wstring(WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2 | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3);
const std::wstring Tls12 = L"protocols " + std::to_wstring(WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2);
// A proxy where nothing listens: a request through it cannot connect.
const wchar_t UnreachableProxy[] = L"127.0.0.1:9";

const SessionCase sessionCases[] = {
    {"AutomaticProxyWorks", 0, nullptr, false, {Automatic}, nullptr},
    // Windows 7 and 8.0: automatic proxy is refused with 87.
    {"AutomaticProxyUnknown",
     ERROR_INVALID_PARAMETER,
     nullptr,
     false,
     {Automatic, Default, Tls12And13},
     nullptr},
    {"NeitherAutomaticProxyNorTls13",
     ERROR_INVALID_PARAMETER,
     nullptr,
     true,
     {Automatic, Default, Tls12And13, Tls12},
     nullptr},
    {"PlayersOwnProxy",
     ERROR_INVALID_PARAMETER,
     UnreachableProxy,
     false,
     {Automatic, Named + L" " + UnreachableProxy, Tls12And13},
     L"WinHTTP error "},
    {"OtherOpenFailure", ERROR_NOT_ENOUGH_MEMORY, nullptr, false, {Automatic}, L"WinHTTP error 8"},
};

void PrintTo(const SessionCase& c, std::ostream* os) {
    *os << c.name;
}

class SessionTest : public testing::TestWithParam<SessionCase> {};

TEST_P(SessionTest, OpensAsTheSystemAllows) {
    const SessionCase& c = GetParam();
    ScopedSeams seams{winHttpSeams};
    winHttpSeams = {&FakeOpen, &FakeSetOption, &FakeUserProxy};
    sessionCase = &c;
    sessionCalls.clear();
    ResetHost();
    PutHostFile("/patch/item.bin", "payload");
    ByteBuffer body;
    std::wstring error;
    const bool fetched = HttpsGet(L"/patch/item.bin", 64, body, error);
    EXPECT_EQ(sessionCalls, c.calls);
    EXPECT_EQ(fetched, c.error == nullptr) << Narrow(error);
    EXPECT_THAT(error, testing::StartsWith(c.error ? c.error : L""));
    EXPECT_EQ(HostLog().empty(), c.error != nullptr);
}

INSTANTIATE_TEST_SUITE_P(Systems, SessionTest, testing::ValuesIn(sessionCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
