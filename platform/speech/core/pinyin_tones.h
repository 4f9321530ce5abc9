// SPDX-License-Identifier: GPL-3.0-or-later
// How the text front end tells the engine that a third tone is spoken as a half third (the low 21)
// before another third tone: 小组|很忙's 组, which keeps its half third because a subject and its
// predicate take no sandhi between them. espeak-ng turns every third tone before a third tone into a
// rising one up to a pause, so such a syllable cannot be sent as pinyin with its digit 3; the front end
// writes this character in place of the digit, and the engine speaks the syllable from its phonemes
// with the 21 contour.
#pragma once

namespace speech::core {

inline constexpr char32_t kHalfThirdTone = U'\uE203';

}  // namespace speech::core
