// SPDX-License-Identifier: GPL-3.0-or-later
// A book as tallamo-say renders it into audio files: what its tags say (its title, author, year and
// cover), where its chapters start, and, for a render that can resume, its text cut into units.
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

// The chapter marks of one render from its Word events: each chapter starts at the first word at or
// after its position in the text spoken. Without chapters there is one, titled by the book, at 0.
class ChapterMarker {
public:
    // `chapters` positions count in the text given to Speak, less `offset`; `bytesPerFrame` is the
    // stream's.
    ChapterMarker(std::vector<documents::Chapter> chapters, int bytesPerFrame, std::string title, uint64_t offset = 0);
    // The marks of a document the voice reads from its file: each chapter is a Bookmark event the voice
    // raises where the chapter starts, and starts at the first word after it.
    static ChapterMarker fromBookmarks(int bytesPerFrame, std::string title);
    void add(const speech::VoiceEvent& event);
    // The marks found so far, in frames from the start of the render.
    std::vector<speech::ChapterMark> marks() const;
    // The first chapter's start, when a word reached it.
    std::optional<uint64_t> firstStart() const;

private:
    std::vector<documents::Chapter> chapters_;
    bool byBookmarks_ = false;
    std::vector<std::string> waiting_;  // chapters whose Bookmark came and whose first word has not
    bool sawBookmark_ = false;
    uint64_t bytesPerFrame_;
    std::string title_;
    uint64_t offset_;
    size_t next_ = 0;
    std::vector<speech::ChapterMark> marks_;
};

// A unit of a render that can resume: text[begin, end), and the chapter it starts, if it starts one.
struct Unit {
    size_t begin = 0;
    size_t end = 0;
    std::optional<size_t> chapter;  // an index into the book's chapters
    friend bool operator==(const Unit&, const Unit&) = default;
};

// The text cut into units by the text alone, so that a render that resumes cuts it as the first did: at
// each chapter's start, and within a chapter at the first paragraph's end (a line break) after each
// `size` units of text.
std::vector<Unit> cutUnits(std::u16string_view text, const std::vector<documents::Chapter>& chapters, size_t size);

// The book as it is spoken, for the key of a render that can resume: its text and its chapters' titles
// and starts, as bytes, so that a journal is used only for the same book as read, not for the same
// file bytes read another way (or changed between the reading and the key).
std::string spokenInput(std::u16string_view text, const Book& book);

}  // namespace say
