// SPDX-License-Identifier: GPL-3.0-or-later
// Internal to the text front end: the numbers and symbols of text that the Mandarin voice reads,
// rewritten into the words a Chinese newsreader says before the engine sees them (the engine reads
// "1.7" as 一七 and "25%" with the English word "percent").
#pragma once

#include <vector>

#include "speech/text/say_as.h"

namespace speech::text {

// Rewrites the numbers of `run` ("25%" becomes 百分之二十五, "2026-12-07" 二零二六年十二月七日). The
// characters written for one number all take the source range of the whole number as written, so it
// stays one word that points at what the user wrote. `before` is the character just before the run
// (0 at the start of the text): a number glued to a Latin word ("MP3") is left as it is.
void readMandarin(std::vector<ContextChar>& run, char32_t before);

}  // namespace speech::text
