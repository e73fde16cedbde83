#include "update/progress.h"
#include "update/update.h"
#include "update/update_seams.h"
#include "update/winhttp_handles.h"

#include "vantor_config.h"

#include <algorithm>

WinHttpSeams winHttpSeams = {&::WinHttpOpen, &::WinHttpSetOption,
                             &::WinHttpGetIEProxyConfigForCurrentUser};

namespace {

constexpr int ResolveTimeoutMs = 10000;
constexpr int ConnectTimeoutMs = 10000;
constexpr int SendTimeoutMs = 15000;
constexpr int ReceiveTimeoutMs = 60000;

std::wstring CodeText(const wchar_t* prefix, DWORD code) {
    return prefix + std::to_wstring(static_cast<unsigned long>(code));
}

void FreeGlobal(LPWSTR text) noexcept {
    ::GlobalFree(text);
}
using unique_global_text = unique_any<LPWSTR, &FreeGlobal>;

// Finding the proxy automatically came with Windows 8.1; older systems refuse that access type
// with 87. There the player's own proxy settings are taken, and TLS 1.2 is asked for, which
// their WinHTTP does not offer unless asked (1.3 too where the system knows it; a refusal
// leaves the system's choice).
unique_hinternet OpenSession(const wchar_t* agent) {
    unique_hinternet session(winHttpSeams.open(agent, WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY,
                                               WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
    if (session || ::GetLastError() != ERROR_INVALID_PARAMETER) return session;
    DWORD openError = ERROR_SUCCESS;
    {
        // Each text the system hands over is the caller's to free. A proxy script is not
        // followed here: the session falls back on the system's own proxy setting.
        WINHTTP_CURRENT_USER_IE_PROXY_CONFIG user{};
        const bool read = winHttpSeams.userProxySettings(&user) != FALSE;
        const unique_global_text script(read ? user.lpszAutoConfigUrl : nullptr);
        const unique_global_text proxy(read ? user.lpszProxy : nullptr);
        const unique_global_text bypass(read ? user.lpszProxyBypass : nullptr);
        session.reset(winHttpSeams.open(
            agent, proxy ? WINHTTP_ACCESS_TYPE_NAMED_PROXY : WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
            proxy ? proxy.get() : WINHTTP_NO_PROXY_NAME,
            proxy && bypass ? bypass.get() : WINHTTP_NO_PROXY_BYPASS, 0));
        if (!session) openError = ::GetLastError();
    }
    if (!session) {
        ::SetLastError(openError);
        return session;
    }
    for (DWORD protocols :
         {DWORD{WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2 | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3},
          DWORD{WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2}}) {
        if (winHttpSeams.setOption(session.get(), WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols,
                                   sizeof(protocols))) {
            break;
        }
    }
    return session;
}

}  // namespace

bool HttpsGetFrom(const wchar_t* host, unsigned short port, const std::wstring& path,
                  uint64_t maxBytes, ByteBuffer& body, std::wstring& error) {
    // Declared root first so that destruction closes request, connection, root in that order.
    unique_hinternet session(OpenSession(Utf8ToWide(UpdateUserAgent).c_str()));
    if (!session) {
        error = CodeText(L"WinHTTP error ", ::GetLastError());
        return false;
    }
    ::WinHttpSetTimeouts(session.get(), ResolveTimeoutMs, ConnectTimeoutMs, SendTimeoutMs,
                         ReceiveTimeoutMs);

    unique_hinternet connection(::WinHttpConnect(session.get(), host, port, 0));
    if (!connection) {
        error = CodeText(L"Connection error ", ::GetLastError());
        return false;
    }

    unique_hinternet request(::WinHttpOpenRequest(connection.get(), L"GET", path.c_str(), nullptr,
                                                  WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                                  WINHTTP_FLAG_SECURE));
    if (!request ||
        !::WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0,
                              WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
        !::WinHttpReceiveResponse(request.get(), nullptr)) {
        error = CodeText(L"WinHTTP error ", ::GetLastError());
        return false;
    }

    DWORD status = 0;
    DWORD statusLength = sizeof(status);
    if (!::WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                               WINHTTP_HEADER_NAME_BY_INDEX, &status, &statusLength,
                               WINHTTP_NO_HEADER_INDEX) ||
        status != 200) {
        error = L"Update server returned HTTP " +
                std::to_wstring(static_cast<unsigned long>(status)) + L".";
        return false;
    }

    body.clear();
    // The limit is known before the first byte: taking it up front means the body never
    // reallocates, so a file of n bytes costs about n bytes rather than up to 2n.
    body.reserve(static_cast<size_t>(std::min<uint64_t>(maxBytes, MaxManifestFileSize)));
    for (;;) {
        DWORD available = 0;
        if (!::WinHttpQueryDataAvailable(request.get(), &available)) {
            error = CodeText(L"WinHTTP error ", ::GetLastError());
            return false;
        }
        if (available == 0) return true;
        const uint64_t held = body.size();
        if (available > maxBytes || held > maxBytes - available) {
            error = L"Update file exceeds the safe size limit.";
            return false;
        }
        body.resize(held + available);
        DWORD read = 0;
        if (!::WinHttpReadData(request.get(), body.data() + held, available, &read) || read == 0) {
            error = CodeText(L"WinHTTP error ", ::GetLastError());
            return false;
        }
        body.resize(held + read);
        ReportDownloadedBytes(read);
    }
}

bool HttpsGet(const std::wstring& path, uint64_t maxBytes, ByteBuffer& body, std::wstring& error) {
    return HttpsGetFrom(UpdateHost, UpdatePort, path, maxBytes, body, error);
}
