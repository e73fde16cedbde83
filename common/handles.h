// The one owning wrapper for handles of any kind, and the kernel and GDI kinds every part uses.
// The kinds of other APIs live beside the code that calls them.
#pragma once

#include <windows.h>

#include <utility>

template <typename T>
constexpr T NullHandleValue() noexcept {
    return T{};
}

inline HANDLE InvalidFileHandleValue() noexcept {
    return INVALID_HANDLE_VALUE;
}

// Owns one handle: closed exactly once, never copied.
template <typename T, auto Close, auto Invalid = &NullHandleValue<T>>
class unique_any {
public:
    unique_any() noexcept : value_(Invalid()) {}
    explicit unique_any(T value) noexcept : value_(value) {}
    ~unique_any() { reset(); }

    unique_any(const unique_any&) = delete;
    unique_any& operator=(const unique_any&) = delete;
    unique_any(unique_any&& other) noexcept : value_(other.release()) {}
    unique_any& operator=(unique_any&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }

    T get() const noexcept { return value_; }
    bool valid() const noexcept { return value_ != Invalid(); }
    explicit operator bool() const noexcept { return valid(); }

    T release() noexcept { return std::exchange(value_, Invalid()); }
    void reset(T value = Invalid()) noexcept {
        T old = std::exchange(value_, value);
        if (old != Invalid()) Close(old);
    }
    // For out-parameters of acquiring calls; releases what was held first.
    T* put() noexcept {
        reset();
        return &value_;
    }

private:
    T value_;
};

namespace handle_close {
inline void Kernel(HANDLE h) noexcept {
    ::CloseHandle(h);
}
template <typename T>
inline void Gdi(T h) noexcept {
    ::DeleteObject(h);
}
inline void Local(HLOCAL h) noexcept {
    ::LocalFree(h);
}
}  // namespace handle_close

using unique_file = unique_any<HANDLE, &handle_close::Kernel, &InvalidFileHandleValue>;
using unique_handle = unique_any<HANDLE, &handle_close::Kernel>;  // mutex, thread
using unique_process = unique_any<HANDLE, &handle_close::Kernel>;
template <typename T>
using unique_gdi = unique_any<T, &handle_close::Gdi<T>>;
using unique_hfont = unique_gdi<HFONT>;
using unique_hbrush = unique_gdi<HBRUSH>;
using unique_local = unique_any<HLOCAL, &handle_close::Local>;
