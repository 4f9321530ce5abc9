// SPDX-License-Identifier: GPL-3.0-or-later
// The AAC side of a render's journal for an MP4 output (render_journal.h): a feeder that encodes the
// journal's finished audio into AAC parts on a thread of its own as the render goes on, and the
// record in which the journal keeps each part's packets. It lives in audio/, beside the journal that
// owns it and the part encoder's interface (mp4_writer.h), not in media/: the encoder itself comes
// from the media module, loaded at run time, and audio/ may not include media/, which sits above it.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "base/error.h"
#include "speech/audio/mp4_writer.h"

namespace speech::audio {

// A part's AAC packets as the journal keeps them: its index (8 bytes), packet count and byte count (4
// each), then offset, size (4 each), time and duration (8 each) a packet, then the bytes.
std::vector<uint8_t> aacPartRecord(const AacPart& part);
// Gives the parts recorded in the first `bytes` of `fd`, in order, to `take`; a record that does not
// fit is a fault naming `folder`.
base::Result<void> readAacParts(int fd, uint64_t bytes, const std::string& folder,
                                const std::function<base::Result<void>(const AacPart&)>& take);

// Encodes the listed audio (read from the journal's audio file `audio`, whose samples start at byte
// `audioStart`) into AAC parts on a thread of its own, as the render goes on. The whole parts wait for
// the render's thread to take them (take), so that every write the journal makes is made on that one
// thread.
class AacFeeder {
public:
    // `from`: the byte of the samples where the encoder starts (its first part's context).
    AacFeeder(int audio, uint64_t audioStart, std::string folder, std::unique_ptr<AacPartEncoder> encoder,
              uint64_t from);
    ~AacFeeder();
    AacFeeder(const AacFeeder&) = delete;
    AacFeeder& operator=(const AacFeeder&) = delete;

    // The listed audio now ends at byte `end` (from the audio's start).
    void listed(uint64_t end);
    // The parts encoded since the last call, in order; the encoder's fault, if it failed.
    base::Result<std::vector<AacPart>> take();
    // Waits until every listed byte is encoded and every part made (then given by take).
    base::Result<void> finish();

private:
    void run();
    base::Result<void> feed(uint64_t from, uint64_t size, std::vector<uint8_t>& block);
    base::Result<void> collect(bool all);

    const int audio_;
    const uint64_t audioStart_;
    const std::string folder_;
    std::unique_ptr<AacPartEncoder> encoder_;
    std::mutex mutex_;
    std::vector<AacPart> ready_;       // encoded, not yet taken
    std::condition_variable changed_;  // more listed, finishing, done, a fault, or stopping
    uint64_t fed_;                     // bytes given to the encoder
    uint64_t listed_;                  // bytes listed
    bool finishing_ = false;
    bool done_ = false;
    bool stopping_ = false;
    std::optional<base::Fault> fault_;
    std::thread thread_;
};

}  // namespace speech::audio
