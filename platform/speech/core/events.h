// SPDX-License-Identifier: GPL-3.0-or-later
// The ten events a voice raises.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "speech/core/tokens.h"

namespace speech::core {

enum class EventKind {
    StartStream,
    EndStream,
    VoiceChange,
    Bookmark,
    Word,
    Sentence,
    Phoneme,
    Viseme,
    AudioLevel,
    EnginePrivate,
};

// The title an event has in the program's event log ("StartStream", "BookMark", ...).
const char* eventTitle(EventKind kind);

struct VoiceEvent {
    EventKind kind = EventKind::StartStream;
    uint32_t streamNumber = 0;
    // Byte offset in the output audio, counted in the output format, at which the event happens.
    uint64_t streamPosition = 0;
    // Audio time of the event in milliseconds from the start of the stream.
    uint64_t audioTimeMs = 0;

    // Word, Sentence: 0-based UTF-16 offset and length in the string passed to Speak.
    int32_t characterPosition = 0;
    int32_t length = 0;

    // Bookmark: the mark text unchanged, and its leading decimal integer (0 when it has none).
    std::string bookmark;
    int32_t bookmarkId = 0;

    // Phoneme: duration (ms), next phone id, feature, current phone id (16-bit ids).
    // Viseme: duration (ms to the next), next viseme, feature, current viseme (0..21).
    int32_t duration = 0;
    int32_t next = 0;
    int32_t feature = 0;
    int32_t current = 0;

    // AudioLevel: 0..100.
    int32_t audioLevel = 0;

    // EnginePrivate: engine data. espeak-ng's own clause and sentence ends are raised as these, with
    // the UTF-16 offset in the text at (or just after) the punctuation that ended the clause.
    int64_t engineData = 0;

    // VoiceChange: the new voice. Shared and held by pointer: a long text makes millions of events, and
    // a token held in each would double their size.
    std::shared_ptr<const SpObjectToken> token;
};

// Viseme feature bits.
inline constexpr int32_t SVF_None = 0;
inline constexpr int32_t SVF_Stressed = 1;
inline constexpr int32_t SVF_Emphasis = 2;

// Where the voice is in its text, in the manner of the automation object's Status: the stream and
// the last word and sentence whose audio was played (device) or written (file). Words are known only
// while the voice's event interests include them.
struct SpVoiceStatus {
    uint32_t currentStreamNumber = 0;
    int32_t inputWordPosition = 0;
    int32_t inputWordLength = 0;
    int32_t inputSentencePosition = 0;
    int32_t inputSentenceLength = 0;
};

}  // namespace speech::core
