// SPDX-License-Identifier: GPL-3.0-or-later
#include "tests/support/virtual_device.h"

#include <algorithm>
#include <cmath>
#include <thread>

namespace testing_support {

using base::Fault;
using base::Result;
namespace errc = base::errc;

// ---- VirtualAudioHost --------------------------------------------------------------------------------

std::shared_ptr<VirtualAudioHost> VirtualAudioHost::create(double speed) {
    auto host = std::shared_ptr<VirtualAudioHost>(new VirtualAudioHost(speed));
    host->devices_ = {{"virtual_sink", "Virtual Output", 0, true}, {"second_sink", "Second Output", 1, false}};
    return host;
}

std::vector<speech::audio::AudioDeviceInfo> VirtualAudioHost::devices() {
    std::lock_guard lock(mutex_);
    return devices_;
}

Result<std::unique_ptr<speech::audio::AudioDeviceStream>> VirtualAudioHost::open(
    const std::string& deviceId, const speech::core::WaveFormat& format) {
    {
        std::lock_guard lock(mutex_);
        if (devices_.empty()) return Fault{base::errc::kNoAudioDevice, "No audio output device is available."};
        if (!deviceId.empty() &&
            std::none_of(devices_.begin(), devices_.end(), [&](const auto& d) { return d.id == deviceId; })) {
            return Fault{base::errc::kNoAudioDevice, "No such device: " + deviceId};
        }
        lastFormat_ = format;
        lastDeviceId_ = deviceId;
    }
    ++opens_;
    return std::unique_ptr<speech::audio::AudioDeviceStream>(
        std::make_unique<VirtualDeviceStream>(shared_from_this(), format));
}

void VirtualAudioHost::setDevices(std::vector<speech::audio::AudioDeviceInfo> devices) {
    std::lock_guard lock(mutex_);
    devices_ = std::move(devices);
}

void VirtualAudioHost::loseDevices() {
    std::lock_guard lock(mutex_);
    if (!lost) saved_ = devices_;
    devices_.clear();
    lost = true;
}

void VirtualAudioHost::restore() {
    std::lock_guard lock(mutex_);
    if (lost) devices_ = saved_;
    lost = false;
}

speech::core::WaveFormat VirtualAudioHost::lastFormat() const {
    std::lock_guard lock(mutex_);
    return lastFormat_;
}

std::string VirtualAudioHost::lastDeviceId() const {
    std::lock_guard lock(mutex_);
    return lastDeviceId_;
}

// ---- VirtualDeviceStream -----------------------------------------------------------------------------

VirtualDeviceStream::VirtualDeviceStream(std::shared_ptr<VirtualAudioHost> host, const speech::core::WaveFormat& format)
    : host_(std::move(host)), format_(format) {
    ++host_->live_;
}

VirtualDeviceStream::~VirtualDeviceStream() {
    --host_->live_;
}

bool VirtualDeviceStream::lostLocked() const {
    return host_->lost.load();
}

void VirtualDeviceStream::advanceLocked() {
    const auto now = Clock::now();
    if (!corked_) {
        const double seconds = std::chrono::duration<double>(now - last_).count();
        played_ = std::min(static_cast<double>(written_), played_ + seconds * host_->speed * format_.bytesPerSecond());
    }
    last_ = now;
}

Result<size_t> VirtualDeviceStream::write(std::span<const uint8_t> data, std::chrono::milliseconds maxWait) {
    const auto deadline = Clock::now() + maxWait;
    const auto capacity =
        static_cast<uint64_t>(format_.bytesPerSecond()) * static_cast<uint64_t>(host_->bufferMs) / 1000;
    std::unique_lock lock(mutex_);
    for (;;) {
        if (lostLocked()) return Fault{base::errc::kDeviceLost, "The virtual device is gone."};
        advanceLocked();
        const uint64_t queued = written_ - static_cast<uint64_t>(played_);
        if (queued < capacity) {
            uint64_t take = std::min<uint64_t>(capacity - queued, data.size());
            take -= take % static_cast<uint64_t>(format_.bytesPerFrame());
            if (take > 0 || data.empty()) {
                written_ += take;
                return static_cast<size_t>(take);
            }
        }
        if (interrupted_) {
            interrupted_ = false;
            return size_t{0};
        }
        if (Clock::now() >= deadline) return size_t{0};
        cv_.wait_for(lock, std::chrono::milliseconds(1));
    }
}

Result<speech::audio::PlaybackState> VirtualDeviceStream::state() {
    std::lock_guard lock(mutex_);
    if (lostLocked()) return Fault{base::errc::kDeviceLost, "The virtual device is gone."};
    advanceLocked();
    return speech::audio::PlaybackState{written_, static_cast<uint64_t>(played_), corked_};
}

Result<void> VirtualDeviceStream::setPaused(bool paused) {
    std::lock_guard lock(mutex_);
    if (lostLocked()) return Fault{base::errc::kDeviceLost, "The virtual device is gone."};
    advanceLocked();
    corked_ = paused;
    return {};
}

Result<void> VirtualDeviceStream::flush() {
    std::lock_guard lock(mutex_);
    if (lostLocked()) return Fault{base::errc::kDeviceLost, "The virtual device is gone."};
    advanceLocked();
    played_ = static_cast<double>(written_);
    return {};
}

Result<bool> VirtualDeviceStream::drain(std::chrono::milliseconds maxWait) {
    const auto deadline = Clock::now() + maxWait;
    std::unique_lock lock(mutex_);
    for (;;) {
        if (lostLocked()) return Fault{base::errc::kDeviceLost, "The virtual device is gone."};
        advanceLocked();
        if (static_cast<uint64_t>(played_) >= written_) return true;
        if (interrupted_) {
            interrupted_ = false;
            return false;
        }
        if (Clock::now() >= deadline) return false;
        cv_.wait_for(lock, std::chrono::milliseconds(1));
    }
}

void VirtualDeviceStream::interrupt() {
    std::lock_guard lock(mutex_);
    interrupted_ = true;
    cv_.notify_all();
}

}  // namespace testing_support
