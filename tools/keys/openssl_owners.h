// Owning pointers for the OpenSSL objects the release tool creates.
#pragma once

#include <openssl/bio.h>
#include <openssl/evp.h>

#include <memory>

template <auto Free>
struct OpenSslDeleter {
    template <typename T>
    void operator()(T* p) const noexcept {
        Free(p);
    }
};
template <typename T, auto Free>
using OpenSslOwner = std::unique_ptr<T, OpenSslDeleter<Free>>;

using Bio = OpenSslOwner<BIO, BIO_free>;
using Pkey = OpenSslOwner<EVP_PKEY, EVP_PKEY_free>;
using MdCtx = OpenSslOwner<EVP_MD_CTX, EVP_MD_CTX_free>;
