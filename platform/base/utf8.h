// SPDX-License-Identifier: GPL-3.0-or-later
// UTF-16 to UTF-8 and back, and UTF-8 to UTF-32, through ICU's code point macros. An unpaired surrogate or an invalid
// UTF-8 sequence becomes U+FFFD.
#pragma once

#include <unicode/utf16.h>
#include <unicode/utf8.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace base {

namespace detail {

// Calls `f` with each code point of `text`, U+FFFD for an invalid UTF-8 sequence.
template <class F>
void eachCodePoint(std::string_view text, F f) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
    const auto length = static_cast<int32_t>(text.size());
    for (int32_t i = 0; i < length;) {
        UChar32 c;
        U8_NEXT(bytes, i, length, c);
        f(c < 0 ? 0xFFFD : c);
    }
}

// Calls `f` with each code point of `text`, U+FFFD for an unpaired surrogate.
template <class F>
void eachCodePoint(std::u16string_view text, F f) {
    const auto length = static_cast<int32_t>(text.size());
    for (int32_t i = 0; i < length;) {
        UChar32 c;
        U16_NEXT(text.data(), i, length, c);
        f(U_IS_SURROGATE(c) ? 0xFFFD : c);
    }
}

}  // namespace detail

inline std::string toUtf8(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    detail::eachCodePoint(text, [&](UChar32 c) {
        char buffer[U8_MAX_LENGTH];
        int32_t n = 0;
        U8_APPEND_UNSAFE(buffer, n, c);
        out.append(buffer, static_cast<size_t>(n));
    });
    return out;
}

inline std::u16string fromUtf8(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    detail::eachCodePoint(text, [&](UChar32 c) {
        UChar buffer[U16_MAX_LENGTH];
        int32_t n = 0;
        U16_APPEND_UNSAFE(buffer, n, c);
        out.append(reinterpret_cast<const char16_t*>(buffer), static_cast<size_t>(n));
    });
    return out;
}

inline std::u32string toUtf32(std::string_view text) {
    std::u32string out;
    out.reserve(text.size());
    detail::eachCodePoint(text, [&](UChar32 c) { out += static_cast<char32_t>(c); });
    return out;
}

}  // namespace base
