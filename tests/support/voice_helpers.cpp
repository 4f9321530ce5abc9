// SPDX-License-Identifier: GPL-3.0-or-later
#include "tests/support/voice_helpers.h"

#include <algorithm>

#include "speech/engine/worker_pool.h"

namespace testing_support {

// ---- EventLog ----------------------------------------------------------------------------------------

EventLog::EventLog(speech::SpVoice& voice) : voice_(voice) {
    // The voice calls notify without holding its locks, so taking the events here is safe and stamps
    // each one with the moment it was released.
    voice_.SetNotify([this] {
        auto events = voice_.TakeEvents();
        const auto now = std::chrono::steady_clock::now();
        std::lock_guard lock(mutex_);
        for (auto& e : events) entries_.push_back({std::move(e), now});
        cv_.notify_all();
    });
}

EventLog::~EventLog() {
    voice_.SetNotify({});
}

std::vector<EventLog::Entry> EventLog::entries() {
    std::lock_guard lock(mutex_);
    return entries_;
}

std::vector<speech::VoiceEvent> EventLog::events() {
    std::lock_guard lock(mutex_);
    std::vector<speech::VoiceEvent> out;
    for (const auto& e : entries_) out.push_back(e.event);
    return out;
}

bool EventLog::waitFor(speech::EventKind kind, size_t count, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, timeout, [&] {
        return static_cast<size_t>(std::count_if(entries_.begin(), entries_.end(),
                                                 [&](const Entry& e) { return e.event.kind == kind; })) >= count;
    });
}

speech::Backends engineWithoutDevices() {
    auto host = VirtualAudioHost::create();
    host->setDevices({});
    return {speech::engine::makeEngineSynthesizer(), host};
}

}  // namespace testing_support
