// SPDX-License-Identifier: GPL-3.0-or-later
#include "speech/core/chapter_marker.h"

#include <utility>

namespace speech::core {

ChapterMarker::ChapterMarker(std::vector<ChapterStart> chapters, std::string bookTitle)
    : chapters_(std::move(chapters)), bookTitle_(std::move(bookTitle)) {}

ChapterMarker ChapterMarker::fromBookmarks(std::string bookTitle) {
    ChapterMarker marker({}, std::move(bookTitle));
    marker.byBookmarks_ = true;
    return marker;
}

void ChapterMarker::add(const VoiceEvent& event, uint64_t frame) {
    if (byBookmarks_) {
        if (event.kind == EventKind::Bookmark) {
            state_.waiting.push_back(event.bookmark);
            state_.sawBookmark = true;
        } else if (event.kind == EventKind::Word) {
            for (auto& title : state_.waiting) state_.marks.push_back({std::move(title), frame});
            state_.waiting.clear();
        }
        return;
    }
    if (event.kind != EventKind::Word || event.characterPosition < 0) return;
    const auto at = static_cast<uint64_t>(event.characterPosition);
    // Every chapter this word is at or past starts here: a chapter without words gives way (in the
    // file's marks) to the one that has them. Each chapter makes one mark, so the marks count the
    // chapters passed.
    for (size_t next = state_.marks.size(); next < chapters_.size() && chapters_[next].position <= at; ++next)
        state_.marks.push_back({chapters_[next].title, frame});
}

std::vector<ChapterMark> ChapterMarker::marks() const {
    if (byBookmarks_ ? !state_.sawBookmark : chapters_.empty()) return {{bookTitle_, 0}};
    return state_.marks;
}

void ChapterMarker::restore(MarkerState state) {
    state_ = std::move(state);
}

}  // namespace speech::core
