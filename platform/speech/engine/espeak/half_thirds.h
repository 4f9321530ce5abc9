// SPDX-License-Identifier: GPL-3.0-or-later
// Internal to the espeak-ng back end: the text espeak-ng is given for a request that holds half thirds
// (core::kHalfThirdTone after a pinyin syllable's letters). espeak-ng changes every third tone before
// a third tone into a rising one, up to a pause, but keeps a tone given in phonemes: each half third
// becomes its syllable's phonemes with the 21 contour ("zu" + the mark gives "[[ts'u21]]"), and phoneme
// input is turned on for the request.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace speech::engine::espeak {

// The phonemes of a half third from espeak-ng's transcription of the syllable with its third tone
// ("ts'u214_|" gives "ts'u21"); empty when the transcription is not one syllable ending in 214.
std::string halfThirdContour(std::string_view transcription);

// `text` with each half third written as phonemes: `phonemesOf(letters)` gives the syllable's
// (halfThirdContour), or empty to send it as an ordinary third tone. Any other "[[" is parted ("[ [")
// so that it stays text, unless `keepPhonemeInput` (the request holds phonemes of its own). `origin`
// gets, for each code point of the result and one past its end, where it came from in `text`; it is
// left empty, and the text unchanged, when there is no half third.
std::u32string withHalfThirds(std::u32string_view text, bool keepPhonemeInput,
                              const std::function<std::string(const std::string&)>& phonemesOf,
                              std::vector<int32_t>& origin);

}  // namespace speech::engine::espeak
