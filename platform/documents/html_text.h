// SPDX-License-Identifier: GPL-3.0-or-later
// Internal to the document readers: the text of an HTML or XHTML page in reading order, as a browser
// would show it with scripts, styles and hidden content left out. Used for HTML files and for the
// chapters of an EPUB.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "documents/xml_reader.h"

namespace documents::detail {

// The UTF-16 units of valid UTF-8 text.
uint64_t utf16Units(std::string_view utf8);

class HtmlText final : public MarkupHandler {
public:
    struct Settings {
        bool headingChapters = false;  // h1 and h2 start chapters titled by their text
        bool imageAltText = false;
        std::string fallbackTitle;  // a chapter still untitled when the body starts takes the page's
                                    // title, else this
        // The part whose character data this page is, when the text's sources are kept.
        std::optional<uint32_t> sourcePart;
    };
    HtmlText(TextBuilder& out, Settings settings) : out_(out), settings_(std::move(settings)) {}

    void startElement(std::string_view name, const Attributes& attributes) override;
    void endElement(std::string_view name) override;
    void characters(std::string_view utf8) override;

    // The page's <title>.
    const std::string& title() const { return title_; }
    // Its author and date (<meta name="author">, <meta name="date"> or a Dublin Core date) and its
    // language (<html lang>).
    Metadata metadata() const;

private:
    enum Role : uint8_t { kNone = 0, kSkip = 1, kBlock = 2, kPre = 4, kTitle = 8, kChapter = 16, kHead = 32 };
    struct Frame {
        std::string name;
        uint8_t role;
    };
    void close(const Frame& frame);
    void readMeta(const Attributes& attributes);

    TextBuilder& out_;
    Settings settings_;
    std::vector<Frame> open_;
    int skip_ = 0;  // open elements whose content is not read
    int pre_ = 0;   // open preformatted elements
    int head_ = 0;  // open <head> elements
    bool inTitle_ = false;
    uint64_t offset_ = 0;  // UTF-16 units of character data seen, when the sources are kept
    std::string title_;
    std::string author_;
    std::string date_;
    std::string language_;
};

}  // namespace documents::detail
