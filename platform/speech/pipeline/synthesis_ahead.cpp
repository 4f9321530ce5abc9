// SPDX-License-Identifier: GPL-3.0-or-later
#include "speech/pipeline/synthesis_ahead.h"

#include <algorithm>
#include <new>
#include <optional>
#include <system_error>

#include "base/batch_thread.h"
#include "base/memory_reserve.h"
#include "speech/text/frontend.h"

namespace speech::pipeline {

namespace {

// Code points of the next piece read after a cut piece: a few words, enough for the engine to read on
// through the cut.
constexpr size_t kContext = 40;
// A chain ends after this many segments or this length (about a minute and a half of speech).
constexpr size_t kChainSegments = 64;
constexpr size_t kChainLength = 1200;
// Towards the end of the text a chain ends once it is half as long as the text left from there (so
// each is about a third of what was left where it started), but no shorter than this (about ten
// seconds of speech, against the couple of milliseconds a chain's start costs).
constexpr size_t kTailChainLength = 200;
static_assert(SynthesisAhead::kTailLookahead >= 2 * kChainLength, "a tail chain is at most kChainLength");
// Segments of its chain a lane sends to the engine with the one it reads: the engine goes on to them
// without a round trip. Enough for the engine to keep reading while the lane waits for a processor:
// an English word inside Chinese is a segment of its own, read in well under a millisecond.
constexpr size_t kFollowersSent = 8;

// The voice the engine reads a segment with: a run of another script has its own.
const std::string& engineVoiceOf(const text::Segment& segment) {
    return segment.engineVoiceId.empty() ? segment.voice.Id() : segment.engineVoiceId;
}

bool isSpace(char32_t c) {
    return c == U' ' || c == U'\t' || c == U'\n' || c == U'\r' || c == 0x3000;
}

}  // namespace

engine::SynthRequest readingOf(const text::Segment& segment, const text::Segment* next, bool stress, int32_t& keep) {
    engine::SynthRequest request;
    request.text = segment.text;
    request.voiceId = engineVoiceOf(segment);
    if (request.voiceId != segment.voice.Id()) request.runVoiceId = segment.voice.Id();
    request.rate = segment.rate;
    request.volume = segment.volume;
    request.pitch = segment.pitch;
    request.emphasis = segment.emphasis;
    request.speakPunctuation = segment.speakPunctuation;
    request.phonemes = segment.phonemes;
    request.ssml = segment.ssml;
    // A sentence cut by markup reads on without a sentence pause at the cut.
    request.endPause = segment.endsSentence;
    request.stress = stress;
    keep = static_cast<int32_t>(segment.text.size());

    // Only into a piece the same engine voice reads: a run of another script is read on its own.
    const bool cut = !segment.endsSentence && next != nullptr && next->sentenceIndex == segment.sentenceIndex &&
                     engineVoiceOf(*next) == request.voiceId;
    if (!cut || segment.text.empty() || next->text.empty() || segment.phonemes || segment.ssml || next->phonemes ||
        next->ssml) {
        return request;
    }
    // Only a cut between words (a space, or word spans meeting there, as in Chinese): the engine's
    // events tell where the next piece's first word starts, and that is where the piece's own audio
    // ends. Inside a word there is no such mark.
    const bool spaced = isSpace(segment.text.back()) || isSpace(next->text.front());
    const bool spansMeet = !segment.words.empty() && !next->words.empty() &&
                           segment.words.back().second == static_cast<int32_t>(segment.text.size()) &&
                           next->words.front().first == 0;
    if (!spaced && !spansMeet) return request;
    std::u32string context = next->text.substr(0, kContext);
    if (context.size() < next->text.size()) {
        const size_t lastSpace = context.find_last_of(U" \t\n\r");
        if (lastSpace != std::u32string::npos && lastSpace > 0) context.resize(lastSpace);
    }
    request.text += context;
    return request;
}

// Receives one call's output for a slot. With `keep` set, everything from the context's first word on
// is dropped (the engine reads the context to its end all the same: where it stops
// must not depend on timing, since the next segment of the chain goes on from there). Output is
// handed to the slot as it comes, or all at once at the end when `buffered`.
class SynthesisAhead::LaneSink final : public engine::SynthSink {
public:
    LaneSink(SynthesisAhead& owner, Slot& slot, int32_t keep, bool buffered)
        : owner_(owner), slot_(slot), keep_(keep), buffered_(buffered) {}

    bool audio(std::span<const int16_t> samples) override {
        if (cancelled()) return false;
        if (limit_) samples = samples.first(std::min<size_t>(samples.size(), *limit_ - delivered_));
        delivered_ += samples.size();
        if (samples_.capacity() == 0) samples_ = owner_.takeSpare();
        // Segments wait in the window whole: grown by a quarter rather than doubled, they hold little
        // more memory than their audio (most come in one piece, which then fits exactly).
        if (const size_t needed = samples_.size() + samples.size(); needed > samples_.capacity())
            samples_.reserve(needed + samples_.size() / 4);
        samples_.insert(samples_.end(), samples.begin(), samples.end());
        if (!buffered_) flush();
        return true;
    }
    bool event(const engine::SynthEvent& event) override {
        if (cancelled()) return false;
        if (limit_) return true;
        // Only a word tells where the context starts: the engine gives its pauses the position of the
        // text's end.
        if (keep_ >= 0 && event.kind == engine::SynthEvent::Kind::Word && event.textPosition >= keep_) {
            limit_ = std::max(event.sample, delivered_);
            return true;
        }
        events_.push_back(event);
        return true;
    }
    bool cancelled() const override { return slot_.cancelled.load(std::memory_order_acquire); }

    void flush() {
        if (!samples_.empty() || !events_.empty()) owner_.publish(slot_, std::move(samples_), std::move(events_));
        samples_.clear();
        events_.clear();
    }
    // The context's first event was seen: the piece's end is known.
    bool cut() const { return limit_.has_value(); }

private:
    SynthesisAhead& owner_;
    Slot& slot_;
    const int32_t keep_;
    const bool buffered_;
    std::optional<uint64_t> limit_;
    uint64_t delivered_ = 0;
    std::vector<int16_t> samples_;
    std::vector<engine::SynthEvent> events_;
};

// A Han character counts as four (a syllable, about as long to say as four letters of English), so
// that a chain of Chinese is about as long to read as one of English, and the work is shared as evenly.
size_t SynthesisAhead::lengthOf(const text::Segment& segment) {
    size_t length = 0;
    for (const char32_t c : segment.text) length += text::isHan(c) ? 4 : 1;
    return length;
}

SynthesisAhead::SynthesisAhead(engine::Synthesizer& synthesizer, size_t lanes, size_t segments, size_t chains,
                               bool batch, std::function<void()> onProgress)
    : synthesizer_(synthesizer),
      maxSegments_(std::max<size_t>(segments, 1)),
      maxChains_(std::max<size_t>(chains, 1)),
      batch_(batch),
      onProgress_(std::move(onProgress)) {
    const size_t count = std::max<size_t>(lanes, 1);
    // A lane claims one chain at a time: claiming never needs memory (which may have run out then).
    claimed_.reserve(count);
    // Room for every lane first: a lane that cannot start then leaves the vector untouched, where
    // growing it around a failed start ended the program (a thread destroyed while running).
    lanes_.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        try {
            lanes_.emplace_back([this] { lane(); });
        } catch (const std::exception&) {
            // No more threads or no memory for one (a limit on the process's memory or tasks): the
            // lanes started do the work.
            if (lanes_.empty()) throw;
            break;
        }
    }
}

SynthesisAhead::~SynthesisAhead() {
    clear();
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    work_.notify_all();
    for (auto& lane : lanes_) lane.join();
}

size_t SynthesisAhead::chainsLocked() const {
    return slots_.empty() ? 0 : static_cast<size_t>(slots_.back()->chain - slots_.front()->chain + 1);
}

bool SynthesisAhead::nextStartsChainLocked() const {
    const size_t limit = left_ ? std::clamp(*left_ / 2, kTailChainLength, kChainLength) : kChainLength;
    return startChain_ || chainSegments_ >= kChainSegments || chainLength_ >= limit;
}

bool SynthesisAhead::hasRoom() const {
    std::lock_guard lock(mutex_);
    return slots_.size() < maxSegments_ && (!nextStartsChainLocked() || chainsLocked() < maxChains_);
}

bool SynthesisAhead::empty() const {
    std::lock_guard lock(mutex_);
    return slots_.empty();
}

void SynthesisAhead::add(text::Segment segment, engine::SynthRequest request, int32_t keep,
                         std::optional<size_t> left) {
    auto slot = std::make_shared<Slot>();
    const size_t length = lengthOf(segment);
    {
        std::lock_guard lock(mutex_);
        left_ = left ? std::optional(*left + length) : std::nullopt;
        request.fresh = nextStartsChainLocked();
        if (request.fresh) {
            ++chain_;
            chainSegments_ = 0;
            chainLength_ = 0;
            startChain_ = false;
        }
        ++chainSegments_;
        chainLength_ += length;
        // What the next segment will be told is left; hasRoom asks before it comes.
        if (left_) *left_ = *left;
        slot->segment = std::move(segment);
        slot->request = std::move(request);
        slot->keep = keep;
        slot->chain = chain_;
        slots_.push_back(std::move(slot));
    }
    // The lane waiting for this chain, or any idle lane for a new one.
    work_.notify_all();
}

const text::Segment& SynthesisAhead::front() const {
    std::lock_guard lock(mutex_);
    return slots_.front()->segment;
}

bool SynthesisAhead::frontStartsChain() const {
    std::lock_guard lock(mutex_);
    return slots_.front()->request.fresh;
}

std::string SynthesisAhead::chainRule() {
    return "chains " + std::to_string(kChainSegments) + ' ' + std::to_string(kChainLength) + ' ' +
           std::to_string(kTailChainLength) + ' ' + std::to_string(kTailLookahead) + ' ' + std::to_string(kContext);
}

SynthesisAhead::Output SynthesisAhead::takeFront() {
    std::lock_guard lock(mutex_);
    Output& output = slots_.front()->output;
    Output taken;
    taken.samples.swap(output.samples);
    taken.events.swap(output.events);
    taken.done = output.done;
    taken.fault = output.fault;
    return taken;
}

void SynthesisAhead::recycle(std::vector<int16_t> samples) {
    samples.clear();
    std::lock_guard lock(mutex_);
    if (samples.capacity() > 0 && spares_.size() < lanes_.size()) spares_.push_back(std::move(samples));
}

std::vector<int16_t> SynthesisAhead::takeSpare() {
    std::lock_guard lock(mutex_);
    if (spares_.empty()) return {};
    std::vector<int16_t> spare = std::move(spares_.back());
    spares_.pop_back();
    return spare;
}

void SynthesisAhead::popFront() {
    std::lock_guard lock(mutex_);
    slots_.pop_front();
}

void SynthesisAhead::clear() {
    std::lock_guard lock(mutex_);
    for (auto& slot : slots_) slot->cancelled.store(true, std::memory_order_release);
    slots_.clear();
    startChain_ = true;
    left_.reset();
}

std::shared_ptr<SynthesisAhead::Slot> SynthesisAhead::nextFor(std::optional<uint64_t>& chain) {
    if (chain) {
        for (const auto& slot : slots_) {
            if (slot->chain == *chain && !slot->started) return slot;
        }
        // The chain may get more segments until a later one starts.
        if (chain_ == *chain && !startChain_) return nullptr;
        std::erase(claimed_, *chain);
        chain.reset();
    }
    for (const auto& slot : slots_) {
        if (slot->started || !slot->request.fresh) continue;
        if (std::find(claimed_.begin(), claimed_.end(), slot->chain) != claimed_.end()) continue;
        chain = slot->chain;
        claimed_.push_back(slot->chain);
        return slot;
    }
    return nullptr;
}

void SynthesisAhead::lane() {
    std::optional<base::BatchThread> batch;
    if (batch_) batch.emplace();
    // The run lives as long as the lane, so a chain goes on from one segment to the next on the same
    // worker. A run that could not be had, or that ran out of memory, is opened again for the lane's
    // next segment; the segment it failed on ends the stream.
    std::unique_ptr<engine::SynthesisRun> run;
    std::optional<uint64_t> chain;
    base::MemoryReserve reserve;
    std::unique_lock lock(mutex_);
    for (;;) {
        std::shared_ptr<Slot> slot;
        work_.wait(lock, [&] { return stopping_ || (slot = nextFor(chain)) != nullptr; });
        if (stopping_) return;
        slot->started = true;
        lock.unlock();
        base::Result<void> result;
        try {
            if (!run) run = synthesizer_.openRun();
            result = produce(*run, *slot);
        } catch (const std::bad_alloc&) {
            reserve.release();
            run.reset();
            result = base::outOfMemory();
        }
        finish(*slot, std::move(result));
        reserve.renew();
        lock.lock();
    }
}

bool SynthesisAhead::Slot::readTwice() const {
    return static_cast<size_t>(std::max(keep, 0)) < request.text.size();
}

std::vector<std::shared_ptr<SynthesisAhead::Slot>> SynthesisAhead::followersOf(const Slot& slot) const {
    std::vector<std::shared_ptr<Slot>> followers;
    std::lock_guard lock(mutex_);
    auto it = std::find_if(slots_.begin(), slots_.end(), [&](const auto& s) { return s.get() == &slot; });
    if (it == slots_.end()) return followers;
    for (++it; it != slots_.end() && followers.size() < kFollowersSent; ++it) {
        const Slot& s = **it;
        if (s.chain != slot.chain || s.started) break;
        // A segment with nothing to read is passed over by the lane, so it is passed over here too.
        if (s.request.text.empty()) continue;
        followers.push_back(*it);
        // The lane reads a piece with context twice: nothing is sent after it.
        if (s.readTwice()) break;
    }
    return followers;
}

base::Result<void> SynthesisAhead::produce(engine::SynthesisRun& run, Slot& slot) {
    base::Result<void> result;
    const auto own = static_cast<size_t>(std::max(slot.keep, 0));
    if (!slot.request.text.empty()) {
        const bool readTwice = slot.readTwice();
        // With context, nothing is handed on before the piece's end is known: without it, the piece is
        // read again on its own.
        LaneSink sink(*this, slot, readTwice ? slot.keep : -1, readTwice);
        // The chain's next segments, which this lane reads next, go to the engine with this one (kept
        // alive here: a clear may drop them meanwhile). Not after a piece that may be read twice.
        const auto followers = readTwice ? std::vector<std::shared_ptr<Slot>>() : followersOf(slot);
        std::vector<const engine::SynthRequest*> next;
        for (const auto& f : followers) next.push_back(&f->request);
        result = next.empty() ? run.synthesize(slot.request, sink) : run.synthesizeThen(slot.request, sink, next);
        if (readTwice && result && !sink.cancelled() && !sink.cut()) {
            engine::SynthRequest alone = slot.request;
            alone.text.resize(own);
            alone.endPause = slot.segment.endsSentence;
            alone.fresh = false;
            LaneSink again(*this, slot, -1, false);
            result = run.synthesize(alone, again);
            again.flush();
        } else {
            sink.flush();
        }
    }
    return result;
}

void SynthesisAhead::finish(Slot& slot, base::Result<void> result) {
    {
        std::lock_guard lock(mutex_);
        slot.output.done = true;
        if (!result) slot.output.fault = result.fault();
    }
    if (onProgress_) onProgress_();
}

void SynthesisAhead::publish(Slot& slot, std::vector<int16_t> samples, std::vector<engine::SynthEvent> events) {
    bool atFront = false;
    {
        std::lock_guard lock(mutex_);
        Output& output = slot.output;
        if (output.samples.empty())
            output.samples.swap(samples);
        else
            output.samples.insert(output.samples.end(), samples.begin(), samples.end());
        output.events.insert(output.events.end(), std::make_move_iterator(events.begin()),
                             std::make_move_iterator(events.end()));
        atFront = !slots_.empty() && slots_.front().get() == &slot;
    }
    // Output of the segments behind the front is looked at when they become the front.
    if (atFront && onProgress_) onProgress_();
}

}  // namespace speech::pipeline
