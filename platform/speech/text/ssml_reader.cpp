// SPDX-License-Identifier: GPL-3.0-or-later
// What SSML's elements do, read by the shared markup reader: <speak>, <p> and <s> (sentences of their
// own), <break>, <prosody> (rate, pitch, volume), <emphasis>, <say-as>, <sub>, <phoneme>, <mark>,
// <voice>, and xml:lang on any element (a voice of that language). The text of any other element is
// read (an <audio>'s text stands in for the sound, which is not fetched); that of <desc> and of the
// document's metadata is not. Values an element does not understand are ignored rather than refused,
// as speech-dispatcher and browsers send what their own engines take.
#include "speech/text/ssml_reader.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <optional>

#include "base/utf8.h"
#include "speech/core/languages.h"
#include "speech/text/markup_reader.h"

namespace speech::text {

namespace {

constexpr int kMaxBreakMs = 600000;
// Characters of the engine's phoneme mnemonics in one <phoneme> (as many phonemes at most; the engine
// fails on some 230).
constexpr size_t kMaxEspeakPhonemeUnits = 200;

enum class SsmlElement { Other, Sentence, Break, Prosody, Emphasis, SayAs, Sub, Phoneme, Mark, Voice, Unread };

// An element of SSML's namespace may carry a prefix ("ssml:mark").
std::u16string_view localName(std::u16string_view name) {
    if (const size_t colon = name.rfind(u':'); colon != std::u16string_view::npos) name.remove_prefix(colon + 1);
    return name;
}

bool isLexicon(std::u16string_view name) {
    return equalsIgnoreCase(localName(name), u"lexicon");
}

SsmlElement elementOf(std::u16string_view name) {
    name = localName(name);
    static const std::array<std::pair<std::u16string_view, SsmlElement>, 17> kNames{{
        {u"p", SsmlElement::Sentence},
        {u"s", SsmlElement::Sentence},
        {u"paragraph", SsmlElement::Sentence},
        {u"sentence", SsmlElement::Sentence},
        {u"break", SsmlElement::Break},
        {u"prosody", SsmlElement::Prosody},
        {u"emphasis", SsmlElement::Emphasis},
        {u"say-as", SsmlElement::SayAs},
        {u"sub", SsmlElement::Sub},
        {u"phoneme", SsmlElement::Phoneme},
        {u"mark", SsmlElement::Mark},
        {u"voice", SsmlElement::Voice},
        {u"desc", SsmlElement::Unread},
        {u"meta", SsmlElement::Unread},
        {u"metadata", SsmlElement::Unread},
        {u"lexicon", SsmlElement::Unread},
        {u"speak", SsmlElement::Other},
    }};
    for (const auto& [n, e] : kNames) {
        if (equalsIgnoreCase(name, n)) return e;
    }
    return SsmlElement::Other;
}

// An attribute's value as lower-case UTF-8 without surrounding blanks ("+10%", "x-slow", "mdy").
std::string valueOf(const Attribute* a) {
    if (!a) return {};
    std::u16string_view v = a->value;
    while (!v.empty() && isXmlSpace(v.front())) v.remove_prefix(1);
    while (!v.empty() && isXmlSpace(v.back())) v.remove_suffix(1);
    std::string out = base::toUtf8(v);
    std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return std::tolower(c); });
    return out;
}

// A number with an optional sign and fraction followed by `unit` (which may be empty).
std::optional<double> numberWith(std::string_view value, std::string_view unit) {
    if (!value.ends_with(unit)) return std::nullopt;
    value.remove_suffix(unit.size());
    if (value.starts_with('+')) value.remove_prefix(1);
    double n = 0;
    const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), n);
    if (value.empty() || ec != std::errc() || end != value.data() + value.size() || !std::isfinite(n)) {
        return std::nullopt;
    }
    return n;
}

int clampRound(double v, int low, int high) {
    return static_cast<int>(std::lround(std::clamp(v, static_cast<double>(low), static_cast<double>(high))));
}

// SSML's named degrees as steps on the voice's -10..10 scales.
std::optional<int> namedStep(std::string_view v, std::string_view low2, std::string_view low1, std::string_view high1,
                             std::string_view high2) {
    if (v == low2) return -6;
    if (v == low1) return -3;
    if (v == "medium" || v == "default") return 0;
    if (v == high1) return 3;
    if (v == high2) return 6;
    return std::nullopt;
}

// <prosody rate>: steps of the voice's rate, each a factor of 3^(1/10) (ten steps read three times as
// fast): a named rate, a change ("+20%"), or a multiple of the rate in force ("150%", "1.5").
std::optional<int> rateSteps(const std::string& v) {
    if (auto step = namedStep(v, "x-slow", "slow", "fast", "x-fast")) return step;
    std::optional<double> factor;
    if (auto p = numberWith(v, "%")) {
        factor = v.starts_with('+') || v.starts_with('-') ? 1.0 + *p / 100.0 : *p / 100.0;
    } else if (auto n = numberWith(v, "")) {
        factor = *n;
    }
    if (!factor || *factor <= 0) return std::nullopt;
    return clampRound(10.0 * std::log(*factor) / std::log(3.0), -20, 20);
}

// <prosody pitch>: steps of the voice's pitch: a named pitch, a change in percent (a step each 5%) or
// in semitones (a step each half semitone). Hertz are ignored: the voice's own pitch is not known here.
std::optional<int> pitchSteps(const std::string& v) {
    if (auto step = namedStep(v, "x-low", "low", "high", "x-high")) return step;
    if (auto p = numberWith(v, "%")) return clampRound(*p / 5.0, -20, 20);
    if (auto st = numberWith(v, "st")) return clampRound(*st * 2.0, -20, 20);
    return std::nullopt;
}

// <prosody volume>: the level, 0..100 of the voice's own volume (the loudest it plays), given the level
// `parent` in force: a named level, a change in decibels, or a level from 0 to 100.
std::optional<int> volumeLevel(const std::string& v, int parent) {
    static const std::array<std::pair<std::string_view, int>, 7> kNamed{{{"silent", 0},
                                                                         {"x-soft", 25},
                                                                         {"soft", 50},
                                                                         {"medium", 100},
                                                                         {"loud", 100},
                                                                         {"x-loud", 100},
                                                                         {"default", 100}}};
    for (const auto& [name, level] : kNamed) {
        if (v == name) return level;
    }
    if (auto db = numberWith(v, "db")) return clampRound(parent * std::pow(10.0, *db / 20.0), 0, 100);
    if (auto n = numberWith(v, "")) return clampRound(*n, 0, 100);
    return std::nullopt;
}

// <break>: its time ("250ms", "1.5s") or else its strength, in milliseconds.
int breakMs(const std::string& time, const std::string& strength) {
    if (auto ms = numberWith(time, "ms")) return clampRound(*ms, 0, kMaxBreakMs);
    if (auto s = numberWith(time, "s")) return clampRound(*s * 1000.0, 0, kMaxBreakMs);
    static const std::array<std::pair<std::string_view, int>, 5> kStrengths{
        {{"none", 0}, {"x-weak", 100}, {"weak", 200}, {"strong", 700}, {"x-strong", 1000}}};
    for (const auto& [name, ms] : kStrengths) {
        if (strength == name) return ms;
    }
    return 400;
}

// <say-as>: how the front end reads the text ("date" with format "mdy", "telephone", ...).
ContextKind contextFor(const std::string& kind, const std::string& format) {
    static const std::array<std::pair<std::string_view, ContextKind>, 7> kDates{{{"mdy", ContextKind::DateMdy},
                                                                                 {"dmy", ContextKind::DateDmy},
                                                                                 {"ymd", ContextKind::DateYmd},
                                                                                 {"ym", ContextKind::DateYm},
                                                                                 {"my", ContextKind::DateMy},
                                                                                 {"dm", ContextKind::DateDm},
                                                                                 {"md", ContextKind::DateMd}}};
    if (kind == "date") {
        for (const auto& [name, date] : kDates) {
            if (format == name) return date;
        }
        return ContextKind::None;
    }
    if (kind == "digits" || ((kind == "cardinal" || kind == "number") && format == "digits"))
        return ContextKind::Digits;
    if (kind == "telephone" || kind == "phone") return ContextKind::Phone;
    if (kind == "cardinal" || kind == "number") return ContextKind::Cardinal;
    if (kind == "time") return ContextKind::Time;
    if (kind == "currency") return ContextKind::Currency;
    if (kind == "uri" || kind == "url") return ContextKind::Url;
    if (kind == "email") return ContextKind::Email;
    return ContextKind::None;
}

bool spelledOut(const std::string& kind) {
    return kind == "characters" || kind == "spell-out" || kind == "letters" || kind == "verbatim" || kind == "tts:char";
}

// <phoneme alphabet ph>: the engine's phoneme input, for a pronunciation written in a phone set it
// reads: the voice's own (as <pron sym> of its markup) or the engine's phoneme mnemonics. The engine
// reads no other alphabet (IPA among them): for those the element's text is read. A pronunciation too
// long for the engine is refused, as a <pron> is.
std::optional<std::u32string> enginePhonemes(const std::string& alphabet, const Attribute& ph) {
    if (alphabet == "x-microsoft-sapi" || alphabet == "x-sapi") {
        size_t phones = 0;
        auto phonemes = convertPhonemes(ph.value, nullptr, &phones);
        if (phones > kMaxPronunciationPhones) {
            markupError(ph.position, "<phoneme> takes at most " + std::to_string(kMaxPronunciationPhones) +
                                         " phonemes (this one has " + std::to_string(phones) + ")");
        }
        if (phonemes && phonemes->empty()) return std::nullopt;
        return phonemes;
    }
    if (alphabet == "x-espeak" || alphabet == "espeak") {
        // A mnemonic is a character or more a phoneme: the characters bound the phonemes.
        if (ph.value.size() > kMaxEspeakPhonemeUnits) {
            markupError(ph.position, "<phoneme> takes at most " + std::to_string(kMaxEspeakPhonemeUnits) +
                                         " characters of the engine's phonemes");
        }
        // Mnemonics are printable ASCII; a bracket would end the engine's phoneme input early.
        const bool plain = !ph.value.empty() && std::all_of(ph.value.begin(), ph.value.end(), [](char16_t c) {
            return c >= u' ' && c <= u'~' && c != u'[' && c != u']';
        });
        if (!plain) return std::nullopt;
        return U"[[" + std::u32string(ph.value.begin(), ph.value.end()) + U"]]";
    }
    return std::nullopt;
}

class SsmlReader final : public MarkupReader {
public:
    SsmlReader(const std::u16string& text, const FrontEndContext& context, std::shared_ptr<const VoiceTable> voices)
        : MarkupReader(text, context, std::move(voices)) {
        // Line breaks in SSML's text are blanks like any other: its sentences are its punctuation and
        // its <p> and <s> elements, not the lines of the document.
        foldLineBreaks_ = true;
        // Far beyond any voice name or pronunciation; the engine's own SSML reader may be handed them.
        maxAttributeUnits_ = 4096;
    }

    // Where the checking pass keeps the uri of each <lexicon> element, in order.
    std::vector<std::u16string>* lexicons = nullptr;

private:
    void startElement(UnitSink* sink, size_t at, std::u16string_view name, bool empty) override {
        const SsmlElement e = elementOf(name);
        if (lexicons && e == SsmlElement::Unread && isLexicon(name)) {
            if (const Attribute* uri = attribute(u"uri")) lexicons->emplace_back(uri->value);
        }
        if (e == SsmlElement::Break) {
            const int ms = breakMs(valueOf(attribute(u"time")), valueOf(attribute(u"strength")));
            if (ms > 0) putSilence(sink, at, ms);
        } else if (e == SsmlElement::Mark) {
            const Attribute* mark = attribute(u"name");
            putBookmark(sink, at, mark ? &mark->value : nullptr);
        } else if (e == SsmlElement::Sentence) {
            putSentenceBreak(sink, at);
        }
        if (empty) {
            // An empty <sub> or <phoneme> is read in its own place.
            if (e == SsmlElement::Sub || e == SsmlElement::Phoneme) {
                Frame f = stack_.back();
                if (replace(f, e) && reading(sink)) readReplacement(*sink, f, at, pos_);
            }
            return;
        }
        Frame& f = pushFrame(name, at);
        if (const Attribute* language = attribute(u"xml:lang")) applyLanguage(f.settings, language->value);
        switch (e) {
            case SsmlElement::Sentence:
                f.sentence = true;
                break;
            case SsmlElement::Prosody:
                applyProsody(f.settings);
                break;
            case SsmlElement::Emphasis:
                f.emphasis = emphasized();
                break;
            case SsmlElement::SayAs:
                applySayAs(f);
                break;
            case SsmlElement::Sub:
            case SsmlElement::Phoneme:
                replace(f, e);
                break;
            case SsmlElement::Voice:
                applyVoice(f.settings);
                break;
            case SsmlElement::Unread:
                f.suppressed = true;
                break;
            default:
                break;
        }
        restyle(f);
    }

    // <sub alias> and <phoneme>: what is read in place of the element's text, when there is something.
    bool replace(Frame& f, SsmlElement e) const {
        if (e == SsmlElement::Sub) {
            const Attribute* alias = attribute(u"alias");
            if (!alias) return false;
            f.replacement.clear();
            for (size_t i = 0; i < alias->value.size();) {
                f.replacement.push_back(nextCodePoint(alias->value.data(), i, alias->value.size()));
            }
            f.replacementIsPhonemes = false;
        } else {
            const Attribute* ph = attribute(u"ph");
            auto phonemes = ph ? enginePhonemes(valueOf(attribute(u"alphabet")), *ph) : std::nullopt;
            if (!phonemes) return false;
            f.replacement = std::move(*phonemes);
            f.replacementIsPhonemes = true;
        }
        f.replaced = true;
        f.suppressed = true;
        f.contentStart = pos_;
        return true;
    }

    void readReplacement(UnitSink& sink, const Frame& f, size_t from, size_t to) {
        if (f.replacementIsPhonemes)
            putPhonemes(sink, f.replacement, from, to, stack_.back());
        else
            putReplacement(sink, f.replacement, from, to, stack_.back());
    }

    // xml:lang, and <voice>'s languages: a voice of that language, unless the voice in force reads it.
    void applyLanguage(Settings& settings, std::u16string_view tag) const {
        const std::string language = base::toUtf8(tag);
        const auto& tokens = voices_->tokens;
        const auto current = static_cast<size_t>(settings.voice >= 0 ? settings.voice : voices_->base);
        if (current < tokens.size() && readsLanguage(tokens[current], language)) return;
        if (const auto chosen = voiceForLanguage(tokens, language)) settings.voice = static_cast<int>(*chosen);
    }

    // <voice>: a voice by its name (as listed, or its id), else by its languages and gender. A gender
    // picks only among the voices of the language in force, never a voice of another language.
    void applyVoice(Settings& settings) const {
        const auto& tokens = voices_->tokens;
        if (const Attribute* name = attribute(u"name")) {
            const std::string wanted = valueOf(name);
            for (size_t k = 0; k < tokens.size(); ++k) {
                std::string description = tokens[k].GetDescription();
                std::string id = tokens[k].Id();
                for (std::string* s : {&description, &id}) {
                    std::transform(s->begin(), s->end(), s->begin(), [](unsigned char c) { return std::tolower(c); });
                }
                if (description == wanted || id == wanted) {
                    settings.voice = static_cast<int>(k);
                    return;
                }
            }
        }
        if (const Attribute* languages = attribute(u"languages")) {
            const std::u16string_view list = languages->value;
            size_t start = 0;
            while (start < list.size() && isXmlSpace(list[start])) ++start;
            size_t end = start;
            while (end < list.size() && !isXmlSpace(list[end])) ++end;
            applyLanguage(settings, list.substr(start, end - start));
        }
        const std::string gender = valueOf(attribute(u"gender"));
        if (gender != "male" && gender != "female") return;
        const std::string required = gender == "male" ? "Gender=Male" : "Gender=Female";
        const auto current = static_cast<size_t>(settings.voice >= 0 ? settings.voice : voices_->base);
        if (current >= tokens.size() || tokens[current].matches(required)) return;
        const std::string tag = languageTag(tokens[current]);
        const std::string language = tag.substr(0, tag.find('-'));
        for (size_t k = 0; k < tokens.size(); ++k) {
            if (readsLanguage(tokens[k], language) && tokens[k].matches(required)) {
                settings.voice = static_cast<int>(k);
                return;
            }
        }
    }

    void applyProsody(Settings& settings) const {
        if (auto steps = rateSteps(valueOf(attribute(u"rate")))) {
            settings.relativeRate = std::clamp(settings.relativeRate + *steps, -20, 20);
        }
        if (auto steps = pitchSteps(valueOf(attribute(u"pitch")))) {
            settings.relativePitch = std::clamp(settings.relativePitch + *steps, -20, 20);
        }
        if (auto level = volumeLevel(valueOf(attribute(u"volume")), settings.volume.value_or(100))) {
            settings.volume = *level;
        }
    }

    bool emphasized() const {
        const std::string level = valueOf(attribute(u"level"));
        return level != "none" && level != "reduced";
    }

    void applySayAs(Frame& f) const {
        const std::string kind = valueOf(attribute(u"interpret-as"));
        if (spelledOut(kind)) {
            f.spell = true;
            return;
        }
        f.context = contextFor(kind, valueOf(attribute(u"format")));
    }
};

}  // namespace

std::vector<std::u16string> checkSsml(const std::u16string& text, const FrontEndContext& context,
                                      std::shared_ptr<const VoiceTable> voices) {
    std::vector<std::u16string> lexicons;
    SsmlReader reader(text, context, std::move(voices));
    reader.lexicons = &lexicons;
    while (reader.step(nullptr)) {
    }
    return lexicons;
}

std::unique_ptr<UnitProducer> makeSsmlProducer(std::shared_ptr<const std::u16string> text,
                                               const FrontEndContext& context,
                                               std::shared_ptr<const VoiceTable> voices) {
    return std::make_unique<MarkupProducer<SsmlReader>>(std::move(text), context, std::move(voices));
}

}  // namespace speech::text
