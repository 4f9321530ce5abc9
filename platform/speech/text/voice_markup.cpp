// SPDX-License-Identifier: GPL-3.0-or-later
// The voice's XML markup: what each of its elements does (prosody, silences, bookmarks, pronunciations,
// parts of speech, contexts, voices and languages), read by the shared markup reader.
#include "speech/text/voice_markup.h"

#include <algorithm>
#include <array>
#include <limits>

#include "speech/text/markup_reader.h"

namespace speech::text {

namespace {

constexpr int kMaxSilenceMs = 600000;
// A <pron sym> is written in at most this many characters, so that a huge one is refused cheaply.
constexpr size_t kMaxPronSymUnits = 1000;

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
    if (!hadDigits || i != v.size()) markupError(a.position, "bad number \"" + quoted(v) + "\" for " + quoted(a.name));
    if (negative) n = -n;
    if (n < low || n > high) {
        markupError(a.position, "value " + quoted(v) + " of " + quoted(a.name) + " is out of range " +
                                    std::to_string(low) + ".." + std::to_string(high));
    }
    return static_cast<int>(n);
}

// The voice's markup. Its empty elements change the settings to the end of the enclosing element.
class VoiceMarkupReader final : public MarkupReader {
public:
    using MarkupReader::MarkupReader;

private:
    void startElement(UnitSink* sink, size_t at, std::u16string_view name, bool empty) override {
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
                putSilence(sink, at, silenceMs(at));
                break;
            case Element::Bookmark: {
                const Attribute* mark = attribute(u"mark");
                putBookmark(sink, at, mark ? &mark->value : nullptr);
                break;
            }
            case Element::Pron:
                // A pronunciation with content replaces it: a frame of its own, entered here.
                if (startPronunciation(sink, at, name, empty)) return;
                break;
            case Element::PartOfSp:
                checkPartOfSpeech();
                break;
            case Element::Context:
                if (const Attribute* a = attribute(u"id")) changed.context = contextOf(a->value);
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
            if (const Attribute* a = attribute(u"level")) {
                settings.volume = parseNumber(*a, 0, 100);
                changes = true;
            }
            return changes;
        }
        const bool rate = e == Element::Rate;
        std::optional<int>& absolute = rate ? settings.absoluteRate : settings.absolutePitch;
        int& relative = rate ? settings.relativeRate : settings.relativePitch;
        if (const Attribute* a = attribute(rate ? u"absspeed" : u"absmiddle")) {
            absolute = parseNumber(*a, -10, 10);
            relative = 0;
            changes = true;
        }
        if (const Attribute* a = attribute(rate ? u"speed" : u"middle")) {
            relative = std::clamp(relative + parseNumber(*a, -10, 10), -20, 20);
            changes = true;
        }
        return changes;
    }

    // <silence msec>: its length.
    int silenceMs(size_t at) const {
        const Attribute* a = attribute(u"msec");
        if (!a) markupError(at, "<silence> needs a msec attribute");
        return parseNumber(*a, 0, kMaxSilenceMs);
    }

    // <pron sym>: an empty one puts its phonemes here; one with content enters a frame whose content
    // is replaced by them (true: the caller has nothing more to do).
    bool startPronunciation(UnitSink* sink, size_t at, std::u16string_view name, bool empty) {
        const Attribute* a = attribute(u"sym");
        if (!a) markupError(at, "<pron> needs a sym attribute");
        if (a->value.size() > kMaxPronSymUnits) {
            markupError(a->position, "<pron> takes a sym of at most " + std::to_string(kMaxPronSymUnits) +
                                         " characters (this one has " + std::to_string(a->value.size()) + ")");
        }
        std::u16string bad;
        size_t phones = 0;
        auto phonemes = convertPhonemes(a->value, &bad, &phones);
        if (!phonemes) markupError(a->position, "unknown phoneme \"" + quoted(bad) + "\"");
        if (phones > kMaxPronunciationPhones) {
            markupError(a->position, "<pron> takes at most " + std::to_string(kMaxPronunciationPhones) +
                                         " phonemes (this one has " + std::to_string(phones) + ")");
        }
        if (empty) {
            if (reading(sink)) putPhonemes(*sink, *phonemes, at, at, stack_.back());
            return false;
        }
        Frame& f = pushFrame(name, at);
        f.replaced = true;
        f.replacementIsPhonemes = true;
        f.suppressed = true;
        f.replacement = std::move(*phonemes);
        f.contentStart = pos_;
        return true;
    }

    void checkPartOfSpeech() {
        const Attribute* a = attribute(u"part");
        if (!a) return;
        static const std::array<std::u16string_view, 6> kParts{u"noun",     u"verb",         u"modifier",
                                                               u"function", u"interjection", u"unknown"};
        if (std::none_of(kParts.begin(), kParts.end(),
                         [&](std::u16string_view p) { return equalsIgnoreCase(a->value, p); })) {
            markupError(a->position, "unknown part of speech \"" + quoted(a->value) + "\"");
        }
    }

    // <voice required optional>: whether the voice setting changed.
    bool applyVoice(Settings& settings) {
        const Attribute* required = attribute(u"required");
        const Attribute* optional = attribute(u"optional");
        if (!required && !optional) return false;
        settings.voice = selectVoice(required ? quoted(required->value, 4096) : std::string(),
                                     optional ? quoted(optional->value, 4096) : std::string(), settings.voice);
        return true;
    }

    // <lang langid>: a hexadecimal language id picks a voice of that language.
    bool applyLanguage(size_t at, Settings& settings) {
        const Attribute* a = attribute(u"langid");
        if (!a) markupError(at, "<lang> needs a langid attribute");
        std::u16string_view v = a->value;
        while (!v.empty() && isXmlSpace(v.front())) v.remove_prefix(1);
        while (!v.empty() && isXmlSpace(v.back())) v.remove_suffix(1);
        const bool hex = !v.empty() && v.size() <= 4 && std::all_of(v.begin(), v.end(), [](char16_t d) {
            return (d >= u'0' && d <= u'9') || (d >= u'a' && d <= u'f') || (d >= u'A' && d <= u'F');
        });
        if (!hex) markupError(a->position, "bad language id \"" + quoted(a->value) + "\"");
        settings.voice = selectVoice("Language=" + quoted(v), std::string(), settings.voice);
        return true;
    }
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
    VoiceMarkupReader reader(text, context, std::move(voices));
    while (reader.step(nullptr)) {
    }
    return reader.persisted();
}

std::unique_ptr<UnitProducer> makeMarkupProducer(std::shared_ptr<const std::u16string> text,
                                                 const FrontEndContext& context,
                                                 std::shared_ptr<const VoiceTable> voices) {
    return std::make_unique<MarkupProducer<VoiceMarkupReader>>(std::move(text), context, std::move(voices));
}

std::optional<std::u32string> convertPhonemes(std::u16string_view sym, std::u16string* bad, size_t* phones) {
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
            if (phones) ++*phones;
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

VoiceTable::VoiceTable(const FrontEndContext& context) : tokens(context.voices) {
    if (tokens.size() > static_cast<size_t>(kMaxVoices - 2)) tokens.resize(kMaxVoices - 2);
    base = indexOf(context.voice);
}

int VoiceTable::find(const core::SpObjectToken& token) const {
    for (size_t i = 0; i < tokens.size(); ++i) {
        if (tokens[i] == token) return static_cast<int>(i);
    }
    return -1;
}

int VoiceTable::indexOf(const core::SpObjectToken& token) {
    const int i = find(token);
    if (i >= 0) return i;
    tokens.push_back(token);
    return static_cast<int>(tokens.size() - 1);
}

Settings fromState(const MarkupState& state, const VoiceTable& voices) {
    Settings s;
    if (state.voice) s.voice = voices.find(*state.voice);
    s.absoluteRate = state.absoluteRate;
    s.relativeRate = state.relativeRate;
    s.volume = state.volume;
    s.absolutePitch = state.absolutePitch;
    s.relativePitch = state.relativePitch;
    return s;
}

MarkupState toState(const Settings& s, const VoiceTable& voices) {
    MarkupState m;
    if (s.voice >= 0) m.voice = voices.tokens[static_cast<size_t>(s.voice)];
    m.absoluteRate = s.absoluteRate;
    m.relativeRate = s.relativeRate;
    m.volume = s.volume;
    m.absolutePitch = s.absolutePitch;
    m.relativePitch = s.relativePitch;
    return m;
}

Style resolve(const Settings& s, const FrontEndContext& context, int baseVoice) {
    Style st;
    st.voice = s.voice >= 0 ? s.voice : baseVoice;
    st.rate = std::clamp(s.absoluteRate.value_or(std::clamp(context.rate, -10, 10)) + s.relativeRate, -10, 10);
    const int own = std::clamp(context.volume, 0, 100);
    st.volume = s.volume ? (own * std::clamp(*s.volume, 0, 100) + 50) / 100 : own;
    st.pitch = std::clamp(s.absolutePitch.value_or(0) + s.relativePitch, -10, 10);
    return st;
}

}  // namespace speech::text
