// SPDX-License-Identifier: GPL-3.0-or-later
// The inside of a voice that its public calls (on the owner's threads), its worker thread and the
// request being processed (stream_job.cpp) share: the queue's controls, the open device and the
// released events. The voice object (voice_p.h) adds its settings and its worker thread.
//
// Locks, in the order in which they may be taken (one may be taken while holding those above it,
// never the other way round):
//   settingsMutex  the settings Speak copies into a request (the voice object's own, voice_p.h)
//   mutex          the queue and the worker's controls; while holding it a caller may interrupt the
//                  worker's sink (the sink's own locks come after it)
//   notifyMutex    held while the notify function runs, which may take the events (eventsMutex)
//   eventsMutex    the released events and the status
// The worker publishes events and calls notify with none of the locks above held. The synthesis
// window's and the file writer's locks are their own and never held while they call out.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "base/error.h"
#include "speech/audio/device.h"
#include "speech/audio/file_target.h"
#include "speech/core/constants.h"
#include "speech/core/events.h"
#include "speech/core/formats.h"
#include "speech/core/tokens.h"
#include "speech/engine/synthesizer.h"
#include "speech/pipeline/named_file.h"
#include "speech/text/frontend.h"

namespace speech::pipeline {

class Sink;

// One Speak call, as the worker takes it.
struct Request {
    uint32_t number = 0;
    std::unique_ptr<text::SegmentSource> source;  // text to speak, or
    std::unique_ptr<SoundFileReader> sound;       // a sound file to play
    core::SpObjectToken voice;                    // the voice at the time of Speak
    std::shared_ptr<audio::FileTarget> file;      // the output file, or null for a device
    std::string deviceId;                         // the device ("" default) when file is null
    core::WaveFormat format;                      // the output format
    uint64_t purgeGeneration = 0;                 // set when the worker takes the request

    // A render into a file that did not reach its end: the file stream keeps the reason, and closing
    // it then leaves no file. Nothing for a device.
    void cutShort(int32_t code, const std::string& why) const {
        if (file) file->failRender(base::Fault{code, why});
    }
    void stopped() const {
        cutShort(base::errc::kCancelled, "The speech was stopped before its end, so the file was not saved.");
    }
};

struct VoiceState {
    VoiceState(std::shared_ptr<engine::Synthesizer> synthesizer, std::shared_ptr<audio::AudioHost> audioHost)
        : synthesizer(std::move(synthesizer)), audioHost(std::move(audioHost)) {}

    // Drops the current and queued requests. Must hold mutex.
    void purgeLocked();
    // Wakes the worker's waits on its sink, so that it sees a control change at once. Must hold mutex.
    void interruptSinkLocked();
    // Queues the released events the owner listens to and calls notify. Must hold none of the locks.
    void publish(std::vector<core::VoiceEvent> events);
    // The worker tells that something it waits for moved on (the sink wrote, the synthesis produced).
    void progressed();

    const std::shared_ptr<engine::Synthesizer> synthesizer;
    const std::shared_ptr<audio::AudioHost> audioHost;  // null: no devices

    // Read without a lock by the worker at the start of each segment or stream.
    std::atomic<int32_t> interests{core::kDefaultEventInterests};
    std::atomic<int> renderJobs{1};

    // ---- the queue and the worker's controls: guarded by mutex ----------------------------------------
    mutable std::mutex mutex;
    std::condition_variable wake;  // the worker waits here for requests, controls and progress
    std::condition_variable idle;  // Speak, WaitUntilDone and Skip wait here
    std::deque<std::unique_ptr<Request>> queue;
    bool active = false;       // the worker is serving a request
    uint32_t doneThrough = 0;  // the highest stream number finished or dropped
    uint64_t purgeGeneration = 0;
    uint64_t controlSerial = 0;   // moves on with every control change
    uint64_t progressSerial = 0;  // moves on with progressed()
    bool paused = false;
    bool shutdown = false;
    bool skipPending = false;
    long skipCount = 0;
    uint64_t skipSerial = 0;
    uint64_t skipAnswered = 0;
    long skipResult = 0;
    // A stream into a device that ended early (the device was lost, the engine kept failing): reported
    // once, by the next Speak to a device or by takeStreamError.
    std::optional<base::Fault> streamFault;
    Sink* activeSink = nullptr;  // the sink being fed, for interrupts
    // Moves on with every purge, skip and shutdown (also under mutex); a wait for room in a file
    // stops when it changes. Atomic so that the wait can look without the lock.
    std::atomic<uint64_t> epoch{0};
    // Moves on with every purge and the shutdown (under mutex): a document being read for a request
    // stops when it changes (read without the lock, from whichever thread reads the document).
    std::atomic<uint64_t> purges{0};

    // ---- the worker thread's own ------------------------------------------------------------------
    std::unique_ptr<audio::AudioDeviceStream> device;  // kept open from one request to the next
    std::string deviceIdOpen;

    // ---- released events, and the status they make: guarded by eventsMutex -------------------------
    mutable std::mutex eventsMutex;
    std::vector<core::VoiceEvent> events;
    core::SpVoiceStatus status;
    std::mutex notifyMutex;
    std::function<void()> notify;  // guarded by notifyMutex
};

}  // namespace speech::pipeline
