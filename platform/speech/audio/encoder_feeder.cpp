// SPDX-License-Identifier: GPL-3.0-or-later
#include "speech/audio/encoder_feeder.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "speech/audio/journal_state.h"

namespace speech::audio {

EncoderFeeder::EncoderFeeder(int audio, uint64_t audioStart, std::string folder,
                             std::unique_ptr<SoundFileEncoder> encoder)
    : audio_(audio), audioStart_(audioStart), folder_(std::move(folder)), encoder_(std::move(encoder)) {
    thread_ = std::thread([this] { run(); });
}

EncoderFeeder::~EncoderFeeder() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

void EncoderFeeder::written(uint64_t end, uint64_t backlog) {
    std::unique_lock lock(mutex_);
    listed_ = std::max(listed_, end);
    changed_.notify_all();
    // The thread always goes on until it is level, or stops at a fault.
    changed_.wait(lock, [&] { return fault_ || listed_ - fed_ <= backlog; });
}

base::Result<std::unique_ptr<SoundFileEncoder>> EncoderFeeder::finish() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return fault_ || fed_ >= listed_; });
    if (fault_) return *fault_;
    // The thread waits for more listed audio and touches the encoder no more.
    return std::move(encoder_);
}

void EncoderFeeder::run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [&] { return stopping_ || (!fault_ && fed_ < listed_ && encoder_); });
        if (stopping_) return;
        const uint64_t from = fed_;
        const uint64_t size = std::min<uint64_t>(listed_ - fed_, kJournalBlock);
        lock.unlock();
        std::optional<base::Fault> failed;
        const int err = readBlocks(audio_, audioStart_ + from, size, [&](std::span<const uint8_t> block) {
            auto r = encoder_->write(block);
            if (!r) failed = r.fault();
            return r;
        });
        lock.lock();
        if (failed) fault_ = std::move(failed);
        if (!fault_ && err != 0) fault_ = journalFault(folder_, "reading its audio", err);
        fed_ = from + size;
        changed_.notify_all();
    }
}

}  // namespace speech::audio
