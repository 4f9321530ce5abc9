// SPDX-License-Identifier: GPL-3.0-or-later
// Converts audio into a WAV file stream's format and writes it on a thread of its own, so that the
// synthesizer goes on with the next samples while the previous ones are resampled and written. At
// 48 kHz stereo the conversion and the writes cost about half as much again as the synthesis itself;
// on two cores they now overlap with it.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "base/error.h"
#include "speech/audio/converter.h"
#include "speech/audio/file_target.h"
#include "speech/core/formats.h"

namespace speech::audio {

class FileWriter {
public:
    // Audio of `inRate` Hz with `inChannels` interleaved 16-bit channels goes into `file` in the file's
    // `out` format. `onProgress` is called on the writer's thread, without any lock of the writer's
    // held, after each block reaches the file and when a fault stops the writing.
    FileWriter(std::shared_ptr<FileTarget> file, int inRate, int inChannels, const core::WaveFormat& out,
               std::function<void()> onProgress);
    // Drops what is still queued and joins the thread.
    ~FileWriter();
    FileWriter(const FileWriter&) = delete;
    FileWriter& operator=(const FileWriter&) = delete;

    // Queues interleaved samples. While the queue is full this waits for room, until `stop()` returns
    // true (checked again after every interrupt()); false when it gave up. Memory stays bounded however
    // fast the input comes.
    bool push(std::vector<int16_t> samples, const std::function<bool()>& stop);
    // The same for floating-point samples (a sound file being played into the file).
    bool push(std::vector<float> samples, const std::function<bool()>& stop);
    // Queues the resampler's tail: after it the file holds exactly the input's length at the output rate.
    void finish();
    // Queues the end of a chain: the resampler's tail, then the resampler starts afresh, so that what
    // comes after does not depend on what came before; with `start`, the file keeps the audio so far
    // for a resume (FileTarget::commitChain) once it is written.
    void restart(std::optional<ChainStart> start);
    // An empty buffer whose memory a written block left (none at first): filling it for the next push
    // costs no fresh memory.
    std::vector<int16_t> takeSpare();
    // Drops the queued audio and the resampler's state; returns once nothing is being written.
    void drop();
    // Wakes a push waiting for room, so that it checks its stop condition.
    void interrupt();

    // The file's byte count after the last block written (the stream's own count, so a second
    // request into the same file goes on from where the first ended).
    uint64_t written() const;
    // The first write that failed; nothing is written after it.
    std::optional<base::Fault> fault() const;
    // Output frames for `inputFrames` frames of input, for placing events without waiting for them.
    uint64_t outputFramesFor(uint64_t inputFrames) const { return converter_.outputFramesFor(inputFrames); }

private:
    struct Block {
        std::vector<int16_t> samples;
        std::vector<float> floats;
        bool finish = false;
        bool restart = false;
        std::optional<ChainStart> chain;
        size_t size() const { return samples.size() + floats.size(); }
    };

    bool enqueue(Block block, const std::function<bool()>& stop);
    void run();

    std::shared_ptr<FileTarget> file_;
    Converter converter_;
    size_t inChannels_;
    std::function<void()> onProgress_;

    mutable std::mutex mutex_;
    std::condition_variable changed_;  // room, work, idle, interrupt and stop all signal here
    std::deque<Block> queue_;
    std::vector<int16_t> spare_;  // the last block's samples, emptied
    size_t queuedSamples_ = 0;
    bool busy_ = false;  // the thread is converting or writing a block taken from the queue
    bool stopping_ = false;
    uint64_t written_ = 0;
    std::optional<base::Fault> fault_;
    uint64_t interrupts_ = 0;
    std::vector<uint8_t> bytes_;  // the thread's conversion buffer

    std::thread thread_;
};

}  // namespace speech::audio
