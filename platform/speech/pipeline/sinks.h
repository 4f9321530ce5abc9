// SPDX-License-Identifier: GPL-3.0-or-later
// Where a voice's stream goes: a device stream or a WAV file. Both take the input audio (the engine's
// 22.05 kHz mono, or a sound file's own) and convert it into the output format; positions are
// absolute bytes in the output's own coordinates (a device stream's count since it was opened, a
// file's size), so a second stream into the same output goes on from where the first ended.
//
// A sink is used by the voice's worker thread only, except interrupt(), which any thread may call.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <span>
#include <vector>

#include "base/error.h"
#include "speech/audio/converter.h"
#include "speech/audio/device.h"
#include "speech/audio/file_writer.h"
#include "speech/core/events.h"
#include "speech/core/formats.h"

namespace speech::pipeline {

class Sink {
public:
    virtual ~Sink() = default;

    // Takes interleaved input audio. A file may wait for room until `stop()` holds (checked again after
    // every interrupt); false when it gave up or the output failed.
    virtual bool push(std::span<const int16_t> samples, const std::function<bool()>& stop) = 0;
    virtual bool push(std::span<const float> samples, const std::function<bool()>& stop) = 0;
    // The input is complete: what the resampler holds goes out too.
    virtual void finish() = 0;
    // Moves converted audio on to the output, waiting up to `maxWait` for room.
    [[nodiscard]] virtual base::Result<void> pump(std::chrono::milliseconds maxWait) = 0;
    // Converted audio is waiting for room in the output.
    virtual bool backlog() const = 0;
    // The byte up to which the output has been heard (device) or written (file), and the byte after
    // the last one written.
    [[nodiscard]] virtual base::Result<uint64_t> played() = 0;
    virtual uint64_t written() const = 0;
    // Drops everything pushed but not yet heard; the input starts again at the next byte.
    [[nodiscard]] virtual base::Result<void> drop() = 0;
    // Holds or releases the sound; does nothing when it is already so.
    [[nodiscard]] virtual base::Result<void> setPaused(bool paused) = 0;
    // A device holds its sound on a pause; a file is rendered regardless.
    virtual bool followsPause() const = 0;
    // Wakes a push or pump waiting for room.
    virtual void interrupt() = 0;
    // A file's: a chain of synthesis starts after `segments` segments of the text, after the input
    // pushed so far (see audio::FileTarget), and a Word or Bookmark event falls at `byte`.
    virtual void startChain(uint64_t segments) { (void)segments; }
    virtual void placed(const core::VoiceEvent& event, uint64_t byte) {
        (void)event;
        (void)byte;
    }

    // The absolute byte at which input frame `inputFrame` (counted since the start or the last drop)
    // lies in the output.
    uint64_t byteAt(uint64_t inputFrame) const { return base_ + outputFramesFor(inputFrame) * bytesPerFrame_; }
    // Input frames taken since the start or the last drop.
    uint64_t inputFrames() const { return inputFrames_; }

protected:
    Sink(uint64_t base, const core::WaveFormat& format, int inChannels)
        : base_(base), bytesPerFrame_(static_cast<uint64_t>(format.bytesPerFrame())), inChannels_(inChannels) {}
    virtual uint64_t outputFramesFor(uint64_t inputFrames) const = 0;
    void took(size_t samples) { inputFrames_ += samples / static_cast<size_t>(inChannels_); }
    void restartAt(uint64_t base) {
        base_ = base;
        inputFrames_ = 0;
    }

private:
    uint64_t base_;
    uint64_t bytesPerFrame_;
    int inChannels_;
    uint64_t inputFrames_ = 0;
};

// A WAV file, converted and written by a FileWriter on its own thread. The input is handed over in
// blocks of fixed sizes (a small first one, so the first sample is written at once, then large ones),
// so the file's bytes depend only on the audio, never on how it arrived.
class FileSink final : public Sink {
public:
    // Throws Error when there is no conversion into the file's format. `onProgress` is called on the
    // writer's thread after each block reaches the file.
    FileSink(std::shared_ptr<audio::FileTarget> file, int inRate, int inChannels, const core::WaveFormat& format,
             std::function<void()> onProgress);

    bool push(std::span<const int16_t> samples, const std::function<bool()>& stop) override;
    bool push(std::span<const float> samples, const std::function<bool()>& stop) override;
    void finish() override;
    base::Result<void> pump(std::chrono::milliseconds) override;
    bool backlog() const override { return false; }
    base::Result<uint64_t> played() override;
    uint64_t written() const override { return writer_.written(); }
    base::Result<void> drop() override;
    base::Result<void> setPaused(bool) override { return {}; }
    bool followsPause() const override { return false; }
    void interrupt() override { writer_.interrupt(); }
    // The audio of a chain is converted on its own: the resampler's tail ends the one before, and the
    // blocks start again from a small one. A render that goes on from a chain's start then writes the
    // bytes of one that never stopped.
    void startChain(uint64_t segments) override;
    void placed(const core::VoiceEvent& event, uint64_t byte) override { file_->eventPlaced(event, byte); }

private:
    uint64_t outputFramesFor(uint64_t inputFrames) const override { return writer_.outputFramesFor(inputFrames); }
    template <class T>
    bool gather(std::vector<T>& gathered, std::span<const T> samples, const std::function<bool()>& stop);

    std::shared_ptr<audio::FileTarget> file_;
    audio::FileWriter writer_;
    int inRate_;
    int inChannels_;
    int outRate_;
    std::vector<int16_t> gathered_;      // input not yet handed to the writer
    std::vector<float> gatheredFloats_;  // the same for a sound file's float samples
    bool firstBlock_ = true;
};

// A device stream, converted here and written as the device takes it.
class DeviceSink final : public Sink {
public:
    // `state` is the device's at the start. Throws Error when there is no conversion into the
    // device's format.
    DeviceSink(audio::AudioDeviceStream& device, const audio::PlaybackState& state, int inRate, int inChannels);

    bool push(std::span<const int16_t> samples, const std::function<bool()>& stop) override;
    bool push(std::span<const float> samples, const std::function<bool()>& stop) override;
    void finish() override;
    base::Result<void> pump(std::chrono::milliseconds maxWait) override;
    bool backlog() const override { return !chunks_.empty(); }
    base::Result<uint64_t> played() override;
    uint64_t written() const override { return written_; }
    base::Result<void> drop() override;
    base::Result<void> setPaused(bool paused) override;
    bool followsPause() const override { return true; }
    void interrupt() override { device_.interrupt(); }

private:
    uint64_t outputFramesFor(uint64_t inputFrames) const override { return converter_.outputFramesFor(inputFrames); }
    void queue(std::vector<uint8_t> bytes);
    // Converts input audio and queues it for the device; a device waits for nothing here.
    template <class T>
    bool convert(std::span<const T> samples);

    audio::AudioDeviceStream& device_;
    audio::Converter converter_;
    uint64_t written_;
    std::deque<std::vector<uint8_t>> chunks_;  // converted, not yet taken by the device
    size_t chunkOffset_ = 0;                   // bytes of chunks_.front() already written
    bool corked_ = false;
};

}  // namespace speech::pipeline
