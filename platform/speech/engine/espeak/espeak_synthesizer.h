// SPDX-License-Identifier: GPL-3.0-or-later
// The espeak-ng synthesizer back end. espeak-ng keeps global state, so every instance shares one
// process-wide engine behind one lock; it is initialised once and never terminated.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "speech/engine/synthesizer.h"

namespace speech::engine::espeak {

// Throws Error(kEngine) when espeak-ng cannot be initialised (for example, its data is missing).
std::shared_ptr<Synthesizer> makeEspeakSynthesizer();

// Loads the voice `voiceId` names (as a request would), so that a process forked afterwards starts
// with it loaded. True when another voice was loaded before.
base::Result<bool> prepareEspeakVoice(const std::string& voiceId);

// Loads the voice `voiceId` names into the copy of espeak-ng that reads runs of another script
// (loading that copy first), so that a process forked afterwards starts with it loaded. Nothing
// happens when that copy cannot be had or the voice is not installed.
void prepareEspeakSideVoice(const std::string& voiceId);

// The user's locale for ordering voices: the first non-empty of LC_ALL, LC_MESSAGES and LANG.
std::string userLocale();

// Words per minute for a rate of -10..10: each step the same factor, +10 = 3x and -10 = 1/3x the
// speed of rate 0 (175 wpm).
double wordsPerMinute(int rate);

}  // namespace speech::engine::espeak
