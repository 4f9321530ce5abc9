// SPDX-License-Identifier: GPL-3.0-or-later
// FictionBook 2: the bodies in order; the titles of sections of the first two levels start chapters;
// the book's title, authors, date, language and cover come from its description. Embedded images
// (binary) are not read with the text; the cover is found by a pass of its own when it is asked for.
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

// The most of a name part or date kept: a hostile book cannot make it grow.
constexpr size_t kMaxField = 1000;

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
        } else if (name == "title-info" && description_) {
            titleInfo_ = true;
        } else if (name == "book-title" && description_) {
            inBookTitle_ = bookTitle_.empty();
        } else if (titleInfo_) {
            startTitleInfo(name, a);
        } else if (name == "body") {
            ++body_;
            notes_ = a.get("name").has_value();
        } else if (name == "section") {
            ++section_;
        } else if (name == "title") {
            out_.paragraph();
            if (section_ >= 1 && section_ <= 2 && !notes_ && !out_.titlePending()) {
                title_ = section_;
                out_.startChapter(std::nullopt, section_);
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
        } else if (name == "title-info") {
            titleInfo_ = false;
        } else if (name == "book-title") {
            inBookTitle_ = false;
        } else if (titleInfo_) {
            endTitleInfo(name);
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
        if (inBookTitle_ && bookTitle_.size() < kMaxField) bookTitle_.append(utf8);
        if (field_ && field_->size() < kMaxField) field_->append(utf8);
        if (body_ && !skip_ && !description_) out_.text(utf8);
    }

    const std::string& title() const { return bookTitle_; }
    Metadata metadata() const { return {authors_, plainTitle(date_), plainTitle(language_)}; }
    // The id of the binary that holds the cover (without its '#'), empty for none.
    const std::string& coverId() const { return coverId_; }

private:
    // An author is her first, middle and last names, or her nickname when she gives no other.
    void startTitleInfo(std::string_view name, const Attributes& a) {
        if (name == "author") {
            names_.clear();
            nickname_.clear();
            author_ = true;
        } else if (author_ && (name == "first-name" || name == "middle-name" || name == "last-name")) {
            names_.emplace_back();
            field_ = &names_.back();
        } else if (author_ && name == "nickname") {
            field_ = &nickname_;
        } else if (name == "date" && date_.empty()) {
            date_ = a.get("value").value_or("");
            if (date_.empty()) field_ = &date_;
        } else if (name == "lang" && language_.empty()) {
            field_ = &language_;
        } else if (name == "image" && inCoverpage_ && coverId_.empty()) {
            const std::string_view href = a.get("href").value_or("");
            if (href.starts_with("#")) coverId_ = href.substr(1);
        } else if (name == "coverpage") {
            inCoverpage_ = true;
        }
    }

    void endTitleInfo(std::string_view name) {
        field_ = nullptr;
        if (name == "coverpage") inCoverpage_ = false;
        if (name != "author" || !author_) return;
        author_ = false;
        std::string full;
        for (const auto& part : names_) {
            const std::string word = plainTitle(part);
            if (!word.empty()) full += (full.empty() ? "" : " ") + word;
        }
        if (full.empty()) full = plainTitle(nickname_);
        if (!full.empty() && authors_.size() < kMaxField) authors_ += (authors_.empty() ? "" : ", ") + full;
    }

    TextBuilder& out_;
    int skip_ = 0;
    int body_ = 0;
    int section_ = 0;
    int title_ = 0;  // the section depth of the chapter title being read
    bool notes_ = false;
    bool description_ = false;
    bool inBookTitle_ = false;
    std::string bookTitle_;
    bool titleInfo_ = false;
    bool author_ = false;
    bool inCoverpage_ = false;
    std::string* field_ = nullptr;  // the element of the title-info whose text is being read
    std::vector<std::string> names_;
    std::string nickname_;
    std::string authors_;
    std::string date_;
    std::string language_;
    std::string coverId_;
};

// Base64 as XML Schema's base64Binary: four letters to three bytes, white space ignored, '=' ending it.
// Written here as none of the libraries the readers link (libxml2, libzip, ICU) decodes base64.
class Base64Decoder {
public:
    // Decodes `text` onto `out`; false at a character that is not base64.
    bool feed(std::string_view text, std::string& out) {
        for (const char c : text) {
            if (c == ' ' || c == '\n' || c == '\r' || c == '\t') continue;
            if (c == '=') {
                ended_ = true;
                continue;
            }
            const int value = letterValue(c);
            if (value < 0 || ended_) return false;
            bits_ = bits_ << 6 | static_cast<uint32_t>(value);
            count_ += 6;
            if (count_ >= 8) {
                count_ -= 8;
                out.push_back(static_cast<char>((bits_ >> count_) & 0xFF));
            }
        }
        return true;
    }

private:
    static int letterValue(char c) {
        if (c >= 'A' && c <= 'Z') return c - 'A';
        if (c >= 'a' && c <= 'z') return c - 'a' + 26;
        if (c >= '0' && c <= '9') return c - '0' + 52;
        if (c == '+') return 62;
        if (c == '/') return 63;
        return -1;
    }
    uint32_t bits_ = 0;
    int count_ = 0;
    bool ended_ = false;
};

// The bytes of the binary whose id is `id`, decoded, refused past `maxBytes`.
class BinaryFinder final : public MarkupHandler {
public:
    BinaryFinder(std::string id, uint64_t maxBytes) : id_(std::move(id)), maxBytes_(maxBytes) {}

    void startElement(std::string_view name, const Attributes& a) override {
        inside_ = name == "binary" && a.get("id") == id_ && !found_;
        found_ = found_ || inside_;
    }
    void endElement(std::string_view) override { inside_ = false; }
    void characters(std::string_view utf8) override {
        if (!inside_ || broken_ || tooLarge_) return;
        broken_ = !decoder_.feed(utf8, bytes_);
        tooLarge_ = bytes_.size() > maxBytes_;
    }

    bool found() const { return found_; }
    bool broken() const { return broken_; }
    bool tooLarge() const { return tooLarge_; }
    std::string& bytes() { return bytes_; }

private:
    std::string id_;
    uint64_t maxBytes_;
    Base64Decoder decoder_;
    std::string bytes_;
    bool inside_ = false;
    bool found_ = false;
    bool broken_ = false;
    bool tooLarge_ = false;
};

class Fb2Reader final : public Reader {
public:
    Fb2Reader(std::unique_ptr<ByteStream> bytes, const Input& input, const Options& options, TextBuilder& out)
        : input_(input), options_(options), text_(out), pump_(std::move(bytes), Syntax::Xml, text_) {}

    base::Result<bool> step() override { return pump_.step(); }
    std::string title() const override { return plainTitle(text_.title()); }
    Metadata metadata() const override { return text_.metadata(); }

    // The cover's binary usually follows the bodies: the file is read again, its text left aside.
    base::Result<std::optional<std::string>> cover() override {
        if (text_.coverId().empty()) return std::optional<std::string>();
        auto bytes = openInputStream(input_, options_.limits.maxExpandedBytes);
        if (!bytes) return bytes.fault();
        BinaryFinder finder(text_.coverId(), options_.limits.maxMetadataBytes);
        MarkupPump pump(std::move(bytes.value()), Syntax::Xml, finder);
        for (;;) {
            auto stepped = pump.step();
            if (!stepped) return stepped.fault();
            if (finder.tooLarge())
                return fault(errc::kTooLarge, input_, "is too large to read: its cover image is too large.");
            if (!stepped.value()) break;
        }
        if (!finder.found())
            return fault(errc::kDamaged, input_, "is damaged: its cover image \"" + text_.coverId() + "\" is missing.");
        if (finder.broken()) return fault(errc::kDamaged, input_, "is damaged: its cover image is not base64.");
        return std::optional<std::string>(std::move(finder.bytes()));
    }

private:
    Input input_;
    Options options_;
    Fb2Text text_;
    MarkupPump pump_;
};

}  // namespace

base::Result<std::unique_ptr<Reader>> openFb2(const Input& input, const Options& options, TextBuilder& out) {
    auto bytes = openInputStream(input, options.limits.maxExpandedBytes);
    if (!bytes) return bytes.fault();
    return std::unique_ptr<Reader>(std::make_unique<Fb2Reader>(std::move(bytes.value()), input, options, out));
}

}  // namespace documents::detail
