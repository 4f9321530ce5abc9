// SPDX-License-Identifier: GPL-3.0-or-later
// A book as tallamo-say renders it into audio files: what its tags say (its title, author, year and
// cover) and where its chapters start.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "documents/document.h"
#include "speech/core/book_tags.h"
#include "speech/core/events.h"
#include "speech/names.h"
#include "speech/streams.h"

namespace say {

struct Book {
    speech::BookInfo info;                     // the tags' facts; the title is the file's name without one
    std::vector<documents::Chapter> chapters;  // where each starts in the text, in UTF-16 units
    bool document = false;                     // a document (else a text file)
    std::string language;                      // a document's, as it gives it ("en", "zh-CN"); else empty
    std::vector<std::string> warnings;         // a cover that could not be read, for the user
};

// The book in the file `path`: a document's own facts (its cover read as it is stored; one that cannot
// be read is a warning), or a text file's name as its title. With `text`, also the text the voice reads
// (a document's, or the file's decoded) and a document's chapters; without, a document's text is not
// read at all. A document is read with `options`. Throws speech::Error when the file cannot be read.
Book readBook(const std::string& path, std::u16string* text = nullptr, const documents::Options& options = {});
// The same for a document's bytes (read from standard input): its text into `text`; `name` stands for
// it in messages. Throws speech::Error when it cannot be read.
Book readDocumentBytes(std::string bytes, const std::string& name, std::u16string& text,
                       const documents::Options& options = {});

// Has `file` mark the book's chapters as its render speaks them: a document the voice reads from its
// file by the Bookmark events the voice raises at its chapters (`byBookmarks`), any other text by
// where its chapters start. Without chapters the file has one, titled by the book, at 0.
void markChapters(speech::SpFileStream& file, const Book& book, bool byBookmarks);

// The book as it is spoken, for the key of a render that can resume: its text and its chapters' titles
// and starts, as bytes, so that a journal is used only for the same book as read, not for the same
// file bytes read another way (or changed between the reading and the key).
std::string spokenInput(std::u16string_view text, const Book& book);

}  // namespace say
