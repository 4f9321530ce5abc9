// SPDX-License-Identifier: GPL-3.0-or-later
// SSML that the engine reads itself: the text handed over in pieces cut after the end of a sentence
// where no element but the root is open, so each piece keeps its markup and the engine's positions map
// one to one onto the caller's string.
#pragma once

#include <memory>
#include <string>

#include "speech/text/voice_markup.h"

namespace speech::text {

// Returns a source that hands checked SSML (ssml_reader.h) to the engine's own SSML reader in pieces
// cut between sentences.
std::unique_ptr<SegmentSource> openSsml(std::shared_ptr<const std::u16string> text, const Style& style,
                                        std::shared_ptr<const VoiceTable> voices, bool speakPunctuation);

}  // namespace speech::text
