// SPDX-License-Identifier: GPL-3.0-or-later
// --resume: a render into one file that a stop does not lose, through a journal beside the output.
#pragma once

#include <cstdint>

#include "speech/names.h"
#include "speech/voice.h"
#include "tools/say/options.h"

namespace say {

// --resume: the book is cut into units (cutUnits), each spoken by a Speak of its own into the
// journal beside the output, which keeps every finished unit. A render stopped part way (Ctrl+C, a
// failure, a kill) leaves the journal; the same command goes on after the last finished unit. The
// finished file is made from the journal and put in place, with its chapters marked.
int speakResumable(speech::SpVoice& voice, const Options& o, int32_t format);

}  // namespace say
