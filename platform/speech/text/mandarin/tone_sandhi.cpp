// SPDX-License-Identifier: GPL-3.0-or-later
#include "speech/text/mandarin/tone_sandhi.h"

#include <string_view>

namespace speech::text::mandarin {

namespace {

char& toneOf(PinyinSyllable& s) {
    return s.text[s.size - 1u];
}

bool third(const PinyinSyllable& s) {
    return s.size > 0 && s.text[s.size - 1u] == '3';
}

}  // namespace

void applyThirdToneSandhi(std::span<const char32_t> text, PinyinReading& reading) {
    auto& syl = reading.syllables;
    // Inside each word, on the dictionary tones: every third tone before a third tone.
    for (const PinyinWord& w : reading.words) {
        for (uint32_t k = w.firstSyllable; k + 1 < w.firstSyllable + w.syllableCount && k + 1 < syl.size(); ++k) {
            if (third(syl[k]) && third(syl[k + 1]) && syl[k].end == syl[k + 1].begin) toneOf(syl[k]) = '2';
        }
    }
    // Between words, from the right, on the tones as now spoken; only where the two syllables touch.
    // After a longer word, only before a one-syllable word that completes it (展览|馆), not before
    // one that opens a predicate (小组|很忙 keeps zu3): an adverb, an auxiliary, a preposition, a
    // pronoun, or a verb of saying and wanting.
    static constexpr std::u32string_view kOpensPredicate = U"很也还总只挺好可早准敢肯想请使给把比有所我你几每永";
    for (size_t i = reading.words.size(); i-- > 1;) {
        const PinyinWord& w = reading.words[i];
        const PinyinWord& before = reading.words[i - 1];
        if (w.syllableCount == 0 || before.syllableCount == 0) continue;
        const auto at = static_cast<size_t>(w.begin);
        const bool opensPredicate = at < text.size() && kOpensPredicate.find(text[at]) != std::u32string_view::npos;
        // A one-syllable word before a longer one keeps its half third (马|老师, 好|旅馆).
        if (before.syllableCount == 1 && w.syllableCount > 1) continue;
        if (before.syllableCount > 1 && (w.syllableCount > 1 || opensPredicate)) continue;
        const size_t first = w.firstSyllable, last = before.firstSyllable + before.syllableCount - 1;
        if (first >= syl.size() || last >= syl.size() || syl[last].end != syl[first].begin) continue;
        if (third(syl[last]) && third(syl[first])) toneOf(syl[last]) = '2';
    }
}

}  // namespace speech::text::mandarin
