// SPDX-License-Identifier: GPL-3.0-or-later
#include "speech/core/events.h"

namespace speech::core {

const char* eventTitle(EventKind kind) {
    switch (kind) {
        case EventKind::StartStream:
            return "StartStream";
        case EventKind::EndStream:
            return "EndStream";
        case EventKind::VoiceChange:
            return "VoiceChange";
        case EventKind::Bookmark:
            return "BookMark";
        case EventKind::Word:
            return "Word";
        case EventKind::Sentence:
            return "Sentence";
        case EventKind::Phoneme:
            return "Phoneme";
        case EventKind::Viseme:
            return "Viseme";
        case EventKind::AudioLevel:
            return "AudioLevel";
        case EventKind::EnginePrivate:
            return "EnginePrivate";
    }
    return "";
}

}  // namespace speech::core
