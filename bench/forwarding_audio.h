// SPDX-License-Identifier: GPL-3.0-or-later
// Wrappers for the benchmarks that watch what a voice does with a real audio device: every call goes
// on to the wrapped host or stream, and a benchmark overrides only the calls it watches.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "speech/audio/device.h"

namespace bench {

class ForwardingStream : public speech::audio::AudioDeviceStream {
public:
    explicit ForwardingStream(std::unique_ptr<speech::audio::AudioDeviceStream> inner) : inner_(std::move(inner)) {}
    speech::core::WaveFormat format() const override { return inner_->format(); }
    base::Result<size_t> write(std::span<const uint8_t> data, std::chrono::milliseconds maxWait) override {
        return inner_->write(data, maxWait);
    }
    base::Result<speech::audio::PlaybackState> state() override { return inner_->state(); }
    base::Result<void> setPaused(bool paused) override { return inner_->setPaused(paused); }
    base::Result<void> flush() override { return inner_->flush(); }
    base::Result<bool> drain(std::chrono::milliseconds maxWait) override { return inner_->drain(maxWait); }
    void interrupt() override { inner_->interrupt(); }

protected:
    std::unique_ptr<speech::audio::AudioDeviceStream> inner_;
};

// Opens streams on the wrapped host and hands each to wrap().
class ForwardingHost : public speech::audio::AudioHost {
public:
    explicit ForwardingHost(std::shared_ptr<speech::audio::AudioHost> inner) : inner_(std::move(inner)) {}
    std::vector<speech::audio::AudioDeviceInfo> devices() override { return inner_->devices(); }
    base::Result<std::unique_ptr<speech::audio::AudioDeviceStream>> open(
        const std::string& id, const speech::core::WaveFormat& format) override {
        auto opened = inner_->open(id, format);
        if (!opened) return opened.fault();
        return wrap(std::move(opened.value()));
    }

protected:
    virtual std::unique_ptr<speech::audio::AudioDeviceStream> wrap(
        std::unique_ptr<speech::audio::AudioDeviceStream> stream) = 0;

private:
    std::shared_ptr<speech::audio::AudioHost> inner_;
};

}  // namespace bench
