// SPDX-License-Identifier: GPL-3.0-or-later
// Internal to the text front end: text that a Mandarin voice reads, written for the engine with its
// Chinese as pinyin (pinyin.h), word by word as the Mandarin reader reads it. Each syllable keeps the
// source range of the characters it reads, and its characters are marked as a reading, so the
// segmenter makes the reader's words the Word events' words and a program can print the reading.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "speech/text/mandarin/reader.h"
#include "speech/text/say_as.h"
#include "speech/text/user_lexicon.h"

namespace speech::text {

// Where the pinyin writer puts characters: `reading` marks those written for a reader's syllable.
class PinyinOut {
public:
    virtual ~PinyinOut() = default;
    virtual void put(char32_t c, int32_t src, int32_t srcEnd, bool reading) = 0;
};

class PinyinWriter {
public:
    // The user's pinyin entries win over the lexicon's words. The tones written are those spoken
    // (third-tone sandhi applied: tone_sandhi.h, a half third before a third written as
    // core::kHalfThirdTone), or with `citationTones` the dictionary's.
    PinyinWriter(std::shared_ptr<const mandarin::MandarinLexicon> lexicon, const UserLexicon* user,
                 bool citationTones = false);

    // What was written last, for the spaces between words.
    struct Last {
        char32_t c = 0;     // the last character written, 0 at the start
        bool word = false;  // it ended a word of pinyin
    };

    // Writes run[a, b) to `out`: Han characters as the reader's pinyin, the rest as it is, with a
    // space between a word of pinyin and the letters or digits next to it.
    void write(const std::vector<ContextChar>& run, size_t a, size_t b, Last& last, PinyinOut& out);

private:
    void writeWord(const std::vector<ContextChar>& run, size_t a, const mandarin::PinyinWord& word, PinyinOut& out);
    bool keepsHalfThird(size_t syllable) const;

    std::shared_ptr<const mandarin::MandarinLexicon> lexicon_;
    mandarin::MandarinReader reader_;
    bool citationTones_;
    std::u32string text_;
    mandarin::PinyinReading reading_;
    std::string piece_;
};

}  // namespace speech::text
