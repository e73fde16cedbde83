// Owning wrapper for WinHTTP sessions, connections and requests.
#pragma once

#include "common/handles.h"

#include <winhttp.h>

namespace handle_close {
inline void Internet(HINTERNET h) noexcept {
    ::WinHttpCloseHandle(h);
}
}  // namespace handle_close

using unique_hinternet = unique_any<HINTERNET, &handle_close::Internet>;
