// SPDX-License-Identifier: GPL-3.0-or-later
#include "tools/sd_tallamo/lexicon_loader.h"

#include <exception>
#include <utility>

#include "speech/names.h"

namespace sd_tallamo {

LexiconLoader::LexiconLoader(std::function<void(const std::u16string&)> read, std::function<void()> wake)
    : read_(std::move(read)), wake_(std::move(wake)), thread_([this] { run(); }) {}

LexiconLoader::~LexiconLoader() {
    {
        std::lock_guard lock(mutex_);
        ending_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

void LexiconLoader::start(uint64_t id, std::u16string ssml) {
    {
        std::lock_guard lock(mutex_);
        asked_.emplace(id, std::move(ssml));
        done_.reset();
    }
    changed_.notify_all();
}

std::optional<std::optional<std::string>> LexiconLoader::take(uint64_t id) {
    std::lock_guard lock(mutex_);
    if (!done_ || done_->first != id) return std::nullopt;
    auto result = std::move(done_->second);
    done_.reset();
    return result;
}

void LexiconLoader::run() {
    for (;;) {
        std::pair<uint64_t, std::u16string> job;
        {
            std::unique_lock lock(mutex_);
            changed_.wait(lock, [this] { return ending_ || asked_; });
            if (ending_) return;
            job = std::move(*asked_);
            asked_.reset();
        }
        std::optional<std::string> failure;
        try {
            read_(job.second);
        } catch (const speech::Error& e) {
            failure = e.description();
        } catch (const std::exception& e) {
            failure = e.what();
        }
        {
            std::lock_guard lock(mutex_);
            done_.emplace(job.first, std::move(failure));
        }
        wake_();
    }
}

}  // namespace sd_tallamo
