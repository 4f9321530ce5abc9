// SPDX-License-Identifier: GPL-3.0-or-later
#include "speech/audio/aac_feeder.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "base/batch_thread.h"
#include "speech/audio/journal_state.h"

namespace speech::audio {

namespace {

void putLe(std::vector<uint8_t>& out, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

uint64_t le(const uint8_t* p, int bytes) {
    uint64_t value = 0;
    for (int i = bytes - 1; i >= 0; --i) value = value << 8 | p[i];
    return value;
}

}  // namespace

std::vector<uint8_t> aacPartRecord(const AacPart& part) {
    std::vector<uint8_t> out;
    putLe(out, static_cast<uint64_t>(part.index), 8);
    putLe(out, part.packets.size(), 4);
    putLe(out, part.bytes.size(), 4);
    for (const auto& p : part.packets) {
        putLe(out, p.offset, 4);
        putLe(out, p.size, 4);
        putLe(out, static_cast<uint64_t>(p.pts), 8);
        putLe(out, static_cast<uint64_t>(p.duration), 8);
    }
    out.insert(out.end(), part.bytes.begin(), part.bytes.end());
    return out;
}

base::Result<void> readAacParts(int fd, uint64_t bytes, const std::string& folder,
                                const std::function<base::Result<void>(const AacPart&)>& take) {
    std::vector<uint8_t> head(16);
    for (uint64_t at = 0; at < bytes;) {
        AacPart part;
        const auto readAt = [&](uint8_t* out, uint64_t size, uint64_t from) {
            return readBlocks(fd, from, size, [&](std::span<const uint8_t> b) {
                std::memcpy(out, b.data(), b.size());
                out += b.size();
                return base::Result<void>();
            });
        };
        if (const int err = readAt(head.data(), 16, at); err != 0)
            return journalFault(folder, "reading its encoded audio", err);
        part.index = static_cast<int64_t>(le(head.data(), 8));
        const uint64_t count = le(head.data() + 8, 4);
        const uint64_t size = le(head.data() + 12, 4);
        if (at + 16 + count * 24 + size > bytes)
            return base::Fault{base::errc::kFile, "The encoded audio in \"" + folder + "\" is damaged."};
        std::vector<uint8_t> table(count * 24);
        part.bytes.resize(size);
        if (const int err = readAt(table.data(), table.size(), at + 16); err != 0)
            return journalFault(folder, "reading its encoded audio", err);
        if (const int err = readAt(part.bytes.data(), size, at + 16 + table.size()); err != 0)
            return journalFault(folder, "reading its encoded audio", err);
        for (uint64_t i = 0; i < count; ++i) {
            const uint8_t* p = table.data() + i * 24;
            part.packets.push_back({static_cast<uint32_t>(le(p, 4)), static_cast<uint32_t>(le(p + 4, 4)),
                                    static_cast<int64_t>(le(p + 8, 8)), static_cast<int64_t>(le(p + 16, 8))});
        }
        if (auto r = take(part); !r) return r;
        at += 16 + table.size() + size;
    }
    return {};
}

AacFeeder::AacFeeder(int audio, uint64_t audioStart, std::string folder, std::unique_ptr<AacPartEncoder> encoder,
                     uint64_t from)
    : audio_(audio),
      audioStart_(audioStart),
      folder_(std::move(folder)),
      encoder_(std::move(encoder)),
      fed_(from),
      listed_(from),
      thread_([this] { run(); }) {}

AacFeeder::~AacFeeder() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

void AacFeeder::listed(uint64_t end) {
    {
        std::lock_guard lock(mutex_);
        listed_ = end;
    }
    changed_.notify_all();
}

base::Result<std::vector<AacPart>> AacFeeder::take() {
    std::lock_guard lock(mutex_);
    if (fault_) return *fault_;
    return std::exchange(ready_, {});
}

base::Result<void> AacFeeder::finish() {
    std::unique_lock lock(mutex_);
    finishing_ = true;
    changed_.notify_all();
    changed_.wait(lock, [&] { return done_ || fault_; });
    if (fault_) return *fault_;
    return {};
}

void AacFeeder::run() {
    const base::BatchThread batch;  // render work: it waits its turn on a busy processor
    std::vector<uint8_t> block;
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [&] { return stopping_ || fed_ < listed_ || (finishing_ && !done_); });
        if (stopping_) return;
        const uint64_t from = fed_;
        const uint64_t size = std::min<uint64_t>(listed_ - fed_, kJournalBlock);
        const bool last = finishing_ && fed_ == listed_;
        lock.unlock();
        auto r = last ? collect(true) : feed(from, size, block);
        lock.lock();
        if (!r) {
            fault_ = r.fault();
            changed_.notify_all();
            return;
        }
        fed_ += last ? 0 : size;
        done_ = last;
        changed_.notify_all();
    }
}

base::Result<void> AacFeeder::feed(uint64_t from, uint64_t size, std::vector<uint8_t>& block) {
    block.resize(size);
    for (uint64_t done = 0; done < size;) {
        const ssize_t n =
            ::pread(audio_, block.data() + done, size - done, static_cast<off_t>(audioStart_ + from + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return journalFault(folder_, "reading its audio", n < 0 ? errno : EIO);
        done += static_cast<uint64_t>(n);
    }
    if (auto r = encoder_->write(block); !r) return r;
    return collect(false);
}

// Called on the feeder's thread, without its lock: the encoder is the thread's alone.
base::Result<void> AacFeeder::collect(bool all) {
    auto parts = encoder_->take(all);
    if (!parts) return parts.fault();
    std::lock_guard lock(mutex_);
    for (auto& part : parts.value()) ready_.push_back(std::move(part));
    return {};
}

}  // namespace speech::audio
