// SPDX-License-Identifier: GPL-3.0-or-later
// Reading a whole text file or document for the main text box.
#pragma once

#include <QString>

namespace files {

// The most UTF-16 units the main text box takes.
inline constexpr qsizetype kMaxTextLength = qsizetype{32} << 20;

// Reads the whole file and decodes it in the encoding the platform's decoder finds for it (invalid
// bytes become U+FFFD). Throws speech::Error with a readable description when the file cannot be
// opened or read, or when its text is longer than `maxLength` units.
QString readTextFile(const QString& path, qsizetype maxLength = kMaxTextLength);

// The text the Open command loads from `path`: a document's extracted text (EPUB, HTML, DOCX, ODT, FB2,
// PDF, found by content), any other file as readTextFile reads it. Throws speech::Error as that
// does, and for a damaged, protected or empty document with the document reader's description.
QString readOpenedFile(const QString& path, qsizetype maxLength = kMaxTextLength);

}  // namespace files
