// SPDX-License-Identifier: GPL-3.0-or-later
// A scripted synthesizer at the voice's back-end boundary, and a synthesizer without voices.
#pragma once

#include <atomic>
#include <mutex>
#include <vector>

#include "speech/engine/synthesizer.h"

namespace testing_support {

// Speaks every code point as `samplesPerChar` samples of a square wave; one Word event per run of
// non-space characters and one Phoneme event per letter.
class ScriptedSynthesizer final : public speech::engine::Synthesizer {
public:
    ScriptedSynthesizer();
    std::vector<speech::core::SpObjectToken> voices() override;
    int sampleRate() const override { return 22050; }
    base::Result<void> synthesize(const speech::engine::SynthRequest& request,
                                  speech::engine::SynthSink& sink) override;

    // Samples produced per code point (default 220, 10 ms).
    std::atomic<int> samplesPerChar{220};
    // Real time spent per code point while synthesizing (default none).
    std::atomic<int> microsecondsPerChar{0};
    // A segment containing this code point makes the engine fail.
    std::atomic<char32_t> failOn{0};
    // A segment containing this code point makes the engine run out of memory (std::bad_alloc).
    std::atomic<char32_t> throwOn{0};

    std::vector<speech::engine::SynthRequest> requests() const;

private:
    mutable std::mutex mutex_;
    std::vector<speech::engine::SynthRequest> requests_;
};

class VoicelessSynthesizer final : public speech::engine::Synthesizer {
public:
    std::vector<speech::core::SpObjectToken> voices() override { return {}; }
    int sampleRate() const override { return 22050; }
    base::Result<void> synthesize(const speech::engine::SynthRequest&, speech::engine::SynthSink&) override {
        return {};
    }
};

}  // namespace testing_support
