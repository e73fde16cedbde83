// AWS Signature Version 4, made here rather than by libcurl: libcurl before 7.87 cannot sign a
// PUT with a body, and later ones have signed a '+' in the query as a space.
#include "tools/s3/store.h"

#include "tools/keys/keys.h"

#include <cstdio>

namespace {

std::string Hex(const std::string& raw) {
    static constexpr char Digits[] = "0123456789abcdef";
    std::string hex;
    for (const char c : raw) {
        hex += Digits[static_cast<unsigned char>(c) >> 4];
        hex += Digits[static_cast<unsigned char>(c) & 15];
    }
    return hex;
}

}  // namespace

std::string UriEncode(const std::string& text, bool path) {
    std::string out;
    for (const char c : text) {
        const unsigned char u = static_cast<unsigned char>(c);
        if ((u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z') || (u >= '0' && u <= '9') ||
            c == '-' || c == '_' || c == '.' || c == '~' || (path && c == '/')) {
            out += c;
        } else {
            char hex[4];
            std::snprintf(hex, sizeof(hex), "%%%02X", u);
            out += hex;
        }
    }
    return out;
}

std::string SignatureV4(const std::string& accessKey, const std::string& secretKey,
                        const std::string& region, const std::string& method,
                        const std::string& canonicalUri, const std::string& canonicalQuery,
                        const std::map<std::string, std::string>& headers,
                        const std::string& payloadSha256, const std::string& amzDate) {
    std::string canonical = method + "\n" + canonicalUri + "\n" + canonicalQuery + "\n";
    std::string signedHeaders;
    for (const auto& [name, value] : headers) {
        canonical += name + ":" + value + "\n";
        signedHeaders += (signedHeaders.empty() ? "" : ";") + name;
    }
    canonical += "\n" + signedHeaders + "\n" + payloadSha256;
    const std::string date = amzDate.substr(0, 8);
    const std::string scope = date + "/" + region + "/s3/aws4_request";
    const std::string toSign =
        "AWS4-HMAC-SHA256\n" + amzDate + "\n" + scope + "\n" + DigestToHex(HashBytes(canonical));
    std::string key = HmacSha256("AWS4" + secretKey, date);
    key = HmacSha256(key, region);
    key = HmacSha256(key, "s3");
    key = HmacSha256(key, "aws4_request");
    return "AWS4-HMAC-SHA256 Credential=" + accessKey + "/" + scope +
           ",SignedHeaders=" + signedHeaders + ",Signature=" + Hex(HmacSha256(key, toSign));
}
