// SPDX-License-Identifier: GPL-3.0-or-later
// Internal to the text front end: reads Chinese as Mandarin pinyin, word by word. A run of text is
// segmented into words (the best path through the words the lexicon knows, by their frequencies),
// each word takes its reading from the lexicon, and context rules settle what a word list cannot
// (rules.h). Erhua is one syllable (哪儿 nar3). Third-tone sandhi is left to the engine.
// Traditional characters are looked up by their Simplified forms; the reading keeps the caller's
// characters and positions.
//
// Where the lexicon has a polyphone model (polyphone_model.h), the model then chooses among the
// readings of the characters it knows, from their context; the neutral tones the rules gave stay, and
// 一 and 不 are the rules' alone.
//
// User words (from the user's pronunciation lexicon) win over everything: where one matches, it is a
// word of its own with the user's reading.
#pragma once

#include <array>
#include <climits>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "speech/text/mandarin/lexicon.h"

namespace speech::text::mandarin {

struct PinyinSyllable {
    // Lower case, ü written v, the tone digit 1-5 last (5 = neutral): "yin2", "lv4", "nar3".
    std::array<char, 12> text{};
    uint8_t size = 0;
    int32_t begin = 0;  // the characters it reads: [begin, end) of the caller's run
    int32_t end = 0;

    std::string_view pinyin() const { return {text.data(), size}; }
};

struct PinyinWord {
    int32_t begin = 0;  // [begin, end) of the caller's run
    int32_t end = 0;
    uint32_t firstSyllable = 0;  // its syllables: [firstSyllable, firstSyllable + syllableCount)
    uint32_t syllableCount = 0;
};

struct PinyinReading {
    std::vector<PinyinSyllable> syllables;
    std::vector<PinyinWord> words;
    void clear() {
        syllables.clear();
        words.clear();
    }
};

class MandarinReader {
public:
    explicit MandarinReader(const MandarinLexicon& lexicon);
    ~MandarinReader();
    MandarinReader(const MandarinReader&) = delete;
    MandarinReader& operator=(const MandarinReader&) = delete;

    // Adds a user word: `word` in any script the text uses (looked up as written and by its
    // Simplified form), `syllables` one per character, as normalisePinyin gives them. Returns false,
    // adding nothing, when they do not fit the word.
    bool addUserWord(std::u32string_view word, const std::vector<std::string>& syllables);

    // Reads `text`. Han characters are read; any other character ends a clause (for the rules) and
    // is not read. Positions in `out` are indices into `text`. `out` is cleared first; its storage is
    // reused, so a reader reading many runs allocates little.
    void read(std::span<const char32_t> text, PinyinReading& out);
    void read(std::u16string_view text, PinyinReading& out);  // positions are UTF-16 indices

    // For learning the polyphone model: called, while reading, with every Han character the model
    // may judge (its position in the caller's run, its reading before the model, its features).
    using PolyphoneObserver =
        std::function<void(int32_t at, std::string_view current, const std::vector<std::string>& features)>;
    void observePolyphones(PolyphoneObserver observer) { observer_ = std::move(observer); }

private:
    struct Work;
    void readRun(Work& w, PinyinReading& out);
    void readClause(Work& w, size_t begin, size_t end, PinyinReading& out);
    size_t matchUserWord(const Work& w, size_t at, size_t end, const std::vector<std::string>*& reading) const;
    void freeParticles(Work& w);
    void splitLooseEntries(Work& w);
    void segment(Work& w, int32_t begin, int32_t end);
    void bestPathFrom(Work& w, int32_t i, int32_t end);
    void keyAsMatched(Work& w, int32_t begin, int32_t end) const;
    void appendWords(Work& w, PinyinReading& out);
    void appendWord(const Work& w, int32_t begin, int32_t end, PinyinReading& out) const;
    void subWords(Work& w, int32_t begin, int32_t end);
    void judgePolyphones(Work& w, size_t begin, size_t end);

    const MandarinLexicon& lexicon_;
    std::map<std::u32string, std::vector<std::string>, std::less<>> userWords_;
    size_t userMaxLength_ = 0;
    int32_t maxWord_ = INT32_MAX;  // the longest word segmentation takes
    std::unique_ptr<Work> work_;   // buffers reused from one read to the next
    PolyphoneObserver observer_;
};

// Whether the reader reads `c` (a Han character or 〇).
bool readsAsHan(char32_t c);

}  // namespace speech::text::mandarin
