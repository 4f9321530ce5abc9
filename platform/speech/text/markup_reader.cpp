// SPDX-License-Identifier: GPL-3.0-or-later
// The XML reader both markup languages share: text, entities, comments, CDATA, tags and attributes,
// the stack of open elements, and the units and markers their elements put.
#include "speech/text/markup_reader.h"

#include <unicode/utf16.h>

#include <algorithm>
#include <array>
#include <limits>

#include "base/error.h"
#include "base/utf8.h"

namespace speech::text {

namespace {

constexpr size_t kMaxDepth = 10000;
constexpr size_t kRun = 4096;  // units read per step, so a long text run is read in pieces
// All the silences of one text together (24 hours): past it the text would be hours of nothing.
constexpr int64_t kMaxTotalSilenceMs = int64_t{24} * 3600 * 1000;

char16_t lower(char16_t c) {
    return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c - u'A' + u'a') : c;
}

bool isNameStart(char16_t c) {
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || c == u'_' || c == u':' || c >= 0x80;
}
bool isNameChar(char16_t c) {
    return isNameStart(c) || (c >= u'0' && c <= u'9') || c == u'-' || c == u'.';
}

// A mark's number: its leading decimal integer (after blanks and a sign), 0 when it has none.
int32_t markNumber(std::u16string_view v) {
    size_t i = 0;
    while (i < v.size() && isXmlSpace(v[i])) ++i;
    bool negative = false;
    if (i < v.size() && (v[i] == u'-' || v[i] == u'+')) negative = v[i++] == u'-';
    int64_t n = 0;
    while (i < v.size() && v[i] >= u'0' && v[i] <= u'9') {
        n = std::min<int64_t>(n * 10 + (v[i] - u'0'), int64_t{std::numeric_limits<int32_t>::max()} + 1);
        ++i;
    }
    if (negative) n = -n;
    return static_cast<int32_t>(
        std::clamp<int64_t>(n, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max()));
}

}  // namespace

[[noreturn]] void markupError(size_t position, const std::string& what) {
    throw base::Error(base::errc::kMarkup, "XML error at character " + std::to_string(position) + ": " + what);
}

std::string quoted(std::u16string_view s, size_t limit) {
    std::string out = base::toUtf8(s.substr(0, std::min(limit, s.size())));
    for (char& c : out) {
        if (static_cast<unsigned char>(c) < 0x20) c = ' ';
    }
    return out;
}

bool equalsIgnoreCase(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

bool isXmlSpace(char16_t c) {
    return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n';
}

MarkupReader::MarkupReader(const std::u16string& text, const FrontEndContext& context,
                           std::shared_ptr<const VoiceTable> voices)
    : text_(text), context_(context), voices_(std::move(voices)) {
    reset();
}

void MarkupReader::reset() {
    pos_ = 0;
    last_ = U'\n';
    silenceMs_ = 0;
    stack_.clear();
    Frame root;
    root.settings = fromState(context_.persisted, *voices_);
    stack_.push_back(root);
    restyle(stack_.back());
}

bool MarkupReader::step(UnitSink* sink) {
    const size_t n = text_.size();
    if (pos_ >= n) return false;
    if (text_[pos_] == u'<' && readMarkup(sink)) return true;
    readText(sink);
    return true;
}

MarkupState MarkupReader::persisted() const {
    return toState(stack_.front().settings, *voices_);
}

void MarkupReader::restyle(Frame& f) const {
    Style st = resolve(f.settings, context_, voices_->base);
    st.emphasis = f.emphasis;
    f.style = packStyle(st);
}

void MarkupReader::put(UnitSink& sink, char32_t c, int32_t src, int32_t srcEnd, uint32_t style) {
    sink.put(c, src, srcEnd, style);
    last_ = c;
}

// Text up to the next tag (at most kRun units), entities decoded.
void MarkupReader::readText(UnitSink* sink) {
    const size_t n = text_.size();
    const size_t begin = pos_;
    const size_t stop = std::min(n, pos_ + kRun);
    Frame& top = stack_.back();
    const bool emit = reading(sink);
    const bool transform = top.spell || top.context != ContextKind::None;
    while (pos_ < stop) {
        const size_t at = pos_;
        char32_t c = text_[pos_];
        if (c == u'<' && at != begin) break;  // the first "<" here is one that is plain text
        size_t len = 1;
        if (c == u'&') {
            len = entity(pos_, c);
        } else {
            size_t next = pos_;
            c = nextCodePoint(text_.data(), next, n);
            len = next - pos_;
            if (foldLineBreaks_ && (c == U'\n' || c == U'\r' || c == U'\t')) c = U' ';
        }
        pos_ += len;
        if (!emit) continue;
        if (transform) {
            run_.push_back({c, static_cast<int32_t>(at), static_cast<int32_t>(pos_)});
        } else {
            put(*sink, c, static_cast<int32_t>(at), static_cast<int32_t>(pos_), top.style);
        }
    }
    if (emit && transform) flushRun(*sink, top);
}

void MarkupReader::flushRun(UnitSink& sink, const Frame& top) {
    if (top.context != ContextKind::None) readAs(top.context, run_);
    for (size_t i = 0; i < run_.size(); ++i) {
        const ContextChar& c = run_[i];
        put(sink, c.c, c.src, c.srcEnd, top.style);
        if (top.spell && c.c != U' ') {
            // The pause between letters sits where the next letter starts.
            const int32_t at = i + 1 < run_.size() ? std::min(c.srcEnd, run_[i + 1].src) : c.srcEnd;
            put(sink, U' ', at, at, top.style);
        }
    }
    run_.clear();
}

// The entity at `at` ("&...;"): its character in `c`, its length as the result. An "&" that starts no
// known entity stands for itself.
size_t MarkupReader::entity(size_t at, char32_t& c) const {
    const size_t n = text_.size();
    size_t semi = at + 1;
    while (semi < n && semi < at + 12 && text_[semi] != u';') ++semi;
    c = u'&';
    if (semi >= n || text_[semi] != u';') {
        if (at + 1 < n && text_[at + 1] == u'#') markupError(at, "unterminated character reference");
        return 1;
    }
    std::u16string_view name(text_.data() + at + 1, semi - at - 1);
    if (!name.empty() && name[0] == u'#') {
        const bool hex = name.size() > 1 && (name[1] == u'x' || name[1] == u'X');
        std::u16string_view digits = name.substr(hex ? 2 : 1);
        if (digits.empty()) markupError(at, "bad character reference");
        uint32_t v = 0;
        for (char16_t d : digits) {
            int x;
            if (d >= u'0' && d <= u'9')
                x = d - u'0';
            else if (hex && d >= u'a' && d <= u'f')
                x = d - u'a' + 10;
            else if (hex && d >= u'A' && d <= u'F')
                x = d - u'A' + 10;
            else
                markupError(at, "bad character reference \"&" + quoted(name) + ";\"");
            v = v * (hex ? 16 : 10) + static_cast<uint32_t>(x);
            if (v > 0x10FFFF) markupError(at, "character reference \"&" + quoted(name) + ";\" is out of range");
        }
        if (v == 0 || (v >= 0xD800 && v <= 0xDFFF)) {
            markupError(at, "character reference \"&" + quoted(name) + ";\" is not a character");
        }
        c = v;
        return semi - at + 1;
    }
    static const std::array<std::pair<std::u16string_view, char32_t>, 5> kEntities{
        {{u"lt", U'<'}, {u"gt", U'>'}, {u"amp", U'&'}, {u"quot", U'"'}, {u"apos", U'\''}}};
    for (const auto& [e, ch] : kEntities) {
        if (name == e) {
            c = ch;
            return semi - at + 1;
        }
    }
    return 1;
}

size_t MarkupReader::find(std::u16string_view what, size_t from) const {
    return std::u16string_view(text_).find(what, from);
}

// Markup at pos_ ("<..."). Returns false when the "<" is plain text.
bool MarkupReader::readMarkup(UnitSink* sink) {
    const size_t n = text_.size();
    const size_t at = pos_;
    if (at + 1 >= n) return false;
    const char16_t c = text_[at + 1];
    std::u16string_view rest(text_.data() + at, n - at);
    if (rest.starts_with(u"<!--")) {
        const size_t end = find(u"-->", at + 4);
        if (end == std::u16string_view::npos) markupError(at, "unterminated comment");
        pos_ = end + 3;
        return true;
    }
    if (rest.starts_with(u"<![CDATA[")) {
        const size_t end = find(u"]]>", at + 9);
        if (end == std::u16string_view::npos) markupError(at, "unterminated CDATA section");
        literal(sink, at + 9, end);
        pos_ = end + 3;
        return true;
    }
    if (c == u'!' || c == u'?') {
        const size_t end = c == u'?' ? find(u"?>", at + 2) : find(u">", at + 2);
        if (end == std::u16string_view::npos)
            markupError(at, c == u'?' ? "unterminated processing instruction" : "unterminated declaration");
        pos_ = end + (c == u'?' ? 2 : 1);
        return true;
    }
    if (c == u'/') {
        endTag(sink, at);
        return true;
    }
    if (!isNameStart(c)) return false;
    startTag(sink, at);
    return true;
}

// Text taken as it stands (a CDATA section).
void MarkupReader::literal(UnitSink* sink, size_t from, size_t to) {
    const Frame& top = stack_.back();
    if (!reading(sink)) return;
    for (size_t i = from; i < to;) {
        const size_t at = i;
        char32_t c = nextCodePoint(text_.data(), i, to);
        if (foldLineBreaks_ && (c == U'\n' || c == U'\r' || c == U'\t')) c = U' ';
        if (top.spell || top.context != ContextKind::None) {
            run_.push_back({c, static_cast<int32_t>(at), static_cast<int32_t>(i)});
        } else {
            put(*sink, c, static_cast<int32_t>(at), static_cast<int32_t>(i), top.style);
        }
    }
    if (!run_.empty()) flushRun(*sink, top);
}

size_t MarkupReader::skipSpace(size_t i) const {
    while (i < text_.size() && isXmlSpace(text_[i])) ++i;
    return i;
}

size_t MarkupReader::readName(size_t i) const {
    if (i < text_.size() && isNameStart(text_[i])) {
        ++i;
        while (i < text_.size() && isNameChar(text_[i])) ++i;
    }
    return i;
}

void MarkupReader::endTag(UnitSink* sink, size_t at) {
    const size_t nameEnd = readName(at + 2);
    if (nameEnd == at + 2) markupError(at, "end tag without a name");
    std::u16string_view name(text_.data() + at + 2, nameEnd - at - 2);
    const size_t close = skipSpace(nameEnd);
    if (close >= text_.size()) markupError(at, "unterminated tag </" + quoted(name) + ">");
    if (text_[close] != u'>') markupError(close, "unexpected character in end tag </" + quoted(name) + ">");
    if (stack_.size() <= 1) markupError(at, "end tag </" + quoted(name) + "> without a start tag");
    const Frame& top = stack_.back();
    if (!equalsIgnoreCase(top.name, name)) {
        markupError(at, "end tag </" + quoted(name) + "> does not match <" + quoted(top.name) + "> at character " +
                            std::to_string(top.start));
    }
    const Frame& parent = stack_[stack_.size() - 2];
    if (top.replaced && sink && !parent.suppressed) {
        if (top.replacementIsPhonemes)
            putPhonemes(*sink, top.replacement, top.contentStart, at, parent);
        else
            putReplacement(*sink, top.replacement, top.contentStart, at, parent);
    }
    const bool sentence = top.sentence;
    stack_.pop_back();
    if (sentence) putSentenceBreak(sink, at);
    pos_ = close + 1;
}

void MarkupReader::putPhonemes(UnitSink& sink, const std::u32string& phonemes, size_t from, size_t to,
                               const Frame& in) {
    if (phonemes.empty()) return;
    Style st = unpackStyle(in.style);
    st.phonemes = true;
    const uint32_t style = packStyle(st);
    const auto src = static_cast<int32_t>(from);
    for (size_t i = 0; i < phonemes.size(); ++i) {
        put(sink, phonemes[i], src, i + 1 == phonemes.size() ? static_cast<int32_t>(to) : src, style);
    }
}

void MarkupReader::putReplacement(UnitSink& sink, std::u32string_view text, size_t from, size_t to, const Frame& in) {
    for (const char32_t c : text) run_.push_back({c, static_cast<int32_t>(from), static_cast<int32_t>(to)});
    if (in.spell || in.context != ContextKind::None) {
        flushRun(sink, in);
        return;
    }
    for (const ContextChar& c : run_) put(sink, c.c, c.src, c.srcEnd, in.style);
    run_.clear();
}

void MarkupReader::putSentenceBreak(UnitSink* sink, size_t at) {
    if (!reading(sink) || last_ == U'\n' || last_ == U'\r' || last_ == U'\u2029') return;
    const auto src = static_cast<int32_t>(at);
    put(*sink, U'\n', src, src, stack_.back().style);
}

void MarkupReader::putSilence(UnitSink* sink, size_t at, int ms) {
    // Counted whether read or only checked, so that the check refuses a text the reading would.
    silenceMs_ += ms;
    if (silenceMs_ > kMaxTotalSilenceMs) markupError(at, "the silences of this text add up to more than 24 hours");
    if (!reading(sink)) return;
    Marker m;
    m.isSilence = true;
    m.silenceMs = ms;
    m.style = stack_.back().style;
    m.source = static_cast<int32_t>(at);
    sink->marker(std::move(m));
}

void MarkupReader::putBookmark(UnitSink* sink, size_t at, const std::u16string* name) {
    if (!reading(sink)) return;
    Marker m;
    m.style = stack_.back().style;
    m.mark.sourcePosition = static_cast<int32_t>(at);
    m.source = static_cast<int32_t>(at);
    if (name) {
        m.mark.text = quoted(*name, std::numeric_limits<size_t>::max());
        m.mark.id = markNumber(*name);
    }
    sink->marker(std::move(m));
}

const Attribute* MarkupReader::attribute(std::u16string_view name) const {
    const Attribute* found = nullptr;
    for (const auto& a : attrs_) {
        if (equalsIgnoreCase(a.name, name)) found = &a;
    }
    return found;
}

void MarkupReader::startTag(UnitSink* sink, size_t at) {
    const size_t n = text_.size();
    const size_t nameEnd = readName(at + 1);
    std::u16string_view name(text_.data() + at + 1, nameEnd - at - 1);
    attrs_.clear();
    size_t i = nameEnd;
    bool empty = false;
    for (;;) {
        const size_t before = i;
        i = skipSpace(i);
        if (i >= n) markupError(at, "unterminated tag <" + quoted(name) + ">");
        if (text_[i] == u'>') {
            ++i;
            break;
        }
        if (text_[i] == u'/') {
            if (i + 1 < n && text_[i + 1] == u'>') {
                empty = true;
                i += 2;
                break;
            }
            markupError(i, "unexpected \"/\" in tag <" + quoted(name) + ">");
        }
        if (before == i && readName(i) != i)
            markupError(i, "missing space before attribute in tag <" + quoted(name) + ">");
        i = readAttribute(i, at, name);
    }
    pos_ = i;
    if (!empty && stack_.size() >= kMaxDepth) markupError(at, "elements are nested too deeply");
    startElement(sink, at, name, empty);
}

// The attribute at `i` (name="value") into attrs_; returns where it ends.
size_t MarkupReader::readAttribute(size_t i, size_t at, std::u16string_view element) {
    const size_t n = text_.size();
    const size_t attrEnd = readName(i);
    if (attrEnd == i) markupError(i, "unexpected character in tag <" + quoted(element) + ">");
    Attribute a;
    a.name = std::u16string_view(text_.data() + i, attrEnd - i);
    i = skipSpace(attrEnd);
    if (i >= n || text_[i] != u'=') markupError(i >= n ? at : i, "attribute " + quoted(a.name) + " has no value");
    i = skipSpace(i + 1);
    if (i >= n || (text_[i] != u'"' && text_[i] != u'\'')) {
        markupError(i >= n ? at : i, "missing quote in the value of " + quoted(a.name));
    }
    const char16_t quote = text_[i];
    const size_t valueStart = i + 1;
    const size_t close = find(std::u16string_view(&quote, 1), valueStart);
    if (close == std::u16string_view::npos) markupError(i, "missing closing quote in the value of " + quoted(a.name));
    a.position = valueStart;
    for (size_t k = valueStart; k < close;) {
        char32_t ch = text_[k];
        size_t len = 1;
        if (ch == u'&') len = entity(k, ch);
        if (len > close - k) len = 1, ch = u'&';
        if (ch > 0xFFFF) {
            a.value += static_cast<char16_t>(U16_LEAD(ch));
            a.value += static_cast<char16_t>(U16_TRAIL(ch));
        } else {
            a.value += static_cast<char16_t>(ch);
        }
        k += len;
    }
    if (a.value.size() > maxAttributeUnits_) {
        markupError(a.position, "the " + quoted(a.name) + " attribute of <" + quoted(element) + "> takes at most " +
                                    std::to_string(maxAttributeUnits_) + " characters");
    }
    attrs_.push_back(std::move(a));
    return close + 1;
}

Frame& MarkupReader::pushFrame(std::u16string_view name, size_t at) {
    Frame f = stack_.back();
    f.name = name;
    f.start = at;
    f.replaced = false;
    f.replacementIsPhonemes = false;
    f.replacement.clear();
    f.sentence = false;
    stack_.push_back(std::move(f));
    return stack_.back();
}

int MarkupReader::selectVoice(const std::string& required, const std::string& optional, int current) const {
    const auto& tokens = voices_->tokens;
    const size_t installed = std::min(tokens.size(), context_.voices.size());
    int best = -1;
    int bestScore = -1;
    for (size_t k = 0; k < installed; ++k) {
        if (!tokens[k].matches(required)) continue;
        const int score = tokens[k].matchCount(optional);
        if (score > bestScore) {
            best = static_cast<int>(k);
            bestScore = score;
        }
    }
    if (best < 0) return current;  // nothing fits: the voice stays
    const int currentIndex = current >= 0 ? current : voices_->base;
    if (static_cast<size_t>(currentIndex) < tokens.size() && tokens[currentIndex].matches(required) &&
        tokens[currentIndex].matchCount(optional) >= bestScore) {
        return current;
    }
    return best;
}

}  // namespace speech::text
