// SPDX-License-Identifier: GPL-3.0-or-later
// A virtual-clock audio host that simulates an ideal device (and can lose it on demand).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "speech/audio/device.h"

namespace testing_support {

class VirtualAudioHost;

// Plays at `speed` times real time from a buffer of `bufferMs` of audio.
class VirtualDeviceStream final : public speech::audio::AudioDeviceStream {
public:
    VirtualDeviceStream(std::shared_ptr<VirtualAudioHost> host, const speech::core::WaveFormat& format);
    ~VirtualDeviceStream() override;
    speech::core::WaveFormat format() const override { return format_; }
    base::Result<size_t> write(std::span<const uint8_t> data, std::chrono::milliseconds maxWait) override;
    base::Result<speech::audio::PlaybackState> state() override;
    base::Result<void> setPaused(bool paused) override;
    base::Result<void> flush() override;
    base::Result<bool> drain(std::chrono::milliseconds maxWait) override;
    void interrupt() override;

private:
    using Clock = std::chrono::steady_clock;
    void advanceLocked();
    bool lostLocked() const;

    std::shared_ptr<VirtualAudioHost> host_;
    speech::core::WaveFormat format_;
    std::mutex mutex_;
    std::condition_variable cv_;
    uint64_t written_ = 0;
    double played_ = 0;
    bool corked_ = false;
    bool interrupted_ = false;
    Clock::time_point last_ = Clock::now();
};

class VirtualAudioHost final : public speech::audio::AudioHost, public std::enable_shared_from_this<VirtualAudioHost> {
public:
    static std::shared_ptr<VirtualAudioHost> create(double speed = 1.0);

    std::vector<speech::audio::AudioDeviceInfo> devices() override;
    base::Result<std::unique_ptr<speech::audio::AudioDeviceStream>> open(
        const std::string& deviceId, const speech::core::WaveFormat& format) override;

    void setDevices(std::vector<speech::audio::AudioDeviceInfo> devices);
    // Every open stream fails from now on, and the device list is empty, until restore().
    void loseDevices();
    void restore();

    // What the voice did with the device.
    int openCount() const { return opens_.load(); }
    int liveStreams() const { return live_.load(); }
    speech::core::WaveFormat lastFormat() const;
    std::string lastDeviceId() const;

    const double speed;
    const int bufferMs = 50;
    std::atomic<bool> lost{false};
    std::atomic<int> live_{0};

private:
    explicit VirtualAudioHost(double s) : speed(s) {}
    mutable std::mutex mutex_;
    std::vector<speech::audio::AudioDeviceInfo> devices_;
    std::vector<speech::audio::AudioDeviceInfo> saved_;
    speech::core::WaveFormat lastFormat_;
    std::string lastDeviceId_;
    std::atomic<int> opens_{0};
};

}  // namespace testing_support
