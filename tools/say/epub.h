// SPDX-License-Identifier: GPL-3.0-or-later
// tallamo-say's EPUB 3 talking books: a document (or any text the program reads) rendered into an EPUB
// 3 file whose content documents hold its text and chapters, with an audio file a content document and
// Media Overlays that tie each sentence, or each word, to its clip, the times being those of the voice's
// own Sentence and Word events.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "speech/voice.h"
#include "tools/say/options.h"
#include "tools/say/talking_book.h"

namespace say {

// Whether an --output name asks for an EPUB book: a name ending in ".epub", in any case.
bool epubName(std::string_view output);

// Renders the text of the options into the EPUB book the output names. The book is made in a hidden
// folder beside it and put under its name (replacing a file there) only once complete: a render that
// is stopped or fails leaves nothing. Returns the exit status; throws speech::Error on failure.
int speakEpub(speech::SpVoice& voice, const Options& o, int32_t format);

// The same for an EPUB input (any other input gives nothing): the book keeps its own XHTML documents,
// written afresh as EPUB 3 with each spoken sentence (and word) in spans, its styles, images, fonts
// (obfuscated ones with the encryption.xml that says so), reading order and navigation. A book whose
// encryption.xml encrypts anything else (DRM) is refused before anything is spoken.
std::optional<int> speakOwnEpub(speech::SpVoice& voice, const Options& o, int32_t format, const Place& place);

// Moves the finished archive `archiveName` of the work folder under the book's name.
void putInPlace(const WorkFolder& work, const Place& place, const std::string& archiveName);

}  // namespace say
