// SPDX-License-Identifier: GPL-3.0-or-later
// The audio-device back end: lists the outputs and opens playback streams. The real one talks to a
// PulseAudio server (device_pulse.cpp); tests use a virtual-clock host (tests/support).
//
// Threading: a host and its streams are used from the voice's worker thread, except `interrupt()`,
// which any thread may call to wake a blocked call.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "base/error.h"
#include "speech/core/formats.h"

namespace speech::audio {

struct AudioDeviceInfo {
    std::string id;           // the server's sink name
    std::string description;  // as the desktop shows it
    uint32_t index = 0;
    bool isDefault = false;
};

// Playback state as one record.
struct PlaybackState {
    uint64_t writtenBytes = 0;  // bytes accepted since open (flush does not rewind it)
    uint64_t playedBytes = 0;   // bytes the device has played, in the same coordinates
    bool corked = false;
};

class AudioDeviceStream {
public:
    virtual ~AudioDeviceStream() = default;  // stops the sound at once and releases the stream
    virtual core::WaveFormat format() const = 0;
    // Writes as much of `data` as the device takes, waiting up to `maxWait` for room. Returns the
    // bytes taken (0 when the wait ran out or was interrupted); a fault when the device is gone.
    virtual base::Result<size_t> write(std::span<const uint8_t> data, std::chrono::milliseconds maxWait) = 0;
    virtual base::Result<PlaybackState> state() = 0;
    virtual base::Result<void> setPaused(bool paused) = 0;  // cork / uncork
    // Drops everything written but not yet played: afterwards playedBytes == writtenBytes.
    virtual base::Result<void> flush() = 0;
    // Waits until everything written has been played or `maxWait` passed; returns true when drained.
    virtual base::Result<bool> drain(std::chrono::milliseconds maxWait) = 0;
    // Wakes any blocked write/drain on another thread; callable from any thread.
    virtual void interrupt() = 0;
};

class AudioHost {
public:
    virtual ~AudioHost() = default;
    // The outputs, the server's default first, then by index. Empty (at once) when no server runs.
    virtual std::vector<AudioDeviceInfo> devices() = 0;
    // Opens a playback stream on `deviceId` (empty: the server's default) in `format`.
    virtual base::Result<std::unique_ptr<AudioDeviceStream>> open(const std::string& deviceId,
                                                                  const core::WaveFormat& format) = 0;
};

}  // namespace speech::audio
