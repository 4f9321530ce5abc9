// SPDX-License-Identifier: GPL-3.0-or-later
#include "speech/pipeline/sinks.h"

#include <algorithm>
#include <type_traits>
#include <utility>

namespace speech::pipeline {

namespace {

// Input samples handed to the file writer at first (about 46 ms: the first sample is in the file at
// once), then per block (about 12 s: each block costs the writer's thread and the voice's a wake-up,
// and the file a write and a header update).
constexpr size_t kFirstFileBlock = 1024;
constexpr size_t kFileBlock = 262144;

}  // namespace

// ---- file --------------------------------------------------------------------------------------------

FileSink::FileSink(std::shared_ptr<audio::FileTarget> file, int inRate, int inChannels, const core::WaveFormat& format,
                   std::function<void()> onProgress)
    : Sink(file->bytesWritten(), format, inChannels),
      file_(file),
      writer_(std::move(file), inRate, inChannels, format, std::move(onProgress)),
      inRate_(inRate),
      inChannels_(inChannels),
      outRate_(format.sampleRate) {}

template <class T>
bool FileSink::gather(std::vector<T>& gathered, std::span<const T> samples, const std::function<bool()>& stop) {
    took(samples.size());
    while (!samples.empty()) {
        // Input of a rate the file raises is handed over in smaller blocks, for about as much output.
        const auto channels = static_cast<size_t>(inChannels_);
        const size_t block = channels * audio::inputFramesFor((firstBlock_ ? kFirstFileBlock : kFileBlock) / channels,
                                                              inRate_, outRate_);
        if constexpr (std::is_same_v<T, int16_t>) {
            if (gathered.empty() && gathered.capacity() < block) gathered = writer_.takeSpare();
        }
        // A block is filled to exactly its size: taken at once, its memory is not grown (and doubled)
        // piece by piece.
        if (gathered.capacity() < block) gathered.reserve(block);
        const size_t take = std::min(samples.size(), block - gathered.size());
        gathered.insert(gathered.end(), samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(take));
        samples = samples.subspan(take);
        if (gathered.size() < block) break;
        firstBlock_ = false;
        if (!writer_.push(std::exchange(gathered, {}), stop)) return false;
    }
    return true;
}

bool FileSink::push(std::span<const int16_t> samples, const std::function<bool()>& stop) {
    return gather(gathered_, samples, stop);
}

bool FileSink::push(std::span<const float> samples, const std::function<bool()>& stop) {
    return gather(gatheredFloats_, samples, stop);
}

void FileSink::finish() {
    const auto never = [] { return false; };
    if (!gathered_.empty()) writer_.push(std::exchange(gathered_, {}), never);
    if (!gatheredFloats_.empty()) writer_.push(std::exchange(gatheredFloats_, {}), never);
    writer_.finish();
}

void FileSink::startChain(uint64_t segments) {
    if (inputFrames() == 0) return;  // nothing since the start: the converter is fresh
    const auto never = [] { return false; };
    if (!gathered_.empty()) writer_.push(std::exchange(gathered_, {}), never);
    if (!gatheredFloats_.empty()) writer_.push(std::exchange(gatheredFloats_, {}), never);
    writer_.restart(file_->chainStarting(segments));
    // The resampler's tail makes the chain exactly its input's length at the output rate.
    restartAt(byteAt(inputFrames()));
    firstBlock_ = true;
}

base::Result<void> FileSink::pump(std::chrono::milliseconds) {
    if (auto fault = writer_.fault()) return *fault;
    return {};
}

base::Result<uint64_t> FileSink::played() {
    if (auto fault = writer_.fault()) return *fault;
    return writer_.written();
}

// What is queued but not yet in the file is dropped; what is in the file stays.
base::Result<void> FileSink::drop() {
    writer_.drop();
    gathered_.clear();
    gatheredFloats_.clear();
    restartAt(writer_.written());
    return {};
}

// ---- device ------------------------------------------------------------------------------------------

DeviceSink::DeviceSink(audio::AudioDeviceStream& device, const audio::PlaybackState& state, int inRate, int inChannels)
    : Sink(state.writtenBytes, device.format(), inChannels),
      device_(device),
      converter_(inRate, inChannels, device.format()),
      written_(state.writtenBytes),
      corked_(state.corked) {}

void DeviceSink::queue(std::vector<uint8_t> bytes) {
    if (!bytes.empty()) chunks_.push_back(std::move(bytes));
}

template <class T>
bool DeviceSink::convert(std::span<const T> samples) {
    took(samples.size());
    std::vector<uint8_t> bytes;
    converter_.push(samples, bytes);
    queue(std::move(bytes));
    return true;
}

bool DeviceSink::push(std::span<const int16_t> samples, const std::function<bool()>&) {
    return convert(samples);
}

bool DeviceSink::push(std::span<const float> samples, const std::function<bool()>&) {
    return convert(samples);
}

void DeviceSink::finish() {
    std::vector<uint8_t> tail;
    converter_.finish(tail);
    queue(std::move(tail));
}

base::Result<void> DeviceSink::pump(std::chrono::milliseconds maxWait) {
    while (!chunks_.empty()) {
        const auto& front = chunks_.front();
        auto wrote = device_.write(std::span<const uint8_t>(front).subspan(chunkOffset_), maxWait);
        if (!wrote) return wrote.fault();
        written_ += wrote.value();
        chunkOffset_ += wrote.value();
        if (chunkOffset_ < front.size()) return {};  // the device is full
        chunks_.pop_front();
        chunkOffset_ = 0;
    }
    return {};
}

base::Result<uint64_t> DeviceSink::played() {
    auto state = device_.state();
    if (!state) return state.fault();
    return std::min(state.value().playedBytes, written_);
}

base::Result<void> DeviceSink::drop() {
    auto flushed = device_.flush();
    chunks_.clear();
    chunkOffset_ = 0;
    converter_.reset();
    restartAt(written_);
    return flushed;
}

base::Result<void> DeviceSink::setPaused(bool paused) {
    if (paused == corked_) return {};
    auto r = device_.setPaused(paused);
    if (r) corked_ = paused;
    return r;
}

}  // namespace speech::pipeline
