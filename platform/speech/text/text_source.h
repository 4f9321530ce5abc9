// SPDX-License-Identifier: GPL-3.0-or-later
// Internal to the text front end: the segmenter, which pulls visible characters from a unit producer
// (plain text or markup, through the alias and script stages), finds sentences with ICU over a bounded
// window, and cuts each sentence into segments at bookmarks, silences, changes of settings and, for
// long runs, at spaces.
#pragma once

#include <cstdint>
#include <memory>

#include "speech/text/frontend.h"
#include "speech/text/units.h"

namespace speech::text {

struct VoiceTable;

// The segments of what `producer` appends; `initialStyle` is the settings in force before its first
// character.
std::unique_ptr<SegmentSource> makeTextSource(std::unique_ptr<UnitProducer> producer,
                                              std::shared_ptr<const VoiceTable> voices, bool speakPunctuation,
                                              uint32_t initialStyle);

}  // namespace speech::text
