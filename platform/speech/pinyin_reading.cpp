// SPDX-License-Identifier: GPL-3.0-or-later
// SpVoice::pinyinReading: the text read through the same front end as Speak, with the voice's
// Mandarin voice, and printed from the segments the engine would be sent. The syllables printed are
// those of the engine's text, read back, so the reading shown is the reading heard.
#include <algorithm>

#include "base/error.h"
#include "base/utf8.h"
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

std::vector<ReadWord> readWords(text::SegmentSource& source) {
    std::vector<ReadWord> words;
    while (auto segment = source.next()) {
        for (const auto& [first, last] : segment->readings) {
            const int32_t begin = segment->sourceOffsets[static_cast<size_t>(first)];
            const int32_t end = segment->sourceOffsets[static_cast<size_t>(last)];
            const std::u32string_view engineWord(segment->text.data() + first, static_cast<size_t>(last - first));
            words.push_back({begin, std::max(begin, end), text::mandarin::syllablesOfEngineWord(engineWord)});
        }
    }
    std::stable_sort(words.begin(), words.end(), [](const auto& a, const auto& b) { return a.begin < b.begin; });
    return words;
}

bool endsBlank(const std::string& s) {
    return s.empty() || s.back() == ' ' || s.back() == '\t' || s.back() == '\n' || s.back() == '\r';
}

// The caller's text with the words read as pinyin printed in their place.
std::string printed(std::u16string_view text, const std::vector<ReadWord>& words, bool toneMarks) {
    std::string out;
    size_t pos = 0;
    bool afterSyllable = false;
    const auto plain = [&](size_t end) {
        if (end <= pos) return;
        const std::string piece = base::toUtf8(text.substr(pos, end - pos));
        if (afterSyllable && !piece.empty() && !std::isspace(static_cast<unsigned char>(piece.front()))) out += ' ';
        out += piece;
        afterSyllable = false;
        pos = end;
    };
    for (const ReadWord& w : words) {
        if (static_cast<size_t>(w.begin) < pos) continue;  // only once: a number's second word reads the same text
        plain(static_cast<size_t>(w.begin));
        for (const std::string& s : w.syllables) {
            if (!endsBlank(out)) out += ' ';
            out += toneMarks ? text::mandarin::withToneMark(s) : s;
        }
        afterSyllable = true;
        pos = std::max(pos, static_cast<size_t>(w.end));
    }
    plain(text.size());
    return out;
}

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
    return printed(text, readWords(*source), toneMarks && !spokenTones);
}

}  // namespace speech
