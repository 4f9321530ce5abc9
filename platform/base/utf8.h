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

inline std::string toUtf8(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    const auto length = static_cast<int32_t>(text.size());
    for (int32_t i = 0; i < length;) {
        UChar32 c;
        U16_NEXT(text.data(), i, length, c);
        if (U_IS_SURROGATE(c)) c = 0xFFFD;
        char buffer[U8_MAX_LENGTH];
        int32_t n = 0;
        U8_APPEND_UNSAFE(buffer, n, c);
        out.append(buffer, static_cast<size_t>(n));
    }
    return out;
}

inline std::u16string fromUtf8(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
    const auto length = static_cast<int32_t>(text.size());
    for (int32_t i = 0; i < length;) {
        UChar32 c;
        U8_NEXT(bytes, i, length, c);
        if (c < 0) c = 0xFFFD;
        UChar buffer[U16_MAX_LENGTH];
        int32_t n = 0;
        U16_APPEND_UNSAFE(buffer, n, c);
        out.append(reinterpret_cast<const char16_t*>(buffer), static_cast<size_t>(n));
    }
    return out;
}

inline std::u32string toUtf32(std::string_view text) {
    std::u32string out;
    out.reserve(text.size());
    const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
    const auto length = static_cast<int32_t>(text.size());
    for (int32_t i = 0; i < length;) {
        UChar32 c;
        U8_NEXT(bytes, i, length, c);
        out += c < 0 ? U'\uFFFD' : static_cast<char32_t>(c);
    }
    return out;
}

}  // namespace base
