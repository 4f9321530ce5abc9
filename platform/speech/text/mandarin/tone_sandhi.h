// SPDX-License-Identifier: GPL-3.0-or-later
// Internal to the Mandarin reader: third-tone sandhi, the tones a reading is spoken with. The reader
// gives each syllable its dictionary tone (with the changes of 一 and 不); a third tone before another
// third tone is spoken as a second tone, and the engine must be sent the tones to speak, since
// espeak-ng otherwise applies the change itself to every third tone before a third tone up to a pause,
// across the words that should keep theirs (好|旅馆 spoken 35 35 214 instead of 21 35 214).
//
// The convention: never across anything that is not a Han character (punctuation, a space, a
// number); inside a word first, each third tone before a third tone (你好 ni2 hao3, 展览馆 zhan2 lan2
// guan3); then between words from the right, on the tones already spoken, except that a one-syllable
// word before a longer word keeps a half third (好|旅馆 hao3 lv2 guan3, 小|老虎 xiao3 lao2 hu3, 马|老师
// ma3 lao3 shi1); a run of one-syllable words groups from the right (我很好 wo3 hen2 hao3); after a word of two or more
// syllables only before a one-syllable word that completes it (展览|馆), never between a subject and
// its predicate (小组|很忙 xiao2 zu3 hen3 mang2).
#pragma once

#include <span>

#include "speech/text/mandarin/reader.h"

namespace speech::text::mandarin {

// Rewrites the tones of `reading` (of `text`, as the reader read it) as they are spoken.
void applyThirdToneSandhi(std::span<const char32_t> text, PinyinReading& reading);

}  // namespace speech::text::mandarin
