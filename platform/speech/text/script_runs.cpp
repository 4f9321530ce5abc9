// SPDX-License-Identifier: GPL-3.0-or-later
// The script stage between a producer (plain text, markup, a text file) and the segmenter. It holds
// back a little text, so that a run and a number are seen whole before they are passed on, and passes
// it on in pieces cut only where no number, unit or run can reach across (see cutsBefore).
#include "speech/text/script_runs.h"

#include <unicode/uchar.h>
#include <unicode/uscript.h>

#include <algorithm>
#include <optional>
#include <string_view>

#include "speech/text/mandarin_numbers.h"
#include "speech/text/pinyin_writer.h"

namespace speech::text {

namespace {

enum class CharClass : uint8_t { Han, Latin, Letter, Space, Neutral };

UScriptCode scriptOf(char32_t c) {
    UErrorCode status = U_ZERO_ERROR;
    const UScriptCode script = uscript_getScript(static_cast<UChar32>(c), &status);
    return U_SUCCESS(status) ? script : USCRIPT_COMMON;
}

// Digits, punctuation and symbols are neutral: they go with the run around them. A combining mark
// goes with the character it is written on (`previous`).
CharClass classOf(char32_t c, CharClass previous) {
    if (c < 0x80) {
        if (c == U' ' || c == U'\t' || c == U'\n' || c == U'\r') return CharClass::Space;
        return isLatinLetter(c) ? CharClass::Latin : CharClass::Neutral;
    }
    if (c >= 0x4E00 && c <= 0x9FFF) return CharClass::Han;
    if (u_isUWhiteSpace(static_cast<UChar32>(c))) return CharClass::Space;
    const UScriptCode script = scriptOf(c);
    if (script == USCRIPT_HAN) return CharClass::Han;
    if (script == USCRIPT_INHERITED) return previous == CharClass::Space ? CharClass::Neutral : previous;
    if (!u_isalpha(static_cast<UChar32>(c))) return CharClass::Neutral;
    return script == USCRIPT_LATIN ? CharClass::Latin : CharClass::Letter;
}

bool isStrong(CharClass c) {
    return c == CharClass::Han || c == CharClass::Latin || c == CharClass::Letter;
}

// Pinyin with tone marks ("nǐ hǎo") is read by the Mandarin voice: a run whose letters beyond ASCII
// are all pinyin vowels, with at least one tone mark (precomposed or combining).
bool isPinyin(const std::vector<ContextChar>& run, size_t a, size_t b) {
    static constexpr std::u32string_view kVowels = U"āáǎàēéěèīíǐìōóǒòūúǔùǖǘǚǜü";
    static constexpr std::u32string_view kMarks = U"\u0300\u0301\u0304\u030C\u0308";
    bool toned = false;
    for (size_t i = a; i < b; ++i) {
        const char32_t c = run[i].c;
        if (c < 0x80) continue;
        if (kMarks.find(c) != std::u32string_view::npos ||
            kVowels.find(static_cast<char32_t>(u_tolower(static_cast<UChar32>(c)))) != std::u32string_view::npos) {
            toned = true;
        } else if (isLatinLetter(c)) {
            return false;
        }
    }
    return toned;
}

// Neutral characters a run reaches across to the next character of its script.
constexpr size_t kMaxGap = 64;

// Marks the runs of `foreign` characters in `run`: from the first such character to the last, across
// neutral stretches between them, with the neutral characters glued to either end (no space
// between) — "MP3", "(Windows)", "价格是20。".
void markRuns(const std::vector<ContextChar>& run, CharClass foreign, std::vector<uint8_t>& marks) {
    const size_t n = run.size();
    std::vector<CharClass> classes(n);
    CharClass previous = CharClass::Space;
    for (size_t i = 0; i < n; ++i) previous = classes[i] = classOf(run[i].c, previous);
    marks.assign(n, 0);
    size_t taken = 0;  // the end of the last run: a run does not reach back into it
    for (size_t i = 0; i < n;) {
        if (classes[i] != foreign) {
            ++i;
            continue;
        }
        size_t last = i;
        for (size_t j = i + 1; j < n;) {
            if (classes[j] == foreign) {
                last = j++;
                continue;
            }
            if (isStrong(classes[j])) break;
            size_t k = j;
            while (k < n && k - j < kMaxGap && !isStrong(classes[k])) ++k;
            if (k == n || classes[k] != foreign) break;
            j = k;
        }
        size_t a = i;
        while (a > taken && classes[a - 1] == CharClass::Neutral) --a;
        size_t b = last + 1;
        while (b < n && classes[b] == CharClass::Neutral) ++b;
        if (!(foreign == CharClass::Latin && isPinyin(run, i, last + 1))) {
            std::fill(marks.begin() + static_cast<std::ptrdiff_t>(a), marks.begin() + static_cast<std::ptrdiff_t>(b),
                      1);
        }
        taken = b;
        i = b;
    }
}

enum class Mode : uint8_t {
    Pass,      // passed on as it is
    Mandarin,  // numbers rewritten; Latin runs to the English voice when it reads them
    Foreign,   // Chinese runs to the Mandarin voice, with their numbers rewritten
};

// Units held back before a cut is looked for, and the most held back when no safe cut comes (a long
// English text for a Mandarin voice).
constexpr size_t kHold = 256;
constexpr size_t kMaxHold = 4096;

class ScriptStage final : public UnitProducer, private UnitSink, private PinyinOut {
public:
    ScriptStage(std::unique_ptr<UnitProducer> inner, std::shared_ptr<const VoiceTable> voices,
                std::shared_ptr<const mandarin::MandarinLexicon> lexicon, const UserLexicon* user, bool citationTones)
        : inner_(std::move(inner)), voices_(std::move(voices)) {
        if (lexicon) pinyin_.emplace(std::move(lexicon), user, citationTones);
    }

    bool fill(UnitSink& sink, uint64_t minUnits) override {
        out_ = &sink;
        const uint64_t start = sink.size();
        while (!ended_ && sink.size() - start < minUnits) {
            ended_ = !inner_->fill(*this, std::max<uint64_t>(minUnits, kHold));
            // At the end, or a pause of the input, what is held back has nothing more to wait for.
            const bool paused = !ended_ && inner_->paused();
            if (ended_ || paused) flush(pending_.size());
            if (paused) break;
        }
        return !ended_;
    }
    bool paused() const override { return inner_->paused(); }

    void restart() override {
        inner_->restart();
        pending_.clear();
        style_ = kNoStyle;
        mode_ = Mode::Pass;
        before_ = 0;
        received_ = 0;
        lastClass_ = CharClass::Space;
        classBefore_ = CharClass::Space;
        sameRun_ = 0;
        last_ = {};
        cut_ = 0;
        ended_ = false;
    }

private:
    static constexpr uint64_t kNoStyle = ~uint64_t{0};

    void put(char32_t cp, int32_t src, int32_t srcEnd, uint32_t style) override {
        received_ += cp > 0xFFFF ? 2 : 1;
        if (style != style_) {
            flush(pending_.size());
            style_ = style;
            mode_ = modeOf(style);
        }
        if (mode_ == Mode::Pass) {
            out_->put(cp, src, srcEnd, style);
            before_ = cp;
            last_ = {cp, false};
            return;
        }
        pending_.push_back({cp, src, srcEnd});
        const size_t n = pending_.size();
        const CharClass c = classOf(cp, CharClass::Neutral);
        const bool afterStrong = isStrong(lastClass_);
        const bool clauseStart =
            c == CharClass::Han && lastClass_ == CharClass::Neutral && classBefore_ == CharClass::Han;
        sameRun_ = c == lastClass_ ? sameRun_ + 1 : 1;
        classBefore_ = lastClass_;
        lastClass_ = c;
        if (cutsBefore(c, afterStrong, clauseStart)) cut_ = n - 1;
        if (n >= kHold && cut_ > 0) {
            flush(cut_);
        } else if (n >= kMaxHold) {
            flush(n);
        }
    }

    // Whether pending_ may be cut before its last character, of class `c`. No number reads more than
    // two characters past its end, so three Han characters in a row allow a cut before the third; no
    // unit has more than two letters, so four Latin letters in a row allow one before the fourth
    // (both sides of it go to the same voice). Where only Chinese runs are looked for, any letter
    // after a letter allows one. Where Chinese is read word by word, a cut between two Han
    // characters would part a clause the reader reads whole: there only a Han character after a
    // punctuation mark after a Han character (`clauseStart`) allows one (a number before the mark
    // reads no further than the mark and the character).
    bool cutsBefore(CharClass c, bool afterStrong, bool clauseStart) const {
        if (c == CharClass::Han) return pinyin_ ? clauseStart : sameRun_ >= 3;
        if (mode_ == Mode::Mandarin) return c == CharClass::Latin && sameRun_ >= 4;
        return isStrong(c) && afterStrong;
    }

    void marker(Marker m) override {
        flush(pending_.size());
        out_->marker(std::move(m));
    }

    uint64_t size() const override { return received_; }

    Mode modeOf(uint32_t packed) const {
        const Style st = unpackStyle(packed);
        const auto voice = static_cast<size_t>(st.voice);
        if (st.phonemes || st.otherScript || voice >= voices_->mandarin.size()) return Mode::Pass;
        if (voices_->mandarin[voice]) return Mode::Mandarin;
        return voices_->otherScript[voice] >= 0 ? Mode::Foreign : Mode::Pass;
    }

    // Passes the first `n` held-back characters on, read as their voice reads them.
    void flush(size_t n) {
        if (n == 0) return;
        chunk_.assign(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(n));
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(n));
        cut_ = 0;
        const char32_t before = before_;
        before_ = chunk_.back().c;
        const auto style = static_cast<uint32_t>(style_);
        if (mode_ == Mode::Mandarin) {
            readMandarin(chunk_, before);
            if (voices_->otherScript[unpackStyle(style).voice] >= 0) {
                markRuns(chunk_, CharClass::Latin, marks_);
            } else {
                marks_.assign(chunk_.size(), 0);
            }
            for (size_t i = 0; i < chunk_.size();) {
                size_t j = i + 1;
                while (j < chunk_.size() && marks_[j] == marks_[i]) ++j;
                if (marks_[i]) {
                    for (; i < j; ++i) emit(chunk_[i], true);
                } else {
                    emitMandarin(chunk_, i, j, false);
                }
                i = j;
            }
            return;
        }
        if (std::none_of(chunk_.begin(), chunk_.end(), [](const ContextChar& c) { return isHan(c.c); })) {
            for (const ContextChar& c : chunk_) emit(c, false);
            return;
        }
        markRuns(chunk_, CharClass::Han, marks_);
        for (size_t i = 0; i < chunk_.size();) {
            if (!marks_[i]) {
                emit(chunk_[i++], false);
                continue;
            }
            size_t j = i;
            while (j < chunk_.size() && marks_[j]) ++j;
            run_.assign(chunk_.begin() + static_cast<std::ptrdiff_t>(i),
                        chunk_.begin() + static_cast<std::ptrdiff_t>(j));
            readMandarin(run_, i > 0 ? chunk_[i - 1].c : before);
            emitMandarin(run_, 0, run_.size(), true);
            i = j;
        }
    }

    void emit(const ContextChar& c, bool otherScript) {
        const auto style = static_cast<uint32_t>(style_);
        out_->put(c.c, c.src, c.srcEnd, otherScript ? style | kOtherScriptBit : style);
        last_ = {c.c, false};
    }

    // What the Mandarin voice reads: its Chinese as pinyin where the reader has its lexicon, else as
    // it is written (the engine reads it by its own rules).
    void emitMandarin(const std::vector<ContextChar>& run, size_t a, size_t b, bool otherScript) {
        const auto voice = static_cast<size_t>(unpackStyle(static_cast<uint32_t>(style_)).voice);
        const int reader = otherScript ? voices_->otherScript[voice] : static_cast<int>(voice);
        if (!pinyin_ || reader < 0 || !voices_->pinyin[static_cast<size_t>(reader)]) {
            for (size_t i = a; i < b; ++i) emit(run[i], otherScript);
            return;
        }
        otherScript_ = otherScript;
        pinyin_->write(run, a, b, last_, *this);
    }

    void put(char32_t c, int32_t src, int32_t srcEnd, bool reading) override {
        const auto style = static_cast<uint32_t>(style_) | (otherScript_ ? kOtherScriptBit : 0);
        if (reading) {
            out_->putReading(c, src, srcEnd, style);
        } else {
            out_->put(c, src, srcEnd, style);
        }
    }

    std::unique_ptr<UnitProducer> inner_;
    std::shared_ptr<const VoiceTable> voices_;
    UnitSink* out_ = nullptr;

    std::vector<ContextChar> pending_;  // held back, all in style_
    uint64_t style_ = kNoStyle;
    Mode mode_ = Mode::Pass;
    char32_t before_ = 0;                       // the character before pending_
    uint64_t received_ = 0;                     // units the inner producer has put
    CharClass lastClass_ = CharClass::Space;    // of the last character put
    CharClass classBefore_ = CharClass::Space;  // of the one before it
    size_t sameRun_ = 0;                        // characters of that class in a row
    size_t cut_ = 0;                            // where pending_ may be cut, 0 for nowhere
    bool ended_ = false;

    std::vector<ContextChar> chunk_;
    std::vector<ContextChar> run_;
    std::vector<uint8_t> marks_;

    std::optional<PinyinWriter> pinyin_;  // with the Mandarin lexicon
    PinyinWriter::Last last_;             // what was passed on last
    bool otherScript_ = false;            // the run being written is a run of another script
};

// The language of a voice, as far as reading other scripts goes.
enum class Language { Unknown, Mandarin, OtherChinese, Other };

Language languageOf(const core::SpObjectToken& voice) {
    if (voice.GetAttribute("Language").empty()) return Language::Unknown;
    // Mainland, Taiwan and Singapore Chinese are Mandarin; Hong Kong and Macao Chinese are Cantonese.
    if (voice.matches("Language=804;404;1004")) return Language::Mandarin;
    if (voice.matches("Language=4")) return Language::OtherChinese;
    return Language::Other;
}

}  // namespace

bool isHan(char32_t c) {
    if (c < 0x2E80) return false;
    if (c >= 0x4E00 && c <= 0x9FFF) return true;
    return scriptOf(c) == USCRIPT_HAN;
}

bool isLatinLetter(char32_t c) {
    if (c < 0x80) return (c >= U'a' && c <= U'z') || (c >= U'A' && c <= U'Z');
    return u_isalpha(static_cast<UChar32>(c)) && scriptOf(c) == USCRIPT_LATIN;
}

void findScriptReaders(VoiceTable& voices, bool mixedScript) {
    const size_t n = voices.tokens.size();
    voices.mandarin.assign(n, 0);
    voices.otherScript.assign(n, -1);
    voices.pinyin.assign(n, 0);
    std::vector<Language> languages(n);
    int mandarin = -1;
    int english = -1;
    for (size_t i = 0; i < n; ++i) {
        const core::SpObjectToken& t = voices.tokens[i];
        languages[i] = languageOf(t);
        if (languages[i] == Language::Mandarin) {
            voices.mandarin[i] = 1;
            voices.pinyin[i] = t.GetAttribute("Vendor") == "eSpeak NG";
            if (mandarin < 0) mandarin = static_cast<int>(i);
        }
        // American English first, else the first English voice.
        const bool american = t.matches("Language=409");
        if ((american && (english < 0 || !voices.tokens[static_cast<size_t>(english)].matches("Language=409"))) ||
            (english < 0 && t.matches("Language=9"))) {
            english = static_cast<int>(i);
        }
    }
    if (!mixedScript) return;
    for (size_t i = 0; i < n; ++i) {
        if (languages[i] == Language::Mandarin) voices.otherScript[i] = english;
        if (languages[i] == Language::Other) voices.otherScript[i] = mandarin;
    }
}

std::unique_ptr<UnitProducer> makeScriptStage(std::unique_ptr<UnitProducer> inner,
                                              std::shared_ptr<const VoiceTable> voices,
                                              std::shared_ptr<const mandarin::MandarinLexicon> lexicon,
                                              const UserLexicon* user, bool citationTones) {
    bool needed = false;
    for (size_t i = 0; i < voices->mandarin.size(); ++i)
        needed = needed || voices->mandarin[i] || voices->otherScript[i] >= 0;
    if (!needed) return inner;
    return std::make_unique<ScriptStage>(std::move(inner), std::move(voices), std::move(lexicon), user, citationTones);
}

}  // namespace speech::text
