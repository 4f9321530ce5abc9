// SPDX-License-Identifier: GPL-3.0-or-later
// PDF, one page at a time in reading order, from the PDF reader helper (pdf_pages.h). A page's lines
// are joined into paragraphs, since a line break in a PDF is layout, not the end of a sentence; the
// top-level outline entries whose titles stand alone on a page start chapters there (poppler's C++
// outline gives no page numbers). A page the helper cannot read within the bounds is skipped and
// reported (Options::skipped); a document none of whose pages can be read is refused.
#include <unicode/uchar.h>

#include <algorithm>
#include <chrono>
#include <map>

#include "base/utf8.h"
#include "documents/pdf_pages.h"
#include "documents/reader.h"

namespace documents::detail {
namespace {

using Clock = std::chrono::steady_clock;

// How far ahead in the outline a title may be found: entries without a heading of their own are passed.
constexpr size_t kOutlineLookahead = 3;

bool isCjk(char16_t c) {
    return (c >= 0x2E80 && c <= 0x9FFF) || (c >= 0xF900 && c <= 0xFAFF) || (c >= 0xFF00 && c <= 0xFFEF);
}

std::u16string_view trimmed(std::u16string_view s) {
    while (!s.empty() && u_isUWhiteSpace(s.front())) s.remove_prefix(1);
    while (!s.empty() && u_isUWhiteSpace(s.back())) s.remove_suffix(1);
    return s;
}

// Compared without case or white space, so a title matches however the page spaces it.
std::u16string comparable(std::u16string_view s) {
    std::u16string out;
    for (char16_t c : s) {
        if (!u_isUWhiteSpace(c)) out.push_back(static_cast<char16_t>(u_tolower(c)));
    }
    return out;
}

class PdfReader final : public Reader {
public:
    PdfReader(const Input& input, const Options& options, std::unique_ptr<PdfPages> pages, TextBuilder& out)
        : input_(input), options_(options), pages_(std::move(pages)), out_(out) {}

    base::Result<bool> step() override;
    std::string title() const override { return pages_->info().field("title"); }
    Metadata metadata() const override { return {pages_->info().field("author"), pages_->info().field("date"), {}}; }
    // Pages found unreadable stay skipped, without being read or reported again. The others are
    // read from a fresh start of the document (poppler may give a page read twice another text).
    bool rewind() override {
        pages_->finished();
        page_ = 0;
        nextTitle_ = 0;
        units_ = 0;
        return true;
    }

private:
    base::Result<bool> atEnd();
    // Tells the caller that pages `first` to `last` (from 0) were skipped, and why.
    void report(int32_t first, int32_t last, const std::string& why) const;

    // Lines shorter than this share of the page's longest line end their paragraph (headings, the last
    // line of a paragraph).
    static constexpr double kShortLine = 0.6;

    void readPage(std::u16string_view text) {
        std::vector<std::u16string_view> lines;
        size_t longest = 0;
        for (size_t from = 0; from <= text.size();) {
            size_t end = text.find_first_of(u"\n\r\f", from);
            if (end == std::u16string_view::npos) end = text.size();
            lines.push_back(trimmed(text.substr(from, end - from)));
            longest = std::max(longest, lines.back().size());
            from = end + 1;
        }
        std::u16string paragraph;
        for (const auto line : lines) {
            if (line.empty()) {
                endParagraph(paragraph);
                continue;
            }
            join(paragraph, line);
            if (static_cast<double>(line.size()) < kShortLine * static_cast<double>(longest)) endParagraph(paragraph);
        }
        endParagraph(paragraph);
    }

    // Joins a line to the paragraph: a word hyphenated across the break is mended, ideographs are
    // joined without a space, anything else with one.
    static void join(std::u16string& paragraph, std::u16string_view line) {
        if (!paragraph.empty()) {
            const char16_t last = paragraph.back();
            if (last == u'-' && paragraph.size() >= 2 && u_isalpha(paragraph[paragraph.size() - 2]) &&
                u_islower(line.front())) {
                paragraph.pop_back();
            } else if (!(isCjk(last) && isCjk(line.front()))) {
                paragraph.push_back(u' ');
            }
        }
        paragraph.append(line);
    }

    void endParagraph(std::u16string& paragraph) {
        if (paragraph.empty()) return;
        out_.paragraph();
        const std::u16string key = comparable(paragraph);
        const auto& outline = pages_->info().outline;
        const size_t last = std::min(outline.size(), nextTitle_ + kOutlineLookahead);
        for (size_t i = nextTitle_; i < last; ++i) {
            if (!key.empty() && comparable(outline[i]) == key) {
                out_.startChapter(plainTitle(base::toUtf8(outline[i])));
                nextTitle_ = i + 1;
                break;
            }
        }
        out_.text(paragraph);
        out_.paragraph();
        paragraph.clear();
    }

    Input input_;
    Options options_;
    std::unique_ptr<PdfPages> pages_;
    TextBuilder& out_;
    int32_t page_ = 0;
    int32_t frontier_ = 0;  // the first page never tried
    size_t nextTitle_ = 0;
    uint64_t units_ = 0;  // of text read in this pass
    // What is known of the pages that cannot be read, kept when reading starts again: each such page
    // and why, and the first page of a rest given up since the skipped pages took too long.
    std::map<int32_t, std::string> skipped_;
    std::optional<int32_t> givenUpFrom_;
    Clock::duration lost_{};  // spent on skipped pages
};

base::Result<bool> PdfReader::step() {
    const int32_t pages = pages_->info().pages;
    if (page_ >= pages || (givenUpFrom_ && page_ >= *givenUpFrom_)) return atEnd();
    if (skipped_.contains(page_)) {
        ++page_;
        return true;
    }
    const auto& limits = options_.limits;
    // Pages already tried are read again whatever the skipped ones cost; the rest only within it.
    if (page_ >= frontier_ && lost_ >= limits.pdfSkippedTime) {
        givenUpFrom_ = page_;
        report(page_, pages - 1,
               "the pages skipped before took more than " +
                   std::to_string(std::chrono::ceil<std::chrono::seconds>(limits.pdfSkippedTime).count()) + " s");
        return atEnd();
    }
    const auto began = Clock::now();
    auto read = pages_->page(page_);
    if (!read) return read.fault();
    if (const auto& why = read.value().skipped) {
        lost_ += Clock::now() - began;
        skipped_.emplace(page_, *why);
        report(page_, page_, *why);
    } else {
        units_ += read.value().text.size();
        if (units_ > limits.maxExpandedBytes / 2) {
            return fault(errc::kTooLarge, input_,
                         "is too large to read: its text holds more than " +
                             std::to_string(limits.maxExpandedBytes >> 20) + " MB.");
        }
        readPage(read.value().text);
    }
    frontier_ = std::max(frontier_, ++page_);
    return true;
}

base::Result<bool> PdfReader::atEnd() {
    pages_->finished();
    if (!out_.hasText() && !skipped_.empty()) {
        const auto& [page, why] = *skipped_.begin();
        return fault(errc::kNoText, input_,
                     "has no page that could be read (page " + std::to_string(page + 1) + ": " + why + ").");
    }
    return false;
}

void PdfReader::report(int32_t first, int32_t last, const std::string& why) const {
    if (!options_.skipped) return;
    const std::string pages = first == last
                                  ? "Page " + std::to_string(first + 1) + " of \"" + input_.name + "\" was skipped: "
                                  : "Pages " + std::to_string(first + 1) + " to " + std::to_string(last + 1) +
                                        " of \"" + input_.name + "\" were skipped: ";
    options_.skipped(pages + why + ".");
}

}  // namespace

base::Result<std::unique_ptr<Reader>> openPdf(const Input& input, const Options& options, TextBuilder& out) {
    auto pages = &openPdfInProcess != nullptr ? openPdfInProcess(input) : openPdfHelper(input, options);
    if (!pages) return pages.fault();
    return std::unique_ptr<Reader>(std::make_unique<PdfReader>(input, options, std::move(pages.value()), out));
}

}  // namespace documents::detail
