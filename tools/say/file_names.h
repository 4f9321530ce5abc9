// SPDX-License-Identifier: GPL-3.0-or-later
// File names tallamo-say makes from a document's titles (a file per chapter): readable, safe to
// write anywhere, and showing what they hold.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace say {

// `title` (UTF-8) as a part of a file name: invisible and direction-changing characters (Unicode's
// format characters: bidirectional controls, zero-width spaces and joiners, the byte-order mark,
// soft hyphens) removed, so that a name shows what it is; composed (NFC); control characters, line
// breaks, path separators, what FAT, exFAT and NTFS refuse (the colon, * ? " < > | and the backslash)
// and runs of blanks each one blank; no leading dot nor trailing blank or dot; at most `maxBytes`
// bytes, cut between two characters as a reader sees them. Empty when
// nothing is left.
std::string fileNamePart(std::string_view title, size_t maxBytes = 100);

// NN-title: the number `width` digits wide and the title as fileNamePart makes it, or "chapter" when
// nothing is left of it.
std::string chapterFileName(int32_t number, int width, std::string_view title);

// Whether `name` is longer than `extension` (".epub") and ends with it, in any case of ASCII letters.
bool hasExtension(std::string_view name, std::string_view extension);

}  // namespace say
