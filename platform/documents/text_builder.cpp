// SPDX-License-Identifier: GPL-3.0-or-later
#include "documents/text_builder.h"

#include <unicode/utf16.h>
#include <unicode/utf8.h>

#include <algorithm>

#include "base/utf8.h"

namespace documents::detail {
namespace {

// A heading longer than this is not waited for: its start becomes the title.
constexpr uint64_t kMaxHeldTitle = 1000;
constexpr size_t kMaxTitleBytes = 200;

bool isBlank(char32_t cp) {
    return cp == U' ' || cp == U'\t' || cp == U'\n' || cp == U'\r' || cp == U'\f' || cp == 0xA0 ||
           (cp >= 0x2000 && cp <= 0x200A) || cp == 0x3000;
}

// Soft hyphens and zero-width no-break spaces are layout hints, not text to read.
bool isInvisible(char32_t cp) {
    return cp == 0xAD || cp == 0xFEFF;
}

// `text` with line breaks and runs of blanks made single spaces, trimmed, cut to a file-name-friendly
// length at a character boundary.
std::string titleOf(std::u16string_view text) {
    std::u16string flat;
    for (char16_t c : text) {
        const bool blank = c == u' ' || c == u'\n';
        if (blank && (flat.empty() || flat.back() == u' ')) continue;
        flat.push_back(blank ? u' ' : c);
    }
    while (!flat.empty() && flat.back() == u' ') flat.pop_back();
    std::string title = base::toUtf8(flat);
    if (title.size() > kMaxTitleBytes) {
        size_t cut = kMaxTitleBytes;
        while (cut > 0 && U8_IS_TRAIL(static_cast<uint8_t>(title[cut]))) --cut;
        title.resize(cut);
    }
    return title;
}

}  // namespace

void TextBuilder::put(char32_t cp) {
    const auto source = source_;
    if (source_) source_->second += cp > 0xFFFF ? 2 : 1;
    if (isBlank(cp)) {
        gap_ = std::max(gap_, Gap::Space);
        return;
    }
    if (isInvisible(cp)) return;
    flushGap();
    newlines_ = 0;
    if (tracking_ && source) {
        const uint64_t at = size();
        const uint64_t units = cp > 0xFFFF ? 2 : 1;
        SourceRun* last = runs_.empty() ? nullptr : &runs_.back();
        if (last && last->part == source->first && last->position + last->length == at &&
            last->offset + last->length == source->second) {
            last->length += units;
        } else {
            runs_.push_back(SourceRun{at, units, source->first, source->second});
        }
    }
    if (cp <= 0xFFFF) {
        buffer_.push_back(static_cast<char16_t>(cp));
    } else {
        buffer_.push_back(static_cast<char16_t>(U16_LEAD(cp)));
        buffer_.push_back(static_cast<char16_t>(U16_TRAIL(cp)));
    }
    hasText_ = true;
    if (titleStart_ && size() - *titleStart_ > kMaxHeldTitle) endTitle();
}

// Writes the white space seen before the next visible character: a blank, or one or two line breaks,
// counting those already written (a block that ends where another starts gives one paragraph break).
void TextBuilder::flushGap() {
    const Gap gap = gap_;
    gap_ = Gap::None;
    if (!hasText_ || gap == Gap::None) return;
    if (gap == Gap::Space) {
        if (newlines_ == 0) buffer_.push_back(u' ');
        return;
    }
    for (const int want = gap == Gap::Paragraph ? 2 : 1; newlines_ < want; ++newlines_) buffer_.push_back(u'\n');
}

void TextBuilder::text(std::string_view utf8) {
    const auto* s = reinterpret_cast<const uint8_t*>(utf8.data());
    const auto n = static_cast<int32_t>(utf8.size());
    for (int32_t i = 0; i < n;) {
        if (s[i] < 0x80) {
            put(s[i++]);
            continue;
        }
        UChar32 c;
        U8_NEXT(s, i, n, c);
        put(c < 0 ? 0xFFFD : static_cast<char32_t>(c));
    }
}

void TextBuilder::text(std::u16string_view utf16) {
    const auto n = static_cast<int32_t>(utf16.size());
    for (int32_t i = 0; i < n;) {
        UChar32 c;
        U16_NEXT(utf16.data(), i, n, c);
        put(U_IS_SURROGATE(c) ? 0xFFFD : static_cast<char32_t>(c));
    }
}

void TextBuilder::verbatim(std::string_view utf8) {
    size_t from = 0;
    for (size_t nl = utf8.find('\n'); nl != std::string_view::npos; nl = utf8.find('\n', from)) {
        text(utf8.substr(from, nl - from));
        if (source_) ++source_->second;
        gap_ = gap_ == Gap::Line ? Gap::Paragraph : std::max(gap_, Gap::Line);
        from = nl + 1;
    }
    text(utf8.substr(from));
}

void TextBuilder::space() {
    gap_ = std::max(gap_, Gap::Space);
}
void TextBuilder::lineBreak() {
    gap_ = std::max(gap_, Gap::Line);
}
void TextBuilder::paragraph() {
    gap_ = Gap::Paragraph;
}

void TextBuilder::startChapter(std::optional<std::string> title, int32_t level) {
    if (titleStart_) endTitle();
    flushGap();
    chapters_.push_back(Chapter{nextNumber_++, title.value_or(std::string()), size(), level});
    if (!title) titleStart_ = size();
}

void TextBuilder::endTitle(std::string_view fallback) {
    if (!titleStart_) return;
    std::string title = titleOf(std::u16string_view(buffer_).substr(*titleStart_ - base_));
    chapters_.back().title = title.empty() ? std::string(fallback) : std::move(title);
    titleStart_.reset();
}

void TextBuilder::reset() {
    const bool tracking = tracking_;
    *this = TextBuilder();
    tracking_ = tracking;
}

void TextBuilder::takeRuns(std::vector<SourceRun>& runs) {
    // The runs of the text handed out: those that start before base_ (one may go on past it, as a
    // heading held back is handed out later; it is split there).
    size_t n = 0;
    while (n < runs_.size() && runs_[n].position < base_) ++n;
    if (n == 0) return;
    SourceRun& last = runs_[n - 1];
    if (last.position + last.length > base_) {
        const uint64_t kept = base_ - last.position;
        runs_.insert(runs_.begin() + static_cast<std::ptrdiff_t>(n),
                     SourceRun{base_, last.length - kept, last.part, last.offset + kept});
        runs_[n - 1].length = kept;
    }
    runs.insert(runs.end(), runs_.begin(), runs_.begin() + static_cast<std::ptrdiff_t>(n));
    runs_.erase(runs_.begin(), runs_.begin() + static_cast<std::ptrdiff_t>(n));
}

void TextBuilder::take(std::u16string& out, std::vector<Chapter>& chapters) {
    const uint64_t limit = titleStart_.value_or(size());
    const size_t ready = chapters_.size() - (titleStart_ ? 1 : 0);
    chapters.insert(chapters.end(), chapters_.begin(), chapters_.begin() + static_cast<std::ptrdiff_t>(ready));
    chapters_.erase(chapters_.begin(), chapters_.begin() + static_cast<std::ptrdiff_t>(ready));
    const auto n = static_cast<size_t>(limit - base_);
    out.append(buffer_, 0, n);
    buffer_.erase(0, n);
    base_ = limit;
}

std::string plainTitle(std::string_view utf8) {
    TextBuilder builder;
    builder.text(utf8);
    return titleOf(builder.buffer_);
}

void TextBuilder::appendParagraphs(const std::u16string& other) {
    paragraph();
    size_t from = 0;
    for (size_t nl = other.find(u'\n'); nl != std::u16string::npos; nl = other.find(u'\n', from)) {
        text(std::u16string_view(other).substr(from, nl - from));
        paragraph();
        from = nl + 1;
    }
    text(std::u16string_view(other).substr(from));
}

}  // namespace documents::detail
