// SPDX-License-Identifier: GPL-3.0-or-later
// The inside of SpVoice: the state its calls and its worker share (pipeline/voice_state.h, with the
// order of the locks), the settings that Speak copies into a request, and the worker thread. voice.cpp
// holds the queue, the worker and the API; pipeline/stream_job.cpp one request's processing.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "speech/pipeline/voice_state.h"
#include "speech/streams.h"
#include "speech/text/frontend.h"
#include "speech/voice.h"

namespace speech {

struct SpVoice::Impl : pipeline::VoiceState {
    explicit Impl(Backends b);
    // Stops the worker and joins it.
    ~Impl();

    // The worker thread: takes requests one at a time and runs a StreamJob for each.
    void run();

    // ---- settings: guarded by settingsMutex ----------------------------------------------------------
    mutable std::mutex settingsMutex;
    SpObjectToken voice;
    std::optional<SpObjectToken> output;
    std::shared_ptr<SpDeviceStream> deviceStream;
    std::shared_ptr<SpStream> outputStream;
    bool allowFormatChanges = true;
    long rate = 0;
    long volume = 100;
    bool mixedScript = true;
    text::MarkupState persisted;
    std::shared_ptr<const text::UserLexicon> userLexicon;  // the lexicon files added, merged
    documents::Options documentOptions;
    uint32_t nextStreamNumber = 1;

    std::thread worker;
};

}  // namespace speech
