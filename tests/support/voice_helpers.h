// SPDX-License-Identifier: GPL-3.0-or-later
// A voice over the test doubles, the log of its released events, and text helpers.
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "speech/voice.h"
#include "tests/support/scripted_synthesizer.h"
#include "tests/support/utf16.h"
#include "tests/support/virtual_device.h"

namespace testing_support {

// A voice over the scripted synthesizer and a virtual host.
struct ScriptedBackends {
    std::shared_ptr<ScriptedSynthesizer> synth = std::make_shared<ScriptedSynthesizer>();
    std::shared_ptr<VirtualAudioHost> host;
    explicit ScriptedBackends(double speed = 1.0) : host(VirtualAudioHost::create(speed)) {}
    speech::Backends backends() const { return {synth, host}; }
};

// Collects a voice's events as the worker releases them, with the wall-clock time of release.
class EventLog {
public:
    explicit EventLog(speech::SpVoice& voice);
    ~EventLog();
    struct Entry {
        speech::VoiceEvent event;
        std::chrono::steady_clock::time_point released;
    };
    std::vector<Entry> entries();
    std::vector<speech::VoiceEvent> events();
    // Waits until an event of `kind` has arrived (at least `count` of them); false on timeout.
    bool waitFor(speech::EventKind kind, size_t count = 1,
                 std::chrono::milliseconds timeout = std::chrono::seconds(10));

private:
    speech::SpVoice& voice_;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<Entry> entries_;
};

// The real engine (espeak-ng in its worker processes) with an audio host that has no devices, which
// keeps tests that render into files off the sound server.
speech::Backends engineWithoutDevices();

}  // namespace testing_support
