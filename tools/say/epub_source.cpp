// SPDX-License-Identifier: GPL-3.0-or-later
#include "tools/say/epub_source.h"

#include <unicode/utf8.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <map>

#include "documents/markup.h"
#include "speech/names.h"
#include "tools/say/xml_text.h"

namespace say {

using speech::Error;
namespace errc = speech::errc;

namespace {

using Attribute = documents::MarkupVisitor::Attribute;

// A visitor made of three functions, for the package's small files.
struct Walker final : documents::MarkupVisitor {
    std::function<void(std::string_view, std::span<const Attribute>)> onStart = [](auto, auto) {};
    std::function<void(std::string_view)> onEnd = [](std::string_view) {};
    std::function<void(std::string_view)> onText = [](std::string_view) {};
    void start(std::string_view name, std::span<const Attribute> a) override { onStart(name, a); }
    void end(std::string_view name) override { onEnd(name); }
    void text(std::string_view utf8) override { onText(utf8); }
};

std::optional<std::string_view> get(std::span<const Attribute> attributes, std::string_view name) {
    for (const auto& [n, v] : attributes)
        if (n == name) return v;
    return std::nullopt;
}

std::string trimmed(std::string_view s) {
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
    while (!s.empty() && blank(s.front())) s.remove_prefix(1);
    while (!s.empty() && blank(s.back())) s.remove_suffix(1);
    return std::string(s);
}

std::string fragmentOf(std::string_view href) {
    const size_t hash = href.find('#');
    return hash == std::string_view::npos ? std::string() : std::string(href.substr(hash));
}

void walk(std::string_view bytes, documents::MarkupVisitor& visitor, const std::string& what) {
    if (auto walked = documents::walkMarkup(bytes, visitor); !walked)
        throw Error(errc::kFile, what + " cannot be read: " + walked.fault().message);
}

std::string entry(documents::Document& document, const std::string& name, const std::string& shown) {
    auto bytes = document.entry(name);
    if (!bytes) throw Error(errc::kFile, "The book \"" + shown + "\" cannot be read: " + bytes.fault().message);
    return std::move(bytes.value());
}

// The algorithms of font obfuscation: the IDPF's and Adobe's. Anything else is encryption proper.
bool fontObfuscation(std::string_view algorithm) {
    return algorithm == "http://www.idpf.org/2008/embedding" || algorithm == "http://ns.adobe.com/pdf/enc#RC";
}

// META-INF/encryption.xml when it obfuscates fonts only; a refusal for any other encryption.
std::optional<std::string> fontEncryption(documents::Document& document, const std::string& shown) {
    auto bytes = document.entry("META-INF/encryption.xml");
    if (!bytes) return std::nullopt;  // none (or one that cannot be read, which the reader judged)
    bool other = false;
    bool any = false;
    Walker w;
    w.onStart = [&](std::string_view name, std::span<const Attribute> a) {
        if (name != "encryptionmethod" && name != "enc:encryptionmethod") return;
        any = true;
        if (!fontObfuscation(get(a, "algorithm").value_or(""))) other = true;
    };
    walk(bytes.value(), w, "The encryption of \"" + shown + "\"");
    if (other || (!any && bytes.value().find("CipherReference") != std::string::npos))
        throw Error(errc::kFile, "The book \"" + shown +
                                     "\" is protected by DRM (its encryption.xml encrypts more than fonts): it "
                                     "cannot be narrated.");
    return std::move(bytes.value());
}

void readNcx(documents::Document& document, const std::string& path, const std::string& shown, SourceBook& book) {
    auto read = document.entry(path);
    if (!read) return;  // a table of contents that cannot be read: the navigation is made from the chapters
    const std::string& ncx = read.value();
    const std::string folder = documents::folderOf(path);
    int depth = -1;
    std::vector<size_t> open;
    bool inLabel = false;
    Walker w;
    w.onStart = [&](std::string_view name, std::span<const Attribute> a) {
        if (name == "navpoint") {
            ++depth;
            open.push_back(book.toc.size());
            book.toc.push_back(SourceTocEntry{{}, {}, {}, depth});
        } else if (name == "navlabel" && !open.empty()) {
            inLabel = true;
        } else if (name == "content" && !open.empty() && book.toc[open.back()].path.empty()) {
            const std::string_view src = get(a, "src").value_or("");
            book.toc[open.back()].path = documents::resolveHref(folder, src);
            book.toc[open.back()].fragment = fragmentOf(src);
        }
    };
    w.onEnd = [&](std::string_view name) {
        if (name == "navlabel") inLabel = false;
        if (name == "navpoint" && !open.empty()) {
            open.pop_back();
            --depth;
        }
    };
    w.onText = [&](std::string_view text) {
        if (inLabel && book.toc[open.back()].title.size() < 1000) book.toc[open.back()].title.append(text);
    };
    walk(ncx, w, "The table of contents of \"" + shown + "\"");
    for (auto& e : book.toc) e.title = trimmed(e.title);
    std::erase_if(book.toc, [](const SourceTocEntry& e) { return e.path.empty() || e.title.empty(); });
}

bool blankText(std::string_view s) {
    return trimmed(s).empty();
}

// Element names HTML no longer has, and the names that stand for them.
constexpr std::array<std::pair<std::string_view, std::string_view>, 8> kRenamed = {{{"acronym", "abbr"},
                                                                                    {"big", "span"},
                                                                                    {"center", "div"},
                                                                                    {"dir", "ul"},
                                                                                    {"font", "span"},
                                                                                    {"strike", "s"},
                                                                                    {"tt", "code"},
                                                                                    {"blink", "span"}}};

// Attributes HTML dropped (presentation now done by styles), on any element.
constexpr std::array<std::string_view, 26> kDroppedAttributes = {
    "align",    "alink",  "axis",  "background", "bgcolor", "border", "cellpadding", "cellspacing", "char",
    "charoff",  "clear",  "color", "compact",    "face",    "frame",  "hspace",      "language",    "link",
    "longdesc", "nowrap", "rev",   "rules",      "summary", "valign", "vlink",       "vspace"};

// Phrasing elements a sentence's span may hold whole.
constexpr std::array<std::string_view, 34> kPhrasing = {
    "a",      "abbr", "b",   "bdi",  "bdo", "br",   "cite", "code", "data", "del",    "dfn",   "em",
    "font",   "i",    "img", "ins",  "kbd", "mark", "q",    "ruby", "s",    "samp",   "small", "span",
    "strong", "sub",  "sup", "time", "u",   "var",  "wbr",  "big",  "tt",   "acronym"};

// SVG's names that hold capitals (the HTML parser gives them in lower case).
constexpr std::array<std::string_view, 24> kSvgNames = {"clipPath",
                                                        "clipPathUnits",
                                                        "foreignObject",
                                                        "gradientTransform",
                                                        "gradientUnits",
                                                        "linearGradient",
                                                        "markerHeight",
                                                        "markerUnits",
                                                        "markerWidth",
                                                        "patternContentUnits",
                                                        "patternTransform",
                                                        "patternUnits",
                                                        "preserveAspectRatio",
                                                        "radialGradient",
                                                        "refX",
                                                        "refY",
                                                        "spreadMethod",
                                                        "stdDeviation",
                                                        "textLength",
                                                        "textPath",
                                                        "viewBox",
                                                        "feGaussianBlur",
                                                        "lengthAdjust",
                                                        "startOffset"};

constexpr std::array<std::string_view, 14> kVoid = {"area",  "base", "br",   "col",   "embed",  "hr",    "img",
                                                    "input", "link", "meta", "param", "source", "track", "wbr"};

template <size_t N>
bool among(const std::array<std::string_view, N>& names, std::string_view name) {
    return std::find(names.begin(), names.end(), name) != names.end();
}

std::string svgName(std::string_view name) {
    for (const auto n : kSvgNames) {
        if (n.size() == name.size() && std::equal(n.begin(), n.end(), name.begin(), [](char a, char b) {
                return (a >= 'A' && a <= 'Z' ? static_cast<char>(a - 'A' + 'a') : a) == b;
            }))
            return std::string(n);
    }
    return std::string(name);
}

// Whether a name can be written as an element's or an attribute's name (the HTML parser gives no other,
// but what is written must be well-formed whatever it gives).
bool xmlName(std::string_view name) {
    const auto letter = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == ':'; };
    return !name.empty() && letter(name.front()) && std::all_of(name.begin(), name.end(), [&](char c) {
        return letter(c) || (c >= '0' && c <= '9') || c == '-' || c == '.';
    });
}

bool validId(std::string_view id) {
    return !id.empty() && id.find_first_of(" \t\n\r\f") == std::string_view::npos;
}

bool digitsOnly(std::string_view s) {
    return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The character data of a document walked with the positions in the text the runs give it.
class RunCursor {
public:
    explicit RunCursor(const std::vector<documents::SourceRun>* runs) : runs_(runs) {}
    std::optional<uint64_t> at(uint64_t offset) {
        if (!runs_) return std::nullopt;
        while (next_ < runs_->size() && (*runs_)[next_].offset + (*runs_)[next_].length <= offset) ++next_;
        if (next_ < runs_->size() && (*runs_)[next_].offset <= offset)
            return (*runs_)[next_].position + (offset - (*runs_)[next_].offset);
        return std::nullopt;
    }

private:
    const std::vector<documents::SourceRun>* runs_;
    size_t next_ = 0;
};

// Which of a list of ordered, disjoint ranges holds a position, for positions that only grow.
class RangeCursor {
public:
    void reset(const std::vector<DaisySentence>* ranges) {
        ranges_ = ranges;
        next_ = 0;
    }
    std::optional<size_t> at(uint64_t position) {
        if (!ranges_) return std::nullopt;
        while (next_ < ranges_->size() && (*ranges_)[next_].end <= position) ++next_;
        if (next_ < ranges_->size() && (*ranges_)[next_].begin <= position) return next_;
        return std::nullopt;
    }

private:
    const std::vector<DaisySentence>* ranges_ = nullptr;
    size_t next_ = 0;
};

constexpr uint64_t kNone = std::numeric_limits<uint64_t>::max();

// Walks a document twice: first to learn, for each element (by its start's order), the range of the
// text it holds and, for each sentence and word, its last character; then to write it with its spans.
// A sentence's span holds whole the phrasing elements whose text is all in the sentence; any other
// element ends it, and the sentence goes on in a span after it (the first piece alone has the id the
// overlay points to). Words are spanned the same way inside their sentence's span.
class Rewriter final : public documents::MarkupVisitor {
public:
    Rewriter(const XhtmlSettings& settings, const XhtmlMarks* marks) : settings_(settings), marks_(marks) {
        if (marks_) {
            lastSentence_.assign(marks_->sentences.size(), kNone);
            lastWord_.resize(marks_->words.size());
            for (size_t i = 0; i < marks_->words.size(); ++i) lastWord_[i].assign(marks_->words[i].size(), kNone);
            result_.sentencePlaced.assign(marks_->sentences.size(), false);
            result_.wordPlaced.resize(marks_->words.size());
            for (size_t i = 0; i < marks_->words.size(); ++i)
                result_.wordPlaced[i].assign(marks_->words[i].size(), false);
        }
    }

    void startWriting() {
        writing_ = true;
        offset_ = 0;
        ordinal_ = 0;
        open_.clear();
        cursor_ = RunCursor(marks_ ? &marks_->runs : nullptr);
        sentences_.reset(marks_ ? &marks_->sentences : nullptr);
        result_.bytes = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<!DOCTYPE html>\n";
    }

    RewrittenXhtml finish() {
        flushTag();
        while (!spans_.empty()) closeSpan();
        while (!open_.empty()) closeElement();
        std::string properties;
        for (const auto* p : {"mathml", "scripted", "svg"})
            if (properties_.contains(p)) properties += (properties.empty() ? "" : " ") + std::string(p);
        result_.properties = properties;
        result_.bytes += "\n";
        return std::move(result_);
    }

    void start(std::string_view name, std::span<const Attribute> attributes) override {
        const size_t ordinal = ordinal_++;
        if (!writing_) {
            open_.push_back(Frame{std::string(name), {}, ordinal, false});
            if (ranges_.size() <= ordinal) ranges_.resize(ordinal + 1, {kNone, 0});
            return;
        }
        flushTag();
        // The spans still open must hold the element whole; any that cannot ends before it.
        // (A span opened further out holds an element that holds this one whole.)
        while (!spans_.empty() && spans_.back().depth == open_.size() && !holds(spans_.back(), name, ordinal))
            closeSpan();
        Frame frame{std::string(name), {}, ordinal, true};
        std::string written(name);
        if (name.find(':') != std::string_view::npos || name == "basefont" || name == "isindex" || !xmlName(name)) {
            frame.written = false;  // foreign or long-gone elements: their content stays, they go
        } else {
            for (const auto& [old, now] : kRenamed)
                if (name == old) written = now;
            if (svg_ > 0) written = svgName(name);
        }
        frame.output = written;
        if (name == "svg") properties_.insert("svg");
        if (name == "math") properties_.insert("mathml");
        if (name == "script") properties_.insert("scripted");
        if (name == "body" && !headWritten_) {
            result_.bytes += "<head>\n";
            endHead();
        }
        if (name == "meta" && !keepMeta(attributes)) frame.written = false;
        if (frame.written) {
            result_.bytes += "<" + written;
            writeAttributes(name, attributes);
            tagOpen_ = true;
        }
        if (name == "svg") ++svg_;
        if (name == "head") inHead_ = true;
        if (name == "title" && inHead_) {
            inTitle_ = true;
            titleText_.clear();
        }
        const bool headWritten = frame.written;
        open_.push_back(std::move(frame));
        if (name == "head" && headWritten) {
            flushTag();
            result_.bytes += "\n<meta charset=\"utf-8\"/>";
        }
    }

    void end(std::string_view name) override {
        auto it = std::find_if(open_.rbegin(), open_.rend(), [&](const Frame& f) { return f.name == name; });
        if (it == open_.rend()) return;
        const size_t keep = open_.size() - static_cast<size_t>(it - open_.rbegin()) - 1;
        while (open_.size() > keep) closeElement();
    }

    void text(std::string_view utf8) override {
        if (inTitle_ && titleText_.size() < 1000) titleText_.append(utf8);
        if (writing_) flushTag();
        const auto* s = reinterpret_cast<const uint8_t*>(utf8.data());
        const auto n = static_cast<int32_t>(utf8.size());
        for (int32_t i = 0; i < n;) {
            const int32_t from = i;
            UChar32 c;
            U8_NEXT(s, i, n, c);
            const uint64_t offset = offset_;
            offset_ += c > 0xFFFF ? 2 : 1;
            const auto position = cursor_.at(offset);
            if (!writing_) {
                if (position) measure(*position);
                continue;
            }
            if (position) placeSpans(*position);
            result_.bytes += xmlText(utf8.substr(static_cast<size_t>(from), static_cast<size_t>(i - from)));
            if (position) {
                emitted_ = *position;
                endSpans(*position);
            }
        }
    }

private:
    struct Frame {
        std::string name;
        std::string output;
        size_t ordinal = 0;
        bool written = false;
    };
    struct Span {
        bool word = false;
        size_t sentence = 0;
        size_t word_ = 0;
        size_t depth = 0;  // the number of open elements it was opened in
    };

    const DaisySentence& rangeOf(const Span& span) const {
        return span.word ? marks_->words[span.sentence][span.word_] : marks_->sentences[span.sentence];
    }

    // Whether a span can hold the element whole: a phrasing element whose text, if any, is all in it.
    bool holds(const Span& span, std::string_view name, size_t ordinal) const {
        if (!among(kPhrasing, name)) return false;
        if (ordinal >= ranges_.size() || ranges_[ordinal].first == kNone) return true;
        const DaisySentence& r = rangeOf(span);
        return ranges_[ordinal].first >= r.begin && ranges_[ordinal].second < r.end;
    }

    void measure(uint64_t position) {
        if (!open_.empty()) {
            auto& r = ranges_[open_.back().ordinal];
            r.first = std::min(r.first, position);
            r.second = std::max(r.second, position);
        }
        if (const auto s = sentences_.at(position)) {
            lastSentence_[*s] = position;
            if (const auto w = wordAt(*s, position)) lastWord_[*s][*w] = position;
        }
    }

    std::optional<size_t> wordAt(size_t sentence, uint64_t position) const {
        if (sentence >= marks_->words.size()) return std::nullopt;
        const auto& words = marks_->words[sentence];
        const auto it = std::upper_bound(words.begin(), words.end(), position,
                                         [](uint64_t p, const DaisySentence& w) { return p < w.begin; });
        if (it == words.begin() || position >= std::prev(it)->end) return std::nullopt;
        return static_cast<size_t>(std::prev(it) - words.begin());
    }

    void openSpan(bool word, size_t sentence, size_t k) {
        std::string id;
        if (word && !result_.wordPlaced[sentence][k]) {
            id = marks_->wordIds[sentence][k];
            result_.wordPlaced[sentence][k] = true;
        } else if (!word && !result_.sentencePlaced[sentence]) {
            id = marks_->sentenceIds[sentence];
            result_.sentencePlaced[sentence] = true;
        }
        result_.bytes += id.empty() ? std::string("<span>") : "<span id=\"" + xmlText(id) + "\">";
        spans_.push_back(Span{word, sentence, k, open_.size()});
    }

    void closeSpan() {
        result_.bytes += "</span>";
        spans_.pop_back();
    }

    // Before the character at `position`: ends the spans it is not in and opens those it is in.
    void placeSpans(uint64_t position) {
        const auto s = sentences_.at(position);
        // The word as a plain index (kNoWord for none): GCC's -O3 takes an optional here for one that
        // may be read unset.
        constexpr size_t kNoWord = SIZE_MAX;
        const size_t w = s ? wordAt(*s, position).value_or(kNoWord) : kNoWord;
        while (!spans_.empty()) {
            const Span& top = spans_.back();
            const bool in =
                top.word ? (s && w != kNoWord && top.sentence == *s && top.word_ == w) : (s && top.sentence == *s);
            if (in) break;
            closeSpan();
        }
        if (!s) return;
        if (spans_.empty()) openSpan(false, *s, 0);
        if (w != kNoWord && !spans_.back().word) openSpan(true, *s, w);
    }

    // After the character at `position`: ends the spans whose last character it was, when they were
    // opened at this depth (else when the element they hold ends).
    void endSpans(uint64_t position) {
        while (!spans_.empty() && spans_.back().depth == open_.size() && done(spans_.back(), position)) closeSpan();
    }

    bool done(const Span& span, uint64_t position) const {
        const uint64_t last = span.word ? lastWord_[span.sentence][span.word_] : lastSentence_[span.sentence];
        return last != kNone && position >= last;
    }

    void closeElement() {
        Frame& frame = open_.back();
        if (!writing_) {
            const auto r = ranges_[frame.ordinal];
            open_.pop_back();
            if (!open_.empty() && r.first != kNone) {
                auto& parent = ranges_[open_.back().ordinal];
                parent.first = std::min(parent.first, r.first);
                parent.second = std::max(parent.second, r.second);
            }
            return;
        }
        // Spans opened inside the element end with it.
        while (!spans_.empty() && spans_.back().depth >= open_.size()) {
            flushTag();
            closeSpan();
        }
        if (frame.name == "title" && inTitle_) {
            inTitle_ = false;
            if (blankText(titleText_)) {
                flushTag();
                result_.bytes += xmlText(settings_.title);
            }
            titleWritten_ = true;
        }
        if (frame.name == "head") {
            flushTag();
            endHead();
            inHead_ = false;
            frame.written = false;  // endHead wrote its end
        }
        if (frame.name == "svg") --svg_;
        if (frame.written) {
            if (tagOpen_) {
                result_.bytes += "/>";
                tagOpen_ = false;
            } else {
                result_.bytes += "</" + frame.output + ">";
            }
            if (frame.name == "p" || frame.name == "div" || frame.name == "li" || frame.name == "body")
                result_.bytes += "\n";
        } else {
            flushTag();
        }
        open_.pop_back();
        // A sentence whose last character was inside the element ends now.
        while (!spans_.empty() && spans_.back().depth == open_.size() && doneAll(spans_.back())) closeSpan();
    }

    bool doneAll(const Span& span) const { return emitted_ != kNone && done(span, emitted_); }

    void endHead() {
        if (!titleWritten_) result_.bytes += "<title>" + xmlText(settings_.title) + "</title>\n";
        if (!settings_.styleHref.empty())
            result_.bytes +=
                "<link rel=\"stylesheet\" type=\"text/css\" href=\"" + xmlText(settings_.styleHref) + "\"/>\n";
        result_.bytes += "</head>\n";
        headWritten_ = true;
        titleWritten_ = true;
    }

    void flushTag() {
        if (!tagOpen_) return;
        result_.bytes += ">";
        tagOpen_ = false;
    }

    // A meta element HTML5 keeps: a name with its content (the charset is written once, apart).
    static bool keepMeta(std::span<const Attribute> a) {
        return get(a, "name").has_value() && get(a, "content").has_value() && !get(a, "http-equiv");
    }

    void writeAttributes(std::string_view element, std::span<const Attribute> attributes) {
        std::set<std::string> written;
        const auto put = [&](std::string_view name, std::string_view value) {
            if (!written.insert(std::string(name)).second) return;
            result_.bytes += " " + std::string(name) + "=\"" + xmlText(value) + "\"";
        };
        if (element == "html") {
            std::string language =
                std::string(get(attributes, "xml:lang").value_or(get(attributes, "lang").value_or("")));
            if (language.empty()) language = settings_.language;
            put("xmlns", "http://www.w3.org/1999/xhtml");
            put("xmlns:epub", "http://www.idpf.org/2007/ops");
            put("lang", language);
            put("xml:lang", language);
            return;
        }
        if (element == "svg") {
            put("xmlns", "http://www.w3.org/2000/svg");
            put("xmlns:xlink", "http://www.w3.org/1999/xlink");
        }
        if (element == "math") put("xmlns", "http://www.w3.org/1998/Math/MathML");
        const bool inSvg = svg_ > 0 || element == "svg";
        const bool sized = element == "img" || element == "video" || element == "canvas" || element == "iframe" ||
                           element == "embed" || element == "object" || element == "input";
        for (const auto& [rawName, value] : attributes) {
            std::string name(rawName);
            if (!xmlName(name) || name.starts_with("xmlns")) continue;
            if (inSvg) {
                name = svgName(name);
                if (name.find(':') != std::string::npos && !name.starts_with("xlink:") && name != "xml:lang") continue;
            } else {
                if (name.find(':') != std::string::npos && name != "epub:type" && name != "xml:lang") continue;
                if (among(kDroppedAttributes, name)) continue;
                if ((name == "width" || name == "height") && (!sized || !digitsOnly(value))) continue;
                if (name == "size" && (element == "hr" || element == "font")) continue;
                if (name == "name" && (element == "a" || element == "img")) {
                    // An anchor's name is its id now.
                    if (element == "a" && !get(attributes, "id") && validId(value) &&
                        ids_.insert(std::string(value)).second)
                        put("id", value);
                    continue;
                }
                if (name == "scope" && element != "th") continue;
                if (name == "type" && element == "ul") continue;
                if (name == "charset" && (element == "a" || element == "link" || element == "script")) continue;
                if ((name == "shape" || name == "coords") && element == "a") continue;
                if (name == "target" && value.empty()) continue;
            }
            if (name == "id") {
                if (!validId(value) || !ids_.insert(std::string(value)).second) continue;
            }
            if (name == "xml:lang" || name == "lang") {
                const std::string language(get(attributes, "xml:lang").value_or(value));
                put("lang", language);
                put("xml:lang", language);
                continue;
            }
            put(name, value);
        }
    }

    const XhtmlSettings& settings_;
    const XhtmlMarks* marks_;
    bool writing_ = false;
    uint64_t offset_ = 0;
    size_t ordinal_ = 0;
    std::vector<Frame> open_;
    std::vector<std::pair<uint64_t, uint64_t>> ranges_;  // by element: its text's first and last position
    std::vector<uint64_t> lastSentence_;
    std::vector<std::vector<uint64_t>> lastWord_;
    RunCursor cursor_{nullptr};
    RangeCursor sentences_;
    std::vector<Span> spans_;
    uint64_t emitted_ = kNone;
    std::set<std::string> ids_;
    std::set<std::string> properties_;
    int svg_ = 0;
    bool inHead_ = false;
    bool headWritten_ = false;
    bool inTitle_ = false;
    bool titleWritten_ = false;
    std::string titleText_;
    bool tagOpen_ = false;
    RewrittenXhtml result_;

public:
    void startMeasuring() {
        cursor_ = RunCursor(marks_ ? &marks_->runs : nullptr);
        sentences_.reset(marks_ ? &marks_->sentences : nullptr);
    }
};

}  // namespace

std::string relativeHref(std::string_view folder, std::string_view path) {
    size_t common = 0;
    for (size_t i = 0; i < folder.size() && i < path.size() && folder[i] == path[i]; ++i)
        if (folder[i] == '/') common = i + 1;
    std::string href;
    for (size_t i = common; i < folder.size(); ++i)
        if (folder[i] == '/') href += "../";
    static constexpr char kHex[] = "0123456789ABCDEF";
    for (const char c : path.substr(common)) {
        const auto b = static_cast<unsigned char>(c);
        if ((b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z') || (b >= '0' && b <= '9') ||
            std::strchr("-._~/!$&'()*+,;=:@", c)) {
            href += c;
        } else {
            href += '%';
            href += kHex[b >> 4];
            href += kHex[b & 15];
        }
    }
    return href;
}

bool xhtmlType(std::string_view mediaType) {
    return mediaType == "application/xhtml+xml" || mediaType == "text/html";
}

SourceBook readSourceBook(documents::Document& document, const std::string& shown) {
    SourceBook book;
    book.encryption = fontEncryption(document, shown);
    {
        Walker w;
        w.onStart = [&](std::string_view name, std::span<const Attribute> a) {
            if (name == "rootfile" && book.packagePath.empty() &&
                get(a, "media-type").value_or("application/oebps-package+xml") == "application/oebps-package+xml")
                book.packagePath = documents::resolveHref("", get(a, "full-path").value_or(""));
        };
        walk(entry(document, "META-INF/container.xml", shown), w, "The container of \"" + shown + "\"");
    }
    const std::string folder = documents::folderOf(book.packagePath);
    std::string uniqueId;
    std::map<std::string, std::string> identifiers;  // by id
    std::string firstIdentifier;
    std::map<std::string, size_t> byId;
    std::vector<std::pair<std::string, bool>> spine;
    std::string tocId;
    std::string coverId;
    std::string* text = nullptr;
    std::string current;
    std::string currentId;
    std::string currentName;
    Walker w;
    w.onStart = [&](std::string_view name, std::span<const Attribute> a) {
        if (name == "package") uniqueId = get(a, "unique-identifier").value_or("");
        if (name == "dc:identifier" || name == "dc:title" || name == "dc:language") {
            current.clear();
            currentId = get(a, "id").value_or("");
            currentName = name;
            text = &current;
        } else if (name == "meta" && get(a, "name") == "cover") {
            coverId = get(a, "content").value_or("");
        } else if (name == "item") {
            const std::string id(get(a, "id").value_or(""));
            const std::string href(get(a, "href").value_or(""));
            const std::string path = documents::resolveHref(folder, href);
            // A file listed twice, or one that would stand in for the book's own structure, is left out.
            if (id.empty() || path.empty() || byId.contains(id) || path == "mimetype" ||
                path.starts_with("META-INF/") || path == book.packagePath ||
                std::any_of(book.items.begin(), book.items.end(), [&](const SourceItem& i) { return i.path == path; }))
                return;
            const std::string properties(get(a, "properties").value_or(""));
            byId[id] = book.items.size();
            book.items.push_back(SourceItem{path, href, std::string(get(a, "media-type").value_or("")),
                                            documents::hasToken(properties, "nav"),
                                            documents::hasToken(properties, "cover-image")});
        } else if (name == "spine") {
            tocId = get(a, "toc").value_or("");
        } else if (name == "itemref") {
            spine.emplace_back(get(a, "idref").value_or(""), get(a, "linear") != "no");
        }
    };
    w.onEnd = [&](std::string_view name) {
        if (!text || name != currentName) return;
        text = nullptr;
        const std::string value = trimmed(current);
        if (value.empty()) return;
        if (name == "dc:identifier") {
            if (firstIdentifier.empty()) firstIdentifier = value;
            if (!currentId.empty()) identifiers[currentId] = value;
        } else if (name == "dc:title" && book.title.empty()) {
            book.title = value;
        } else if (name == "dc:language" && book.language.empty()) {
            book.language = value;
        }
    };
    w.onText = [&](std::string_view chunk) {
        if (text && text->size() < 4096) text->append(chunk);
    };
    walk(entry(document, book.packagePath, shown), w, "The package of \"" + shown + "\"");
    book.identifier = identifiers.contains(uniqueId) ? identifiers[uniqueId] : firstIdentifier;

    std::string ncx;
    bool hasNav = false;
    for (size_t i = 0; i < book.items.size(); ++i) {
        SourceItem& item = book.items[i];
        if (!coverId.empty() && byId[coverId] == i && item.mediaType.starts_with("image/")) item.cover = true;
        if (item.mediaType == "application/x-dtbncx+xml" && (ncx.empty() || byId[tocId] == i)) ncx = item.path;
        hasNav = hasNav || item.nav;
    }
    for (const auto& [id, linear] : spine) {
        const auto at = byId.find(id);
        if (at == byId.end() || !xhtmlType(book.items[at->second].mediaType)) continue;
        if (std::any_of(book.spine.begin(), book.spine.end(), [&](const auto& r) { return r.item == at->second; }))
            continue;
        book.spine.push_back({at->second, linear});
    }
    if (!hasNav && !ncx.empty()) readNcx(document, ncx, shown, book);
    return book;
}

void collectIds(std::string_view xhtml, std::set<std::string>& ids) {
    Walker w;
    w.onStart = [&](std::string_view name, std::span<const Attribute> a) {
        if (const auto id = get(a, "id")) ids.insert(std::string(*id));
        if (name == "a")
            if (const auto anchor = get(a, "name")) ids.insert(std::string(*anchor));
    };
    (void)documents::walkMarkup(xhtml, w);
}

RewrittenXhtml rewriteXhtml(std::string_view source, const XhtmlSettings& settings, const XhtmlMarks* marks) {
    Rewriter rewriter(settings, marks);
    rewriter.startMeasuring();
    walk(source, rewriter, "A document of the book");
    rewriter.startWriting();
    walk(source, rewriter, "A document of the book");
    return rewriter.finish();
}

}  // namespace say
