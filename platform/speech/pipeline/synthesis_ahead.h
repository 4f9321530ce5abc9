// SPDX-License-Identifier: GPL-3.0-or-later
// Segments synthesized ahead of the output, in order. A window holds the next segments; up to `lanes`
// of them are synthesized at once, each lane a thread of its own with a run of the synthesizer (whose
// workers are processes, so the lanes really run in parallel). The stream job takes the front
// segment's output as it comes, and the segments behind it as soon as they are its front.
//
// The segments are grouped into chains of consecutive segments, each started fresh and read by one
// lane in order (SynthesisRun): an engine whose output depends on what it read before then gives the
// same output whichever lane reads a chain, so a render is the same whatever the number of lanes.
// Chains are a few hundred words long, so that starting one costs little against reading it.
//
// Thread safety: add, takeFront, popFront, clear and the queries are the stream job's (one thread);
// the lanes are internal and joined by the destructor.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "base/error.h"
#include "speech/engine/synthesizer.h"
#include "speech/text/frontend.h"

namespace speech::pipeline {

// What the engine reads for `segment`. A piece of a sentence that markup cut (a silence, a bookmark,
// a change of rate) is read with the start of the piece after it, so the engine does not end a
// clause at the cut (it would lengthen the last word and pause there); only the audio and events of
// the piece's own text are kept. `keep` receives the number of code points of the piece's own (the
// whole text when nothing was added).
engine::SynthRequest readingOf(const text::Segment& segment, const text::Segment* next, bool stress, int32_t& keep);

class SynthesisAhead {
public:
    struct Output {
        std::vector<int16_t> samples;            // the engine's samples (the segment's silence is not included)
        std::vector<engine::SynthEvent> events;  // its raw events, in the order they came
        bool done = false;                       // the segment is complete
        std::optional<base::Fault> fault;        // the engine failed on it (set with done)
    };

    // `onProgress` is called from a lane, with no lock of this object held, whenever the front
    // segment has new output or any segment is done. The window holds at most `segments` segments,
    // and at most `chains` chains. The lanes of a `batch` window (a render into a file) are batch
    // threads (see BatchThread).
    SynthesisAhead(engine::Synthesizer& synthesizer, size_t lanes, size_t segments, size_t chains, bool batch,
                   std::function<void()> onProgress);
    // Cancels what is running and joins the lanes.
    ~SynthesisAhead();
    SynthesisAhead(const SynthesisAhead&) = delete;
    SynthesisAhead& operator=(const SynthesisAhead&) = delete;

    bool hasRoom() const;
    bool empty() const;
    // Text after a segment (in lengthOf units) that tells whether the text ends soon: when less than
    // this is left, the chains are made shorter towards the end, so that the lanes finish together
    // instead of one reading the last long chain alone.
    static constexpr size_t kTailLookahead = 2400;
    // A segment's length for the chains: its code points, a Han character counting as four.
    static size_t lengthOf(const text::Segment& segment);

    // Appends a segment to synthesize with `request`, keeping `keep` code points' worth of it. The
    // request's `fresh` is set here, where a chain starts. `left`: the length of the text after the
    // segment, when it is known to be less than kTailLookahead (the caller knows the end of the text).
    void add(text::Segment segment, engine::SynthRequest request, int32_t keep,
             std::optional<size_t> left = std::nullopt);
    // The front segment, and whether a chain starts with it; must not be empty.
    const text::Segment& front() const;
    bool frontStartsChain() const;
    // The chain rule's constants as text, for what tells one render's audio from another's.
    static std::string chainRule();
    // What the front segment produced since the last take.
    Output takeFront();
    // Removes the front segment (taken and done).
    void popFront();
    // Samples taken and no longer needed: their memory serves a lane's next segment.
    void recycle(std::vector<int16_t> samples);
    // Drops every segment; calls in progress are cancelled and their output is thrown away. The next
    // segment starts a chain.
    void clear();

private:
    struct Slot {
        text::Segment segment;
        engine::SynthRequest request;
        int32_t keep = -1;
        uint64_t chain = 0;
        std::atomic<bool> cancelled{false};
        bool started = false;  // guarded by mutex_
        Output output;         // guarded by mutex_
        // A piece that markup cut is read with the start of the next one, then again on its own.
        bool readTwice() const;
    };
    class LaneSink;

    void lane();
    // The next slot for a lane reading `chain` (which it claims); null when none. Must hold mutex_.
    std::shared_ptr<Slot> nextFor(std::optional<uint64_t>& chain);
    size_t chainsLocked() const;
    // Whether the next segment added starts a chain. Must hold mutex_.
    bool nextStartsChainLocked() const;
    // Synthesizes the slot's segment, handing its output to the slot as it comes.
    base::Result<void> produce(engine::SynthesisRun& run, Slot& slot);
    // Marks the slot done, with the fault that ended it.
    void finish(Slot& slot, base::Result<void> result);
    // The segments after `slot` in its chain that its lane sends to the engine with it: those added
    // and not started, up to a few.
    std::vector<std::shared_ptr<Slot>> followersOf(const Slot& slot) const;
    void publish(Slot& slot, std::vector<int16_t> samples, std::vector<engine::SynthEvent> events);
    std::vector<int16_t> takeSpare();

    engine::Synthesizer& synthesizer_;
    const size_t maxSegments_;
    const size_t maxChains_;
    const bool batch_;
    const std::function<void()> onProgress_;

    mutable std::mutex mutex_;
    std::condition_variable work_;  // lanes wait here for a segment or the end
    // Guarded by mutex_:
    std::deque<std::shared_ptr<Slot>> slots_;  // the window, front first
    std::vector<uint64_t> claimed_;            // the chains lanes are reading
    uint64_t chain_ = 0;                       // the chain being added to
    size_t chainSegments_ = 0;                 // its segments and length (lengthOf) so far
    size_t chainLength_ = 0;
    std::optional<size_t> left_;  // the length of the text from the next segment on, when short
    bool startChain_ = true;
    bool stopping_ = false;
    std::vector<std::vector<int16_t>> spares_;  // emptied sample buffers, at most one per lane

    std::vector<std::thread> lanes_;
};

}  // namespace speech::pipeline
