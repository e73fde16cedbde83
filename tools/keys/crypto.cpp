#include "tools/keys/keys.h"

#include "tools/keys/openssl_owners.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/param_build.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <memory>

namespace {

using Bignum = OpenSslOwner<BIGNUM, BN_free>;
using PkeyCtx = OpenSslOwner<EVP_PKEY_CTX, EVP_PKEY_CTX_free>;
using ParamBuild = OpenSslOwner<OSSL_PARAM_BLD, OSSL_PARAM_BLD_free>;
using Params = OpenSslOwner<OSSL_PARAM, OSSL_PARAM_free>;

std::string OpenSslError() {
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0) return "unknown OpenSSL error";
    char text[256];
    ERR_error_string_n(code, text, sizeof(text));
    return text;
}

// An encrypted key would make OpenSSL prompt on the terminal; refuse it instead.
int NoPassword(char*, int, int, void*) {
    return -1;
}

std::string Base64Encode(const unsigned char* data, size_t size) {
    std::string text(4 * ((size + 2) / 3), '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), data,
                                  static_cast<int>(size));
    text.resize(static_cast<size_t>(n));
    return text;
}

int Base64Value(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

// The launcher's key text: 344 characters of standard Base64 for exactly 256 bytes.
bool DecodeModulus(const std::string& text, std::vector<unsigned char>& modulus,
                   std::string& error) {
    if (text.size() != 344 || text.compare(342, 2, "==") != 0) {
        error = "the modulus must be 344 Base64 characters ending in ==";
        return false;
    }
    modulus.clear();
    uint32_t bits = 0;
    int held = 0;
    for (size_t i = 0; i < 342; ++i) {
        const int v = Base64Value(text[i]);
        if (v < 0) {
            error = "the modulus holds a character outside the Base64 alphabet";
            return false;
        }
        bits = (bits << 6) | static_cast<uint32_t>(v);
        held += 6;
        if (held >= 8) {
            held -= 8;
            modulus.push_back(static_cast<unsigned char>(bits >> held));
            bits &= (1u << held) - 1;
        }
    }
    if (modulus.size() != ModulusBytes || bits != 0 || (modulus[0] & 0x80) == 0) {
        error = "the modulus is not that of a 2048-bit key";
        return false;
    }
    return true;
}

bool LoadKey(const std::string& path, bool needPrivate, Pkey& key, std::string& error) {
    Bio bio(BIO_new_file(path.c_str(), "r"));
    if (!bio) {
        error = path + ": cannot open: " + std::strerror(errno);
        return false;
    }
    key.reset(PEM_read_bio_PrivateKey(bio.get(), nullptr, NoPassword, nullptr));
    if (!key && !needPrivate) {
        ERR_clear_error();
        BIO_reset(bio.get());
        key.reset(PEM_read_bio_PUBKEY(bio.get(), nullptr, NoPassword, nullptr));
    }
    if (!key) {
        error = path + ": not an unencrypted PEM " +
                std::string(needPrivate ? "private key" : "private or public key") + " (" +
                OpenSslError() + ")";
        return false;
    }
    BIGNUM* e = nullptr;
    const bool rsa = EVP_PKEY_get_base_id(key.get()) == EVP_PKEY_RSA;
    if (rsa) EVP_PKEY_get_bn_param(key.get(), OSSL_PKEY_PARAM_RSA_E, &e);
    Bignum exponent(e);
    if (!rsa || EVP_PKEY_get_bits(key.get()) != 2048 || !exponent ||
        !BN_is_word(exponent.get(), RSA_F4)) {
        error = path + ": the launcher needs an RSA-2048 key with exponent 65537";
        return false;
    }
    return true;
}

bool ModulusOf(EVP_PKEY* key, std::string& modulusBase64, std::string& error) {
    BIGNUM* n = nullptr;
    if (!EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_RSA_N, &n)) {
        error = "cannot read the key's modulus: " + OpenSslError();
        return false;
    }
    Bignum modulus(n);
    unsigned char bytes[ModulusBytes];
    if (BN_bn2binpad(modulus.get(), bytes, sizeof(bytes)) != static_cast<int>(sizeof(bytes))) {
        error = "the key's modulus is not 2048 bits";
        return false;
    }
    modulusBase64 = Base64Encode(bytes, sizeof(bytes));
    return true;
}

bool WriteNewPrivateFile(const std::string& path, const char* data, size_t size,
                         std::string& error) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        error = path + (errno == EEXIST ? ": already exists; refusing to overwrite a key"
                                        : ": cannot create: " + std::string(std::strerror(errno)));
        return false;
    }
    const int failure = WriteSyncClose(fd, 0600, std::string_view(data, size));
    if (failure != 0) {
        ::unlink(path.c_str());
        error = path + ": cannot write: " + std::strerror(failure);
    }
    return failure == 0;
}

}  // namespace

int WriteSyncClose(int fd, unsigned mode, std::string_view bytes) {
    int failure = ::fchmod(fd, static_cast<mode_t>(mode)) == 0 ? 0 : errno;
    for (size_t done = 0; failure == 0 && done < bytes.size();) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) failure = n < 0 ? errno : EIO;
        if (n > 0) done += static_cast<size_t>(n);
    }
    if (failure == 0 && ::fsync(fd) != 0) failure = errno;
    if (::close(fd) != 0 && failure == 0) failure = errno;
    return failure;
}

bool GenerateKey(const std::string& path, std::string& modulusBase64, std::string& error) {
    if (::access(path.c_str(), F_OK) == 0) {
        error = path + ": already exists; refusing to overwrite a key";
        return false;
    }
    Pkey key(EVP_RSA_gen(2048));  // public exponent 65537
    if (!key) {
        error = "key generation failed: " + OpenSslError();
        return false;
    }
    // Secure memory: the private key text is wiped when the BIO is freed.
    Bio pem(BIO_new(BIO_s_secmem()));
    if (!pem ||
        !PEM_write_bio_PrivateKey(pem.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr)) {
        error = "cannot encode the key: " + OpenSslError();
        return false;
    }
    char* data = nullptr;
    const long size = BIO_get_mem_data(pem.get(), &data);
    if (size <= 0 || !WriteNewPrivateFile(path, data, static_cast<size_t>(size), error)) {
        if (error.empty()) error = "cannot encode the key";
        return false;
    }
    return ModulusOf(key.get(), modulusBase64, error);
}

bool ReadKeyModulus(const std::string& path, std::string& modulusBase64, std::string& error) {
    Pkey key;
    return LoadKey(path, false, key, error) && ModulusOf(key.get(), modulusBase64, error);
}

bool SignWithKey(const std::string& keyPath, std::string_view message, std::string& signature,
                 std::string& modulusBase64, std::string& error) {
    Pkey key;
    if (!LoadKey(keyPath, true, key, error) || !ModulusOf(key.get(), modulusBase64, error)) {
        return false;
    }
    MdCtx ctx(EVP_MD_CTX_new());
    EVP_PKEY_CTX* pctx = nullptr;
    size_t length = 0;
    if (!ctx || EVP_DigestSignInit(ctx.get(), &pctx, EVP_sha256(), nullptr, key.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(pctx, RSA_PKCS1_PADDING) != 1 ||
        EVP_DigestSign(ctx.get(), nullptr, &length,
                       reinterpret_cast<const unsigned char*>(message.data()),
                       message.size()) != 1) {
        error = "signing failed: " + OpenSslError();
        return false;
    }
    signature.assign(length, '\0');
    if (EVP_DigestSign(ctx.get(), reinterpret_cast<unsigned char*>(signature.data()), &length,
                       reinterpret_cast<const unsigned char*>(message.data()),
                       message.size()) != 1) {
        error = "signing failed: " + OpenSslError();
        return false;
    }
    signature.resize(length);
    return true;
}

bool CheckModulusText(const std::string& modulusBase64, std::string& error) {
    std::vector<unsigned char> modulus;
    return DecodeModulus(modulusBase64, modulus, error);
}

bool VerifyWithModulus(const std::string& modulusBase64, std::string_view message,
                       std::string_view signature, std::string& error) {
    std::vector<unsigned char> modulus;
    if (!DecodeModulus(modulusBase64, modulus, error)) return false;
    if (signature.size() != ModulusBytes) {
        error = "the signature is " + std::to_string(signature.size()) +
                " bytes; the launcher accepts only the raw 256-byte signature";
        return false;
    }
    Bignum n(BN_bin2bn(modulus.data(), static_cast<int>(modulus.size()), nullptr));
    Bignum e(BN_new());
    ParamBuild build(OSSL_PARAM_BLD_new());
    if (!n || !e || !build || !BN_set_word(e.get(), RSA_F4) ||
        !OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_RSA_N, n.get()) ||
        !OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_RSA_E, e.get())) {
        error = "cannot build the public key: " + OpenSslError();
        return false;
    }
    Params params(OSSL_PARAM_BLD_to_param(build.get()));
    PkeyCtx fromData(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
    EVP_PKEY* raw = nullptr;
    if (!params || !fromData || EVP_PKEY_fromdata_init(fromData.get()) != 1 ||
        EVP_PKEY_fromdata(fromData.get(), &raw, EVP_PKEY_PUBLIC_KEY, params.get()) != 1) {
        error = "cannot build the public key: " + OpenSslError();
        return false;
    }
    Pkey key(raw);
    MdCtx ctx(EVP_MD_CTX_new());
    EVP_PKEY_CTX* pctx = nullptr;
    if (!ctx || EVP_DigestVerifyInit(ctx.get(), &pctx, EVP_sha256(), nullptr, key.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(pctx, RSA_PKCS1_PADDING) != 1) {
        error = "cannot set up the signature check: " + OpenSslError();
        return false;
    }
    const int verdict = EVP_DigestVerify(
        ctx.get(), reinterpret_cast<const unsigned char*>(signature.data()), signature.size(),
        reinterpret_cast<const unsigned char*>(message.data()), message.size());
    ERR_clear_error();
    if (verdict != 1) {
        error = "the signature does not match the manifest under this key";
        return false;
    }
    return true;
}

bool HashFile(const std::string& path, Sha256Digest& digest, uint64_t& size, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = path + ": cannot open: " + std::strerror(errno);
        return false;
    }
    MdCtx ctx(EVP_MD_CTX_new());
    if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1) {
        error = "SHA-256 unavailable: " + OpenSslError();
        return false;
    }
    std::vector<char> buffer(65536);
    size = 0;
    while (in) {
        in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        const auto n = static_cast<size_t>(in.gcount());
        if (n == 0) break;
        EVP_DigestUpdate(ctx.get(), buffer.data(), n);
        size += n;
    }
    if (in.bad()) {
        error = path + ": read error";
        return false;
    }
    unsigned int length = 0;
    EVP_DigestFinal_ex(ctx.get(), digest.data(), &length);
    return true;
}

Sha256Digest HashBytes(std::string_view bytes) {
    Sha256Digest digest{};
    unsigned int length = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest.data(), &length, EVP_sha256(), nullptr);
    return digest;
}

std::string HmacSha256(std::string_view key, std::string_view message) {
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()),
         reinterpret_cast<const unsigned char*>(message.data()), message.size(), out, &length);
    return std::string(reinterpret_cast<const char*>(out), length);
}
