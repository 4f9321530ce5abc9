// SPDX-License-Identifier: GPL-3.0-or-later
// tallamo-say's renders and playback: the events it prints, every output format, what a failure or a
// stop leaves behind.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "tests/support/audio_server.h"
#include "tests/support/test_files.h"
#include "tests/tools/say/say_process.h"

namespace fs = std::filesystem;
using namespace say_test;

TEST(Say, RendersAFileAndPrintsEachEventAsJson) {
    const fs::path wav = fs::temp_directory_path() / ("tallamo-say-" + std::to_string(::getpid()) + ".wav");
    SayRun r = runSay({"--output", wav.string(), "--format", "SAFT48kHz16BitStereo", "--events", "--voice", "0",
                       "Hello there. Second sentence."});
    ASSERT_EQ(r.status, 0) << r.err;
    auto lines = r.lines();
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(lines.front().rfind("{\"event\":\"StartStream\",\"stream\":1,\"position\":0,\"ms\":0}", 0), 0u);
    EXPECT_EQ(lines.back().rfind("{\"event\":\"EndStream\",\"stream\":1,", 0), 0u);
    int words = 0;
    for (const auto& l : lines) {
        EXPECT_EQ(l.front(), '{');
        EXPECT_EQ(l.back(), '}');
        if (l.find("\"event\":\"Word\"") != std::string::npos) {
            ++words;
            EXPECT_NE(l.find("\"pos\":"), std::string::npos) << l;
            EXPECT_NE(l.find("\"length\":"), std::string::npos) << l;
        }
    }
    EXPECT_EQ(words, 4);
    EXPECT_NE(r.out.find("{\"event\":\"Word\",\"stream\":1,\"position\":"), std::string::npos);
    // Every kind is printed, the ones a voice leaves out by default included.
    EXPECT_NE(r.out.find("{\"event\":\"AudioLevel\",\"stream\":1,"), std::string::npos);
    EXPECT_NE(r.out.find("{\"event\":\"EnginePrivate\",\"stream\":1,"), std::string::npos);
    SF_INFO info{};
    SNDFILE* f = sf_open(wav.c_str(), SFM_READ, &info);
    ASSERT_NE(f, nullptr);
    sf_close(f);
    EXPECT_EQ(info.samplerate, 48000);
    EXPECT_EQ(info.channels, 2);
    EXPECT_GT(info.frames, 48000);
    fs::remove(wav);
}

TEST(Say, ARenderTheEngineCannotFinishExitsOneWithTheReason) {
    const fs::path wav = fs::temp_directory_path() / ("tallamo-say-failed-" + std::to_string(::getpid()) + ".wav");
    // The engine double is killed on every reading of the marked sentence.
    SayRun r = runSay({"--output", wav.string(), "Fine. Then \U0001F4A5 here."}, "/dev/null",
                      "TALLAMO_ENGINE=" + quote(TALLAMO_ENGINE_DOUBLE));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("failed twice"), std::string::npos) << r.err;
    fs::remove(wav);
}

TEST(Say, CtrlCStopsRealTimePlaybackCleanly) {
    TALLAMO_NEED_AUDIO_SERVER();
    LiveSay say;
    ASSERT_TRUE(say.started());
    // Wait for the first event, i.e. until the device plays.
    say.readUntil("\n");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const auto start = std::chrono::steady_clock::now();
    ::kill(say.pid(), SIGINT);
    const int status = say.finish();
    std::string got = say.output();
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    ASSERT_TRUE(WIFEXITED(status)) << "killed by a signal";
    EXPECT_EQ(WEXITSTATUS(status), 130);
    EXPECT_LT(ms, 2000);
    EXPECT_EQ(got.rfind("{\"event\":\"StartStream\"", 0), 0u);
    while (!got.empty() && got.back() == '\n') got.pop_back();
    EXPECT_EQ(got.substr(got.rfind('\n') + 1).rfind("{\"event\":\"EndStream\"", 0), 0u) << got.substr(got.size() - 200);
}

namespace {

// A PulseAudio daemon of the test's own, with a null sink, that can be taken away in mid-speech.
class PrivateAudioServer {
public:
    PrivateAudioServer() {
        for (const char* sub : {"runtime", "config", "home"}) fs::create_directories(fs::path(dir_.path()) / sub);
        fs::permissions(fs::path(dir_.path()) / "runtime", fs::perms::owner_all);
        pid_ = ::fork();
        if (pid_ == 0) {
            ::setenv("HOME", dir_.file("home").c_str(), 1);
            ::setenv("XDG_RUNTIME_DIR", dir_.file("runtime").c_str(), 1);
            ::setenv("XDG_CONFIG_HOME", dir_.file("config").c_str(), 1);
            const int null = ::open("/dev/null", O_WRONLY);
            ::dup2(null, 1);
            ::dup2(null, 2);
            const std::string socket = "module-native-protocol-unix auth-anonymous=1 socket=" + dir_.file("native");
            ::execlp("pulseaudio", "pulseaudio", "-n", "--daemonize=no", "--use-pid-file=no", "--exit-idle-time=-1",
                     "--disallow-exit", "-L", "module-null-sink sink_name=private_null", "-L", socket.c_str(),
                     static_cast<char*>(nullptr));
            ::_exit(127);
        }
    }
    ~PrivateAudioServer() { stop(); }

    std::string address() const { return "unix:" + dir_.file("native"); }
    // Waits (up to ten seconds) until the server lists its sink.
    bool ready() const {
        const std::string probe = "PULSE_SERVER=" + quote(address()) + " pactl list short sinks 2>/dev/null";
        for (int i = 0; i < 200; ++i) {
            FILE* p = ::popen(probe.c_str(), "r");
            std::string out;
            char buf[256];
            for (size_t n; p && (n = std::fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
            if (p) ::pclose(p);
            if (out.find("private_null") != std::string::npos) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }
    void stop() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

private:
    testing_support::TempDir dir_;
    pid_t pid_ = -1;
};

}  // namespace

TEST(Say, PlaybackWhoseAudioServerGoesAwayExitsOneWithTheReason) {
    TALLAMO_SKIP_UNLESS_AUDIO(std::system("command -v pulseaudio >/dev/null 2>&1") == 0, "pulseaudio is not installed");
    PrivateAudioServer server;
    ASSERT_TRUE(server.ready());
    LiveSay say(server.address());
    ASSERT_TRUE(say.started());
    // Once a word is heard, the server goes.
    say.readUntil("\"Word\"");
    server.stop();
    const int status = say.finish();
    ASSERT_TRUE(WIFEXITED(status)) << "killed by a signal";
    EXPECT_EQ(WEXITSTATUS(status), 1) << say.err();
    EXPECT_NE(say.err().find("stopped working"), std::string::npos) << say.err();
    EXPECT_NE(say.output().find("\"EndStream\""), std::string::npos);
}

namespace {

const char* kRoundTripText =
    "Saving speech in many formats keeps its length. This sentence is here to make it a little longer. "
    "And one more sentence ends it.";

}  // namespace

TEST(Say, EachExtensionRoundTripsAtTheLengthOfTheWavRender) {
    Folder dir;
    struct Case {
        std::string file;
        const char* format;
        int rate, channels, type;
    };
    const std::vector<Case> cases = {
        {"a.wav", "SAFT22kHz16BitMono", 22050, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_16},
        {"b.flac", "SAFT22kHz16BitMono", 22050, 1, SF_FORMAT_FLAC | SF_FORMAT_PCM_16},
        {"c.FLAC", "SAFT8kHz8BitMono", 8000, 1, SF_FORMAT_FLAC | SF_FORMAT_PCM_S8},
        {"d.ogg", "SAFT44kHz16BitStereo", 44100, 2, SF_FORMAT_OGG | SF_FORMAT_VORBIS},
        {"e.oga", "SAFT22kHz16BitMono", 22050, 1, SF_FORMAT_OGG | SF_FORMAT_VORBIS},
        {"f.opus", "SAFT22kHz16BitMono", 48000, 1, SF_FORMAT_OGG | SF_FORMAT_OPUS},
        {"g.mp3", "SAFT22kHz16BitMono", 22050, 1, SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III},
    };
    double wavSeconds = 0;
    for (const auto& c : cases) {
        SayRun r = runSay({"--output", dir / c.file, "--format", c.format, kRoundTripText});
        ASSERT_EQ(r.status, 0) << c.file << ": " << r.err;
        const Rendered got = infoOf(dir / c.file);
        EXPECT_EQ(got.rate, c.rate) << c.file;
        EXPECT_EQ(got.channels, c.channels) << c.file;
        EXPECT_EQ(got.type, c.type) << c.file;
        if (wavSeconds == 0) wavSeconds = got.seconds;
        EXPECT_NEAR(got.seconds, wavSeconds, wavSeconds * 0.01) << c.file;
    }
    EXPECT_GT(wavSeconds, 5.0);
}

// Bad use is a usage error (status 2), and a refused text or a failed write a failure (status 1);
// none touches an existing file of the name given, nor leaves anything beside it.
TEST(Say, BadUseAndRefusedTextsLeaveTheEarlierFile) {
    Folder dir;
    const std::string keep = dir / "keep.wav";
    ASSERT_EQ(runSay({"--output", keep, "An earlier render."}).status, 0);
    const std::string before = readAll(keep);
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string says;
        std::string shell = {};  // run before the tool, in its shell
        std::string input = "/dev/null";
    };
    const std::vector<Case> cases = {
        {{"--output", dir / "x.aiff", "text"}, 2, ".wav .flac .ogg .oga .opus .mp3"},
        {{"--output", keep, "--quality", "5", "text"}, 2, "--quality"},
        {{"--output", dir / "x.ogg", "--quality", "11", "text"}, 2, "--quality"},
        {{"--output", keep, "--timings", dir / "t.txt", "text"}, 2, ".srt .vtt .lrc .json"},
        {{"--output", "-", "--events", "text"}, 2, "--events"},
        {{"--output", keep, "--timings-unit", "line", "text"}, 2, "word or sentence"},
        {{"--output", dir / "parts/", "--file", "-", "--chapters"}, 2, "--chapters needs --file DOCUMENT"},
        {{"--output", keep, "--chapters-format", "flac", "text"}, 2, "goes with --chapters"},
        {{"--output", keep, "--flags", "8", "Fine. <rate speed=\"2\">closed wrongly</volume>"}, 1, "XML"},
        {{"--output", keep, "--file", dir / "missing.txt"}, 1, "missing.txt"},
        {{"--output", keep, "--voice", "99999999999999999999", "text"}, 1, "no voice 99999999999999999999"},
        // Input that never ends and is no text is refused from its first bytes, not read into memory.
        {{"--output", keep}, 1, "standard input is neither a text nor a document", "", "/dev/zero"},
        // A file-size limit below the render (the engine workers live under it too).
        {{"--output", keep, "This render takes more room than the limit on the size of a file allows."},
         1,
         "File too large",
         "ulimit -f 64;"},
    };
    for (const auto& c : cases) {
        SayRun r = runSay(c.args, c.input, c.shell);
        EXPECT_EQ(r.status, c.status) << c.args[1] << ": " << r.err;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
        EXPECT_EQ(readAll(keep), before);
        EXPECT_EQ(std::distance(fs::directory_iterator(dir.path), fs::directory_iterator()), 1);
    }
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    // Out of address space in the lanes, the writer or the job, whichever runs out first. Which limit
    // runs out where depends on how the threads' stacks and memory arenas fall, so a few are tried:
    // each render completes, or fails with status 1 leaving the earlier file and nothing else, and
    // never aborts; some run out of memory. (The sanitizers reserve far more address space.)
    int outOfMemory = 0;
    for (int limit = 80000; limit <= 110000; limit += 2000) {
        fs::copy_file(keep, dir / "big.wav", fs::copy_options::overwrite_existing);
        SayRun r = runSay({"--output", dir / "big.wav", "--jobs", "8", "--format", "SAFT48kHz16BitStereo"},
                          TALLAMO_SOURCE_DIR "/platform/data/samples/common/english.txt",
                          "ulimit -v " + std::to_string(limit) + ";");
        ASSERT_TRUE(r.status == 0 || r.status == 1) << limit << ": " << r.status << " " << r.err;
        if (r.status == 1) {
            EXPECT_EQ(readAll(dir / "big.wav"), before) << limit;
            outOfMemory += r.err.find("not enough memory") != std::string::npos;
        }
        EXPECT_EQ(std::distance(fs::directory_iterator(dir.path), fs::directory_iterator()), 2) << limit;
    }
    EXPECT_GT(outOfMemory, 0);
#endif
}

TEST(Say, ARenderStoppedBySignalLeavesTheEarlierFileAndNothingElse) {
    Folder dir;
    const std::string keep = dir / "keep.wav";
    ASSERT_EQ(runSay({"--output", keep, "An earlier render."}).status, 0);
    const std::string before = readAll(keep);
    // SIGKILL cannot be caught: the file being written must vanish by itself.
    for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGKILL}) {
        SCOPED_TRACE(signal);
        LiveSay render({}, {"--output", keep});
        ASSERT_TRUE(render.started());
        render.readUntil("\n");  // rendering
        ::kill(render.pid(), signal);
        const int status = render.finish();
        if (signal == SIGKILL) {
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
        } else {
            ASSERT_TRUE(WIFEXITED(status)) << "killed by the signal";
            EXPECT_EQ(WEXITSTATUS(status), 128 + signal);
        }
        EXPECT_EQ(readAll(keep), before);
        EXPECT_EQ(std::distance(fs::directory_iterator(dir.path), fs::directory_iterator()), 1) << "a file left";
    }
}

TEST(Say, WritesAWavStreamOfUnknownLengthToStandardOutput) {
    Folder dir;
    SayRun piped = runSay({"--output", "-", "--format", "SAFT16kHz16BitStereo", "你好，世界。"});
    ASSERT_EQ(piped.status, 0) << piped.err;
    ASSERT_EQ(runSay({"--output", dir / "file.wav", "--format", "SAFT16kHz16BitStereo", "你好，世界。"}).status, 0);
    const std::string file = readAll(dir / "file.wav");
    ASSERT_GT(piped.out.size(), 44u);
    EXPECT_EQ(piped.out.substr(0, 4), "RIFF");
    EXPECT_EQ(piped.out.substr(4, 4), std::string(4, '\xFF'));
    EXPECT_EQ(piped.out.substr(12, 24), file.substr(12, 24));  // the same format chunk
    EXPECT_EQ(piped.out.substr(36, 8), "data" + std::string(4, '\xFF'));
    EXPECT_TRUE(piped.out.substr(44) == file.substr(44)) << "the samples differ from the file's";
}
