// SPDX-License-Identifier: GPL-3.0-or-later
// Audio output latencies on the PulseAudio server named by PULSE_SERVER (the test null sink):
//   host:  open -> first sample heard, first write -> first sample heard, pause, resume, flush;
//   voice: Speak -> first sample heard, Word event release vs. the moment its sample is heard,
//          Pause -> sound held, purge -> sound dropped.
// "Heard" is the host's clock (PlaybackState::playedBytes); for the Word events the gap is also
// given against the pace of real time from the first sample, which does not depend on that clock.
// Prints median and p95 in milliseconds.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "base/error.h"
#include "bench/forwarding_audio.h"
#include "speech/audio/device.h"
#include "speech/audio/device_pulse.h"
#include "speech/core/constants.h"
#include "speech/core/events.h"
#include "speech/voice.h"

namespace {

using namespace speech;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

double msBetween(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double, std::milli>(b - a).count();
}

void report(const char* what, std::vector<double> v) {
    if (v.empty()) {
        std::printf("%-44s  no samples\n", what);
        return;
    }
    std::sort(v.begin(), v.end());
    auto at = [&](double q) {
        return v[std::min(v.size() - 1, static_cast<size_t>(q * static_cast<double>(v.size())))];
    };
    std::printf("%-44s  median %7.2f ms   p95 %7.2f ms   max %7.2f ms   (n=%zu)\n", what, at(0.5), at(0.95), v.back(),
                v.size());
}

std::vector<uint8_t> tone(const WaveFormat& f, milliseconds length) {
    size_t frames = static_cast<size_t>(f.sampleRate) * static_cast<size_t>(length.count()) / 1000;
    std::vector<uint8_t> data(frames * static_cast<size_t>(f.bytesPerFrame()));
    for (size_t i = 0; i + 1 < data.size(); i += 2) {
        int16_t v = ((i / 2 / 40) % 2) ? 6000 : -6000;
        data[i] = static_cast<uint8_t>(v & 0xFF);
        data[i + 1] = static_cast<uint8_t>((v >> 8) & 0xFF);
    }
    return data;
}

// Polls until `done` or `limit`; returns the time `done` first held.
template <class Done>
std::optional<Clock::time_point> pollUntil(Done done, milliseconds limit) {
    const auto end = Clock::now() + limit;
    while (Clock::now() < end) {
        if (done()) return Clock::now();
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return std::nullopt;
}

void benchHost(audio::AudioHost& host) {
    const WaveFormat format{22050, 16, 1};
    const auto data = tone(format, milliseconds(400));
    std::vector<double> openToHeard, writeToHeard, openCall, pauseCall, resumeCall, flushCall;
    int pauseLeaks = 0;
    for (int trial = 0; trial < 25; ++trial) {
        const auto t0 = Clock::now();
        auto opened = host.open("", format);
        if (!opened) {
            std::printf("open failed: %s\n", opened.fault().message.c_str());
            return;
        }
        auto& s = *opened.value();
        const auto t1 = Clock::now();
        size_t off = s.write(data, milliseconds(200)).value();
        auto heard = pollUntil([&] { return s.state().value().playedBytes > 0; }, milliseconds(2000));
        if (heard) {
            openToHeard.push_back(msBetween(t0, *heard));
            writeToHeard.push_back(msBetween(t1, *heard));
        }
        openCall.push_back(msBetween(t0, t1));
        // Keep it playing for a while, then pause.
        while (off < data.size() / 2) off += s.write(std::span(data).subspan(off), milliseconds(100)).value();
        auto p0 = Clock::now();
        s.setPaused(true).orThrow();
        pauseCall.push_back(msBetween(p0, Clock::now()));
        const uint64_t held = s.state().value().playedBytes;
        std::this_thread::sleep_for(milliseconds(20));
        if (s.state().value().playedBytes != held) ++pauseLeaks;
        p0 = Clock::now();
        s.setPaused(false).orThrow();
        resumeCall.push_back(msBetween(p0, Clock::now()));
        while (off < data.size()) off += s.write(std::span(data).subspan(off), milliseconds(100)).value();
        p0 = Clock::now();
        s.flush().orThrow();
        flushCall.push_back(msBetween(p0, Clock::now()));
    }
    std::printf("PulseAudio host, %d Hz %d-bit mono, 50 ms target buffer\n", format.sampleRate, format.bitsPerSample);
    report("open() call", openCall);
    report("open() -> first sample heard", openToHeard);
    report("first write -> first sample heard", writeToHeard);
    report("pause (cork acknowledged)", pauseCall);
    report("resume (uncork acknowledged)", resumeCall);
    report("flush (acknowledged, clock rebased)", flushCall);
    std::printf("%-44s  %d of 25 trials\n", "clock moved while paused", pauseLeaks);
}

// ---------------------------------------------------------------------------------------------------
// Through the voice: the host is wrapped so that this thread can watch the voice's stream clock.

class WatchedHost;

class WatchedStream final : public bench::ForwardingStream {
public:
    WatchedStream(std::unique_ptr<audio::AudioDeviceStream> inner, WatchedHost& host);
    ~WatchedStream() override;

private:
    WatchedHost& host_;
};

class WatchedHost final : public bench::ForwardingHost {
public:
    using ForwardingHost::ForwardingHost;
    // The voice's current stream state, read from this thread (the Pulse stream takes its own lock).
    std::optional<audio::PlaybackState> peek() {
        std::lock_guard lock(mutex_);
        if (!current_) return std::nullopt;
        auto s = current_->state();
        if (!s) return std::nullopt;
        return s.value();
    }
    void attach(audio::AudioDeviceStream* s) {
        std::lock_guard lock(mutex_);
        current_ = s;
    }
    void detach(audio::AudioDeviceStream* s) {
        std::lock_guard lock(mutex_);
        if (current_ == s) current_ = nullptr;
    }

protected:
    std::unique_ptr<audio::AudioDeviceStream> wrap(std::unique_ptr<audio::AudioDeviceStream> stream) override {
        return std::make_unique<WatchedStream>(std::move(stream), *this);
    }

private:
    std::mutex mutex_;
    audio::AudioDeviceStream* current_ = nullptr;
};

WatchedStream::WatchedStream(std::unique_ptr<audio::AudioDeviceStream> inner, WatchedHost& host)
    : ForwardingStream(std::move(inner)), host_(host) {
    host_.attach(inner_.get());
}
WatchedStream::~WatchedStream() {
    host_.detach(inner_.get());
}

struct Sample {
    Clock::time_point t;
    uint64_t played;
};

// The time the clock passed `position`, interpolated between samples.
std::optional<Clock::time_point> heardAt(const std::vector<Sample>& timeline, uint64_t position) {
    for (size_t i = 1; i < timeline.size(); ++i) {
        if (timeline[i].played >= position && timeline[i - 1].played < position) {
            const auto& a = timeline[i - 1];
            const auto& b = timeline[i];
            double f = static_cast<double>(position - a.played) / static_cast<double>(b.played - a.played);
            return a.t + std::chrono::duration_cast<Clock::duration>((b.t - a.t) * f);
        }
    }
    return std::nullopt;
}

void benchVoice(std::shared_ptr<audio::AudioHost> pulse) {
    auto host = std::make_shared<WatchedHost>(std::move(pulse));
    Backends backends = Backends::defaults();
    backends.audioHost = host;
    std::unique_ptr<SpVoice> voice;
    try {
        voice = std::make_unique<SpVoice>(backends);
    } catch (const Error& e) {
        std::printf("voice: not available (%s)\n", e.description().c_str());
        return;
    }
    voice->SetEventInterests(SVEWordBoundary | SVEEndInputStream | SVEStartInputStream);

    std::mutex mutex;
    std::condition_variable cv;
    std::vector<Clock::time_point> notifyTimes;
    voice->SetNotify([&] {
        std::lock_guard lock(mutex);
        notifyTimes.push_back(Clock::now());
        cv.notify_all();
    });

    const std::u16string text = u"The quick brown fox jumps over the lazy dog, and then it runs home again.";
    std::vector<double> speakToHeard, gapClock, gapPace, pauseHeld, purgeDropped;
    for (int trial = 0; trial < 12; ++trial) {
        uint64_t base = 0;
        if (auto st = host->peek()) base = st->writtenBytes;
        std::vector<Sample> timeline;
        std::vector<std::pair<Clock::time_point, VoiceEvent>> released;
        {
            std::lock_guard lock(mutex);
            notifyTimes.clear();
        }
        const auto t0 = Clock::now();
        voice->Speak(text, SVSFlagsAsync);
        bool ended = false;
        int bytesPerSecond = 44100;
        while (!ended && msBetween(t0, Clock::now()) < 10000) {
            if (auto st = host->peek()) timeline.push_back({Clock::now(), st->playedBytes});
            std::unique_lock lock(mutex);
            cv.wait_for(lock, std::chrono::microseconds(300));
            if (notifyTimes.empty()) continue;
            const auto when = notifyTimes.back();
            notifyTimes.clear();
            lock.unlock();
            for (auto& e : voice->TakeEvents()) {
                if (e.kind == EventKind::EndStream) ended = true;
                if (e.kind == EventKind::Word && e.audioTimeMs > 0)
                    bytesPerSecond = static_cast<int>(e.streamPosition * 1000 / e.audioTimeMs);
                released.emplace_back(when, e);
            }
        }
        voice->WaitUntilDone(5000);
        auto first = heardAt(timeline, base + 1);
        if (!first) continue;
        speakToHeard.push_back(msBetween(t0, *first));
        for (auto& [when, e] : released) {
            if (e.kind != EventKind::Word || e.streamPosition == 0) continue;
            if (auto heard = heardAt(timeline, base + e.streamPosition)) gapClock.push_back(msBetween(*heard, when));
            double paced = static_cast<double>(e.streamPosition) * 1000.0 / bytesPerSecond;
            gapPace.push_back(msBetween(*first, when) - paced);
        }
    }

    // Pause and purge while speaking: the time until the stream's clock holds / has dropped the rest.
    for (int trial = 0; trial < 12; ++trial) {
        uint64_t base = 0;
        if (auto st = host->peek()) base = st->writtenBytes;
        voice->Speak(text, SVSFlagsAsync | SVSFPurgeBeforeSpeak);
        // Well into the sentence (the first 100 ms heard at 22 kHz 16-bit mono).
        auto playing = pollUntil(
            [&] {
                auto st = host->peek();
                return st && st->playedBytes > base + 4410;
            },
            milliseconds(3000));
        if (!playing) continue;
        auto p0 = Clock::now();
        voice->Pause();
        auto held = pollUntil(
            [&] {
                auto st = host->peek();
                return st && st->corked;
            },
            milliseconds(1000));
        if (held) pauseHeld.push_back(msBetween(p0, *held));
        voice->Resume();
        std::this_thread::sleep_for(milliseconds(100));
        p0 = Clock::now();
        voice->Speak(u"", SVSFlagsAsync | SVSFPurgeBeforeSpeak);
        auto dropped = pollUntil(
            [&] {
                auto st = host->peek();
                return st && st->playedBytes == st->writtenBytes;
            },
            milliseconds(1000));
        if (dropped) purgeDropped.push_back(msBetween(p0, *dropped));
        voice->WaitUntilDone(3000);
        voice->TakeEvents();
    }
    voice->SetNotify({});

    std::printf("\nSpVoice (espeak-ng) on the PulseAudio host\n");
    report("Speak -> first sample heard", speakToHeard);
    report("Word release - sample heard (host clock)", gapClock);
    report("Word release - sample heard (real-time pace)", gapPace);
    report("Pause -> stream corked", pauseHeld);
    report("purge -> unplayed audio dropped", purgeDropped);
}

}  // namespace

int main() {
    if (!std::getenv("PULSE_SERVER"))
        std::printf("PULSE_SERVER is unset: measuring on the session's own audio server.\n");
    auto host = audio::makePulseAudioHost();
    if (host->devices().empty()) {
        std::printf("No audio server reachable; nothing to measure.\n");
        return 0;
    }
    benchHost(*host);
    benchVoice(host);
    return 0;
}
