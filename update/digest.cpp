#include "update/update.h"

#include "update/bcrypt_handles.h"
#include "vantor_config.h"

#include <wincrypt.h>

#include <cstring>
#include <limits>
#include <memory>

namespace {

constexpr DWORD ReadChunk = 65536;

// A heap buffer that is wiped before it is released, whichever way the caller leaves.
struct WipedBuffer {
    std::vector<unsigned char> bytes;
    explicit WipedBuffer(size_t size) : bytes(size, 0) {}
    ~WipedBuffer() { Wipe(); }
    WipedBuffer(const WipedBuffer&) = delete;
    WipedBuffer& operator=(const WipedBuffer&) = delete;
    void Wipe() {
        if (!bytes.empty()) ::SecureZeroMemory(bytes.data(), bytes.size());
    }
};

// The hash lives inside its object buffer, so it is destroyed before that buffer is wiped:
// members are destroyed in reverse order, hash first, provider last.
struct Sha256State {
    unique_bcrypt_alg provider;
    std::unique_ptr<WipedBuffer> object;
    unique_bcrypt_hash hash;
};

bool OpenSha256(Sha256State& state) {
    if (!BCRYPT_SUCCESS(::BCryptOpenAlgorithmProvider(state.provider.put(), BCRYPT_SHA256_ALGORITHM,
                                                      nullptr, 0))) {
        return false;
    }
    DWORD objectLength = 0;
    ULONG written = 0;
    if (!BCRYPT_SUCCESS(::BCryptGetProperty(state.provider.get(), BCRYPT_OBJECT_LENGTH,
                                            reinterpret_cast<PUCHAR>(&objectLength),
                                            sizeof(objectLength), &written, 0))) {
        return false;
    }
    state.object = std::make_unique<WipedBuffer>(objectLength);
    return BCRYPT_SUCCESS(::BCryptCreateHash(state.provider.get(), state.hash.put(),
                                             state.object->bytes.data(), objectLength, nullptr, 0,
                                             0));
}

// Base64 key text to bytes; false when the text does not decode or decodes to nothing.
bool DecodeBase64(const char* text, std::vector<unsigned char>& bytes) {
    DWORD count = 0;
    if (!::CryptStringToBinaryA(text, 0, CRYPT_STRING_BASE64, nullptr, &count, nullptr, nullptr) ||
        count == 0) {
        return false;
    }
    bytes.assign(count, 0);
    if (!::CryptStringToBinaryA(text, 0, CRYPT_STRING_BASE64, bytes.data(), &count, nullptr,
                                nullptr)) {
        return false;
    }
    bytes.resize(count);
    return true;
}

}  // namespace

bool HashFileSha256(const std::wstring& path, Sha256Digest& digest) {
    unique_file file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN,
                                   nullptr));
    if (!file) return false;
    Sha256State state;
    if (!OpenSha256(state)) return false;

    WipedBuffer buffer(ReadChunk);
    bool endOfFile = false;
    for (;;) {
        DWORD read = 0;
        if (!::ReadFile(file.get(), buffer.bytes.data(), ReadChunk, &read, nullptr)) break;
        if (read == 0) {
            endOfFile = true;
            break;
        }
        if (!BCRYPT_SUCCESS(::BCryptHashData(state.hash.get(), buffer.bytes.data(), read, 0))) {
            break;
        }
    }
    buffer.Wipe();
    if (!endOfFile) return false;
    return BCRYPT_SUCCESS(
        ::BCryptFinishHash(state.hash.get(), digest.data(), static_cast<ULONG>(digest.size()), 0));
}

bool VerifyManifestSignature(std::string_view manifest, std::string_view signature) {
    return VerifySignatureWithKey(manifest, signature, ManifestSigningKeyModulus,
                                  ManifestSigningKeyExponent);
}

bool VerifySignatureWithKey(std::string_view manifest, std::string_view signature,
                            const char* modulusBase64, const char* exponentBase64) {
    std::vector<unsigned char> modulus;
    std::vector<unsigned char> exponent;
    if (!DecodeBase64(modulusBase64, modulus)) return false;
    if (!DecodeBase64(exponentBase64, exponent)) return false;

    unique_bcrypt_alg rsa;
    if (!BCRYPT_SUCCESS(
            ::BCryptOpenAlgorithmProvider(rsa.put(), BCRYPT_RSA_ALGORITHM, nullptr, 0))) {
        return false;
    }
    BCRYPT_RSAKEY_BLOB header{};
    header.Magic = BCRYPT_RSAPUBLIC_MAGIC;
    header.BitLength = static_cast<ULONG>(modulus.size() * 8);
    header.cbPublicExp = static_cast<ULONG>(exponent.size());
    header.cbModulus = static_cast<ULONG>(modulus.size());
    std::vector<unsigned char> blob(sizeof(header) + exponent.size() + modulus.size());
    std::memcpy(blob.data(), &header, sizeof(header));
    std::memcpy(blob.data() + sizeof(header), exponent.data(), exponent.size());
    std::memcpy(blob.data() + sizeof(header) + exponent.size(), modulus.data(), modulus.size());
    unique_bcrypt_key key;
    if (!BCRYPT_SUCCESS(::BCryptImportKeyPair(rsa.get(), nullptr, BCRYPT_RSAPUBLIC_BLOB, key.put(),
                                              blob.data(), static_cast<ULONG>(blob.size()), 0))) {
        return false;
    }

    Sha256State state;
    if (!OpenSha256(state)) return false;
    if (manifest.size() > std::numeric_limits<ULONG>::max()) return false;
    if (!manifest.empty() &&
        !BCRYPT_SUCCESS(::BCryptHashData(
            state.hash.get(), reinterpret_cast<PUCHAR>(const_cast<char*>(manifest.data())),
            static_cast<ULONG>(manifest.size()), 0))) {
        return false;
    }
    Sha256Digest digest{};
    if (!BCRYPT_SUCCESS(::BCryptFinishHash(state.hash.get(), digest.data(),
                                           static_cast<ULONG>(digest.size()), 0))) {
        return false;
    }

    if (signature.size() > std::numeric_limits<ULONG>::max()) return false;
    BCRYPT_PKCS1_PADDING_INFO padding{BCRYPT_SHA256_ALGORITHM};
    return BCRYPT_SUCCESS(::BCryptVerifySignature(
        key.get(), &padding, digest.data(), static_cast<ULONG>(digest.size()),
        reinterpret_cast<PUCHAR>(const_cast<char*>(signature.data())),
        static_cast<ULONG>(signature.size()), BCRYPT_PAD_PKCS1));
}
