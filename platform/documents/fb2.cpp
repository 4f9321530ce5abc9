// SPDX-License-Identifier: GPL-3.0-or-later
// FictionBook 2: the bodies in order; the titles of sections of the first two levels start chapters;
// the book's title comes from its description. Embedded images (binary) are not read.
#include <algorithm>
#include <array>

#include "documents/xml_reader.h"

namespace documents::detail {
namespace {

template <class Names>
bool among(std::string_view name, const Names& names) {
    return std::find(names.begin(), names.end(), name) != names.end();
}

constexpr std::array<std::string_view, 11> kBlocks = {
    "p", "v", "subtitle", "text-author", "stanza", "poem", "epigraph", "cite", "td", "th", "empty-line"};

class Fb2Text final : public MarkupHandler {
public:
    explicit Fb2Text(TextBuilder& out) : out_(out) {}

    void startElement(std::string_view name, const Attributes& a) override {
        if (skip_) {
            ++skip_;
            return;
        }
        if (name == "binary") {
            skip_ = 1;
        } else if (name == "description" && !body_) {
            description_ = true;
        } else if (name == "book-title" && description_) {
            inBookTitle_ = bookTitle_.empty();
        } else if (name == "body") {
            ++body_;
            notes_ = a.get("name").has_value();
        } else if (name == "section") {
            ++section_;
        } else if (name == "title") {
            out_.paragraph();
            if (section_ >= 1 && section_ <= 2 && !notes_ && !out_.titlePending()) {
                title_ = section_;
                out_.startChapter(std::nullopt);
            }
        } else if (among(name, kBlocks)) {
            out_.paragraph();
        }
    }

    void endElement(std::string_view name) override {
        if (skip_) {
            --skip_;
        } else if (name == "description") {
            description_ = false;
        } else if (name == "book-title") {
            inBookTitle_ = false;
        } else if (name == "body" && body_ > 0) {
            --body_;
        } else if (name == "section" && section_ > 0) {
            --section_;
        } else if (name == "title") {
            if (title_ && title_ == section_) out_.endTitle();
            title_ = 0;
            out_.paragraph();
        } else if (among(name, kBlocks)) {
            out_.paragraph();
        }
    }

    void characters(std::string_view utf8) override {
        if (inBookTitle_ && bookTitle_.size() < 1000) bookTitle_.append(utf8);
        if (body_ && !skip_ && !description_) out_.text(utf8);
    }

    const std::string& title() const { return bookTitle_; }

private:
    TextBuilder& out_;
    int skip_ = 0;
    int body_ = 0;
    int section_ = 0;
    int title_ = 0;  // the section depth of the chapter title being read
    bool notes_ = false;
    bool description_ = false;
    bool inBookTitle_ = false;
    std::string bookTitle_;
};

}  // namespace

Result<std::unique_ptr<Reader>> openFb2(const Input& input, const Options& options, TextBuilder& out) {
    return openMarkupFile<Fb2Text>(input, options, Syntax::Xml, out);
}

}  // namespace documents::detail
