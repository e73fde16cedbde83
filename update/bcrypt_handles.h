// Owning wrappers for CNG algorithm providers, hashes and keys.
#pragma once

#include "common/handles.h"

#include <bcrypt.h>

namespace handle_close {
inline void AlgorithmProvider(BCRYPT_ALG_HANDLE h) noexcept {
    ::BCryptCloseAlgorithmProvider(h, 0);
}
inline void Hash(BCRYPT_HASH_HANDLE h) noexcept {
    ::BCryptDestroyHash(h);
}
inline void Key(BCRYPT_KEY_HANDLE h) noexcept {
    ::BCryptDestroyKey(h);
}
}  // namespace handle_close

using unique_bcrypt_alg = unique_any<BCRYPT_ALG_HANDLE, &handle_close::AlgorithmProvider>;
using unique_bcrypt_hash = unique_any<BCRYPT_HASH_HANDLE, &handle_close::Hash>;
using unique_bcrypt_key = unique_any<BCRYPT_KEY_HANDLE, &handle_close::Key>;
