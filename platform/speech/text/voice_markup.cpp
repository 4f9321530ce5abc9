// SPDX-License-Identifier: GPL-3.0-or-later
// The voice's XML markup: one reader that both checks a whole text (before anything is spoken) and,
// run again lazily, turns it into styled units with bookmarks and silences between them.
//
// The reader is strict where a fault would change what is heard (tags, quotes, numbers, nesting,
// character references) and lenient where ordinary text meets markup by accident: a "<" not followed
// by a name and an "&" that starts no known entity are spoken as they stand.
#include "speech/text/voice_markup.h"

#include <unicode/utf16.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>

#include "base/error.h"
#include "base/utf8.h"
#include "speech/text/say_as.h"

namespace speech::text {

namespace {

constexpr size_t kMaxDepth = 10000;
constexpr size_t kRun = 4096;  // units read per step, so a long text run is read in pieces
constexpr int kMaxSilenceMs = 600000;

// A short quote of the text for an error message; control characters shown as spaces.
std::string utf8(std::u16string_view s, size_t limit = 40) {
    std::string out = toUtf8(s.substr(0, std::min(limit, s.size())));
    for (char& c : out) {
        if (static_cast<unsigned char>(c) < 0x20) c = ' ';
    }
    return out;
}

[[noreturn]] void fail(size_t position, const std::string& what) {
    throw Error(errc::kMarkup, "XML error at character " + std::to_string(position) + ": " + what);
}

char16_t lower(char16_t c) {
    return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c - u'A' + u'a') : c;
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
bool isNameStart(char16_t c) {
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || c == u'_' || c == u':' || c >= 0x80;
}
bool isNameChar(char16_t c) {
    return isNameStart(c) || (c >= u'0' && c <= u'9') || c == u'-' || c == u'.';
}

enum class Element {
    Unknown,
    Volume,
    Rate,
    Pitch,
    Emph,
    Spell,
    Silence,
    Bookmark,
    Pron,
    PartOfSp,
    Context,
    Voice,
    Lang
};

Element elementOf(std::u16string_view name) {
    static const std::array<std::pair<std::u16string_view, Element>, 12> kNames{{
        {u"volume", Element::Volume},
        {u"rate", Element::Rate},
        {u"pitch", Element::Pitch},
        {u"emph", Element::Emph},
        {u"spell", Element::Spell},
        {u"silence", Element::Silence},
        {u"bookmark", Element::Bookmark},
        {u"pron", Element::Pron},
        {u"partofsp", Element::PartOfSp},
        {u"context", Element::Context},
        {u"voice", Element::Voice},
        {u"lang", Element::Lang},
    }};
    for (const auto& [n, e] : kNames) {
        if (equalsIgnoreCase(name, n)) return e;
    }
    return Element::Unknown;
}

struct Attribute {
    std::u16string_view name;
    std::u16string value;
    size_t position = 0;  // where the value starts
};

const Attribute* findAttribute(const std::vector<Attribute>& attrs, std::u16string_view name) {
    const Attribute* found = nullptr;
    for (const auto& a : attrs) {
        if (equalsIgnoreCase(a.name, name)) found = &a;
    }
    return found;
}

int parseNumber(const Attribute& a, int low, int high) {
    std::u16string_view v = a.value;
    size_t i = 0;
    while (i < v.size() && isXmlSpace(v[i])) ++i;
    bool negative = false;
    if (i < v.size() && (v[i] == u'-' || v[i] == u'+')) negative = v[i++] == u'-';
    const size_t digits = i;
    int64_t n = 0;
    while (i < v.size() && v[i] >= u'0' && v[i] <= u'9') {
        n = std::min<int64_t>(n * 10 + (v[i] - u'0'), int64_t{1} << 40);
        ++i;
    }
    const bool hadDigits = i > digits;
    while (i < v.size() && isXmlSpace(v[i])) ++i;
    if (!hadDigits || i != v.size()) fail(a.position, "bad number \"" + utf8(v) + "\" for " + utf8(a.name));
    if (negative) n = -n;
    if (n < low || n > high) {
        fail(a.position, "value " + utf8(v) + " of " + utf8(a.name) + " is out of range " + std::to_string(low) + ".." +
                             std::to_string(high));
    }
    return static_cast<int>(n);
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

struct Frame {
    std::u16string_view name;  // as written, to match the end tag
    size_t start = 0;          // where the start tag begins
    Settings settings;
    bool emphasis = false;
    bool spell = false;
    bool suppressed = false;  // inside a wrapping <pron>: its text is replaced by the pronunciation
    ContextKind context = ContextKind::None;
    bool pron = false;
    std::u32string phonemes;
    size_t contentStart = 0;
    uint32_t style = 0;
};

}  // namespace

// Reads markup one token at a time. With a sink it produces units; without, it only checks.
class MarkupReader {
public:
    MarkupReader(const std::u16string& text, const FrontEndContext& context, std::shared_ptr<const VoiceTable> voices,
                 bool ssml)
        : text_(text), context_(context), voices_(std::move(voices)), ssml_(ssml) {
        reset();
    }

    void reset() {
        pos_ = 0;
        stack_.clear();
        Frame root;
        root.settings = fromState(context_.persisted, *voices_);
        stack_.push_back(root);
        restyle(stack_.back());
    }

    bool atEnd() const { return pos_ >= text_.size(); }

    // Reads one token. Returns false at the end of the text.
    bool step(UnitSink* sink) {
        const size_t n = text_.size();
        if (pos_ >= n) return false;
        if (text_[pos_] == u'<' && readMarkup(sink)) return true;
        readText(sink);
        return true;
    }

    MarkupState persisted() const { return toState(stack_.front().settings, *voices_); }

private:
    void restyle(Frame& f) {
        Style st = resolve(f.settings, context_, voices_->base);
        st.emphasis = f.emphasis;
        f.style = packStyle(st);
    }

    // Text up to the next tag (at most kRun units), entities decoded.
    void readText(UnitSink* sink) {
        const size_t n = text_.size();
        const size_t begin = pos_;
        const size_t stop = std::min(n, pos_ + kRun);
        Frame& top = stack_.back();
        const bool emit = sink && !top.suppressed && !ssml_;
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
            }
            pos_ += len;
            if (!emit) continue;
            if (transform) {
                run_.push_back({c, static_cast<int32_t>(at), static_cast<int32_t>(pos_)});
            } else {
                sink->put(c, static_cast<int32_t>(at), static_cast<int32_t>(pos_), top.style);
            }
        }
        if (emit && transform) flushRun(*sink, top);
    }

    void flushRun(UnitSink& sink, const Frame& top) {
        if (top.context != ContextKind::None) readAs(top.context, run_);
        for (size_t i = 0; i < run_.size(); ++i) {
            const ContextChar& c = run_[i];
            sink.put(c.c, c.src, c.srcEnd, top.style);
            if (top.spell && c.c != U' ') {
                // The pause between letters sits where the next letter starts.
                const int32_t at = i + 1 < run_.size() ? std::min(c.srcEnd, run_[i + 1].src) : c.srcEnd;
                sink.put(U' ', at, at, top.style);
            }
        }
        run_.clear();
    }

    // The entity at `at` ("&...;"): its character in `c`, its length as the result. An "&" that
    // starts no known entity stands for itself.
    size_t entity(size_t at, char32_t& c) {
        const size_t n = text_.size();
        size_t semi = at + 1;
        while (semi < n && semi < at + 12 && text_[semi] != u';') ++semi;
        c = u'&';
        if (semi >= n || text_[semi] != u';') {
            if (at + 1 < n && text_[at + 1] == u'#') fail(at, "unterminated character reference");
            return 1;
        }
        std::u16string_view name(text_.data() + at + 1, semi - at - 1);
        if (!name.empty() && name[0] == u'#') {
            const bool hex = name.size() > 1 && (name[1] == u'x' || name[1] == u'X');
            std::u16string_view digits = name.substr(hex ? 2 : 1);
            if (digits.empty()) fail(at, "bad character reference");
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
                    fail(at, "bad character reference \"&" + utf8(name) + ";\"");
                v = v * (hex ? 16 : 10) + static_cast<uint32_t>(x);
                if (v > 0x10FFFF) fail(at, "character reference \"&" + utf8(name) + ";\" is out of range");
            }
            if (v == 0 || (v >= 0xD800 && v <= 0xDFFF)) {
                fail(at, "character reference \"&" + utf8(name) + ";\" is not a character");
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

    size_t find(std::u16string_view what, size_t from) const {
        const size_t r = std::u16string_view(text_).find(what, from);
        return r;
    }

    // Markup at pos_ ("<..."). Returns false when the "<" is plain text.
    bool readMarkup(UnitSink* sink) {
        const size_t n = text_.size();
        const size_t at = pos_;
        if (at + 1 >= n) return false;
        const char16_t c = text_[at + 1];
        std::u16string_view rest(text_.data() + at, n - at);
        if (rest.starts_with(u"<!--")) {
            const size_t end = find(u"-->", at + 4);
            if (end == std::u16string_view::npos) fail(at, "unterminated comment");
            pos_ = end + 3;
            return true;
        }
        if (rest.starts_with(u"<![CDATA[")) {
            const size_t end = find(u"]]>", at + 9);
            if (end == std::u16string_view::npos) fail(at, "unterminated CDATA section");
            literal(sink, at + 9, end);
            pos_ = end + 3;
            return true;
        }
        if (c == u'!' || c == u'?') {
            const size_t end = c == u'?' ? find(u"?>", at + 2) : find(u">", at + 2);
            if (end == std::u16string_view::npos)
                fail(at, c == u'?' ? "unterminated processing instruction" : "unterminated declaration");
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
    void literal(UnitSink* sink, size_t from, size_t to) {
        const Frame& top = stack_.back();
        if (!sink || top.suppressed || ssml_) return;
        for (size_t i = from; i < to;) {
            const size_t at = i;
            const char32_t c = nextCodePoint(text_.data(), i, to);
            if (top.spell || top.context != ContextKind::None) {
                run_.push_back({c, static_cast<int32_t>(at), static_cast<int32_t>(i)});
            } else {
                sink->put(c, static_cast<int32_t>(at), static_cast<int32_t>(i), top.style);
            }
        }
        if (!run_.empty()) flushRun(*sink, top);
    }

    size_t skipSpace(size_t i) const {
        while (i < text_.size() && isXmlSpace(text_[i])) ++i;
        return i;
    }

    size_t readName(size_t i) const {
        if (i < text_.size() && isNameStart(text_[i])) {
            ++i;
            while (i < text_.size() && isNameChar(text_[i])) ++i;
        }
        return i;
    }

    void endTag(UnitSink* sink, size_t at) {
        const size_t nameEnd = readName(at + 2);
        if (nameEnd == at + 2) fail(at, "end tag without a name");
        std::u16string_view name(text_.data() + at + 2, nameEnd - at - 2);
        const size_t close = skipSpace(nameEnd);
        if (close >= text_.size()) fail(at, "unterminated tag </" + utf8(name) + ">");
        if (text_[close] != u'>') fail(close, "unexpected character in end tag </" + utf8(name) + ">");
        if (stack_.size() <= 1) fail(at, "end tag </" + utf8(name) + "> without a start tag");
        const Frame& top = stack_.back();
        if (!equalsIgnoreCase(top.name, name)) {
            fail(at, "end tag </" + utf8(name) + "> does not match <" + utf8(top.name) + "> at character " +
                         std::to_string(top.start));
        }
        if (top.pron && sink && !ssml_ && !stack_[stack_.size() - 2].suppressed) {
            putPhonemes(*sink, top.phonemes, top.contentStart, at, stack_[stack_.size() - 2]);
        }
        stack_.pop_back();
        pos_ = close + 1;
    }

    void putPhonemes(UnitSink& sink, const std::u32string& phonemes, size_t from, size_t to, const Frame& in) {
        if (phonemes.empty()) return;
        Style st = unpackStyle(in.style);
        st.phonemes = true;
        const uint32_t style = packStyle(st);
        const auto src = static_cast<int32_t>(from);
        for (size_t i = 0; i < phonemes.size(); ++i) {
            sink.put(phonemes[i], src, i + 1 == phonemes.size() ? static_cast<int32_t>(to) : src, style);
        }
    }

    void startTag(UnitSink* sink, size_t at) {
        const size_t n = text_.size();
        const size_t nameEnd = readName(at + 1);
        std::u16string_view name(text_.data() + at + 1, nameEnd - at - 1);
        attrs_.clear();
        size_t i = nameEnd;
        bool empty = false;
        for (;;) {
            const size_t before = i;
            i = skipSpace(i);
            if (i >= n) fail(at, "unterminated tag <" + utf8(name) + ">");
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
                fail(i, "unexpected \"/\" in tag <" + utf8(name) + ">");
            }
            const size_t attrEnd = readName(i);
            if (attrEnd == i) fail(i, "unexpected character in tag <" + utf8(name) + ">");
            if (before == i) fail(i, "missing space before attribute in tag <" + utf8(name) + ">");
            Attribute a;
            a.name = std::u16string_view(text_.data() + i, attrEnd - i);
            i = skipSpace(attrEnd);
            if (i >= n || text_[i] != u'=') fail(i >= n ? at : i, "attribute " + utf8(a.name) + " has no value");
            i = skipSpace(i + 1);
            if (i >= n || (text_[i] != u'"' && text_[i] != u'\'')) {
                fail(i >= n ? at : i, "missing quote in the value of " + utf8(a.name));
            }
            const char16_t quote = text_[i];
            const size_t valueStart = i + 1;
            const size_t close = find(std::u16string_view(&quote, 1), valueStart);
            if (close == std::u16string_view::npos) fail(i, "missing closing quote in the value of " + utf8(a.name));
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
            attrs_.push_back(std::move(a));
            i = close + 1;
        }
        pos_ = i;
        if (!empty && stack_.size() >= kMaxDepth) fail(at, "elements are nested too deeply");
        if (ssml_) {
            if (!empty) pushFrame(name, at);
            return;
        }
        apply(sink, at, name, empty);
    }

    Frame& pushFrame(std::u16string_view name, size_t at) {
        Frame f = stack_.back();
        f.name = name;
        f.start = at;
        f.pron = false;
        f.phonemes.clear();
        stack_.push_back(std::move(f));
        return stack_.back();
    }

    int selectVoice(const std::string& required, const std::string& optional, int current) const {
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

    void apply(UnitSink* sink, size_t at, std::u16string_view name, bool empty) {
        const Element e = elementOf(name);
        Frame changed = stack_.back();
        bool changesSettings = false;
        switch (e) {
            case Element::Volume:
            case Element::Rate:
            case Element::Pitch:
                changesSettings = applyProsody(e, changed.settings);
                break;
            case Element::Emph:
                changed.emphasis = true;
                break;
            case Element::Spell:
                changed.spell = true;
                break;
            case Element::Silence:
                putSilence(sink, at);
                break;
            case Element::Bookmark:
                putBookmark(sink, at);
                break;
            case Element::Pron:
                // A pronunciation with content replaces it: a frame of its own, entered here.
                if (startPronunciation(sink, at, name, empty)) return;
                break;
            case Element::PartOfSp:
                checkPartOfSpeech();
                break;
            case Element::Context:
                if (const Attribute* a = findAttribute(attrs_, u"id")) changed.context = contextOf(a->value);
                break;
            case Element::Voice:
                changesSettings = applyVoice(changed.settings);
                break;
            case Element::Lang:
                changesSettings = applyLanguage(at, changed.settings);
                break;
            case Element::Unknown:
                break;
        }
        if (empty) {
            // An empty element changes the settings to the end of the enclosing element.
            if (changesSettings) {
                stack_.back().settings = changed.settings;
                restyle(stack_.back());
            }
            return;
        }
        Frame& f = pushFrame(name, at);
        f.settings = changed.settings;
        f.emphasis = changed.emphasis;
        f.spell = changed.spell;
        f.context = changed.context;
        restyle(f);
    }

    // <volume level>, <rate absspeed speed>, <pitch absmiddle middle>: whether a setting changed.
    bool applyProsody(Element e, Settings& settings) {
        bool changes = false;
        if (e == Element::Volume) {
            if (const Attribute* a = findAttribute(attrs_, u"level")) {
                settings.volume = parseNumber(*a, 0, 100);
                changes = true;
            }
            return changes;
        }
        const bool rate = e == Element::Rate;
        std::optional<int>& absolute = rate ? settings.absoluteRate : settings.absolutePitch;
        int& relative = rate ? settings.relativeRate : settings.relativePitch;
        if (const Attribute* a = findAttribute(attrs_, rate ? u"absspeed" : u"absmiddle")) {
            absolute = parseNumber(*a, -10, 10);
            relative = 0;
            changes = true;
        }
        if (const Attribute* a = findAttribute(attrs_, rate ? u"speed" : u"middle")) {
            relative = std::clamp(relative + parseNumber(*a, -10, 10), -20, 20);
            changes = true;
        }
        return changes;
    }

    void putSilence(UnitSink* sink, size_t at) {
        const Attribute* a = findAttribute(attrs_, u"msec");
        if (!a) fail(at, "<silence> needs a msec attribute");
        const int ms = parseNumber(*a, 0, kMaxSilenceMs);
        if (!sink || stack_.back().suppressed) return;
        Marker m;
        m.isSilence = true;
        m.silenceMs = ms;
        m.style = stack_.back().style;
        m.source = static_cast<int32_t>(at);
        sink->marker(std::move(m));
    }

    void putBookmark(UnitSink* sink, size_t at) {
        const Attribute* a = findAttribute(attrs_, u"mark");
        if (!sink || stack_.back().suppressed) return;
        Marker m;
        m.style = stack_.back().style;
        m.mark.sourcePosition = static_cast<int32_t>(at);
        m.source = static_cast<int32_t>(at);
        if (a) {
            m.mark.text = utf8(a->value, std::numeric_limits<size_t>::max());
            m.mark.id = markNumber(a->value);
        }
        sink->marker(std::move(m));
    }

    // <pron sym>: an empty one puts its phonemes here; one with content enters a frame whose content
    // is replaced by them (true: the caller has nothing more to do).
    bool startPronunciation(UnitSink* sink, size_t at, std::u16string_view name, bool empty) {
        const Attribute* a = findAttribute(attrs_, u"sym");
        if (!a) fail(at, "<pron> needs a sym attribute");
        std::u16string bad;
        auto phonemes = convertPhonemes(a->value, &bad);
        if (!phonemes) fail(a->position, "unknown phoneme \"" + utf8(bad) + "\"");
        if (empty) {
            if (sink && !stack_.back().suppressed) putPhonemes(*sink, *phonemes, at, at, stack_.back());
            return false;
        }
        Frame& f = pushFrame(name, at);
        f.pron = true;
        f.suppressed = true;
        f.phonemes = std::move(*phonemes);
        f.contentStart = pos_;
        return true;
    }

    void checkPartOfSpeech() {
        const Attribute* a = findAttribute(attrs_, u"part");
        if (!a) return;
        static const std::array<std::u16string_view, 6> kParts{u"noun",     u"verb",         u"modifier",
                                                               u"function", u"interjection", u"unknown"};
        if (std::none_of(kParts.begin(), kParts.end(),
                         [&](std::u16string_view p) { return equalsIgnoreCase(a->value, p); })) {
            fail(a->position, "unknown part of speech \"" + utf8(a->value) + "\"");
        }
    }

    // <voice required optional>: whether the voice setting changed.
    bool applyVoice(Settings& settings) {
        const Attribute* required = findAttribute(attrs_, u"required");
        const Attribute* optional = findAttribute(attrs_, u"optional");
        if (!required && !optional) return false;
        settings.voice = selectVoice(required ? utf8(required->value, 4096) : std::string(),
                                     optional ? utf8(optional->value, 4096) : std::string(), settings.voice);
        return true;
    }

    // <lang langid>: a hexadecimal language id picks a voice of that language.
    bool applyLanguage(size_t at, Settings& settings) {
        const Attribute* a = findAttribute(attrs_, u"langid");
        if (!a) fail(at, "<lang> needs a langid attribute");
        std::u16string_view v = a->value;
        while (!v.empty() && isXmlSpace(v.front())) v.remove_prefix(1);
        while (!v.empty() && isXmlSpace(v.back())) v.remove_suffix(1);
        const bool hex = !v.empty() && v.size() <= 4 && std::all_of(v.begin(), v.end(), [](char16_t d) {
            return (d >= u'0' && d <= u'9') || (d >= u'a' && d <= u'f') || (d >= u'A' && d <= u'F');
        });
        if (!hex) fail(a->position, "bad language id \"" + utf8(a->value) + "\"");
        settings.voice = selectVoice("Language=" + utf8(v), std::string(), settings.voice);
        return true;
    }

    const std::u16string& text_;
    const FrontEndContext& context_;
    std::shared_ptr<const VoiceTable> voices_;
    bool ssml_;
    size_t pos_ = 0;
    std::vector<Frame> stack_;
    std::vector<Attribute> attrs_;
    std::vector<ContextChar> run_;
};

namespace {

class MarkupProducer final : public UnitProducer {
public:
    MarkupProducer(std::shared_ptr<const std::u16string> text, const FrontEndContext& context,
                   std::shared_ptr<const VoiceTable> voices)
        : text_(std::move(text)), context_(context), reader_(*text_, context_, std::move(voices), false) {}

    bool fill(UnitSink& sink, uint64_t minUnits) override {
        const uint64_t start = sink.size();
        while (sink.size() - start < minUnits && reader_.step(&sink)) {
        }
        return !reader_.atEnd();
    }
    void restart() override { reader_.reset(); }

private:
    std::shared_ptr<const std::u16string> text_;
    FrontEndContext context_;  // a copy: the source outlives the caller's context
    MarkupReader reader_;
};

}  // namespace

bool isSsml(std::u16string_view text) {
    size_t i = 0;
    const size_t n = text.size();
    for (;;) {
        while (i < n && isXmlSpace(text[i])) ++i;
        if (i >= n || text[i] != u'<') return false;
        std::u16string_view rest = text.substr(i);
        size_t end;
        if (rest.starts_with(u"<!--")) {
            end = text.find(u"-->", i + 4);
            if (end == std::u16string_view::npos) return false;
            i = end + 3;
        } else if (rest.starts_with(u"<?")) {
            end = text.find(u"?>", i + 2);
            if (end == std::u16string_view::npos) return false;
            i = end + 2;
        } else if (rest.starts_with(u"<!")) {
            end = text.find(u'>', i + 2);
            if (end == std::u16string_view::npos) return false;
            i = end + 1;
        } else {
            return rest.size() > 6 && equalsIgnoreCase(rest.substr(1, 5), u"speak") &&
                   (isXmlSpace(rest[6]) || rest[6] == u'>' || rest[6] == u'/');
        }
    }
}

MarkupState checkMarkup(const std::u16string& text, const FrontEndContext& context,
                        std::shared_ptr<const VoiceTable> voices) {
    MarkupReader reader(text, context, std::move(voices), false);
    while (reader.step(nullptr)) {
    }
    return reader.persisted();
}

std::unique_ptr<UnitProducer> makeMarkupProducer(std::shared_ptr<const std::u16string> text,
                                                 const FrontEndContext& context,
                                                 std::shared_ptr<const VoiceTable> voices) {
    return std::make_unique<MarkupProducer>(std::move(text), context, std::move(voices));
}

void checkSsml(const std::u16string& text, const FrontEndContext& context, std::shared_ptr<const VoiceTable> voices) {
    MarkupReader reader(text, context, std::move(voices), true);
    while (reader.step(nullptr)) {
    }
}

std::optional<std::u32string> convertPhonemes(std::u16string_view sym, std::u16string* bad) {
    // The voice's American English phone set and the engine's phoneme mnemonics for each.
    struct Phone {
        std::u16string_view name;
        std::u32string_view engine;
        bool vowel;
    };
    static const std::array<Phone, 40> kPhones{{
        {u"aa", U"A:", true}, {u"ae", U"a", true},  {u"ah", U"V", true},  {u"ao", U"O:", true},  {u"aw", U"aU", true},
        {u"ax", U"@", true},  {u"ay", U"aI", true}, {u"b", U"b", false},  {u"ch", U"tS", false}, {u"d", U"d", false},
        {u"dh", U"D", false}, {u"eh", U"E", true},  {u"er", U"3:", true}, {u"ey", U"eI", true},  {u"f", U"f", false},
        {u"g", U"g", false},  {u"h", U"h", false},  {u"ih", U"I", true},  {u"iy", U"i:", true},  {u"jh", U"dZ", false},
        {u"k", U"k", false},  {u"l", U"l", false},  {u"m", U"m", false},  {u"n", U"n", false},   {u"ng", U"N", false},
        {u"ow", U"oU", true}, {u"oy", U"OI", true}, {u"p", U"p", false},  {u"r", U"r", false},   {u"s", U"s", false},
        {u"sh", U"S", false}, {u"t", U"t", false},  {u"th", U"T", false}, {u"uh", U"U", true},   {u"uw", U"u:", true},
        {u"v", U"v", false},  {u"w", U"w", false},  {u"y", U"j", false},  {u"z", U"z", false},   {u"zh", U"Z", false},
    }};
    std::u32string body;
    size_t lastVowel = std::u32string::npos;
    size_t i = 0;
    while (i < sym.size()) {
        while (i < sym.size() && (isXmlSpace(sym[i]) || sym[i] == u'-' || sym[i] == u'_' || sym[i] == u'.')) ++i;
        size_t j = i;
        while (j < sym.size() && !isXmlSpace(sym[j]) && sym[j] != u'-' && sym[j] != u'_' && sym[j] != u'.') ++j;
        if (j == i) break;
        std::u16string_view tok = sym.substr(i, j - i);
        i = j;
        // A stress digit may follow its vowel directly ("eh1") or as its own token ("eh 1").
        char16_t stress = 0;
        if (tok.back() == u'1' || tok.back() == u'2' || tok.back() == u'0') {
            stress = tok.back();
            tok.remove_suffix(1);
        }
        if (!tok.empty()) {
            auto it = std::find_if(kPhones.begin(), kPhones.end(),
                                   [&](const Phone& p) { return equalsIgnoreCase(tok, p.name); });
            if (it == kPhones.end()) {
                if (bad) *bad = std::u16string(tok);
                return std::nullopt;
            }
            if (it->vowel) lastVowel = body.size();
            body += it->engine;
        }
        if (stress == u'1' || stress == u'2') {
            if (lastVowel == std::u32string::npos) {
                if (bad) *bad = std::u16string(1, stress);
                return std::nullopt;
            }
            body.insert(lastVowel, 1, stress == u'1' ? U'\'' : U',');
            lastVowel = std::u32string::npos;
        }
    }
    if (body.empty()) return std::u32string();
    return U"[[" + body + U"]]";
}

}  // namespace speech::text
