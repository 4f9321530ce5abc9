// SPDX-License-Identifier: GPL-3.0-or-later
// The PulseAudio host against a real server: the null-sink server that scripts/test starts, and for
// the failure cases private servers started and killed here.
#include "speech/audio/device_pulse.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "speech/core/formats.h"
#include "tests/support/audio_server.h"

namespace speech::audio {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

const core::WaveFormat k22Mono16{22050, 16, 1};

double msSince(Clock::time_point t) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

// Sets an environment variable for a scope and puts the old value back.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::string& value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        setenv(name, value.c_str(), 1);
    }
    ~ScopedEnv() { old_ ? setenv(name_, old_->c_str(), 1) : unsetenv(name_); }

private:
    const char* name_;
    std::optional<std::string> old_;
};

std::string runCommand(const std::string& command) {
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return out;
    char buf[4096];
    for (size_t n; (n = fread(buf, 1, sizeof buf, pipe)) > 0;) out.append(buf, n);
    pclose(pipe);
    return out;
}

// The server's view of this process's playback streams: "s16le 2ch 44100Hz" per sink input.
std::vector<std::string> ourSinkInputSpecs() {
    const std::string text = runCommand("LC_ALL=C pactl list sink-inputs 2>/dev/null");
    const std::string ours = "application.process.id = \"" + std::to_string(getpid()) + "\"";
    const std::string label = "Sample Specification: ";
    std::vector<std::string> specs;
    for (size_t pos = text.find("Sink Input #"); pos != std::string::npos;) {
        size_t next = text.find("Sink Input #", pos + 1);
        std::string block = text.substr(pos, next == std::string::npos ? std::string::npos : next - pos);
        size_t at = block.find(label);
        if (block.find(ours) != std::string::npos && at != std::string::npos) {
            at += label.size();
            specs.push_back(block.substr(at, block.find('\n', at) - at));
        }
        pos = next;
    }
    return specs;
}

// `length` of non-silent audio in `f`.
std::vector<uint8_t> audio(const core::WaveFormat& f, milliseconds length) {
    return std::vector<uint8_t>(static_cast<size_t>(f.bytesPerSecond() * length.count() / 1000), 0x40);
}

// Writes `data` from `offset` until at least `until` bytes are in, failing the test on a fault.
size_t writeUntil(AudioDeviceStream& s, const std::vector<uint8_t>& data, size_t offset, size_t until) {
    const auto start = Clock::now();
    while (offset < until && msSince(start) < 10000) {
        auto r = s.write(std::span(data).subspan(offset), milliseconds(500));
        EXPECT_TRUE(r.ok()) << r.fault().message;
        if (!r) break;
        offset += r.value();
    }
    return offset;
}

PlaybackState stateOf(AudioDeviceStream& s) {
    auto r = s.state();
    EXPECT_TRUE(r.ok()) << r.fault().message;
    return r ? r.value() : PlaybackState{};
}

std::unique_ptr<AudioDeviceStream> openOrFail(AudioHost& host, const core::WaveFormat& f,
                                              const std::string& device = "") {
    auto r = host.open(device, f);
    EXPECT_TRUE(r.ok()) << r.fault().message;
    return r ? std::move(r.value()) : nullptr;
}

void expectDrained(AudioDeviceStream& s) {
    auto d = s.drain(milliseconds(3000));
    ASSERT_TRUE(d.ok()) << d.fault().message;
    EXPECT_TRUE(d.value());
    auto st = stateOf(s);
    EXPECT_EQ(st.playedBytes, st.writtenBytes);
}

// ---------------------------------------------------------------------------------------------------

TEST(PulseHostDevices, ListsTheNullSinkDefaultFirstInAStableOrder) {
    TALLAMO_NEED_AUDIO_SERVER();
    auto host = makePulseAudioHost();
    auto devices = host->devices();
    ASSERT_FALSE(devices.empty());
    EXPECT_TRUE(devices.front().isDefault);
    for (size_t i = 1; i < devices.size(); ++i) {
        EXPECT_FALSE(devices[i].isDefault);
        if (i > 1) {
            EXPECT_LT(devices[i - 1].index, devices[i].index);
        }
    }
    auto null = std::find_if(devices.begin(), devices.end(), [](auto& d) { return d.id == "tallamo_null"; });
    ASSERT_NE(null, devices.end());
    EXPECT_EQ(null->description, "Tallamo Null Output");
    auto again = host->devices();
    ASSERT_EQ(again.size(), devices.size());
    for (size_t i = 0; i < devices.size(); ++i) EXPECT_EQ(again[i].id, devices[i].id);
}

TEST(PulseHostOpen, EveryFormatOpensWithThatSampleSpecOnTheServer) {
    TALLAMO_NEED_AUDIO_SERVER();
    auto host = makePulseAudioHost();
    for (const auto& entry : core::formatTable()) {
        SCOPED_TRACE(std::string(entry.name));
        core::WaveFormat f = *core::waveFormatOf(entry.type);
        auto s = openOrFail(*host, f);
        ASSERT_TRUE(s);
        EXPECT_EQ(s->format(), f);
        std::string expected = std::string(f.bitsPerSample == 8 ? "u8 " : "s16le ") + std::to_string(f.channels) +
                               "ch " + std::to_string(f.sampleRate) + "Hz";
        EXPECT_EQ(ourSinkInputSpecs(), std::vector<std::string>{expected});
    }
}

TEST(PulseHostOpen, RejectsUnknownDevicesAndUnplayableFormats) {
    TALLAMO_NEED_AUDIO_SERVER();
    auto host = makePulseAudioHost();
    auto missing = host->open("no_such_sink", k22Mono16);
    ASSERT_FALSE(missing.ok());
    EXPECT_EQ(missing.fault().code, base::errc::kNoAudioDevice);
    EXPECT_NE(missing.fault().message.find("no_such_sink"), std::string::npos);
    auto bad = host->open("", core::WaveFormat{22050, 24, 1});
    ASSERT_FALSE(bad.ok());
    EXPECT_EQ(bad.fault().code, base::errc::kUnsupportedFormat);
    // The host goes on working, also on a sink named explicitly.
    EXPECT_TRUE(openOrFail(*host, k22Mono16, "tallamo_null"));
}

// ---------------------------------------------------------------------------------------------------

TEST(PulseHostPlayback, OneSecondPlaysInAboutOneSecondWithASaneClock) {
    TALLAMO_NEED_AUDIO_SERVER();
    auto host = makePulseAudioHost();
    auto s = openOrFail(*host, core::WaveFormat{44100, 16, 2});
    ASSERT_TRUE(s);
    auto data = audio(s->format(), milliseconds(1000));
    const auto start = Clock::now();
    size_t off = 0;
    uint64_t lastPlayed = 0;
    double firstHeardMs = -1;
    while (off < data.size()) {
        off = writeUntil(*s, data, off, off + 1);
        auto st = stateOf(*s);
        EXPECT_EQ(st.writtenBytes, off);
        EXPECT_LE(st.playedBytes, st.writtenBytes);
        EXPECT_GE(st.playedBytes, lastPlayed);
        EXPECT_EQ(st.playedBytes % 4, 0u) << "played position splits a frame";
        if (firstHeardMs < 0 && st.playedBytes > 0) firstHeardMs = msSince(start);
        lastPlayed = st.playedBytes;
    }
    // The device paces the writes: the last byte goes in about one buffer before the end.
    EXPECT_GT(msSince(start), 800.0);
    expectDrained(*s);
    EXPECT_GT(msSince(start), 950.0);
    EXPECT_LT(msSince(start), 1250.0);
    EXPECT_GE(firstHeardMs, 0.0);
    EXPECT_LT(firstHeardMs, 200.0);
    EXPECT_EQ(stateOf(*s).playedBytes, data.size());
}

TEST(PulseHostPlayback, PauseHoldsTheClockAndResumeGoesOn) {
    TALLAMO_NEED_AUDIO_SERVER();
    auto host = makePulseAudioHost();
    auto s = openOrFail(*host, k22Mono16);
    ASSERT_TRUE(s);
    auto data = audio(s->format(), milliseconds(600));
    size_t off = writeUntil(*s, data, 0, data.size() / 3);
    ASSERT_TRUE(s->setPaused(true).ok());
    auto held = stateOf(*s);
    EXPECT_TRUE(held.corked);
    EXPECT_GT(held.playedBytes, 0u);
    EXPECT_LT(held.playedBytes, held.writtenBytes);
    // While paused: the clock stands, a full buffer takes nothing more, drain does not finish.
    std::this_thread::sleep_for(milliseconds(250));
    EXPECT_EQ(stateOf(*s).playedBytes, held.playedBytes);
    off += s->write(std::span(data).subspan(off), milliseconds(50)).value();
    auto d = s->drain(milliseconds(100));
    ASSERT_TRUE(d.ok());
    EXPECT_FALSE(d.value());
    EXPECT_EQ(stateOf(*s).playedBytes, held.playedBytes);

    ASSERT_TRUE(s->setPaused(false).ok());
    const auto resumed = Clock::now();
    EXPECT_FALSE(stateOf(*s).corked);
    writeUntil(*s, data, off, data.size());
    expectDrained(*s);
    // Everything not heard before the pause is heard after it, in real time: a clock that counted
    // the paused time, or a resume that skipped the buffer, would finish early.
    const double rest = static_cast<double>(data.size() - held.playedBytes) * 1000.0 / s->format().bytesPerSecond();
    EXPECT_GT(msSince(resumed), rest * 0.85);
    EXPECT_LT(msSince(resumed), rest + 300.0);

    // Repeating a request is harmless.
    EXPECT_TRUE(s->setPaused(false).ok());
    EXPECT_FALSE(stateOf(*s).corked);
    EXPECT_TRUE(s->setPaused(true).ok());
    EXPECT_TRUE(s->setPaused(true).ok());
    EXPECT_TRUE(stateOf(*s).corked);
}

TEST(PulseHostPlayback, FlushDropsTheRestAndTheClockStaysMonotonic) {
    TALLAMO_NEED_AUDIO_SERVER();
    auto host = makePulseAudioHost();
    auto s = openOrFail(*host, k22Mono16);
    ASSERT_TRUE(s);
    auto data = audio(s->format(), milliseconds(300));
    writeUntil(*s, data, 0, data.size() / 2);
    auto before = stateOf(*s);
    ASSERT_LT(before.playedBytes, before.writtenBytes) << "nothing buffered to flush";
    ASSERT_TRUE(s->flush().ok());
    auto after = stateOf(*s);
    EXPECT_EQ(after.writtenBytes, before.writtenBytes);
    EXPECT_EQ(after.playedBytes, after.writtenBytes);
    EXPECT_TRUE(s->drain(milliseconds(0)).value()) << "nothing is left to play after a flush";

    // Playing on after a pause in the writing: the new audio takes its real time, counted on top of
    // the flushed position, and none of it counts as heard the moment it is written.
    std::this_thread::sleep_for(milliseconds(200));
    const auto restart = Clock::now();
    ASSERT_GT(s->write(data, milliseconds(500)).value(), 0u);
    auto fresh = stateOf(*s);
    const double heardMs =
        static_cast<double>(fresh.playedBytes - after.playedBytes) * 1000.0 / s->format().bytesPerSecond();
    EXPECT_LE(heardMs, msSince(restart) + 1.0);
    writeUntil(*s, data, fresh.writtenBytes - after.writtenBytes, data.size());
    EXPECT_EQ(stateOf(*s).writtenBytes, after.writtenBytes + data.size());
    expectDrained(*s);
    EXPECT_GT(msSince(restart), 250.0);

    // A flush while paused leaves the stream paused and ready to go on.
    ASSERT_TRUE(s->setPaused(true).ok());
    EXPECT_GT(s->write(data, milliseconds(200)).value(), 0u);
    ASSERT_TRUE(s->flush().ok());
    auto pausedFlush = stateOf(*s);
    EXPECT_EQ(pausedFlush.playedBytes, pausedFlush.writtenBytes);
    EXPECT_TRUE(pausedFlush.corked);
    ASSERT_TRUE(s->setPaused(false).ok());
    writeUntil(*s, data, 0, data.size());
    expectDrained(*s);
}

TEST(PulseHostPlayback, InterruptWakesABlockedWriteOrDrainAndIsConsumed) {
    TALLAMO_NEED_AUDIO_SERVER();
    auto host = makePulseAudioHost();
    auto s = openOrFail(*host, k22Mono16);
    ASSERT_TRUE(s);
    auto data = audio(s->format(), milliseconds(500));
    // A paused stream with a full buffer takes no more, so the next write blocks.
    ASSERT_TRUE(s->setPaused(true).ok());
    ASSERT_GT(s->write(data, milliseconds(200)).value(), 0u);
    for (bool drain : {false, true}) {
        std::thread waker([&] {
            std::this_thread::sleep_for(milliseconds(150));
            s->interrupt();
        });
        const auto start = Clock::now();
        if (drain) {
            EXPECT_FALSE(s->drain(milliseconds(10000)).value());
        } else {
            EXPECT_EQ(s->write(data, milliseconds(10000)).value(), 0u);
        }
        waker.join();
        EXPECT_GE(msSince(start), 100.0);
        EXPECT_LT(msSince(start), 2000.0);
    }
    // With nobody waiting, the next call returns at once, and only that one.
    s->interrupt();
    auto start = Clock::now();
    EXPECT_EQ(s->write(data, milliseconds(5000)).value(), 0u);
    EXPECT_LT(msSince(start), 500.0);
    start = Clock::now();
    EXPECT_EQ(s->write(data, milliseconds(300)).value(), 0u);
    EXPECT_GE(msSince(start), 250.0);
}

TEST(PulseHostPlayback, TwoStreamsPlayAtOnceAndClosingOneStopsOnlyIt) {
    TALLAMO_NEED_AUDIO_SERVER();
    auto host = makePulseAudioHost();
    auto a = openOrFail(*host, core::WaveFormat{16000, 16, 1});
    auto b = openOrFail(*host, core::WaveFormat{11025, 8, 2});
    ASSERT_TRUE(a && b);
    EXPECT_EQ(ourSinkInputSpecs().size(), 2u);
    auto da = audio(a->format(), milliseconds(400));
    auto db = audio(b->format(), milliseconds(400));
    const auto start = Clock::now();
    size_t oa = 0, ob = 0;
    while ((oa < da.size() || ob < db.size()) && msSince(start) < 5000) {
        if (oa < da.size()) oa += a->write(std::span(da).subspan(oa), milliseconds(5)).value();
        if (ob < db.size()) ob += b->write(std::span(db).subspan(ob), milliseconds(5)).value();
    }
    expectDrained(*a);
    expectDrained(*b);
    EXPECT_LT(msSince(start), 700.0) << "played one after the other";

    // Closing a stream with sound still buffered takes it off the server at once.
    ASSERT_TRUE(a->write(da, milliseconds(100)).ok());
    ASSERT_TRUE(b->write(db, milliseconds(100)).ok());
    const auto closing = Clock::now();
    a.reset();
    EXPECT_LT(msSince(closing), 100.0);
    EXPECT_EQ(ourSinkInputSpecs(), std::vector<std::string>{"u8 2ch 11025Hz"});
    expectDrained(*b);
}

// ---------------------------------------------------------------------------------------------------
// Failure cases on servers of our own.

TEST(PulseHostNoServer, ListsNothingAndFailsToOpenAtOnce) {
    fs::path dir = fs::temp_directory_path() / ("tallamo-no-server-" + std::to_string(getpid()));
    ScopedEnv server("PULSE_SERVER", "unix:" + (dir / "native").string());
    auto host = makePulseAudioHost();
    auto start = Clock::now();
    EXPECT_TRUE(host->devices().empty());
    auto r = host->open("", k22Mono16);
    EXPECT_LT(msSince(start), 500.0);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.fault().code, base::errc::kNoAudioDevice);
    EXPECT_NE(r.fault().message.find("audio"), std::string::npos) << r.fault().message;
}

// A PulseAudio daemon with one null sink (or none) on a socket in `dir`, stopped by its PID.
class PrivateServer {
public:
    explicit PrivateServer(const fs::path& dir, bool withSink = true) : dir_(dir) {
        fs::create_directories(dir_ / "config");
        fs::create_directories(dir_ / "home");
        fs::create_directories(dir_ / "runtime");
        fs::permissions(dir_ / "runtime", fs::perms::owner_all, fs::perm_options::replace);
        const std::string d = dir_.string();
        std::string pid = runCommand(
            "env -u PULSE_SERVER HOME=" + d + "/home XDG_RUNTIME_DIR=" + d + "/runtime XDG_CONFIG_HOME=" + d +
            "/config pulseaudio -n --daemonize=no --use-pid-file=no --exit-idle-time=-1 --disallow-exit "
            "--log-target=file:" +
            d + "/pulse.log " + (withSink ? "-L 'module-null-sink sink_name=private_null' " : "") +
            "-L 'module-native-protocol-unix socket=" + d + "/native auth-anonymous=1' >/dev/null 2>&1 & echo $!");
        pid_ = std::atoi(pid.c_str());
    }
    ~PrivateServer() { kill(); }
    PrivateServer(const PrivateServer&) = delete;
    PrivateServer& operator=(const PrivateServer&) = delete;

    std::string address() const { return "unix:" + (dir_ / "native").string(); }
    bool started() const { return pid_ > 0; }
    void signal(int sig) const { ::kill(pid_, sig); }
    void kill() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGKILL);
        for (int i = 0; i < 200 && running(); ++i) std::this_thread::sleep_for(milliseconds(10));
        pid_ = -1;
    }

private:
    // The daemon is not our child (the shell started it), so it is watched through /proc.
    bool running() const {
        std::ifstream stat("/proc/" + std::to_string(pid_) + "/stat");
        std::string pid, name, state;
        return stat >> pid >> name >> state && state != "Z";
    }

    fs::path dir_;
    pid_t pid_ = -1;
};

bool waitForSinks(AudioHost& host, size_t count = 1) {
    const auto start = Clock::now();
    while (msSince(start) < 10000) {
        if (host.devices().size() >= count) return true;
        std::this_thread::sleep_for(milliseconds(50));
    }
    return false;
}

class PulseHostLoss : public ::testing::Test {
protected:
    void SetUp() override {
        TALLAMO_SKIP_UNLESS_AUDIO(!runCommand("command -v pulseaudio").empty(), "pulseaudio is not installed");
        std::string pattern = (fs::temp_directory_path() / "tallamo-pulse-loss-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
    }
    void TearDown() override {
        std::error_code ec;
        if (!dir_.empty()) fs::remove_all(dir_, ec);
    }
    fs::path dir_;
};

TEST_F(PulseHostLoss, AServerWithoutOutputsListsNoneAndOpensNothing) {
    PrivateServer server(dir_ / "empty", false);
    ScopedEnv env("PULSE_SERVER", server.address());
    for (int i = 0; i < 200 && !fs::exists(dir_ / "empty" / "native"); ++i)
        std::this_thread::sleep_for(milliseconds(20));
    auto host = makePulseAudioHost();
    EXPECT_TRUE(host->devices().empty());
    auto r = host->open("", k22Mono16);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.fault().code, base::errc::kNoAudioDevice);
    EXPECT_NE(r.fault().message.find("no output"), std::string::npos) << r.fault().message;
}

TEST_F(PulseHostLoss, SinkRemovedThenServerKilledFaultsAtOnceAndReconnectsLater) {
    auto server = std::make_unique<PrivateServer>(dir_ / "a");
    ASSERT_TRUE(server->started());
    ScopedEnv env("PULSE_SERVER", server->address());
    auto host = makePulseAudioHost();
    ASSERT_TRUE(waitForSinks(*host)) << "private pulseaudio did not start";

    // A second sink, removed under a stream playing on it.
    std::string module =
        runCommand("pactl -s " + server->address() + " load-module module-null-sink sink_name=doomed_out 2>/dev/null");
    ASSERT_FALSE(module.empty());
    ASSERT_TRUE(waitForSinks(*host, 2));
    auto onDoomed = openOrFail(*host, k22Mono16, "doomed_out");
    auto onDefault = openOrFail(*host, k22Mono16);
    ASSERT_TRUE(onDoomed && onDefault);
    auto data = audio(k22Mono16, milliseconds(300));
    ASSERT_GT(onDoomed->write(data, milliseconds(200)).value(), 0u);
    runCommand("pactl -s " + server->address() + " unload-module " + module);
    auto start = Clock::now();
    base::Result<PlaybackState> st = onDoomed->state();
    for (; st.ok() && msSince(start) < 2000; st = onDoomed->state()) std::this_thread::sleep_for(milliseconds(5));
    ASSERT_FALSE(st.ok()) << "a removed sink was not noticed";
    EXPECT_EQ(st.fault().code, base::errc::kDeviceLost);
    EXPECT_FALSE(onDoomed->write(data, milliseconds(100)).ok());
    EXPECT_FALSE(onDoomed->flush().ok());
    EXPECT_TRUE(onDefault->state().ok()) << "the other sink's stream must go on";

    // The server dies while a write is blocked on a full, paused stream.
    ASSERT_TRUE(onDefault->setPaused(true).ok());
    ASSERT_GT(onDefault->write(data, milliseconds(200)).value(), 0u);
    base::Result<size_t> blocked = size_t{0};
    std::thread writer([&] { blocked = onDefault->write(data, milliseconds(10000)); });
    std::this_thread::sleep_for(milliseconds(100));
    start = Clock::now();
    server->kill();
    writer.join();
    EXPECT_LT(msSince(start), 2000.0);
    ASSERT_FALSE(blocked.ok());
    EXPECT_EQ(blocked.fault().code, base::errc::kDeviceLost);

    start = Clock::now();
    EXPECT_EQ(onDefault->state().fault().code, base::errc::kDeviceLost);
    EXPECT_EQ(onDefault->setPaused(false).fault().code, base::errc::kDeviceLost);
    EXPECT_EQ(onDefault->flush().fault().code, base::errc::kDeviceLost);
    EXPECT_EQ(onDefault->drain(milliseconds(5000)).fault().code, base::errc::kDeviceLost);
    EXPECT_TRUE(host->devices().empty());
    auto refused = host->open("", k22Mono16);
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.fault().code, base::errc::kNoAudioDevice);
    EXPECT_LT(msSince(start), 1000.0);
    onDoomed.reset();
    onDefault.reset();

    // A server back at the same address: the same host connects again.
    server = std::make_unique<PrivateServer>(dir_ / "a");
    ASSERT_TRUE(waitForSinks(*host));
    auto again = openOrFail(*host, k22Mono16);
    ASSERT_TRUE(again);
    EXPECT_GT(again->write(data, milliseconds(500)).value(), 0u);
}

TEST_F(PulseHostLoss, AServerThatStopsAnsweringIsGivenUpOnWithoutHanging) {
    PrivateServer server(dir_ / "h");
    ASSERT_TRUE(server.started());
    ScopedEnv env("PULSE_SERVER", server.address());
    auto host = makePulseAudioHost();
    ASSERT_TRUE(waitForSinks(*host)) << "private pulseaudio did not start";
    auto s = openOrFail(*host, k22Mono16);
    ASSERT_TRUE(s);
    auto data = audio(k22Mono16, milliseconds(300));
    ASSERT_GT(s->write(data, milliseconds(200)).value(), 0u);

    server.signal(SIGSTOP);
    // A request that needs an answer gives up after about two seconds...
    auto start = Clock::now();
    auto flushed = s->flush();
    EXPECT_LT(msSince(start), 3000.0);
    ASSERT_FALSE(flushed.ok());
    EXPECT_EQ(flushed.fault().code, base::errc::kDeviceLost);
    // ...and from then on every call fails at once.
    start = Clock::now();
    EXPECT_FALSE(s->state().ok());
    EXPECT_FALSE(s->setPaused(true).ok());
    EXPECT_FALSE(s->write(data, milliseconds(1000)).ok());
    EXPECT_FALSE(s->drain(milliseconds(1000)).ok());
    EXPECT_LT(msSince(start), 200.0);
    // A fresh connection attempt is capped as well, and closing does not wait for the server.
    start = Clock::now();
    EXPECT_TRUE(host->devices().empty());
    EXPECT_LT(msSince(start), 3000.0);
    start = Clock::now();
    s.reset();
    EXPECT_LT(msSince(start), 200.0);

    // Once it answers again, the host connects afresh.
    server.signal(SIGCONT);
    EXPECT_TRUE(waitForSinks(*host));
    EXPECT_TRUE(openOrFail(*host, k22Mono16));
}

}  // namespace
}  // namespace speech::audio
