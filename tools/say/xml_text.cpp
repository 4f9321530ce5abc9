// SPDX-License-Identifier: GPL-3.0-or-later
#include "tools/say/xml_text.h"

#include <cstdio>

#include "base/utf8.h"

namespace say {

namespace {

// Hand-written: libxml2's xmlEncodeSpecialChars escapes the same characters but passes on those XML
// cannot hold (a PDF's text brings form feeds), which would make the document unreadable.
template <class Text>
std::string escaped(Text text) {
    std::string out;
    out.reserve(text.size() + text.size() / 8);
    base::detail::eachCodePoint(text, [&](UChar32 c) {
        switch (c) {
            case '&':
                out += "&amp;";
                return;
            case '<':
                out += "&lt;";
                return;
            case '>':
                out += "&gt;";
                return;
            case '"':
                out += "&quot;";
                return;
            default:
                break;
        }
        if ((c < 0x20 && c != '\t' && c != '\n' && c != '\r') || c == 0xFFFE || c == 0xFFFF) return;
        char buffer[U8_MAX_LENGTH];
        int32_t n = 0;
        U8_APPEND_UNSAFE(buffer, n, c);
        out.append(buffer, static_cast<size_t>(n));
    });
    return out;
}

}  // namespace

std::string xmlText(std::u16string_view text) {
    return escaped(text);
}

std::string xmlText(std::string_view utf8) {
    return escaped(utf8);
}

std::string xmlAttribute(std::string_view name, std::string_view value) {
    return " " + std::string(name) + "=\"" + xmlText(value) + "\"";
}

std::string numbered(const char* format, size_t n) {
    char buffer[48];
    std::snprintf(buffer, sizeof buffer, format, n);
    return buffer;
}

}  // namespace say
