// The PulseAudio host against a real server: the null-sink server that scripts/test starts, and for
// the failure cases private servers started and killed here.
#include "platform/speech/pulse_host.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/speech/formats.h"

extern char** environ;

namespace speech {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

double msSince(Clock::time_point t) { return std::chrono::duration<double, std::milli>(Clock::now() - t).count(); }

#define REQUIRE_SERVER()                                                                  \
    do {                                                                                  \
        if (!std::getenv("PULSE_SERVER")) GTEST_SKIP() << "no test audio server (PULSE_SERVER unset)"; \
    } while (0)

// Sets an environment variable for a scope and puts the old value back.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::string& value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        setenv(name, value.c_str(), 1);
    }
    ~ScopedEnv() {
        if (old_) setenv(name_, old_->c_str(), 1);
        else unsetenv(name_);
    }

private:
    const char* name_;
    std::optional<std::string> old_;
};

std::string runCommand(const std::string& command) {
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, pipe)) > 0) out.append(buf, n);
    pclose(pipe);
    return out;
}

// The server's view of this process's playback streams: "s16le 2ch 44100Hz" per sink input.
std::vector<std::string> ourSinkInputSpecs() {
    std::string text = runCommand("LC_ALL=C pactl list sink-inputs 2>/dev/null");
    std::string pidProp = "application.process.id = \"" + std::to_string(getpid()) + "\"";
    std::vector<std::string> specs;
    size_t pos = 0;
    while ((pos = text.find("Sink Input #", pos)) != std::string::npos) {
        size_t next = text.find("Sink Input #", pos + 1);
        std::string block = text.substr(pos, next == std::string::npos ? std::string::npos : next - pos);
        static const std::string label = "Sample Specification: ";
        size_t at = block.find(label);
        if (block.find(pidProp) != std::string::npos && at != std::string::npos) {
            at += label.size();
            specs.push_back(block.substr(at, block.find('\n', at) - at));
        }
        pos = next;
    }
    return specs;
}

// A square wave, loud enough to be obviously not silence.
std::vector<uint8_t> tone(const WaveFormat& f, milliseconds length) {
    size_t frames = static_cast<size_t>(f.sampleRate) * static_cast<size_t>(length.count()) / 1000;
    std::vector<uint8_t> data(frames * static_cast<size_t>(f.bytesPerFrame()));
    size_t i = 0;
    for (size_t frame = 0; frame < frames; ++frame) {
        bool high = (frame / 40) % 2 != 0;
        for (int c = 0; c < f.channels; ++c) {
            if (f.bitsPerSample == 8) {
                data[i++] = high ? 0xC0 : 0x40;
            } else {
                int16_t v = high ? 8000 : -8000;
                data[i++] = static_cast<uint8_t>(v & 0xFF);
                data[i++] = static_cast<uint8_t>((v >> 8) & 0xFF);
            }
        }
    }
    return data;
}

// Writes all of `data`, failing the test on a fault. Returns the bytes written.
size_t writeAll(AudioDeviceStream& s, const std::vector<uint8_t>& data) {
    size_t off = 0;
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (off < data.size() && Clock::now() < deadline) {
        auto r = s.write(std::span(data).subspan(off), milliseconds(500));
        EXPECT_TRUE(r.ok()) << r.fault().message;
        if (!r) break;
        off += r.value();
    }
    return off;
}

PlaybackState stateOf(AudioDeviceStream& s) {
    auto r = s.state();
    EXPECT_TRUE(r.ok()) << r.fault().message;
    return r ? r.value() : PlaybackState{};
}

const WaveFormat k22Mono16{22050, 16, 1};

std::unique_ptr<AudioDeviceStream> openOrFail(AudioHost& host, const WaveFormat& f, const std::string& device = "") {
    auto r = host.open(device, f);
    EXPECT_TRUE(r.ok()) << r.fault().message;
    return r ? std::move(r.value()) : nullptr;
}

// ---------------------------------------------------------------------------------------------------

TEST(PulseHostDevices, ListsTheNullSinkDefaultFirstInAStableOrder) {
    REQUIRE_SERVER();
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
    bool found = false;
    for (const auto& d : devices) {
        if (d.id == "tallamo_null") {
            found = true;
            EXPECT_EQ(d.description, "Tallamo Null Output");
        }
    }
    EXPECT_TRUE(found);
    auto again = host->devices();
    ASSERT_EQ(again.size(), devices.size());
    for (size_t i = 0; i < devices.size(); ++i) EXPECT_EQ(again[i].id, devices[i].id);
}

TEST(PulseHostOpen, EveryFormatOpensWithThatSampleSpecOnTheServer) {
    REQUIRE_SERVER();
    auto host = makePulseAudioHost();
    for (const auto& entry : formatTable()) {
        SCOPED_TRACE(std::string(entry.name));
        WaveFormat f = *waveFormatOf(entry.type);
        auto s = openOrFail(*host, f);
        ASSERT_TRUE(s);
        EXPECT_EQ(s->format(), f);
        std::string expected = std::string(f.bitsPerSample == 8 ? "u8 " : "s16le ") + std::to_string(f.channels) +
                               "ch " + std::to_string(f.sampleRate) + "Hz";
        EXPECT_EQ(ourSinkInputSpecs(), std::vector<std::string>{expected});
    }
    EXPECT_TRUE(ourSinkInputSpecs().empty()) << "a closed stream is still on the server";
}

TEST(PulseHostOpen, RejectsUnknownDevicesAndUnplayableFormats) {
    REQUIRE_SERVER();
    auto host = makePulseAudioHost();
    auto missing = host->open("no_such_sink", k22Mono16);
    ASSERT_FALSE(missing.ok());
    EXPECT_EQ(missing.fault().code, errc::kNoAudioDevice);
    EXPECT_NE(missing.fault().message.find("no_such_sink"), std::string::npos);

    auto bad = host->open("", WaveFormat{22050, 24, 1});
    ASSERT_FALSE(bad.ok());
    EXPECT_EQ(bad.fault().code, errc::kUnsupportedFormat);

    // The host is still usable afterwards, on the sink named explicitly.
    EXPECT_TRUE(openOrFail(*host, k22Mono16, "tallamo_null"));
}

// ---------------------------------------------------------------------------------------------------

TEST(PulseHostPlayback, OneSecondPlaysInAboutOneSecondWithASaneClock) {
    REQUIRE_SERVER();
    auto host = makePulseAudioHost();
    auto s = openOrFail(*host, WaveFormat{44100, 16, 2});
    ASSERT_TRUE(s);
    auto data = tone(s->format(), milliseconds(1000));
    const auto start = Clock::now();
    size_t off = 0;
    uint64_t lastPlayed = 0;
    double firstHeardMs = -1;
    while (off < data.size()) {
        auto r = s->write(std::span(data).subspan(off), milliseconds(500));
        ASSERT_TRUE(r.ok()) << r.fault().message;
        off += r.value();
        auto st = stateOf(*s);
        EXPECT_EQ(st.writtenBytes, off);
        EXPECT_LE(st.playedBytes, st.writtenBytes);
        EXPECT_GE(st.playedBytes, lastPlayed);
        EXPECT_EQ(st.playedBytes % 4, 0u) << "played position splits a frame";
        if (firstHeardMs < 0 && st.playedBytes > 0) firstHeardMs = msSince(start);
        lastPlayed = st.playedBytes;
    }
    // Writing is paced by the device: the last byte goes in about one buffer before the end.
    EXPECT_GT(msSince(start), 800.0);
    auto drained = s->drain(milliseconds(3000));
    ASSERT_TRUE(drained.ok());
    EXPECT_TRUE(drained.value());
    const double total = msSince(start);
    EXPECT_GT(total, 950.0);
    EXPECT_LT(total, 1250.0);
    EXPECT_GE(firstHeardMs, 0.0);
    EXPECT_LT(firstHeardMs, 200.0);
    auto st = stateOf(*s);
    EXPECT_EQ(st.playedBytes, data.size());
    EXPECT_EQ(st.writtenBytes, data.size());
}

TEST(PulseHostPlayback, PauseHoldsTheClockAndResumeGoesOn) {
    REQUIRE_SERVER();
    auto host = makePulseAudioHost();
    auto s = openOrFail(*host, k22Mono16);
    ASSERT_TRUE(s);
    auto data = tone(s->format(), milliseconds(600));
    // Feed the first part so playback is under way.
    size_t off = 0;
    const auto start = Clock::now();
    while (msSince(start) < 200) {
        auto r = s->write(std::span(data).subspan(off), milliseconds(100));
        ASSERT_TRUE(r.ok());
        off += r.value();
    }
    ASSERT_TRUE(s->setPaused(true).ok());
    auto held = stateOf(*s);
    EXPECT_TRUE(held.corked);
    EXPECT_GT(held.playedBytes, 0u);
    EXPECT_LT(held.playedBytes, held.writtenBytes);
    // While paused: the clock stands, a full buffer takes nothing more, drain does not finish.
    std::this_thread::sleep_for(milliseconds(250));
    auto later = stateOf(*s);
    EXPECT_EQ(later.playedBytes, held.playedBytes);
    auto w = s->write(std::span(data).subspan(off), milliseconds(50));
    ASSERT_TRUE(w.ok());
    off += w.value();
    auto d = s->drain(milliseconds(100));
    ASSERT_TRUE(d.ok());
    EXPECT_FALSE(d.value());
    EXPECT_EQ(stateOf(*s).playedBytes, held.playedBytes);

    ASSERT_TRUE(s->setPaused(false).ok());
    const auto resumed = Clock::now();
    EXPECT_FALSE(stateOf(*s).corked);
    while (off < data.size()) {
        auto r = s->write(std::span(data).subspan(off), milliseconds(500));
        ASSERT_TRUE(r.ok());
        off += r.value();
    }
    d = s->drain(milliseconds(3000));
    ASSERT_TRUE(d.ok());
    EXPECT_TRUE(d.value());
    EXPECT_EQ(stateOf(*s).playedBytes, data.size());
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
    REQUIRE_SERVER();
    auto host = makePulseAudioHost();
    auto s = openOrFail(*host, k22Mono16);
    ASSERT_TRUE(s);
    auto data = tone(s->format(), milliseconds(300));
    size_t off = 0;
    while (off < data.size() / 2) {
        auto r = s->write(std::span(data).subspan(off), milliseconds(500));
        ASSERT_TRUE(r.ok());
        off += r.value();
    }
    auto before = stateOf(*s);
    ASSERT_LT(before.playedBytes, before.writtenBytes) << "nothing buffered to flush";
    ASSERT_TRUE(s->flush().ok());
    auto after = stateOf(*s);
    EXPECT_EQ(after.writtenBytes, before.writtenBytes);
    EXPECT_EQ(after.playedBytes, after.writtenBytes);
    auto d = s->drain(milliseconds(0));
    ASSERT_TRUE(d.ok());
    EXPECT_TRUE(d.value()) << "nothing left to play after a flush";

    // Playing on after the flush: the new audio takes its real time, and the clock counts it on
    // top of the flushed position without a jump.
    const auto restart = Clock::now();
    EXPECT_EQ(writeAll(*s, data), data.size());
    auto mid = stateOf(*s);
    EXPECT_GE(mid.playedBytes, after.playedBytes);
    EXPECT_EQ(mid.writtenBytes, after.writtenBytes + data.size());
    d = s->drain(milliseconds(3000));
    ASSERT_TRUE(d.ok());
    EXPECT_TRUE(d.value());
    EXPECT_GT(msSince(restart), 250.0);
    auto end = stateOf(*s);
    EXPECT_EQ(end.playedBytes, end.writtenBytes);

    // A flush while paused leaves the stream paused and ready to go on.
    ASSERT_TRUE(s->setPaused(true).ok());
    EXPECT_GT(s->write(data, milliseconds(200)).value(), 0u);
    ASSERT_TRUE(s->flush().ok());
    auto pausedFlush = stateOf(*s);
    EXPECT_EQ(pausedFlush.playedBytes, pausedFlush.writtenBytes);
    ASSERT_TRUE(s->setPaused(false).ok());
    EXPECT_EQ(writeAll(*s, data), data.size());
    d = s->drain(milliseconds(3000));
    ASSERT_TRUE(d.ok());
    EXPECT_TRUE(d.value());
}

TEST(PulseHostPlayback, InterruptWakesABlockedWriteOrDrainAndIsConsumed) {
    REQUIRE_SERVER();
    auto host = makePulseAudioHost();
    auto s = openOrFail(*host, k22Mono16);
    ASSERT_TRUE(s);
    auto data = tone(s->format(), milliseconds(500));
    ASSERT_TRUE(s->setPaused(true).ok());
    // Fill the buffer; a paused stream takes no more, so the next write blocks.
    ASSERT_GT(s->write(data, milliseconds(200)).value(), 0u);

    for (int round = 0; round < 2; ++round) {
        std::thread waker([&] {
            std::this_thread::sleep_for(milliseconds(150));
            s->interrupt();
        });
        const auto start = Clock::now();
        if (round == 0) {
            auto w = s->write(data, milliseconds(10000));
            ASSERT_TRUE(w.ok());
            EXPECT_EQ(w.value(), 0u);
        } else {
            auto d = s->drain(milliseconds(10000));
            ASSERT_TRUE(d.ok());
            EXPECT_FALSE(d.value());
        }
        waker.join();
        EXPECT_GE(msSince(start), 100.0);
        EXPECT_LT(msSince(start), 2000.0);
    }

    // An interrupt with nobody waiting makes the next call return at once, and only that one.
    s->interrupt();
    auto start = Clock::now();
    EXPECT_EQ(s->write(data, milliseconds(5000)).value(), 0u);
    EXPECT_LT(msSince(start), 500.0);
    start = Clock::now();
    EXPECT_EQ(s->write(data, milliseconds(300)).value(), 0u);
    EXPECT_GE(msSince(start), 250.0);
}

TEST(PulseHostPlayback, TwoStreamsPlayAtOnce) {
    REQUIRE_SERVER();
    auto host = makePulseAudioHost();
    auto a = openOrFail(*host, WaveFormat{16000, 16, 1});
    auto b = openOrFail(*host, WaveFormat{11025, 8, 2});
    ASSERT_TRUE(a && b);
    EXPECT_EQ(ourSinkInputSpecs().size(), 2u);
    auto da = tone(a->format(), milliseconds(400));
    auto db = tone(b->format(), milliseconds(400));
    const auto start = Clock::now();
    size_t oa = 0, ob = 0;
    while ((oa < da.size() || ob < db.size()) && msSince(start) < 5000) {
        if (oa < da.size()) oa += a->write(std::span(da).subspan(oa), milliseconds(5)).value();
        if (ob < db.size()) ob += b->write(std::span(db).subspan(ob), milliseconds(5)).value();
    }
    EXPECT_TRUE(a->drain(milliseconds(2000)).value());
    EXPECT_TRUE(b->drain(milliseconds(2000)).value());
    // Played side by side, not one after the other.
    EXPECT_LT(msSince(start), 700.0);
    EXPECT_EQ(stateOf(*a).playedBytes, da.size());
    EXPECT_EQ(stateOf(*b).playedBytes, db.size());
}

TEST(PulseHostPlayback, ClosingAPlayingStreamRemovesItAtOnce) {
    REQUIRE_SERVER();
    auto host = makePulseAudioHost();
    auto s = openOrFail(*host, k22Mono16);
    ASSERT_TRUE(s);
    auto data = tone(s->format(), milliseconds(200));
    ASSERT_GT(s->write(data, milliseconds(200)).value(), 0u);
    const auto start = Clock::now();
    s.reset();
    EXPECT_LT(msSince(start), 100.0);
    EXPECT_TRUE(ourSinkInputSpecs().empty());
    // The host outlives its streams and goes on working.
    EXPECT_FALSE(host->devices().empty());
}

// ---------------------------------------------------------------------------------------------------
// Failure cases on servers of our own.

TEST(PulseHostNoServer, ListsNothingAndFailsToOpenAtOnce) {
    fs::path dir = fs::temp_directory_path() / ("tallamo-no-server-" + std::to_string(getpid()));
    ScopedEnv server("PULSE_SERVER", "unix:" + (dir / "native").string());
    auto host = makePulseAudioHost();
    auto start = Clock::now();
    EXPECT_TRUE(host->devices().empty());
    EXPECT_LT(msSince(start), 500.0);
    start = Clock::now();
    auto r = host->open("", k22Mono16);
    EXPECT_LT(msSince(start), 500.0);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.fault().code, errc::kNoAudioDevice);
    EXPECT_NE(r.fault().message.find("audio"), std::string::npos) << r.fault().message;
}

// A PulseAudio daemon with one null sink on a socket in a private folder, stopped by its PID.
class PrivateServer {
public:
    explicit PrivateServer(const fs::path& dir) : dir_(dir) {
        fs::create_directories(dir_ / "runtime");
        fs::create_directories(dir_ / "config");
        fs::create_directories(dir_ / "home");
        fs::permissions(dir_ / "runtime", fs::perms::owner_all, fs::perm_options::replace);
        std::vector<std::string> env;
        for (char** e = environ; *e; ++e) {
            std::string var = *e;
            if (var.rfind("PULSE_SERVER=", 0) == 0 || var.rfind("HOME=", 0) == 0 ||
                var.rfind("XDG_RUNTIME_DIR=", 0) == 0 || var.rfind("XDG_CONFIG_HOME=", 0) == 0)
                continue;
            env.push_back(var);
        }
        env.push_back("HOME=" + (dir_ / "home").string());
        env.push_back("XDG_RUNTIME_DIR=" + (dir_ / "runtime").string());
        env.push_back("XDG_CONFIG_HOME=" + (dir_ / "config").string());
        std::vector<std::string> args = {"pulseaudio",
                                         "-n",
                                         "--daemonize=no",
                                         "--use-pid-file=no",
                                         "--exit-idle-time=-1",
                                         "--disallow-exit",
                                         "--log-target=file:" + (dir_ / "pulse.log").string(),
                                         "-L",
                                         "module-null-sink sink_name=private_null rate=48000",
                                         "-L",
                                         "module-native-protocol-unix socket=" + (dir_ / "native").string() +
                                             " auth-anonymous=1"};
        std::vector<char*> argv, envp;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        for (auto& e : env) envp.push_back(e.data());
        envp.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        if (posix_spawnp(&pid_, "pulseaudio", &actions, nullptr, argv.data(), envp.data()) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
    }
    ~PrivateServer() { kill(); }
    PrivateServer(const PrivateServer&) = delete;
    PrivateServer& operator=(const PrivateServer&) = delete;

    std::string address() const { return "unix:" + (dir_ / "native").string(); }
    bool started() const { return pid_ > 0; }

    void freeze() const { ::kill(pid_, SIGSTOP); }
    void thaw() const { ::kill(pid_, SIGCONT); }

    void kill() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

private:
    fs::path dir_;
    pid_t pid_ = -1;
};

// Polls the host until the server lists its sinks.
bool waitForSinks(AudioHost& host, size_t count = 1) {
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (Clock::now() < deadline) {
        if (host.devices().size() >= count) return true;
        std::this_thread::sleep_for(milliseconds(50));
    }
    return false;
}

class PulseHostLoss : public ::testing::Test {
protected:
    void SetUp() override {
        if (runCommand("command -v pulseaudio").empty()) GTEST_SKIP() << "pulseaudio is not installed";
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

TEST_F(PulseHostLoss, SinkRemovedThenServerKilledFaultsAtOnceAndReconnectsLater) {
    auto server = std::make_unique<PrivateServer>(dir_ / "a");
    ASSERT_TRUE(server->started());
    ScopedEnv env("PULSE_SERVER", server->address());
    auto host = makePulseAudioHost();
    ASSERT_TRUE(waitForSinks(*host)) << "private pulseaudio did not start";

    // A second sink that is then removed under a stream playing on it.
    std::string module = runCommand("pactl -s " + server->address() +
                                    " load-module module-null-sink sink_name=doomed_out 2>/dev/null");
    ASSERT_FALSE(module.empty());
    ASSERT_TRUE(waitForSinks(*host, 2));
    auto onDoomed = openOrFail(*host, k22Mono16, "doomed_out");
    auto onDefault = openOrFail(*host, k22Mono16);
    ASSERT_TRUE(onDoomed && onDefault);
    auto data = tone(k22Mono16, milliseconds(300));
    ASSERT_GT(onDoomed->write(data, milliseconds(200)).value(), 0u);
    runCommand("pactl -s " + server->address() + " unload-module " + module);
    auto start = Clock::now();
    Result<PlaybackState> st = onDoomed->state();
    while (st.ok() && msSince(start) < 2000) {
        std::this_thread::sleep_for(milliseconds(5));
        st = onDoomed->state();
    }
    ASSERT_FALSE(st.ok()) << "a removed sink was not noticed";
    EXPECT_EQ(st.fault().code, errc::kDeviceLost);
    EXPECT_FALSE(st.fault().message.empty());
    EXPECT_FALSE(onDoomed->write(data, milliseconds(100)).ok());
    EXPECT_FALSE(onDoomed->flush().ok());
    EXPECT_TRUE(onDefault->state().ok()) << "the other sink's stream must go on";

    // The server dies while a write is blocked on a full, paused stream.
    ASSERT_TRUE(onDefault->setPaused(true).ok());
    ASSERT_GT(onDefault->write(data, milliseconds(200)).value(), 0u);
    Result<size_t> blocked = size_t{0};
    std::thread writer([&] { blocked = onDefault->write(data, milliseconds(10000)); });
    std::this_thread::sleep_for(milliseconds(100));
    start = Clock::now();
    server->kill();
    writer.join();
    EXPECT_LT(msSince(start), 2000.0);
    ASSERT_FALSE(blocked.ok());
    EXPECT_EQ(blocked.fault().code, errc::kDeviceLost);

    start = Clock::now();
    EXPECT_EQ(onDefault->state().fault().code, errc::kDeviceLost);
    EXPECT_EQ(onDefault->setPaused(false).fault().code, errc::kDeviceLost);
    EXPECT_EQ(onDefault->flush().fault().code, errc::kDeviceLost);
    EXPECT_EQ(onDefault->drain(milliseconds(5000)).fault().code, errc::kDeviceLost);
    EXPECT_TRUE(host->devices().empty());
    auto refused = host->open("", k22Mono16);
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.fault().code, errc::kNoAudioDevice);
    EXPECT_LT(msSince(start), 1000.0);
    onDoomed.reset();
    onDefault.reset();

    // A server back at the same address: the same host connects again.
    server = std::make_unique<PrivateServer>(dir_ / "a");
    ASSERT_TRUE(server->started());
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
    auto data = tone(k22Mono16, milliseconds(300));
    ASSERT_GT(s->write(data, milliseconds(200)).value(), 0u);

    server.freeze();
    // A request that needs an answer gives up after about two seconds...
    auto start = Clock::now();
    auto flushed = s->flush();
    EXPECT_LT(msSince(start), 3000.0);
    ASSERT_FALSE(flushed.ok());
    EXPECT_EQ(flushed.fault().code, errc::kDeviceLost);
    // ...and from then on every call fails at once.
    start = Clock::now();
    EXPECT_FALSE(s->state().ok());
    EXPECT_FALSE(s->setPaused(true).ok());
    EXPECT_FALSE(s->write(data, milliseconds(1000)).ok());
    EXPECT_FALSE(s->drain(milliseconds(1000)).ok());
    EXPECT_LT(msSince(start), 200.0);
    // A fresh connection attempt is capped as well.
    start = Clock::now();
    EXPECT_TRUE(host->devices().empty());
    EXPECT_LT(msSince(start), 3000.0);
    start = Clock::now();
    s.reset();
    EXPECT_LT(msSince(start), 200.0) << "closing must not wait for the server";

    // Once it answers again, the host connects afresh.
    server.thaw();
    EXPECT_TRUE(waitForSinks(*host));
    EXPECT_TRUE(openOrFail(*host, k22Mono16));
}

}  // namespace
}  // namespace speech
