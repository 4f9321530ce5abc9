// SPDX-License-Identifier: GPL-3.0-or-later
// Internal to the Mandarin reader: the context rules it applies to a clause once it is segmented and
// each word has its lexicon reading. They settle what a word list cannot: the one-character
// polyphones (得 de/děi, 还 hái/huán, 长 cháng/zhǎng, ...), neutral tones (particles, suffixes,
// reduplication) and the tone changes of 一 and 不.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "speech/text/mandarin/lexicon.h"

namespace speech::text::mandarin {

// One syllable being read: lower case pinyin, ü as v, a tone digit 1-5 last ("r5" for an erhua 儿).
struct Syl {
    std::array<char, 12> t{};
    uint8_t n = 0;
    bool ruled = false;  // a context rule chose it (the polyphone model leaves it)

    std::string_view view() const { return {t.data(), n}; }
    void set(std::string_view s) {
        n = static_cast<uint8_t>(std::min(s.size(), t.size()));
        if (n) std::memcpy(t.data(), s.data(), n);
    }
    int tone() const { return n ? t[n - 1u] - '0' : 0; }
    void setTone(int tone) {
        if (n) t[n - 1u] = static_cast<char>('0' + tone);
    }
    bool operator==(std::string_view s) const { return view() == s; }
};

// A word of the clause, or a piece of one for the rules.
struct Token {
    int32_t b = 0, e = 0;  // characters [b, e) of the run
    bool user = false;     // a user word: its reading is final
    bool loose = false;    // a loose lexicon entry (see lexicon_format.h), or a piece of one
    bool opens = true;     // a piece that starts its word (the whole word, when it is not split)
    bool closes = true;    // a piece that ends its word
    int32_t wordLen = 1;   // the length of its word
    int32_t len() const { return e - b; }
};

// The characters whose reading the context rules decide. In a loose entry they are pieces of their
// own for the rules (得去 is 得 + 去, so 我们得去 reads děi).
inline constexpr std::u32string_view kRuleChars =
    U"的地得了着过还长行为重都只应将数调好看和中要教假空种便差发处当觉倒背量个上里来去相弹系血";
inline constexpr std::u32string_view kNumerals = U"一二三四五六七八九十百千万亿两几半零〇廿";

inline bool oneOf(char32_t c, std::u32string_view set) {
    return set.find(c) != std::u32string_view::npos;
}

// The characters' state for one run: their lookup forms, their default readings and their readings.
struct Clause {
    std::vector<char32_t>& key;       // the form words are keyed by (Simplified)
    std::vector<Syl>& syl;            // the reading of each character
    std::vector<Token>& tokens;       // the clause's words and rule pieces, in order
    std::vector<uint16_t>& defaults;  // each character's own most common reading, or 0xFFFF
    std::vector<uint8_t>& fixed;      // scratch: characters of user words
};

// Applies the rules to the tokens of one clause.
void applyRules(const MandarinLexicon& lexicon, Clause clause);

}  // namespace speech::text::mandarin
