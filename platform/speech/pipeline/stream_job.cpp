// SPDX-License-Identifier: GPL-3.0-or-later
#include "speech/pipeline/stream_job.h"

#include <algorithm>
#include <chrono>
#include <new>
#include <optional>
#include <system_error>

#include "base/batch_thread.h"
#include "speech/core/constants.h"

namespace speech::pipeline {

namespace {

using std::chrono::milliseconds;

// How long the worker waits at most between looks at the device clock and the controls.
constexpr milliseconds kPoll{4};
// How often a job whose text paused looks whether it goes on.
constexpr milliseconds kPausedPoll{50};
// Frames read from a sound file per step (fewer for a file whose rate is raised: about as much output).
constexpr size_t kSoundFrames = 4096;
// Samples of a segment's leading silence fed per step: a long silence is not made all at once.
constexpr uint64_t kSilencePiece = 4096;
// Segments per lane a file's synthesis window holds at most.
constexpr size_t kFileWindowSegments = 64;

}  // namespace

StreamJob::StreamJob(VoiceState& voice, Request& request) : voice_(voice), request_(request) {}

StreamJob::~StreamJob() {
    std::lock_guard lock(voice_.mutex);
    voice_.activeSink = nullptr;
}

core::VoiceEvent StreamJob::makeEvent(core::EventKind kind, uint64_t at) const {
    core::VoiceEvent e;
    e.kind = kind;
    e.streamNumber = request_.number;
    e.streamPosition = at >= base_ ? at - base_ : 0;
    e.audioTimeMs = e.streamPosition * 1000 / static_cast<uint64_t>(request_.format.bytesPerSecond());
    return e;
}

bool StreamJob::openSink() {
    const int inRate = request_.sound ? request_.sound->sampleRate() : voice_.synthesizer->sampleRate();
    const int inChannels = request_.sound ? request_.sound->channels() : 1;
    auto startAndEnd = [&](uint64_t at) {
        base_ = at;
        voice_.publish({makeEvent(core::EventKind::StartStream, at), makeEvent(core::EventKind::EndStream, at)});
    };
    if (request_.file) {
        try {
            sink_ = std::make_unique<FileSink>(request_.file, inRate, inChannels, request_.format,
                                               [this] { voice_.progressed(); });
        } catch (const base::Error& e) {
            request_.cutShort(e.code(), e.description());  // no conversion into this format
            startAndEnd(request_.file->bytesWritten());
            return false;
        } catch (const std::system_error& e) {
            // The writer's thread could not start: out of memory, or of threads.
            request_.cutShort(base::errc::kOutOfMemory,
                              std::string("The file's writer could not be started: ") + e.what() + ".");
            startAndEnd(request_.file->bytesWritten());
            return false;
        }
    } else {
        auto& device = voice_.device;
        if (device && (voice_.deviceIdOpen != request_.deviceId || device->format() != request_.format)) device.reset();
        if (!device) {
            auto opened = voice_.audioHost ? voice_.audioHost->open(request_.deviceId, request_.format)
                                           : base::Result<std::unique_ptr<audio::AudioDeviceStream>>(base::Fault{
                                                 base::errc::kNoAudioDevice, "No audio output device is available."});
            if (!opened) {
                startAndEnd(0);
                std::lock_guard lock(voice_.mutex);
                voice_.streamFault = opened.fault();
                return false;
            }
            device = std::move(opened.value());
            voice_.deviceIdOpen = request_.deviceId;
        }
        auto state = device->state();
        if (!state) {
            startAndEnd(0);
            sinkFailed(state.fault());
            return false;
        }
        try {
            sink_ = std::make_unique<DeviceSink>(*device, state.value(), inRate, inChannels);
        } catch (const base::Error&) {
            startAndEnd(state.value().writtenBytes);
            return false;
        }
    }
    base_ = sink_->written();
    std::lock_guard lock(voice_.mutex);
    voice_.activeSink = sink_.get();
    return true;
}

StreamJob::Controls StreamJob::readControls() {
    std::lock_guard lock(voice_.mutex);
    Controls c;
    c.shutdown = voice_.shutdown;
    c.purged = voice_.purgeGeneration != request_.purgeGeneration;
    c.paused = voice_.paused;
    if (voice_.skipPending) c.skip = voice_.skipCount;
    c.epoch = voice_.epoch.load(std::memory_order_acquire);
    seenControl_ = voice_.controlSerial;
    seenProgress_ = voice_.progressSerial;
    return c;
}

void StreamJob::waitForChange(milliseconds most) {
    std::unique_lock lock(voice_.mutex);
    voice_.wake.wait_for(lock, most, [&] {
        return voice_.controlSerial != seenControl_ || voice_.progressSerial != seenProgress_ || voice_.shutdown;
    });
}

void StreamJob::run(base::MemoryReserve& reserve) {
    try {
        speak();
    } catch (const std::bad_alloc&) {
        // What was synthesized ahead goes first: ending the stream takes a little memory of its own.
        reserve.release();
        ahead_.reset();
        pending_.clear();
        engineFailed(base::outOfMemory());
        end(sink_ ? sink_->written() : base_, false);
    }
}

void StreamJob::speak() {
    // A render into a file is batch work on this thread too, until the job ends.
    std::optional<base::BatchThread> batch;
    if (request_.file != nullptr) batch.emplace();
    currentVoice_ = request_.voice;
    if (!openSink()) return;
    pending_.push_back({base_, makeEvent(core::EventKind::StartStream, base_), -1});
    if (request_.source && !startSynthesis()) return;
    // A render that goes on from where an earlier one stopped: the text's segments up to there are
    // read (the markup before them still counts) but not spoken.
    if (request_.file) toPass_ = segmentsBefore_ = request_.file->takeSegmentsDone();
    while (serveOnce()) {
    }
}

bool StreamJob::startSynthesis() {
    // Into a file, several segments are synthesized at once and written in order; on a device one
    // segment is synthesized ahead of the one playing, which keeps the start and the controls quick.
    const bool toFile = request_.file != nullptr;
    const size_t jobs = std::clamp<size_t>(static_cast<size_t>(std::max(1, voice_.renderJobs.load())), 1,
                                           voice_.synthesizer->concurrency());
    const size_t lanes = toFile ? jobs : 1;
    // A file's window holds a chain per lane and one more, the one being written among them; a
    // device's, the segment playing and the next. Chains take the engine different times, so a lane
    // is often done with its chain while the one being written is still read: the spare chain gives
    // it the next one to read instead of waiting. Beyond that a lane waits, so the audio held stays
    // at about a chain a lane, whatever the speeds of the lanes.
    const size_t segments = toFile ? kFileWindowSegments * (lanes + 1) : 2;
    const size_t chains = toFile ? lanes + 1 : 2;
    try {
        ahead_ = std::make_unique<SynthesisAhead>(*voice_.synthesizer, lanes, segments, chains, toFile,
                                                  [this] { voice_.progressed(); });
    } catch (const std::system_error& e) {
        engineFailed(
            base::Fault{base::errc::kEngine, std::string("The speech engine cannot be run: ") + e.what() + "."});
        end(base_, true);
        return false;
    }
    return true;
}

bool StreamJob::serveOnce() {
    const Controls c = readControls();
    if (c.shutdown) {
        request_.stopped();
        return false;
    }
    if (c.purged) {
        request_.stopped();
        const auto dropped = dropBuffered();
        const uint64_t at = sink_->written();
        if (!dropped) sinkFailed(dropped.fault());
        end(at, false);
        return false;
    }
    if (c.skip) {
        answerSkip(*c.skip);
        return true;
    }
    const bool holding = sink_->followsPause() && c.paused;
    auto paused = sink_->setPaused(holding);
    auto played = paused ? sink_->played() : base::Result<uint64_t>(paused.fault());
    if (!played) {
        outputFailed(played.fault());
        return false;
    }
    release(std::min(played.value(), horizonByte()));
    if (finished_ && !sink_->backlog() && played.value() >= sink_->byteAt(sink_->inputFrames())) {
        end(sink_->byteAt(sink_->inputFrames()), true);
        return false;
    }
    if (holding) {
        waitForChange(kPoll);
        return true;
    }
    return feedAndPump(c.epoch);
}

void StreamJob::answerSkip(long count) {
    const long skipped = skipSentences(count);
    {
        std::lock_guard lock(voice_.mutex);
        voice_.skipPending = false;
        voice_.skipResult = skipped;
        voice_.skipAnswered = voice_.skipSerial;
    }
    voice_.idle.notify_all();
}

bool StreamJob::feedAndPump(uint64_t epoch) {
    Fed fed = Fed::Idle;
    if (!finished_) {
        fed = ahead_ ? feedSegments(epoch) : feedSound(epoch);
        if (fed == Fed::Stopped) return true;  // a control changed while the file had no room
        if (fed == Fed::Done) {
            sink_->finish();
            finished_ = true;
        }
    }
    // Into a device as much as it takes now; when it is full and nothing else is to be done, the
    // wait for room is the pause.
    auto pumped = sink_->pump(milliseconds(0));
    if (pumped && sink_->backlog() && fed == Fed::Idle) pumped = sink_->pump(kPoll);
    if (!pumped) {
        outputFailed(pumped.fault());
        return false;
    }
    // A text that paused (a pipe's writer waiting) is looked at again a little later.
    if (fed == Fed::Idle && !sink_->backlog())
        waitForChange(request_.source && request_.source->paused() ? kPausedPoll : kPoll);
    return true;
}

void StreamJob::outputFailed(const base::Fault& fault) {
    const uint64_t at = sink_->written();
    sinkFailed(fault);
    end(at, false);
}

void StreamJob::refill() {
    // Into a file, the text after a segment is looked at far enough to tell the end is near: the last
    // chains are then made shorter (see SynthesisAhead::add).
    const size_t lookahead = request_.file != nullptr ? SynthesisAhead::kTailLookahead : 0;
    while (ahead_->hasRoom()) {
        while (!sourceDone_ && (upcoming_.size() < 2 || afterFirst_ < lookahead)) {
            // A text that paused (a pipe's writer waits after a line) is not waited for: what came
            // before the pause is spoken, and the job goes on as for any other wait, looking again
            // at its next round.
            if (request_.source->paused()) break;
            std::optional<text::Segment> next = request_.source->next();
            sourceDone_ = !next;
            if (next && toPass_ > 0) {
                --toPass_;
                continue;
            }
            if (next) {
                if (!upcoming_.empty()) afterFirst_ += SynthesisAhead::lengthOf(*next);
                upcoming_.push_back(std::move(*next));
            }
        }
        if (upcoming_.empty()) return;
        // The length of the text after the segment, when its end is known to be that near.
        std::optional<size_t> left;
        if (lookahead > 0 && sourceDone_) left = afterFirst_;
        text::Segment segment = std::move(upcoming_.front());
        upcoming_.pop_front();
        if (!upcoming_.empty()) afterFirst_ -= SynthesisAhead::lengthOf(upcoming_.front());
        const bool stress =
            (voice_.interests.load(std::memory_order_relaxed) & (core::SVEPhoneme | core::SVEViseme)) != 0;
        int32_t keep = 0;
        engine::SynthRequest reading =
            readingOf(segment, upcoming_.empty() ? nullptr : &upcoming_.front(), stress, keep);
        // Into a file the engine's audio comes in large pieces, except at the start, where the first
        // sample is written at once.
        reading.bulk = request_.file != nullptr && started_;
        started_ = true;
        ahead_->add(std::move(segment), std::move(reading), keep, left);
    }
}

StreamJob::Fed StreamJob::feedSegments(uint64_t epoch) {
    const auto stop = [&] { return voice_.epoch.load(std::memory_order_acquire) != epoch; };
    Fed fed = Fed::Idle;
    for (;;) {
        refill();
        // A device takes what it has first; the window holds the rest meanwhile.
        if (sink_->backlog()) return fed;
        if (!front_) {
            if (ahead_->empty()) return sourceDone_ && upcoming_.empty() ? Fed::Done : fed;
            const text::Segment& segment = ahead_->front();
            if (ahead_->frontStartsChain()) sink_->startChain(segmentsBefore_);
            EventPlacer placer(segment, currentVoice_, voice_.interests.load(std::memory_order_relaxed),
                               voice_.synthesizer->sampleRate());
            const uint64_t silence = placer.silence();
            front_.emplace(Front{std::move(placer), sink_->inputFrames(), silence});
        }
        Front& f = *front_;
        if (f.silenceLeft > 0) {
            const std::vector<int16_t> zeros(static_cast<size_t>(std::min(f.silenceLeft, kSilencePiece)), 0);
            f.silenceLeft -= zeros.size();
            f.placer.addSamples(zeros);
            if (!sink_->push(zeros, stop)) return Fed::Stopped;
            fed = Fed::Progress;
            continue;
        }
        SynthesisAhead::Output out = ahead_->takeFront();
        for (const engine::SynthEvent& e : out.events) f.placer.addEvent(e);
        f.placer.addSamples(out.samples);
        const bool pushed = sink_->push(out.samples, stop);
        const bool gotAudio = !out.samples.empty();
        ahead_->recycle(std::move(out.samples));
        if (out.done) f.placer.finish();
        for (PlacedEvent& p : f.placer.take()) {
            const uint64_t at = sink_->byteAt(f.startFrame + p.sample);
            if (p.event.kind == core::EventKind::Word || p.event.kind == core::EventKind::Bookmark ||
                p.event.kind == core::EventKind::Sentence)
                sink_->placed(p.event, at);
            pending_.push_back({at, std::move(p.event), p.sentence});
        }
        if (!pushed) return Fed::Stopped;
        if (gotAudio) fed = Fed::Progress;
        if (!out.done) return fed;
        if (out.fault) {
            engineFailed(*out.fault);
            return Fed::Progress;
        }
        currentVoice_ = ahead_->front().voice;
        ahead_->popFront();
        ++segmentsBefore_;
        front_.reset();
        fed = Fed::Progress;
    }
}

StreamJob::Fed StreamJob::feedSound(uint64_t epoch) {
    if (sink_->backlog()) return Fed::Idle;
    const auto channels = static_cast<size_t>(request_.sound->channels());
    // A file of a low rate is read fewer frames a step, for about the same audio out of each step.
    const size_t step = audio::inputFramesFor(kSoundFrames, request_.sound->sampleRate(), request_.format.sampleRate);
    std::vector<float> frames(step * channels);
    const size_t got = request_.sound->read(frames);
    if (got == 0) return Fed::Done;
    frames.resize(got * channels);
    const auto stop = [&] { return voice_.epoch.load(std::memory_order_acquire) != epoch; };
    return sink_->push(std::span<const float>(frames), stop) ? Fed::Progress : Fed::Stopped;
}

uint64_t StreamJob::horizonByte() const {
    const uint64_t fed = sink_->inputFrames();
    if (!front_) return sink_->byteAt(fed);
    const uint64_t horizon = front_->placer.horizon();
    return sink_->byteAt(horizon < fed - front_->startFrame ? front_->startFrame + horizon : fed);
}

void StreamJob::release(uint64_t upTo) {
    std::vector<core::VoiceEvent> out;
    while (!pending_.empty() && pending_.front().at <= upTo) {
        PendingEvent& p = pending_.front();
        if (p.sentence >= 0) heardSentence_ = p.sentence;
        p.event.streamNumber = request_.number;
        p.event.streamPosition = p.at >= base_ ? p.at - base_ : 0;
        p.event.audioTimeMs = p.event.streamPosition * 1000 / static_cast<uint64_t>(request_.format.bytesPerSecond());
        out.push_back(std::move(p.event));
        pending_.pop_front();
    }
    if (!out.empty()) voice_.publish(std::move(out));
}

void StreamJob::end(uint64_t at, bool releaseAll) {
    if (releaseAll) release(at);
    pending_.clear();
    // Marked before EndStream, on which the owner may close the file.
    if (engineFault_) request_.cutShort(engineFault_->code, engineFault_->message);
    voice_.publish({makeEvent(core::EventKind::EndStream, at)});
}

base::Result<void> StreamJob::dropBuffered() {
    auto dropped = sink_->drop();
    if (ahead_) ahead_->clear();
    front_.reset();
    upcoming_.clear();
    afterFirst_ = 0;
    sourceDone_ = false;
    pending_.clear();
    finished_ = false;
    return dropped;
}

long StreamJob::skipSentences(long count) {
    if (!request_.source) return 0;
    const long current = std::max(heardSentence_, 0L);
    const long target = std::max(current + count, 0L);
    if (!dropBuffered()) return 0;
    if (target <= current) {
        request_.source->seekSentence(target);
        return target - current;
    }
    // Forward one sentence at a time, so that running past the end tells where the text ended (and
    // leaves it there).
    long reached = current;
    while (reached < target && request_.source->seekSentence(reached + 1)) ++reached;
    if (reached == target) return target - current;
    sourceDone_ = true;
    return reached + 1 - current;
}

void StreamJob::sinkFailed(const base::Fault& fault) {
    // A file stream keeps its write failure and reports it when it is closed.
    if (request_.file) return;
    {
        std::lock_guard lock(voice_.mutex);
        voice_.activeSink = nullptr;
        voice_.streamFault =
            base::Fault{base::errc::kDeviceLost, "The audio output device stopped working: " + fault.message};
    }
    ahead_.reset();
    front_.reset();
    sink_.reset();
    voice_.device.reset();
    voice_.deviceIdOpen.clear();
}

void StreamJob::engineFailed(const base::Fault& fault) {
    if (request_.file) {
        // Marked when the stream ends: a file that failed takes no more writes, and what was fed
        // before the failure is still written, its events released.
        engineFault_ = fault;
    } else {
        std::lock_guard lock(voice_.mutex);
        if (!voice_.streamFault) voice_.streamFault = fault;
    }
    if (ahead_) ahead_->clear();
    front_.reset();
    upcoming_.clear();
    afterFirst_ = 0;
    sourceDone_ = true;
}

}  // namespace speech::pipeline
