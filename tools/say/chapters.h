// SPDX-License-Identifier: GPL-3.0-or-later
// --chapters: each chapter of a document into audio files of its own.
#pragma once

#include <cstdint>

#include "speech/names.h"
#include "speech/voice.h"
#include "tools/say/options.h"

namespace say {

// --chapters: each chapter of the document into an audio file of its own in the folder --output names,
// NN-title.wav (or the extension --chapters-format gives), where NN is the chapter's number (00 for text
// before the first chapter, titled by the document), and with --timings its timings beside it,
// NN-title.srt, their positions counted in the chapter's text. The document is read twice: for the
// chapter count first, so the numbers have one width.
int speakChapters(speech::SpVoice& voice, const Options& o, int32_t format);

}  // namespace say
