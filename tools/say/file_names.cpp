// SPDX-License-Identifier: GPL-3.0-or-later
#include "tools/say/file_names.h"

#include <unicode/brkiter.h>
#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string_view>

namespace say {

namespace {

// Blanks, separators, controls, and what the file systems of phones and players refuse (FAT, exFAT,
// NTFS: the colon, * ? " < > | and the backslash), each of which becomes one blank.
bool isBlank(UChar32 c) {
    const int8_t type = u_charType(c);
    return c == ' ' ||
           std::u32string_view(U"/\\:*?\"<>|").find(static_cast<char32_t>(c)) != std::u32string_view::npos ||
           type == U_CONTROL_CHAR || type == U_LINE_SEPARATOR || type == U_PARAGRAPH_SEPARATOR;
}

// The title without format characters, composed. The characters are removed before the text is
// composed, so that a mark kept from its letter by a joiner composes with it.
icu::UnicodeString visible(std::string_view title) {
    const icu::UnicodeString decoded =
        icu::UnicodeString::fromUTF8(icu::StringPiece(title.data(), static_cast<int32_t>(title.size())));
    icu::UnicodeString kept;
    for (int32_t i = 0; i < decoded.length(); i = decoded.moveIndex32(i, 1)) {
        const UChar32 c = decoded.char32At(i);
        if (u_charType(c) != U_FORMAT_CHAR) kept.append(c);
    }
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* nfc = icu::Normalizer2::getNFCInstance(status);
    if (U_FAILURE(status)) return kept;
    icu::UnicodeString composed = nfc->normalize(kept, status);
    return U_SUCCESS(status) ? composed : kept;
}

// The longest start of `text` of at most `maxBytes` UTF-8 bytes that ends between two graphemes.
icu::UnicodeString cutToBytes(const icu::UnicodeString& text, size_t maxBytes) {
    std::string utf8;
    text.toUTF8String(utf8);
    if (utf8.size() <= maxBytes) return text;
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::BreakIterator> graphemes(
        icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    if (U_FAILURE(status)) return {};
    graphemes->setText(text);
    int32_t cut = 0;
    size_t bytes = 0;
    for (int32_t from = graphemes->first(), to = graphemes->next(); to != icu::BreakIterator::DONE;
         from = to, to = graphemes->next()) {
        std::string piece;
        text.tempSubStringBetween(from, to).toUTF8String(piece);
        if (bytes + piece.size() > maxBytes) break;
        bytes += piece.size();
        cut = to;
    }
    return icu::UnicodeString(text, 0, cut);
}

}  // namespace

std::string fileNamePart(std::string_view title, size_t maxBytes) {
    const icu::UnicodeString text = visible(title);
    icu::UnicodeString name;
    for (int32_t i = 0; i < text.length(); i = text.moveIndex32(i, 1)) {
        const UChar32 c = text.char32At(i);
        if (isBlank(c)) {
            if (!name.isEmpty() && name.char32At(name.length() - 1) != ' ') name.append(UChar32{' '});
            continue;
        }
        if (c == '.' && name.isEmpty()) continue;
        name.append(c);
    }
    name = cutToBytes(name, maxBytes);
    while (!name.isEmpty() && (name.endsWith(u" ") || name.endsWith(u"."))) name.truncate(name.length() - 1);
    std::string out;
    name.toUTF8String(out);
    return out;
}

std::string chapterFileName(int32_t number, int width, std::string_view title) {
    std::string name = fileNamePart(title);
    if (name.empty()) name = "chapter";
    char digits[16];
    std::snprintf(digits, sizeof digits, "%0*d", width, static_cast<int>(number));
    return std::string(digits) + "-" + name;
}

bool hasExtension(std::string_view name, std::string_view extension) {
    if (name.size() <= extension.size()) return false;
    const std::string_view tail = name.substr(name.size() - extension.size());
    return std::equal(tail.begin(), tail.end(), extension.begin(), extension.end(), [](char a, char b) {
        const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
        return lower(a) == lower(b);
    });
}

}  // namespace say
