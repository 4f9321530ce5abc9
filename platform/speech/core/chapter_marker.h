// SPDX-License-Identifier: GPL-3.0-or-later
// Where a book's chapters start in the audio of its render: each chapter at the first word at or past
// its start. The chapters are known before the render (their places in the text spoken), or come as the
// voice's Bookmark events (a document the voice reads from its file names each chapter there). The
// marker is fed the Word and Bookmark events with the frames they fall at, in order; its state can be
// taken at any point and given back to a new marker, so that a render that stops and goes on from
// there marks the same frames as one that never stopped.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "speech/core/book_tags.h"
#include "speech/core/events.h"

namespace speech::core {

// A chapter of the text given to Speak: its title and its first UTF-16 unit.
struct ChapterStart {
    std::string title;
    uint64_t position = 0;
};

// What a marker has found: the marks (frames from the file's start) and, by bookmarks, the chapters
// whose Bookmark came and whose first word did not yet.
struct MarkerState {
    std::vector<ChapterMark> marks;
    std::vector<std::string> waiting;
    bool sawBookmark = false;
    friend bool operator==(const MarkerState&, const MarkerState&) = default;
};

class ChapterMarker {
public:
    // Chapters known before the render; `bookTitle` names the one mark of a text that has none.
    ChapterMarker(std::vector<ChapterStart> chapters, std::string bookTitle);
    // Chapters named by the voice's Bookmark events.
    static ChapterMarker fromBookmarks(std::string bookTitle);

    // A Word or Bookmark event (others are ignored) that falls at `frame`.
    void add(const VoiceEvent& event, uint64_t frame);
    // The marks so far; a text without chapters has one, at 0, titled by the book.
    std::vector<ChapterMark> marks() const;

    const MarkerState& state() const { return state_; }
    // Goes on from a state an earlier marker of the same chapters had.
    void restore(MarkerState state);

private:
    std::vector<ChapterStart> chapters_;
    bool byBookmarks_ = false;
    std::string bookTitle_;
    MarkerState state_;
};

}  // namespace speech::core
