// SPDX-License-Identifier: GPL-3.0-or-later
// Places one segment's events on its audio. In: the segment (its text, word spans, map back to the
// caller's string, settings), the engine's raw events in the order they came, and the samples as they
// come. Out: voice events at sample offsets from the segment's start (its leading silence included),
// in non-decreasing offset order, each handed out only once nothing can be placed before it any more.
// Pure: no engine, no clock, no threads; the same input gives the same output however it is split.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "speech/core/events.h"
#include "speech/engine/synthesizer.h"
#include "speech/text/frontend.h"

namespace speech::pipeline {

struct PlacedEvent {
    uint64_t sample = 0;     // offset from the start of the segment, silence included
    core::VoiceEvent event;  // kind and arguments; the stream number and position are the caller's
    long sentence = -1;      // Sentence: its index in the text (skips count from the sentence heard)
};

class EventPlacer {
public:
    // `interests` is the voice's SVE* word: kinds nobody listens to are not made. `voiceBefore` is the
    // voice the stream was speaking with before this segment (a VoiceChange is raised when it differs).
    EventPlacer(const text::Segment& segment, const core::SpObjectToken& voiceBefore, int32_t interests,
                int sampleRate);

    // Samples of the segment in order, its leading silence first; they feed the audio levels.
    void addSamples(std::span<const int16_t> samples);
    // The engine's events in the order they came; sample offsets count from the engine's first sample.
    void addEvent(const engine::SynthEvent& event);
    // The segment is complete: everything held is placed, and nothing lies past its end.
    void finish();

    // The events that are final, oldest first.
    std::vector<PlacedEvent> take();
    // No event will be placed before this offset any more.
    uint64_t horizon() const;
    // Samples of silence the segment starts with.
    uint64_t silence() const { return silence_; }

private:
    struct Held {
        engine::SynthEvent event;
        uint64_t sample;
    };
    void place(PlacedEvent placed);
    PlacedEvent at(core::EventKind kind, uint64_t sample) const;
    void placeWord(const Held& word, const engine::SynthEvent* next);
    void placePhoneme(const Held& phoneme, const engine::SynthEvent* next, uint64_t nextSample);
    void placeLevel(uint64_t start, double sumOfSquares, size_t count);
    int32_t sourceAt(int32_t codePoint) const;

    const text::Segment& segment_;
    const int sampleRate_;
    const uint64_t silence_;   // samples of silence before the engine's first sample
    const size_t levelBlock_;  // samples per audio level event
    const bool wantWords_, wantPhonemes_, wantVisemes_, wantLevels_, wantPrivate_;

    uint64_t samples_ = 0;         // received so far, silence included
    std::optional<Held> word_;     // a word waits for the next to know where it ends
    std::optional<Held> phoneme_;  // a phoneme waits for the next to know its duration
    int32_t lastWordEnd_ = -1;     // code point end of the last word placed
    double levelSum_ = 0;          // the audio level block in progress
    size_t levelCount_ = 0;
    bool finished_ = false;

    std::vector<PlacedEvent> placed_;  // placed, not yet final, in placing order
    uint64_t released_ = 0;            // offset of the last event handed out
};

}  // namespace speech::pipeline
