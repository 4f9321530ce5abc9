// SPDX-License-Identifier: GPL-3.0-or-later
// The AAC parts of a stream: the audio cut at fixed places (kAacPartSamples, with kAacPartContext of
// audio on each side) and each part encoded by an encoder of its own, side by side, so that the parts'
// packets join into one stream. The MP4 writer muxes them as they come; a render's journal keeps them
// (makeAacPartEncoder) so that a resumed render encodes only what is new.
#pragma once

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <thread>
#include <vector>

#include "base/batch_thread.h"
#include "base/error.h"
#include "speech/audio/media/ffmpeg_handles.h"
#include "speech/audio/mp4_writer.h"
#include "speech/core/formats.h"

namespace speech::audio::media {

// AAC-LC codes 1024 samples a frame.
inline constexpr int64_t kAacFrame = 1024;
inline constexpr int64_t kPartSamples = kAacPartSamples;
inline constexpr int64_t kPartContext = kAacPartContext;
// Parts given to the encoders and not yet written, a thread: writing waits while there are more.
inline constexpr size_t kPartsAThread = 2;
// The bit rate a channel asked for without a quality.
inline constexpr int64_t kDefaultBitRate = 52000;

struct AacSettings {
    int sampleRate = 22050;
    int channels = 1;
    int64_t bitRate = kDefaultBitRate;
    AacSearch search = AacSearch::Fast;
};

// An AAC-LC encoder of planar floats; every part's is made alike, so their packets form one stream.
base::Result<ff::CodecContext> openAacEncoder(const AacSettings& s, bool globalHeader);

// One part's input: planar samples from stream position `start` (kPartContext before the part, or 0).
struct PartInput {
    int64_t index = 0;
    int64_t start = 0;
    std::vector<std::vector<float>> planes;
    bool last = false;
};

// Encodes a part and keeps the packets whose time lies in it: from the part's start (the first part
// keeps its encoder's priming packet too) to the next part's, and for the last part every packet left.
base::Result<AacPart> encodePart(const AacSettings& settings, const PartInput& in);

// The encoders of the parts: threads of their own taking parts in order, or none, when a part is
// encoded on the thread that gives it.
class PartEncoders {
public:
    PartEncoders(const AacSettings& settings, int threads) : settings_(settings) {
        for (int i = 0; i < threads; ++i) threads_.emplace_back([this] { run(); });
    }
    ~PartEncoders() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        changed_.notify_all();
        for (auto& t : threads_) t.join();
    }
    PartEncoders(const PartEncoders&) = delete;
    PartEncoders& operator=(const PartEncoders&) = delete;

    void submit(PartInput input) {
        if (threads_.empty()) {
            const int64_t index = input.index;
            done_.emplace(index, encodePart(settings_, input));
            return;
        }
        {
            std::lock_guard lock(mutex_);
            queue_.push_back(std::move(input));
            ++given_;
        }
        changed_.notify_all();
    }

    // Waits for part `index` and hands over its packets.
    base::Result<AacPart> take(int64_t index) {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return done_.contains(index); });
        auto node = done_.extract(index);
        if (!threads_.empty()) --given_;
        return std::move(node.mapped());
    }

    // Whether part `index` is encoded.
    bool ready(int64_t index) const {
        std::lock_guard lock(mutex_);
        return done_.contains(index);
    }

    // Parts given and not yet taken.
    size_t pending() const {
        std::lock_guard lock(mutex_);
        return threads_.empty() ? done_.size() : given_;
    }
    size_t threads() const { return threads_.size(); }

private:
    void run() {
        const base::BatchThread batch;  // render work: it waits its turn on a busy processor
        std::unique_lock lock(mutex_);
        for (;;) {
            changed_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
            if (stopping_) return;
            PartInput input = std::move(queue_.front());
            queue_.pop_front();
            lock.unlock();
            const int64_t index = input.index;
            base::Result<AacPart> encoded = base::outOfMemory();
            try {
                encoded = encodePart(settings_, input);
            } catch (const std::bad_alloc&) {
                encoded = base::outOfMemory();
            }
            input = {};  // its samples are freed before the next part is taken
            lock.lock();
            done_.emplace(index, std::move(encoded));
            changed_.notify_all();
        }
    }

    AacSettings settings_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;  // a part given, a part done, or stopping
    std::deque<PartInput> queue_;
    std::map<int64_t, base::Result<AacPart>> done_;
    size_t given_ = 0;
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};

// The audio cut into parts at fixed places, from part `firstPart` on (its samples starting at its
// context), each given to the encoders as soon as its samples and the context after it are in.
class PartCutter {
public:
    PartCutter(const core::WaveFormat& format, const AacSettings& settings, int threads, int64_t firstPart)
        : format_(format),
          encoders_(settings, threads),
          buffer_(static_cast<size_t>(format.channels)),
          bufferStart_(std::max<int64_t>(0, firstPart * kPartSamples - kPartContext)),
          nextPart_(firstPart),
          nextTaken_(firstPart) {
        for (auto& plane : buffer_) plane.reserve(static_cast<size_t>(kPartSamples + 2 * kPartContext));
    }

    // Takes whole frames, into the encoder's planar floats as FFmpeg's resampler converts them (16-bit
    // samples over 32768, unsigned 8-bit ones less 128 over 128); `partDone` is called after each part
    // given to the encoders.
    template <class PartDone>
    base::Result<void> write(std::span<const uint8_t> bytes, PartDone partDone) {
        const auto frameBytes = static_cast<size_t>(format_.bytesPerFrame());
        const auto sampleBytes = static_cast<size_t>(format_.bitsPerSample / 8);
        const size_t frames = bytes.size() / frameBytes;
        for (size_t at = 0; at < frames;) {
            const int64_t partEnd = (nextPart_ + 1) * kPartSamples + kPartContext;
            const size_t take = std::min(frames - at, static_cast<size_t>(partEnd - end()));
            for (size_t c = 0; c < buffer_.size(); ++c) {
                auto& plane = buffer_[c];
                for (size_t i = at; i < at + take; ++i) {
                    const uint8_t* sample = bytes.data() + i * frameBytes + c * sampleBytes;
                    plane.push_back(sampleBytes == 1
                                        ? static_cast<float>(sample[0] - 128) / 128.0f
                                        : static_cast<float>(static_cast<int16_t>(sample[0] | sample[1] << 8)) /
                                              32768.0f);
                }
            }
            at += take;
            if (end() == partEnd) {
                submit(false);
                if (auto r = partDone(); !r) return r;
            }
        }
        return {};
    }

    // Gives the encoders the last part: whatever was taken from the next part's start on.
    void submitLast() {
        if (end() > nextPart_ * kPartSamples || (nextPart_ == 0 && end() > 0)) submit(true);
    }

    // The next part in order, waiting for it; nothing when every part given was taken.
    std::optional<base::Result<AacPart>> takeNext(bool wait) {
        if (nextTaken_ == nextPart_ || (!wait && !encoders_.ready(nextTaken_))) return std::nullopt;
        return encoders_.take(nextTaken_++);
    }
    // Parts given and not yet taken, and the most there should be.
    size_t pending() const { return encoders_.pending(); }
    size_t mostPending() const { return kPartsAThread * std::max<size_t>(1, encoders_.threads()); }
    // The stream position after the last sample taken.
    int64_t end() const { return bufferStart_ + static_cast<int64_t>(buffer_.front().size()); }

private:
    void submit(bool last) {
        const int64_t start = std::max<int64_t>(0, nextPart_ * kPartSamples - kPartContext);
        const int64_t stop = last ? end() : (nextPart_ + 1) * kPartSamples + kPartContext;
        PartInput input{nextPart_, start, {}, last};
        for (const auto& plane : buffer_) {
            const auto from = plane.begin() + (start - bufferStart_);
            input.planes.emplace_back(from, from + (stop - start));
        }
        ++nextPart_;
        // What the next part needs starts kPartContext before it; after the last, nothing.
        const int64_t keep = last ? stop : std::max<int64_t>(0, nextPart_ * kPartSamples - kPartContext);
        for (auto& plane : buffer_) plane.erase(plane.begin(), plane.begin() + (keep - bufferStart_));
        bufferStart_ = keep;
        encoders_.submit(std::move(input));
    }

    core::WaveFormat format_;
    PartEncoders encoders_;
    // The samples not yet given to a part's encoder, as planar floats; the first is stream sample
    // bufferStart_.
    std::vector<std::vector<float>> buffer_;
    int64_t bufferStart_;
    int64_t nextPart_;   // the next part to give to the encoders
    int64_t nextTaken_;  // the next part to take from them
};

}  // namespace speech::audio::media
