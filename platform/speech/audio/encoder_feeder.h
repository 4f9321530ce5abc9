// SPDX-License-Identifier: GPL-3.0-or-later
// The encoded side of a render's journal for a FLAC, Ogg, Opus or MP3 output (render_journal.h): a
// feeder that encodes the journal's listed audio into the final file on a thread of its own as the
// render goes on, as a render without a journal encodes on its writer's thread, so that finishing the
// file waits for the last unit's audio only. What it wrote is not kept: a render stopped and resumed
// encodes from the start again, beside the rest of its render.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "base/error.h"
#include "speech/audio/file_encoder.h"

namespace speech::audio {

class EncoderFeeder {
public:
    // Encodes the journal's audio file `audio` (samples from byte `audioStart`) with `encoder`; faults
    // reading it name `folder`.
    EncoderFeeder(int audio, uint64_t audioStart, std::string folder, std::unique_ptr<SoundFileEncoder> encoder);
    // Stops and joins the thread; what was encoded is left to the caller's clean-up.
    ~EncoderFeeder();
    EncoderFeeder(const EncoderFeeder&) = delete;
    EncoderFeeder& operator=(const EncoderFeeder&) = delete;

    // The audio written now ends at byte `end` (from the samples' start): it is encoded as it comes,
    // not only once listed, as a render without a journal encodes it. Waits while more than
    // `backlog` bytes are not encoded yet, so that the render goes no faster than its encoding and its
    // end does not wait for a long stretch encoded on one processor alone.
    void written(uint64_t end, uint64_t backlog);
    // Waits until every byte written is encoded; then the encoder, to be finished by the caller, or the
    // first fault of the encoding.
    base::Result<std::unique_ptr<SoundFileEncoder>> finish();

private:
    void run();

    const int audio_;
    const uint64_t audioStart_;
    const std::string folder_;
    std::unique_ptr<SoundFileEncoder> encoder_;
    std::mutex mutex_;
    std::condition_variable changed_;  // more listed, all encoded, a fault, or stopping
    uint64_t fed_ = 0;                 // bytes given to the encoder
    uint64_t listed_ = 0;
    bool stopping_ = false;
    std::optional<base::Fault> fault_;
    std::thread thread_;
};

}  // namespace speech::audio
