// SPDX-License-Identifier: GPL-3.0-or-later
// --resume: a render into one file that a stop does not lose, through a journal beside the output.
#pragma once

#include <cstdint>
#include <string>

#include "speech/names.h"
#include "speech/streams.h"
#include "speech/voice.h"
#include "tools/say/options.h"

namespace say {

// --resume: the render without --resume (one Speak of the file, its chapters marked), into a journal
// beside the output that keeps the audio at every start of a synthesis chain. A render stopped part
// way (Ctrl+C, a failure, a kill) leaves the journal; the same command goes on from the last chain
// kept, and the finished file has the bytes of a render that never stopped.
int speakResumable(speech::SpVoice& voice, const Options& o, int32_t format);

// The key of a journal of the render of `input` (the text as the voice reads it, and whatever else
// the journal's contents depend on) with the options and the voice's data (its lexicons, its
// engine's data and version).
speech::ResumeKey resumeKey(const speech::SpVoice& voice, const Options& o, int32_t format, std::string input);

}  // namespace say
