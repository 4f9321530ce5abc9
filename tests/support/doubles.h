// Test doubles at the voice's back-end boundary: a scripted synthesizer, a synthesizer without voices,
// and a virtual-clock audio host that simulates an ideal device (and can lose it on demand).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/speech/audio_host.h"
#include "platform/speech/synthesizer.h"
#include "platform/speech/voice.h"

namespace testing_support {

// Speaks every code point as `samplesPerChar` samples of a square wave; one Word event per run of
// non-space characters and one Phoneme event per letter.
class ScriptedSynthesizer final : public speech::Synthesizer {
public:
    ScriptedSynthesizer();
    std::vector<speech::SpObjectToken> voices() override;
    int sampleRate() const override { return 22050; }
    speech::Result<void> synthesize(const speech::SynthRequest& request, speech::SynthSink& sink) override;

    // Samples produced per code point (default 220, 10 ms).
    std::atomic<int> samplesPerChar{220};
    // Real time spent per code point while synthesizing (default none).
    std::atomic<int> microsecondsPerChar{0};
    // A segment containing this code point makes the engine fail.
    std::atomic<char32_t> failOn{0};
    // A segment containing this code point makes the engine run out of memory (std::bad_alloc).
    std::atomic<char32_t> throwOn{0};

    std::vector<speech::SynthRequest> requests() const;

private:
    mutable std::mutex mutex_;
    std::vector<speech::SynthRequest> requests_;
};

class VoicelessSynthesizer final : public speech::Synthesizer {
public:
    std::vector<speech::SpObjectToken> voices() override { return {}; }
    int sampleRate() const override { return 22050; }
    speech::Result<void> synthesize(const speech::SynthRequest&, speech::SynthSink&) override { return {}; }
};

class VirtualAudioHost;

// Plays at `speed` times real time from a buffer of `bufferMs` of audio.
class VirtualDeviceStream final : public speech::AudioDeviceStream {
public:
    VirtualDeviceStream(std::shared_ptr<VirtualAudioHost> host, const speech::WaveFormat& format);
    ~VirtualDeviceStream() override;
    speech::WaveFormat format() const override { return format_; }
    speech::Result<size_t> write(std::span<const uint8_t> data, std::chrono::milliseconds maxWait) override;
    speech::Result<speech::PlaybackState> state() override;
    speech::Result<void> setPaused(bool paused) override;
    speech::Result<void> flush() override;
    speech::Result<bool> drain(std::chrono::milliseconds maxWait) override;
    void interrupt() override;

private:
    using Clock = std::chrono::steady_clock;
    void advanceLocked();
    bool lostLocked() const;

    std::shared_ptr<VirtualAudioHost> host_;
    speech::WaveFormat format_;
    std::mutex mutex_;
    std::condition_variable cv_;
    uint64_t written_ = 0;
    double played_ = 0;
    bool corked_ = false;
    bool interrupted_ = false;
    Clock::time_point last_ = Clock::now();
};

class VirtualAudioHost final : public speech::AudioHost, public std::enable_shared_from_this<VirtualAudioHost> {
public:
    static std::shared_ptr<VirtualAudioHost> create(double speed = 1.0);

    std::vector<speech::AudioDeviceInfo> devices() override;
    speech::Result<std::unique_ptr<speech::AudioDeviceStream>> open(const std::string& deviceId,
                                                                    const speech::WaveFormat& format) override;

    void setDevices(std::vector<speech::AudioDeviceInfo> devices);
    // Every open stream fails from now on, and the device list is empty, until restore().
    void loseDevices();
    void restore();

    // What the voice did with the device.
    int openCount() const { return opens_.load(); }
    int liveStreams() const { return live_.load(); }
    speech::WaveFormat lastFormat() const;
    std::string lastDeviceId() const;

    const double speed;
    const int bufferMs = 50;
    std::atomic<bool> lost{false};
    std::atomic<int> live_{0};

private:
    explicit VirtualAudioHost(double s) : speed(s) {}
    mutable std::mutex mutex_;
    std::vector<speech::AudioDeviceInfo> devices_;
    std::vector<speech::AudioDeviceInfo> saved_;
    speech::WaveFormat lastFormat_;
    std::string lastDeviceId_;
    std::atomic<int> opens_{0};
};

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
    bool waitFor(speech::EventKind kind, size_t count = 1, std::chrono::milliseconds timeout = std::chrono::seconds(10));

private:
    speech::SpVoice& voice_;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<Entry> entries_;
};

std::u16string u16(std::string_view utf8);
std::string utf8(std::u16string_view text);

// The real engine (espeak-ng in its worker processes) with an audio host that has no devices, which
// keeps tests that render into files off the sound server.
speech::Backends engineWithoutDevices();

// A fresh folder under the system's temporary folder, removed with everything in it (read-only
// parts included) when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string file(const std::string& name) const;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// Limits the size of the files this process writes (a "full disk" after `bytes`), with the signal
// that the limit raises ignored, so writes past it fail with EFBIG; both restored when it goes.
class FileSizeLimit {
public:
    explicit FileSizeLimit(unsigned long bytes);
    ~FileSizeLimit();
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    unsigned long savedCurrent_ = 0;
    void (*savedHandler_)(int) = nullptr;
};

}  // namespace testing_support
