// SPDX-License-Identifier: GPL-3.0-or-later
// One request on the voice's worker thread, from StartStream to EndStream: opens the sink, has the
// segments synthesized ahead (several at once into a file, one ahead on a device), feeds their audio
// to the sink in order, places their events and releases each once its byte has been played
// (device) or written (file), answers pause, skip and purge, and ends the stream.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>

#include "base/memory_reserve.h"
#include "speech/pipeline/event_placer.h"
#include "speech/pipeline/sinks.h"
#include "speech/pipeline/synthesis_ahead.h"
#include "speech/pipeline/voice_state.h"

namespace speech::pipeline {

class StreamJob {
public:
    StreamJob(VoiceState& voice, Request& request);
    ~StreamJob();
    StreamJob(const StreamJob&) = delete;
    StreamJob& operator=(const StreamJob&) = delete;

    // Speaks the request to its end, a stop or a fault, then raises EndStream. Running out of memory
    // is a fault like the engine's; the calling thread's `reserve` is freed to report it.
    void run(base::MemoryReserve& reserve);

private:
    void speak();
    // Starts the synthesis window of a text request; false when the engine cannot be run (the stream
    // has then ended).
    bool startSynthesis();
    // One round of the job: the controls, the release of what was played, feeding and pumping the
    // sink. False once the stream has ended.
    bool serveOnce();
    // Skips `count` sentences and answers the waiting Skip call.
    void answerSkip(long count);
    // Feeds the next audio to the sink and moves it on to the output; false when the output failed
    // (the stream has then ended).
    bool feedAndPump(uint64_t epoch);
    // Ends the stream after a failure of the output at its last written byte.
    void outputFailed(const base::Fault& fault);
    struct Controls {
        bool shutdown = false;
        bool purged = false;
        bool paused = false;
        std::optional<long> skip;
        uint64_t epoch = 0;
    };
    struct PendingEvent {
        uint64_t at = 0;  // absolute byte in the sink
        core::VoiceEvent event;
        long sentence = -1;
    };
    // The segment at the front of the window, being fed.
    struct Front {
        EventPlacer placer;
        uint64_t startFrame;   // the sink's input frame of its first sample
        uint64_t silenceLeft;  // samples of its leading silence not yet fed
    };
    enum class Fed {
        Idle,      // nothing new to feed yet
        Progress,  // fed something
        Done,      // the input is complete
        Stopped,   // a purge, skip or shutdown stopped a wait for room
    };

    bool openSink();
    Controls readControls();
    // Waits for a control change or progress, at most `most`.
    void waitForChange(std::chrono::milliseconds most);
    void refill();
    Fed feedSegments(uint64_t epoch);
    Fed feedSound(uint64_t epoch);
    uint64_t horizonByte() const;
    void release(uint64_t upTo);
    long skipSentences(long count);
    [[nodiscard]] base::Result<void> dropBuffered();
    core::VoiceEvent makeEvent(core::EventKind kind, uint64_t at) const;
    // Ends the stream with what was heard: the events up to `at`, then EndStream there.
    void end(uint64_t at, bool releaseAll);
    // The output failed: a device is closed and its loss reported; a file keeps its own failure.
    void sinkFailed(const base::Fault& fault);
    // The engine failed on a segment: the stream ends after what was fed, and the failure is reported
    // (a file's Close raises it; a device's by the next Speak or takeStreamError).
    void engineFailed(const base::Fault& fault);

    VoiceState& voice_;
    Request& request_;
    std::unique_ptr<Sink> sink_;
    uint64_t base_ = 0;  // the sink's byte at StartStream
    std::unique_ptr<SynthesisAhead> ahead_;
    // The next segments, held until the one after each is known and, into a file, until enough of the
    // text after the first is known to tell whether the text ends soon (see SynthesisAhead::add).
    std::deque<text::Segment> upcoming_;
    size_t afterFirst_ = 0;  // the length (SynthesisAhead::lengthOf) of those after the first
    bool sourceDone_ = false;
    bool started_ = false;  // a segment has been handed to the synthesis window
    // Segments of the text an earlier render put in the file, still to be passed over, and the
    // segments taken from the text before the front one (passed over or written).
    uint64_t toPass_ = 0;
    uint64_t segmentsBefore_ = 0;
    std::optional<Front> front_;
    core::SpObjectToken currentVoice_;
    bool finished_ = false;  // the sink has its whole input
    std::deque<PendingEvent> pending_;
    long heardSentence_ = -1;
    uint64_t seenControl_ = ~uint64_t{0};
    uint64_t seenProgress_ = ~uint64_t{0};
    std::optional<base::Fault> engineFault_;  // a file's render failed in the engine
};

}  // namespace speech::pipeline
