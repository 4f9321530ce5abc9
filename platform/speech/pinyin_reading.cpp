// SPDX-License-Identifier: GPL-3.0-or-later
// SpVoice::pinyinReading: the text read through the same front end as Speak, with the voice's
// Mandarin voice, and printed from the segments the engine would be sent. The syllables printed are
// those of the engine's text, read back, so the reading shown is the reading heard.
#include <algorithm>
#include <cctype>
#include <functional>
#include <string>
#include <string_view>

#include "base/error.h"
#include "base/utf8.h"
#include "speech/core/pinyin_tones.h"
#include "speech/text/frontend.h"
#include "speech/text/mandarin/lexicon.h"
#include "speech/text/mandarin/pinyin.h"
#include "speech/voice_p.h"

namespace speech {

namespace {

// A word of the reader's pinyin in the caller's text: [begin, end) and its syllables.
struct ReadWord {
    int32_t begin;
    int32_t end;
    std::vector<std::string> syllables;
};

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// The caller's text with the words read as pinyin printed in their place, printed as the words come:
// a stretch of the text goes out once no word still to come can start in it, a line at a time.
class Printer {
public:
    Printer(std::u16string_view text, bool toneMarks, const std::function<void(std::string_view)>& write)
        : text_(text), toneMarks_(toneMarks), write_(write) {}

    void add(ReadWord word) { words_.push_back(std::move(word)); }

    // Prints the text before `limit`, with the words that begin there.
    void printTo(size_t limit) {
        std::stable_sort(words_.begin(), words_.end(), [](const auto& a, const auto& b) { return a.begin < b.begin; });
        size_t used = 0;
        for (; used < words_.size() && static_cast<size_t>(words_[used].begin) < limit; ++used) {
            const ReadWord& w = words_[used];
            if (static_cast<size_t>(w.begin) < pos_) continue;  // only once: a number's second word reads the same text
            plain(static_cast<size_t>(w.begin));
            for (const std::string& s : w.syllables) {
                if (!endsBlank()) out_ += ' ';
                out_ += toneMarks_ ? text::mandarin::withToneMark(s) : s;
            }
            afterSyllable_ = true;
            pos_ = std::max(pos_, static_cast<size_t>(w.end));
        }
        words_.erase(words_.begin(), words_.begin() + static_cast<std::ptrdiff_t>(used));
        plain(std::min(limit, text_.size()));
        // Whole lines go out; a line that grows long goes out in pieces.
        const size_t line = out_.rfind('\n');
        const size_t upTo = out_.size() > kMaxHeld ? out_.size() : line == std::string::npos ? 0 : line + 1;
        if (upTo > 0) {
            last_ = out_[upTo - 1];
            write_(std::string_view(out_).substr(0, upTo));
            out_.erase(0, upTo);
        }
    }

    void finish() {
        printTo(text_.size());
        if (!out_.empty()) {
            last_ = out_.back();
            write_(out_);
            out_.clear();
        }
    }

private:
    static constexpr size_t kMaxHeld = 64 * 1024;

    bool endsBlank() const { return out_.empty() ? last_ == 0 || isBlank(last_) : isBlank(out_.back()); }

    void plain(size_t end) {
        if (end <= pos_) return;
        const std::string piece = base::toUtf8(text_.substr(pos_, end - pos_));
        if (afterSyllable_ && !piece.empty() && !std::isspace(static_cast<unsigned char>(piece.front()))) out_ += ' ';
        out_ += piece;
        afterSyllable_ = false;
        pos_ = end;
    }

    std::u16string_view text_;
    bool toneMarks_;
    const std::function<void(std::string_view)>& write_;
    std::vector<ReadWord> words_;  // read, not yet printed
    std::string out_;              // printed, not yet written
    size_t pos_ = 0;               // the text before this is printed
    bool afterSyllable_ = false;
    char last_ = 0;  // the last character written
};

// The voice that reads Chinese for this voice: its own when it is a Mandarin voice, else the first
// Mandarin voice installed.
SpObjectToken mandarinVoice(const std::vector<SpObjectToken>& voices, const SpObjectToken& own) {
    if (own.matches("Language=804;404;1004")) return own;
    for (const SpObjectToken& v : voices) {
        if (v.matches("Language=804")) return v;
    }
    return own;
}

}  // namespace

std::string SpVoice::pinyinReading(std::u16string_view text, int32_t flags, bool toneMarks, bool spokenTones) const {
    std::string out;
    pinyinReading(text, flags, toneMarks, spokenTones, [&](std::string_view piece) { out += piece; });
    return out;
}

void SpVoice::pinyinReading(std::u16string_view text, int32_t flags, bool toneMarks, bool spokenTones,
                            const std::function<void(std::string_view)>& write) const {
    std::string problem;
    text::FrontEndContext context;
    context.mandarinLexicon = text::mandarin::installedMandarinLexicon(&problem);
    context.citationTones = !spokenTones;
    if (!context.mandarinLexicon) throw Error(errc::kFile, problem);
    context.voices = impl_->synthesizer->voices();
    {
        std::lock_guard lock(impl_->settingsMutex);
        context.voice = mandarinVoice(context.voices, impl_->voice);
        context.mixedScript = impl_->mixedScript;
        context.userLexicon = impl_->userLexicon;
    }
    auto source = text::openText(std::make_shared<const std::u16string>(text),
                                 flags & ~(SVSFIsFilename | SVSFPersistXML), context, nullptr);
    // Segments come in the order of the text: no word still to come starts before a segment's first
    // character.
    Printer printer(text, toneMarks && !spokenTones, write);
    while (auto segment = source->next()) {
        printer.printTo(static_cast<size_t>(segment->sourceOffsets.front()));
        for (const auto& [first, last] : segment->readings) {
            const int32_t begin = segment->sourceOffsets[static_cast<size_t>(first)];
            const int32_t end = segment->sourceOffsets[static_cast<size_t>(last)];
            // A half third is printed as the third tone it is.
            std::u32string engineWord(segment->text.data() + first, static_cast<size_t>(last - first));
            std::replace(engineWord.begin(), engineWord.end(), core::kHalfThirdTone, U'3');
            printer.add({begin, std::max(begin, end), text::mandarin::syllablesOfEngineWord(engineWord)});
        }
    }
    printer.finish();
}

}  // namespace speech
