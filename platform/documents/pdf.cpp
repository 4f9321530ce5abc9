// SPDX-License-Identifier: GPL-3.0-or-later
// PDF through poppler's C++ library: one page at a time in reading order (columns found by poppler's
// text layout). A page's lines are joined into paragraphs, since a line break in a PDF is layout, not
// the end of a sentence; the top-level outline entries whose titles stand alone on a page start
// chapters there (poppler's C++ outline gives no page numbers). Built as a module of its own
// (tallamo-pdf.so), which the program loads when it opens its first PDF: see pdf_module.cpp.
#include <unicode/uchar.h>

#include <algorithm>
#include <mutex>

#include <poppler-document.h>
#include <poppler-global.h>
#include <poppler-page.h>
#include <poppler-toc.h>

#include "base/utf8.h"
#include "documents/reader.h"

namespace documents::detail {
namespace {

// How far ahead in the outline a title may be found: entries without a heading of their own are passed.
constexpr size_t kOutlineLookahead = 3;

std::u16string_view view(const poppler::ustring& s) {
    return {reinterpret_cast<const char16_t*>(s.data()), s.size()};
}

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
    PdfReader(std::shared_ptr<const std::string> bytes, std::unique_ptr<poppler::document> document, TextBuilder& out)
        : bytes_(std::move(bytes)), document_(std::move(document)), pages_(document_->pages()), out_(out) {
        if (std::unique_ptr<poppler::toc> toc(document_->create_toc()); toc && toc->root()) {
            for (const poppler::toc_item* item : toc->root()->children()) {
                outline_.push_back(std::u16string(view(item->title())));
            }
        }
    }

    Result<bool> step() override {
        if (page_ >= pages_) return false;
        std::unique_ptr<poppler::page> page(document_->create_page(page_++));
        if (page) readPage(view(page->text(poppler::rectf(), poppler::page::non_raw_non_physical_layout)));
        return true;
    }

    std::string title() const override { return speech::toUtf8(view(document_->get_title())); }

private:
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
        const size_t last = std::min(outline_.size(), nextTitle_ + kOutlineLookahead);
        for (size_t i = nextTitle_; i < last; ++i) {
            if (!key.empty() && comparable(outline_[i]) == key) {
                out_.startChapter(plainTitle(speech::toUtf8(outline_[i])));
                nextTitle_ = i + 1;
                break;
            }
        }
        out_.text(paragraph);
        out_.paragraph();
        paragraph.clear();
    }

    std::shared_ptr<const std::string> bytes_;  // the document in memory, when it is read from there
    std::unique_ptr<poppler::document> document_;
    int pages_;
    int page_ = 0;
    std::vector<std::u16string> outline_;
    size_t nextTitle_ = 0;
    TextBuilder& out_;
};

void ignoreMessage(const std::string&, void*) {}

}  // namespace

Result<std::unique_ptr<Reader>> openPdfDocument(const Input& input, const Options&, TextBuilder& out) {
    static std::once_flag quiet;
    std::call_once(quiet, [] { poppler::set_debug_error_function(ignoreMessage, nullptr); });
    std::unique_ptr<poppler::document> document;
    if (input.bytes) {
        if (input.bytes->size() > static_cast<size_t>(std::numeric_limits<int>::max())) {
            return fault(errc::kTooLarge, input, "is too large to read.");
        }
        document.reset(
            poppler::document::load_from_raw_data(input.bytes->data(), static_cast<int>(input.bytes->size())));
    } else {
        document.reset(poppler::document::load_from_file(input.path));
    }
    if (!document) return fault(errc::kDamaged, input, "is a damaged PDF file.");
    if (document->is_locked()) return fault(errc::kProtected, input, "is protected by a password and cannot be read.");
    return std::unique_ptr<Reader>(std::make_unique<PdfReader>(input.bytes, std::move(document), out));
}

}  // namespace documents::detail

// The module's entry, found by name when the program opens its first PDF.
extern "C" [[gnu::visibility("default")]] documents::detail::PdfOpener tallamo_pdf_opener() {
    return &documents::detail::openPdfDocument;
}
