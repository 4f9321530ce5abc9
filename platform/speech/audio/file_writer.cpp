// SPDX-License-Identifier: GPL-3.0-or-later
#include "speech/audio/file_writer.h"

#include <algorithm>
#include <new>
#include <span>
#include <type_traits>
#include <utility>

#include "base/batch_thread.h"
#include "base/memory_reserve.h"

namespace speech::audio {

namespace {

// Samples queued at most (two blocks, about 24 s of engine audio, which the engine makes in some
// 20 ms): enough to keep the writer busy while the synthesizer works, small enough that a purge drops
// little.
constexpr size_t kMaxQueuedSamples = 2 * 262144;
// Frames converted and written at a time. A whole block at 48 kHz stereo is some 2 MB of output,
// which would go out of the processor's caches and back between its conversion and its copy into the
// file; a piece of this size stays in them.
constexpr size_t kPieceFrames = 8192;

}  // namespace

FileWriter::FileWriter(std::shared_ptr<FileTarget> file, int inRate, int inChannels, const core::WaveFormat& out,
                       std::function<void()> onProgress)
    : file_(std::move(file)),
      converter_(inRate, inChannels, out),
      inChannels_(static_cast<size_t>(std::max(inChannels, 1))),
      onProgress_(std::move(onProgress)),
      written_(file_->bytesWritten()) {
    thread_ = std::thread([this] { run(); });
}

FileWriter::~FileWriter() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        queue_.clear();
        queuedSamples_ = 0;
    }
    changed_.notify_all();
    thread_.join();
}

bool FileWriter::push(std::vector<int16_t> samples, const std::function<bool()>& stop) {
    return enqueue(Block{std::move(samples), {}, false, false, {}}, stop);
}

bool FileWriter::push(std::vector<float> samples, const std::function<bool()>& stop) {
    return enqueue(Block{{}, std::move(samples), false, false, {}}, stop);
}

bool FileWriter::enqueue(Block block, const std::function<bool()>& stop) {
    const size_t size = block.size();
    if (size == 0) return true;
    std::unique_lock lock(mutex_);
    for (;;) {
        if (stopping_ || fault_) return false;
        // One block always fits, however large, so a big block cannot wait forever.
        if (queuedSamples_ == 0 || queuedSamples_ + size <= kMaxQueuedSamples) break;
        if (stop && stop()) return false;
        const uint64_t seen = interrupts_;
        changed_.wait(lock, [&] {
            return stopping_ || fault_ || interrupts_ != seen || queuedSamples_ + size <= kMaxQueuedSamples;
        });
    }
    queuedSamples_ += size;
    queue_.push_back(std::move(block));
    lock.unlock();
    changed_.notify_all();
    return true;
}

void FileWriter::finish() {
    {
        std::lock_guard lock(mutex_);
        if (stopping_) return;
        queue_.push_back(Block{{}, {}, true, false, {}});
    }
    changed_.notify_all();
}

void FileWriter::restart(std::optional<ChainStart> start) {
    {
        std::lock_guard lock(mutex_);
        if (stopping_) return;
        queue_.push_back(Block{{}, {}, true, true, std::move(start)});
    }
    changed_.notify_all();
}

std::vector<int16_t> FileWriter::takeSpare() {
    std::lock_guard lock(mutex_);
    return std::exchange(spare_, {});
}

void FileWriter::drop() {
    std::unique_lock lock(mutex_);
    queue_.clear();
    queuedSamples_ = 0;
    changed_.wait(lock, [&] { return !busy_; });
    // The thread takes no block from an empty queue, so the converter is ours until the next push.
    converter_.reset();
    lock.unlock();
    changed_.notify_all();
}

void FileWriter::interrupt() {
    {
        std::lock_guard lock(mutex_);
        ++interrupts_;
    }
    changed_.notify_all();
}

uint64_t FileWriter::written() const {
    std::lock_guard lock(mutex_);
    return written_;
}

std::optional<base::Fault> FileWriter::fault() const {
    std::lock_guard lock(mutex_);
    return fault_;
}

void FileWriter::run() {
    const base::BatchThread batch;
    base::MemoryReserve reserve;
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
        if (stopping_) return;
        Block block = std::move(queue_.front());
        queue_.pop_front();
        queuedSamples_ -= block.size();
        busy_ = true;
        lock.unlock();
        // Room in the queue: a waiting push can go on while this block is written.
        changed_.notify_all();

        std::optional<base::Fault> failed;
        const auto writeOut = [&] {
            if (!bytes_.empty() && !failed) {
                auto r = file_->writeBytes(bytes_);
                if (!r) failed = r.fault();
            }
            bytes_.clear();
        };
        const auto convert = [&]<class T>(const std::vector<T>& samples) {
            if constexpr (std::is_same_v<T, int16_t>) {
                if (const auto bytes = converter_.passThrough(samples)) {
                    if (auto r = file_->writeBytes(*bytes); !r) failed = r.fault();
                    return;
                }
            }
            const size_t piece = kPieceFrames * inChannels_;
            for (size_t at = 0; at < samples.size() && !failed; at += piece) {
                converter_.push(std::span<const T>(samples).subspan(at, std::min(piece, samples.size() - at)), bytes_);
                writeOut();
            }
        };
        try {
            bytes_.clear();
            if (block.finish) {
                converter_.finish(bytes_);
                writeOut();
                if (block.restart) converter_.reset();
                if (block.chain && !failed) {
                    if (auto r = file_->commitChain(*block.chain); !r) {
                        failed = r.fault();
                        file_->failRender(*failed);
                    }
                }
            } else if (!block.floats.empty()) {
                convert(block.floats);
            } else {
                convert(block.samples);
            }
        } catch (const std::bad_alloc&) {
            // The file misses this block: it fails like a write, and closing it then leaves no file.
            reserve.release();
            bytes_ = {};
            failed = base::outOfMemory();
            file_->failRender(*failed);
        }
        const uint64_t now = file_->bytesWritten();

        lock.lock();
        busy_ = false;
        written_ = now;
        block.samples.clear();
        if (block.samples.capacity() > spare_.capacity()) spare_ = std::move(block.samples);
        if (failed && !fault_) {
            fault_ = std::move(failed);
            // Nothing more is written after a failure; pushes are refused from now on.
            queue_.clear();
            queuedSamples_ = 0;
        }
        lock.unlock();
        changed_.notify_all();
        if (onProgress_) onProgress_();
        reserve.renew();
        lock.lock();
    }
}

}  // namespace speech::audio
