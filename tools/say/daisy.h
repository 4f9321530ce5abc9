// SPDX-License-Identifier: GPL-3.0-or-later
// tallamo-say's DAISY 2.02 talking books: a document (or any text the program reads) rendered into a
// folder that holds its text, its navigation, an MP3 file a section and the SMIL files that tie each
// sentence to its clip, the times being those of the voice's own Sentence events.
#pragma once

#include <cstdint>
#include <string_view>

#include "speech/voice.h"
#include "tools/say/options.h"

namespace say {

enum class DaisyName {
    No,       // not a DAISY book
    Folder,   // "book.daisy/": a DAISY book
    NoSlash,  // "book.daisy": one without the slash that makes it a folder
};

// What an --output name asks for: a name ending in ".daisy" (in any case) with a trailing slash is a
// DAISY book.
DaisyName daisyName(std::string_view output);

// Renders the text of the options (a document's, with its chapters as the sections) into the DAISY book
// the output names. The book is made in a hidden folder beside it and put in place once complete: a
// book this program made before is replaced (the two folders exchanged, then the old one removed);
// anything else under the name is refused before anything is spoken, and left as it is. A render that
// is stopped or fails leaves nothing. Returns the exit status; throws speech::Error on failure.
int speakDaisy(speech::SpVoice& voice, const Options& o, int32_t format);

}  // namespace say
