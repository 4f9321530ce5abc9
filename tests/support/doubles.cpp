#include "doubles.h"

#include "platform/speech/engine_synthesizer.h"
#include "platform/speech/utf8.h"

#include <stdlib.h>
#include <sys/resource.h>

#include <csignal>

#include <algorithm>
#include <filesystem>
#include <new>
#include <cmath>
#include <thread>

namespace testing_support {

using speech::Fault;
using speech::Result;
using speech::SpObjectToken;
using speech::TokenKind;
namespace errc = speech::errc;

// ---- ScriptedSynthesizer -----------------------------------------------------------------------------

ScriptedSynthesizer::ScriptedSynthesizer() = default;

std::vector<SpObjectToken> ScriptedSynthesizer::voices() {
    return {
        SpObjectToken(TokenKind::Voice, "test-a", "Test Voice A", {{"Language", "409"}, {"Gender", "Female"}, {"Name", "A"}}),
        SpObjectToken(TokenKind::Voice, "test-b", "Test Voice B", {{"Language", "804"}, {"Gender", "Male"}, {"Name", "B"}}),
    };
}

std::vector<speech::SynthRequest> ScriptedSynthesizer::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

Result<void> ScriptedSynthesizer::synthesize(const speech::SynthRequest& request, speech::SynthSink& sink) {
    {
        std::lock_guard lock(mutex_);
        requests_.push_back(request);
    }
    const char32_t fail = failOn.load();
    if (fail != 0 && request.text.find(fail) != std::u32string::npos) {
        return Fault{errc::kEngine, "The scripted engine was told to fail."};
    }
    if (const char32_t oom = throwOn.load(); oom != 0 && request.text.find(oom) != std::u32string::npos)
        throw std::bad_alloc();
    const int perChar = samplesPerChar.load();
    const int delay = microsecondsPerChar.load();
    std::vector<int16_t> block(static_cast<size_t>(perChar));
    for (size_t i = 0; i < block.size(); ++i) block[i] = (i / 10) % 2 ? 8000 : -8000;

    const auto& text = request.text;
    auto isSpace = [](char32_t c) { return c == U' ' || c == U'\n' || c == U'\r' || c == U'\t'; };
    for (size_t i = 0; i < text.size(); ++i) {
        const uint64_t sample = static_cast<uint64_t>(i) * static_cast<uint64_t>(perChar);
        if (!isSpace(text[i]) && (i == 0 || isSpace(text[i - 1]))) {
            size_t end = i;
            while (end < text.size() && !isSpace(text[end])) ++end;
            speech::SynthEvent word;
            word.kind = speech::SynthEvent::Kind::Word;
            word.sample = sample;
            word.textPosition = static_cast<int32_t>(i);
            word.length = static_cast<int32_t>(end - i);
            if (!sink.event(word)) return {};
        }
        if (!isSpace(text[i])) {
            speech::SynthEvent phone;
            phone.kind = speech::SynthEvent::Kind::Phoneme;
            phone.sample = sample;
            phone.phoneId = static_cast<int32_t>(text[i] % 100 + 1);
            phone.viseme = static_cast<int32_t>(text[i] % 22);
            phone.stressed = i % 2 == 0;
            if (!sink.event(phone)) return {};
        }
        if (delay > 0) std::this_thread::sleep_for(std::chrono::microseconds(delay));
        if (!sink.audio(block)) return {};
    }
    speech::SynthEvent end;
    end.kind = speech::SynthEvent::Kind::End;
    end.sample = text.size() * static_cast<uint64_t>(perChar);
    sink.event(end);
    return {};
}

// ---- VirtualAudioHost --------------------------------------------------------------------------------

std::shared_ptr<VirtualAudioHost> VirtualAudioHost::create(double speed) {
    auto host = std::shared_ptr<VirtualAudioHost>(new VirtualAudioHost(speed));
    host->devices_ = {{"virtual_sink", "Virtual Output", 0, true}, {"second_sink", "Second Output", 1, false}};
    return host;
}

std::vector<speech::AudioDeviceInfo> VirtualAudioHost::devices() {
    std::lock_guard lock(mutex_);
    return devices_;
}

Result<std::unique_ptr<speech::AudioDeviceStream>> VirtualAudioHost::open(const std::string& deviceId,
                                                                          const speech::WaveFormat& format) {
    {
        std::lock_guard lock(mutex_);
        if (devices_.empty()) return Fault{errc::kNoAudioDevice, "No audio output device is available."};
        if (!deviceId.empty() &&
            std::none_of(devices_.begin(), devices_.end(), [&](const auto& d) { return d.id == deviceId; })) {
            return Fault{errc::kNoAudioDevice, "No such device: " + deviceId};
        }
        lastFormat_ = format;
        lastDeviceId_ = deviceId;
    }
    ++opens_;
    return std::unique_ptr<speech::AudioDeviceStream>(
        std::make_unique<VirtualDeviceStream>(shared_from_this(), format));
}

void VirtualAudioHost::setDevices(std::vector<speech::AudioDeviceInfo> devices) {
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

speech::WaveFormat VirtualAudioHost::lastFormat() const {
    std::lock_guard lock(mutex_);
    return lastFormat_;
}

std::string VirtualAudioHost::lastDeviceId() const {
    std::lock_guard lock(mutex_);
    return lastDeviceId_;
}

// ---- VirtualDeviceStream -----------------------------------------------------------------------------

VirtualDeviceStream::VirtualDeviceStream(std::shared_ptr<VirtualAudioHost> host, const speech::WaveFormat& format)
    : host_(std::move(host)), format_(format) {
    ++host_->live_;
}

VirtualDeviceStream::~VirtualDeviceStream() { --host_->live_; }

bool VirtualDeviceStream::lostLocked() const { return host_->lost.load(); }

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
    const auto capacity = static_cast<uint64_t>(format_.bytesPerSecond()) * static_cast<uint64_t>(host_->bufferMs) / 1000;
    std::unique_lock lock(mutex_);
    for (;;) {
        if (lostLocked()) return Fault{errc::kDeviceLost, "The virtual device is gone."};
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

Result<speech::PlaybackState> VirtualDeviceStream::state() {
    std::lock_guard lock(mutex_);
    if (lostLocked()) return Fault{errc::kDeviceLost, "The virtual device is gone."};
    advanceLocked();
    return speech::PlaybackState{written_, static_cast<uint64_t>(played_), corked_};
}

Result<void> VirtualDeviceStream::setPaused(bool paused) {
    std::lock_guard lock(mutex_);
    if (lostLocked()) return Fault{errc::kDeviceLost, "The virtual device is gone."};
    advanceLocked();
    corked_ = paused;
    return {};
}

Result<void> VirtualDeviceStream::flush() {
    std::lock_guard lock(mutex_);
    if (lostLocked()) return Fault{errc::kDeviceLost, "The virtual device is gone."};
    advanceLocked();
    played_ = static_cast<double>(written_);
    return {};
}

Result<bool> VirtualDeviceStream::drain(std::chrono::milliseconds maxWait) {
    const auto deadline = Clock::now() + maxWait;
    std::unique_lock lock(mutex_);
    for (;;) {
        if (lostLocked()) return Fault{errc::kDeviceLost, "The virtual device is gone."};
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

// ---- EventLog ----------------------------------------------------------------------------------------

EventLog::EventLog(speech::SpVoice& voice) : voice_(voice) {
    // The voice calls notify without holding its locks, so taking the events here is safe and stamps
    // each one with the moment it was released.
    voice_.SetNotify([this] {
        auto events = voice_.TakeEvents();
        const auto now = std::chrono::steady_clock::now();
        std::lock_guard lock(mutex_);
        for (auto& e : events) entries_.push_back({std::move(e), now});
        cv_.notify_all();
    });
}

EventLog::~EventLog() { voice_.SetNotify({}); }

std::vector<EventLog::Entry> EventLog::entries() {
    std::lock_guard lock(mutex_);
    return entries_;
}

std::vector<speech::VoiceEvent> EventLog::events() {
    std::lock_guard lock(mutex_);
    std::vector<speech::VoiceEvent> out;
    for (const auto& e : entries_) out.push_back(e.event);
    return out;
}

bool EventLog::waitFor(speech::EventKind kind, size_t count, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, timeout, [&] {
        return static_cast<size_t>(std::count_if(entries_.begin(), entries_.end(),
                                                 [&](const Entry& e) { return e.event.kind == kind; })) >= count;
    });
}

// ---- text helpers ------------------------------------------------------------------------------------

std::u16string u16(std::string_view s) { return speech::fromUtf8(s); }

std::string utf8(std::u16string_view text) { return speech::toUtf8(text); }

speech::Backends engineWithoutDevices() {
    auto host = VirtualAudioHost::create();
    host->setDevices({});
    return {speech::makeEngineSynthesizer(), host};
}

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tallamo-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("cannot create a temporary folder");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all, ec);
    std::filesystem::remove_all(path_, ec);
}

std::string TempDir::file(const std::string& name) const { return (std::filesystem::path(path_) / name).string(); }

FileSizeLimit::FileSizeLimit(unsigned long bytes) {
    struct rlimit limit{};
    ::getrlimit(RLIMIT_FSIZE, &limit);
    savedCurrent_ = limit.rlim_cur;
    savedHandler_ = std::signal(SIGXFSZ, SIG_IGN);
    limit.rlim_cur = bytes;
    ::setrlimit(RLIMIT_FSIZE, &limit);
}

FileSizeLimit::~FileSizeLimit() {
    struct rlimit limit{};
    ::getrlimit(RLIMIT_FSIZE, &limit);
    limit.rlim_cur = savedCurrent_;
    ::setrlimit(RLIMIT_FSIZE, &limit);
    std::signal(SIGXFSZ, savedHandler_);
}

}  // namespace testing_support
