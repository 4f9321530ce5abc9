// SPDX-License-Identifier: GPL-3.0-or-later
// The default back ends.
#include "speech/backends.h"

#include <mutex>

#include "speech/audio/device_pulse.h"
#include "speech/engine/worker_pool.h"

namespace speech {

// Voices made with the defaults share one audio host, so a process keeps one connection to the sound
// server however many voices it has.
Backends Backends::defaults() {
    static std::mutex mutex;
    static std::weak_ptr<audio::AudioHost> shared;
    std::shared_ptr<engine::Synthesizer> engine = engine::makeEngineSynthesizer();
    std::lock_guard lock(mutex);
    std::shared_ptr<audio::AudioHost> host = shared.lock();
    if (!host) {
        host = audio::makePulseAudioHost();
        shared = host;
    }
    return {std::move(engine), std::move(host)};
}

void startEngineEarly(size_t workers) {
    engine::startWorkersEarly(workers);
}

}  // namespace speech
