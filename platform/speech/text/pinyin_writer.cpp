// SPDX-License-Identifier: GPL-3.0-or-later
#include "speech/text/pinyin_writer.h"

#include "speech/core/pinyin_tones.h"
#include "speech/text/mandarin/pinyin.h"
#include "speech/text/mandarin/tone_sandhi.h"

namespace speech::text {

namespace {

bool isAsciiWordChar(char32_t c) {
    return (c >= U'a' && c <= U'z') || (c >= U'A' && c <= U'Z') || (c >= U'0' && c <= U'9') || c == U'\'';
}

}  // namespace

PinyinWriter::PinyinWriter(std::shared_ptr<const mandarin::MandarinLexicon> lexicon, const UserLexicon* user,
                           bool citationTones)
    : lexicon_(std::move(lexicon)), reader_(*lexicon_), citationTones_(citationTones) {
    if (!user) return;
    for (const UserEntry& e : user->entries) {
        if (!e.pinyin.empty()) reader_.addUserWord(e.grapheme, e.pinyin);
    }
}

void PinyinWriter::write(const std::vector<ContextChar>& run, size_t a, size_t b, Last& last, PinyinOut& out) {
    text_.clear();
    for (size_t i = a; i < b; ++i) text_.push_back(run[i].c);
    reader_.read(std::span<const char32_t>(text_.data(), text_.size()), reading_);
    if (!citationTones_)
        mandarin::applyThirdToneSandhi(std::span<const char32_t>(text_.data(), text_.size()), reading_);
    size_t i = a;
    const auto plainUpTo = [&](size_t end) {
        for (; i < end; ++i) {
            if (last.word && isAsciiWordChar(run[i].c)) out.put(U' ', run[i].src, run[i].src, false);
            out.put(run[i].c, run[i].src, run[i].srcEnd, false);
            last = {run[i].c, false};
        }
    };
    for (const mandarin::PinyinWord& word : reading_.words) {
        plainUpTo(a + static_cast<size_t>(word.begin));
        if (isAsciiWordChar(last.c)) out.put(U' ', run[i].src, run[i].src, false);
        writeWord(run, a, word, out);
        last = {U'0', true};
        i = a + static_cast<size_t>(word.end);
    }
    plainUpTo(b);
}

void PinyinWriter::writeWord(const std::vector<ContextChar>& run, size_t a, const mandarin::PinyinWord& word,
                             PinyinOut& out) {
    const mandarin::PinyinSyllable* syllables = reading_.syllables.data() + word.firstSyllable;
    for (uint32_t k = 0; k < word.syllableCount; ++k) {
        const mandarin::PinyinSyllable& s = syllables[k];
        const size_t first = a + static_cast<size_t>(s.begin);
        const size_t last = a + static_cast<size_t>(s.end) - 1;
        if (s.size == 0) {
            // A character the lexicon has no reading for goes to the engine as it is written.
            for (size_t c = first; c <= last; ++c) out.put(run[c].c, run[c].src, run[c].srcEnd, false);
            continue;
        }
        piece_.clear();
        mandarin::appendEngineSyllable(
            s.pinyin(), k + 1 < word.syllableCount ? syllables[k + 1].pinyin() : std::string_view{}, piece_);
        const bool halfThird = k + 1 == word.syllableCount && keepsHalfThird(word.firstSyllable + k);
        for (size_t c = 0; c < piece_.size(); ++c) {
            const bool digit = halfThird && c + 1 == piece_.size();
            out.put(digit ? core::kHalfThirdTone : static_cast<char32_t>(piece_[c]), run[first].src, run[last].srcEnd,
                    true);
        }
    }
}

// A word's last syllable spoken with a third tone right before a syllable spoken with a third tone
// keeps its half third: the sandhi the reader decided left it so (小组|很忙), and the engine would
// change it. An erhua syllable ("nar3") is left to the engine.
bool PinyinWriter::keepsHalfThird(size_t i) const {
    const auto& syl = reading_.syllables;
    if (citationTones_ || i + 1 >= syl.size() || syl[i].end != syl[i + 1].begin) return false;
    const std::string_view a = syl[i].pinyin(), b = syl[i + 1].pinyin();
    const bool erhua = a.size() >= 3 && a[a.size() - 2] == 'r' && a.substr(0, a.size() - 1) != "er";
    return !erhua && a.size() >= 2 && a.back() == '3' && b.size() >= 2 && b.back() == '3';
}

}  // namespace speech::text
