// SPDX-License-Identifier: GPL-3.0-or-later
// Internal to the document readers: the text of a document as it is read, with white space collapsed
// the way a page shows it, block ends as paragraph breaks, and chapter starts at their positions. A
// chapter whose title is its heading's text holds the text back until the heading has ended, so a
// chapter is always handed over with (or before) the text it starts.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "documents/document.h"

namespace documents::detail {

class TextBuilder {
public:
    // Text as a page shows it: runs of white space become one blank.
    void text(std::string_view utf8);
    void text(std::u16string_view utf16);
    // Text whose white space and line breaks are kept (preformatted).
    void verbatim(std::string_view utf8);
    void space();      // a word separator (a tab, a table cell)
    void lineBreak();  // a line break within a paragraph
    void paragraph();  // the end of a block

    // Starts a chapter (at `level` of the outline) at the next text. Without a title, the title is the
    // text that follows until endTitle() (a heading), or `fallback` given there when that text is empty.
    void startChapter(std::optional<std::string> title, int32_t level = 1);
    void endTitle(std::string_view fallback = {});
    bool titlePending() const { return titleStart_.has_value(); }
    // Restarts chapter numbering and positions (reading again from the start).
    void reset();

    // Whether any visible character was written so far.
    bool hasText() const { return hasText_; }
    // Moves what is ready into `out` and `chapters`: everything but a heading still being read.
    void take(std::u16string& out, std::vector<Chapter>& chapters);
    // Units written but not yet taken.
    size_t pending() const { return buffer_.size(); }
    // Appends the text of `other` as paragraphs of its own (notes gathered apart from the body).
    void appendParagraphs(const std::u16string& other);

    // Where the text comes from, for a reader that knows (only once tracking is on): the next text()
    // is the character data of part `part` from `offset` (UTF-16 units) on; sourceAt(nullopt) makes
    // the text that follows come from nowhere in the markup (an image's alt text).
    void trackSources() { tracking_ = true; }
    bool tracking() const { return tracking_; }
    void sourceAt(std::optional<std::pair<uint32_t, uint64_t>> place) { source_ = place; }
    // Moves the runs of the text taken so far into `runs`.
    void takeRuns(std::vector<SourceRun>& runs);

private:
    friend std::string plainTitle(std::string_view utf8);
    enum class Gap { None, Space, Line, Paragraph };
    void put(char32_t cp);
    void putBlank(Gap gap);
    void flushGap();
    uint64_t size() const { return base_ + buffer_.size(); }

    std::u16string buffer_;  // written, not yet taken; buffer_[0] is unit base_ of the text
    uint64_t base_ = 0;
    Gap gap_ = Gap::None;  // white space seen but written only before the next visible character
    int newlines_ = 0;     // line breaks written since the last visible character
    bool hasText_ = false;
    std::vector<Chapter> chapters_;
    std::optional<uint64_t> titleStart_;  // a chapter whose title is being read, from this unit
    int32_t nextNumber_ = 1;
    bool tracking_ = false;
    std::optional<std::pair<uint32_t, uint64_t>> source_;  // the part and offset of the next character
    std::vector<SourceRun> runs_;                          // of the text written, in order
};

// `utf8` as a title: white space collapsed, trimmed, at most a couple of hundred bytes.
std::string plainTitle(std::string_view utf8);

}  // namespace documents::detail
