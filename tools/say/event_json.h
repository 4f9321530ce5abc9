// SPDX-License-Identifier: GPL-3.0-or-later
// --events: a voice event as the one line of JSON tallamo-say prints for it when it is released.
#pragma once

#include <string>

#include "speech/voice.h"

namespace say {

// The event's kind, stream, stream position and audio time, and the fields of its kind.
std::string eventJson(const speech::VoiceEvent& event);

}  // namespace say
