// SPDX-License-Identifier: GPL-3.0-or-later
// Internal to the text front end: SSML read by the front end itself into the same units and markers as
// any other text, so that its text goes through the script stage like any other (runs of English in
// Chinese and the reverse, numbers read by the Mandarin reader) and its marks are bookmarks placed at
// their sample. Positions stay UTF-16 offsets into the caller's string.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "speech/text/units.h"
#include "speech/text/voice_markup.h"

namespace speech::text {

// Checks SSML whole before anything is spoken; throws Error(errc::kMarkup, "XML error at character N:
// ...") for markup that is not well-formed. Values an element does not understand are ignored. Returns
// the uri of each <lexicon> element, in order (what comments or CDATA hold is text, never an element).
std::vector<std::u16string> checkSsml(const std::u16string& text, const FrontEndContext& context,
                                      std::shared_ptr<const VoiceTable> voices);

// Reads checked SSML into units, lazily.
std::unique_ptr<UnitProducer> makeSsmlProducer(std::shared_ptr<const std::u16string> text,
                                               const FrontEndContext& context,
                                               std::shared_ptr<const VoiceTable> voices);

}  // namespace speech::text
