// SPDX-License-Identifier: GPL-3.0-or-later
// Internal to the text front end: pinyin as it is written for the engine, for a reader and by a user.
//
// A syllable here is lower case ASCII, ü written v, with its tone digit last (1-4, 5 for the neutral
// tone); an erhua syllable has the r before the digit ("nar3"). espeak-ng's cmn-latn-pinyin voice is
// sent a word's syllables written together ("yin2hang2", one word to it) with an erhua written as the
// syllable and a trailing r ("na3r"): the voice has no r-coloured finals and reads an r after a toned
// syllable as a short rhotic tail. An apostrophe follows such an r when the next syllable of the word
// starts with a vowel, so that the r is not taken for that syllable's initial.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace speech::text::mandarin {

// Pinyin as a user writes it ("Yue4 qing0", "yue4qing1", "lü4", "nu:3"): its syllables, normalised
// (0 read as 5). False when it is not pinyin with a tone digit after every syllable.
bool normalisePinyin(std::string_view written, std::vector<std::string>& syllables);

// Appends what the engine is sent for `syllable`; `next` is the word's next syllable (empty at the
// end of the word).
void appendEngineSyllable(std::string_view syllable, std::string_view next, std::string& out);

// The syllables of a word as the engine is sent it ("dian3r'a5" gives "dianr3", "a5").
std::vector<std::string> syllablesOfEngineWord(std::u32string_view word);

// A syllable with its tone mark instead of its digit ("yin2" gives "yín", "lv4" "lǜ", "nar3" "nǎr";
// a neutral syllable has none: "de5" gives "de").
std::string withToneMark(std::string_view syllable);

}  // namespace speech::text::mandarin
