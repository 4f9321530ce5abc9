// SPDX-License-Identifier: GPL-3.0-or-later
#include <algorithm>
#include <array>

#include "documents/html_text.h"

namespace documents::detail {
namespace {

// Deeper nesting than this is read as if flat: a hostile page cannot grow the element stack.
constexpr size_t kMaxDepth = 4096;
constexpr size_t kMaxTitle = 1000;

template <size_t N>
bool among(const std::array<std::string_view, N>& sorted, std::string_view name) {
    return std::binary_search(sorted.begin(), sorted.end(), name);
}

// Content that is not read: code, styling, embedded objects, form controls, ruby pronunciations.
constexpr std::array<std::string_view, 16> kSkipped = {"audio",    "canvas", "datalist", "embed", "iframe", "math",
                                                       "noscript", "object", "rp",       "rt",    "script", "select",
                                                       "style",    "svg",    "template", "video"};
// Elements whose start and end end a paragraph.
constexpr std::array<std::string_view, 45> kBlocks = {
    "address", "article", "aside", "blockquote", "body", "caption",  "center",     "dd",     "details",
    "dialog",  "dir",     "div",   "dl",         "dt",   "fieldset", "figcaption", "figure", "footer",
    "form",    "h1",      "h2",    "h3",         "h4",   "h5",       "h6",         "header", "hgroup",
    "hr",      "legend",  "li",    "main",       "menu", "nav",      "ol",         "p",      "pre",
    "section", "summary", "table", "td",         "th",   "tr",       "ul",         "tbody",  "thead"};

std::string lowered(std::string_view s) {
    std::string out(s);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

// Content hidden from the reader: the hidden attribute, aria-hidden, display:none or visibility:hidden,
// and page-break markers (page numbers of the printed book).
bool hidden(const Attributes& a) {
    if (a.get("hidden")) return true;
    if (a.get("aria-hidden") == "true") return true;
    if (auto style = a.get("style")) {
        std::string s = lowered(*style);
        std::erase(s, ' ');
        if (s.find("display:none") != std::string::npos || s.find("visibility:hidden") != std::string::npos) {
            return true;
        }
    }
    const auto type = a.get("epub:type");
    const auto role = a.get("role");
    return (type && type->find("pagebreak") != std::string_view::npos) || role == "doc-pagebreak";
}

}  // namespace

uint64_t utf16Units(std::string_view utf8) {
    uint64_t units = 0;
    for (const char c : utf8) {
        const auto b = static_cast<unsigned char>(c);
        // Every lead byte is a unit; a four-byte sequence is two.
        units += (b & 0xC0) != 0x80 ? 1 : 0;
        units += b >= 0xF0 ? 1 : 0;
    }
    return units;
}

void HtmlText::readMeta(const Attributes& attributes) {
    const std::string name = lowered(attributes.get("name").value_or(""));
    const std::string_view content = attributes.get("content").value_or("");
    const std::string_view value = content.substr(0, kMaxTitle);
    if (name == "author" && author_.empty()) author_ = value;
    if ((name == "date" || name == "dcterms.date" || name == "dc.date" || name == "dcterms.created") && date_.empty())
        date_ = value;
}

Metadata HtmlText::metadata() const {
    return {plainTitle(author_), plainTitle(date_), plainTitle(language_)};
}

void HtmlText::startElement(std::string_view name, const Attributes& attributes) {
    if (name == "meta") {
        if (head_) readMeta(attributes);
        return;
    }
    if (name == "html" && language_.empty()) language_ = attributes.get("lang").value_or("").substr(0, kMaxTitle);
    if (name == "br") {
        if (!skip_ && !head_) out_.lineBreak();
        return;
    }
    if (name == "img") {
        if (settings_.imageAltText && !skip_ && !head_) {
            if (auto alt = attributes.get("alt")) {
                out_.sourceAt(std::nullopt);
                out_.space();
                out_.text(*alt);
                out_.space();
            }
        }
        return;
    }
    if (open_.size() >= kMaxDepth) return;
    uint8_t role = kNone;
    if (among(kSkipped, name) || hidden(attributes)) role |= kSkip;
    if (among(kBlocks, name)) role |= kBlock;
    if (name == "pre" || name == "listing" || name == "xmp") role |= kPre;
    if (name == "head") role |= kHead;
    if (name == "title" && head_) role |= kTitle;
    if (settings_.headingChapters && (name == "h1" || name == "h2") && !out_.titlePending()) role |= kChapter;
    open_.push_back(Frame{std::string(name), role});

    if (role & kSkip) ++skip_;
    if (role & kPre) ++pre_;
    if (role & kHead) ++head_;
    if (role & kTitle) inTitle_ = true;
    if (name == "body" && out_.titlePending()) out_.endTitle(title_.empty() ? settings_.fallbackTitle : title_);
    if (skip_ || head_) return;
    if (role & kBlock) out_.paragraph();
    if (role & kChapter) out_.startChapter(std::nullopt, name == "h2" ? 2 : 1);
}

void HtmlText::close(const Frame& frame) {
    if (frame.role & kSkip) --skip_;
    if (frame.role & kPre) --pre_;
    if (frame.role & kHead) --head_;
    if (frame.role & kTitle) inTitle_ = false;
    if (skip_ || head_) return;
    if (frame.role & kChapter) out_.endTitle();
    if (frame.role & kBlock) out_.paragraph();
}

void HtmlText::endElement(std::string_view name) {
    auto it = std::find_if(open_.rbegin(), open_.rend(), [&](const Frame& f) { return f.name == name; });
    if (it == open_.rend()) return;
    const size_t keep = open_.size() - static_cast<size_t>(it - open_.rbegin()) - 1;
    while (open_.size() > keep) {
        close(open_.back());
        open_.pop_back();
    }
}

void HtmlText::characters(std::string_view utf8) {
    if (settings_.sourcePart) {
        out_.sourceAt(std::pair(*settings_.sourcePart, offset_));
        offset_ += utf16Units(utf8);
    }
    if (inTitle_) {
        if (title_.size() < kMaxTitle) title_.append(utf8.substr(0, kMaxTitle - title_.size()));
        return;
    }
    if (skip_ || head_) return;
    if (pre_) {
        out_.verbatim(utf8);
    } else {
        out_.text(utf8);
    }
}

// A single HTML or XHTML file: h1 and h2 headings start chapters.
base::Result<std::unique_ptr<Reader>> openHtml(const Input& input, const Options& options, TextBuilder& out) {
    return openMarkupFile<HtmlText>(
        input, options, Syntax::Html, out,
        HtmlText::Settings{.headingChapters = true,
                           .imageAltText = options.imageAltText,
                           .fallbackTitle = {},
                           .sourcePart = out.tracking() ? std::optional<uint32_t>(0) : std::nullopt});
}

}  // namespace documents::detail
