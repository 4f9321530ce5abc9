// SPDX-License-Identifier: GPL-3.0-or-later
#include "tools/say/event_json.h"

#include "tools/say/timings.h"

namespace say {

std::string eventJson(const speech::VoiceEvent& e) {
    using speech::EventKind;
    std::string j = "{\"event\":" + jsonQuoted(eventTitle(e.kind)) + ",\"stream\":" + std::to_string(e.streamNumber) +
                    ",\"position\":" + std::to_string(e.streamPosition) + ",\"ms\":" + std::to_string(e.audioTimeMs);
    switch (e.kind) {
        case EventKind::Word:
        case EventKind::Sentence:
            j += ",\"pos\":" + std::to_string(e.characterPosition) + ",\"length\":" + std::to_string(e.length);
            break;
        case EventKind::Bookmark:
            j += ",\"bookmark\":" + jsonQuoted(e.bookmark) + ",\"id\":" + std::to_string(e.bookmarkId);
            break;
        case EventKind::Phoneme:
        case EventKind::Viseme:
            j += ",\"duration\":" + std::to_string(e.duration) + ",\"next\":" + std::to_string(e.next) +
                 ",\"feature\":" + std::to_string(e.feature) + ",\"current\":" + std::to_string(e.current);
            break;
        case EventKind::AudioLevel:
            j += ",\"level\":" + std::to_string(e.audioLevel);
            break;
        case EventKind::VoiceChange:
            j += ",\"token\":" + jsonQuoted(e.token ? e.token->GetDescription(0) : std::string());
            break;
        case EventKind::EnginePrivate:
            j += ",\"data\":" + std::to_string(e.engineData);
            break;
        case EventKind::StartStream:
        case EventKind::EndStream:
            break;
    }
    return j + "}";
}

}  // namespace say
