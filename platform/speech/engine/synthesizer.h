// SPDX-License-Identifier: GPL-3.0-or-later
// The synthesizer back end: turns one segment of plain text into 22.05 kHz 16-bit mono samples with
// timed events. The real one wraps espeak-ng (espeak_synthesizer.cpp); tests use scripted doubles.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "base/error.h"
#include "speech/core/tokens.h"

namespace speech::engine {

// What the synthesizer is asked to say in one call. `text` is code points; events refer to indices
// into it.
struct SynthRequest {
    std::u32string text;
    std::string voiceId;  // SpObjectToken::Id() of the voice
    // The voice of the text around a run of another script (whose voice is voiceId): a worker starting
    // a run (`fresh`) with this request loads it, as the run reads mostly in it. Empty: voiceId.
    std::string runVoiceId;
    int rate = 0;      // -10..10 (effective: voice rate plus markup)
    int volume = 100;  // 0..100
    int pitch = 0;     // -10..10, 0 is the voice's own
    bool emphasis = false;
    bool speakPunctuation = false;
    bool phonemes = false;  // text holds phoneme codes ([[...]])
    bool ssml = false;      // text is SSML for the engine's own reader
    bool endPause = true;   // a sentence pause at the end
    // Phoneme events, their stress marked. Marking costs the engine a second pass over the text, and the
    // events (a dozen a second of speech) cost every process they pass through, so they are asked for
    // only when someone listens to phonemes or visemes.
    bool stress = true;
    // Start from the engine's initial state; when false, go on from the state the run's previous
    // request left (see SynthesisRun). An engine without such state ignores it.
    bool fresh = true;
    // Nobody listens while the output comes (a render into a file): a worker process may send it in
    // a few large pieces instead of starting with a small one at once.
    bool bulk = false;
};

struct SynthEvent {
    // Clause: the engine ended a clause or sentence inside the text (its own boundary, at textPosition).
    enum class Kind { Word, Sentence, Mark, Phoneme, Clause, End };
    Kind kind = Kind::Word;
    uint64_t sample = 0;       // sample index from the start of this call's output
    int32_t textPosition = 0;  // 0-based code point index into SynthRequest::text
    int32_t length = 0;        // in code points (Word)
    std::string name;          // Mark: the mark's name; Phoneme: the engine's phoneme mnemonic
    int32_t phoneId = 0;       // Phoneme: stable 16-bit id (see phonemes.h)
    int32_t viseme = 0;        // Phoneme: its mouth shape 0..21
    bool stressed = false;     // Phoneme
};

// Receives output as it is produced. Return false to abort the call (purge, skip, shutdown);
// the synthesizer then returns within a few milliseconds.
class SynthSink {
public:
    virtual ~SynthSink() = default;
    virtual bool audio(std::span<const int16_t> samples) = 0;
    virtual bool event(const SynthEvent& event) = 0;
    // The same abort, for a synthesizer that waits between outputs: it asks this while it waits.
    virtual bool cancelled() const { return false; }
};

// Requests made one after another by one caller (a lane of the voice). An engine whose output depends
// on what it read before reads a run's requests in one state that goes on from request to request,
// and each `fresh` request from its initial state: the output is then the same however the runs are
// spread over workers.
class SynthesisRun {
public:
    virtual ~SynthesisRun() = default;
    // As Synthesizer::synthesize.
    virtual base::Result<void> synthesize(const SynthRequest& request, SynthSink& sink) = 0;
    // The same, knowing the requests that follow on this run, in order: a run whose engine waits for
    // requests may pass them on at once, so that the engine goes on to them without waiting. The next
    // calls must then be for those requests themselves (the same objects), in order, each call giving
    // the rest of them first among its own followers, unless a call is cancelled.
    virtual base::Result<void> synthesizeThen(const SynthRequest& request, SynthSink& sink,
                                              std::span<const SynthRequest* const> next) {
        (void)next;
        return synthesize(request, sink);
    }
};

// What an engine's output is made from besides the requests: its name and version, and the folder of
// its data. Whatever keeps audio keyed by what made it (a render's journal) keys it by these.
struct EngineData {
    std::string version;
    std::string folder;
    friend bool operator==(const EngineData&, const EngineData&) = default;
};

class Synthesizer {
public:
    virtual ~Synthesizer() = default;
    // The installed voices, with descriptions unique in the list, in the platform's fixed order.
    virtual std::vector<core::SpObjectToken> voices() = 0;
    // Output sample rate (22050 for espeak-ng).
    virtual int sampleRate() const = 0;
    // The engine's version and data; nothing known by default.
    virtual EngineData data() const { return {}; }
    // How many synthesize calls can usefully run at once (the engine in this process: one).
    virtual size_t concurrency() const { return 1; }
    // Synthesizes the whole request into `sink`; thread-safe (calls are serialized inside).
    // Returns a fault if the engine cannot speak the request; an abort by the sink is not a fault.
    virtual base::Result<void> synthesize(const SynthRequest& request, SynthSink& sink) = 0;
    // A run for one caller; by default its requests are this object's synthesize calls.
    virtual std::unique_ptr<SynthesisRun> openRun();
};

inline std::unique_ptr<SynthesisRun> Synthesizer::openRun() {
    class Direct final : public SynthesisRun {
    public:
        explicit Direct(Synthesizer& synthesizer) : synthesizer_(synthesizer) {}
        base::Result<void> synthesize(const SynthRequest& request, SynthSink& sink) override {
            return synthesizer_.synthesize(request, sink);
        }

    private:
        Synthesizer& synthesizer_;
    };
    return std::make_unique<Direct>(*this);
}

}  // namespace speech::engine
