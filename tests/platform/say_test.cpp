// The command-line tool, run as a separate process.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sndfile.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/doubles.h"

namespace fs = std::filesystem;

namespace {

struct SayRun {
    int status = -1;
    std::string out;
    std::string err;
    std::vector<std::string> lines() const {
        std::vector<std::string> v;
        std::istringstream in(out);
        for (std::string l; std::getline(in, l);) v.push_back(l);
        return v;
    }
};

std::string quote(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// Runs tallamo-say with `args`, and `environment` ("NAME=value" words) before it.
SayRun say(const std::vector<std::string>& args, const std::string& environment = {}) {
    const fs::path errFile = fs::temp_directory_path() / ("tallamo-say-err-" + std::to_string(::getpid()));
    std::string cmd = environment + " " + quote(TALLAMO_SAY);
    for (const auto& a : args) cmd += " " + quote(a);
    cmd += " 2>" + quote(errFile.string());
    SayRun r;
    FILE* p = ::popen(cmd.c_str(), "r");
    if (!p) return r;
    char buf[4096];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) r.out.append(buf, n);
    const int status = ::pclose(p);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::ifstream e(errFile);
    r.err.assign(std::istreambuf_iterator<char>(e), {});
    fs::remove(errFile);
    return r;
}

// tallamo-say speaking a long text in real time with --events (on `pulseServer` when given), its
// output read as it comes.
class LiveSay {
public:
    explicit LiveSay(const std::string& pulseServer = {}) {
        int out[2];
        if (::pipe(out) != 0) return;
        pid_ = ::fork();
        if (pid_ == 0) {
            if (!pulseServer.empty()) ::setenv("PULSE_SERVER", pulseServer.c_str(), 1);
            ::dup2(out[1], 1);
            const int err = ::open(errFile_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            ::dup2(err, 2);
            ::close(out[0]);
            ::close(out[1]);
            std::string text;
            for (int i = 0; i < 100; ++i) text += "This goes on for a long while. ";
            ::execl(TALLAMO_SAY, TALLAMO_SAY, "--events", text.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(out[1]);
        out_ = out[0];
    }
    ~LiveSay() {
        if (out_ >= 0) ::close(out_);
        fs::remove(errFile_);
    }
    bool started() const { return pid_ > 0 && out_ >= 0; }
    pid_t pid() const { return pid_; }
    // Reads the output until it holds `text` (or ends).
    void readUntil(const std::string& text) {
        char buf[4096];
        for (ssize_t n; got_.find(text) == std::string::npos && (n = ::read(out_, buf, sizeof buf)) > 0;)
            got_.append(buf, static_cast<size_t>(n));
    }
    // Reads to the end and waits for the program; returns its wait status.
    int finish() {
        readUntil(std::string(1, '\0'));
        int status = 0;
        ::waitpid(pid_, &status, 0);
        return status;
    }
    const std::string& output() const { return got_; }
    std::string err() const {
        std::ifstream e(errFile_);
        return std::string(std::istreambuf_iterator<char>(e), {});
    }

private:
    const fs::path errFile_ = fs::temp_directory_path() / ("tallamo-say-live-" + std::to_string(::getpid()));
    pid_t pid_ = -1;
    int out_ = -1;
    std::string got_;
};

}  // namespace

TEST(Say, ListsFormatsAndVoicesInTableAndCollectionOrder) {
    SayRun formats = say({"--list-formats"});
    ASSERT_EQ(formats.status, 0) << formats.err;
    auto lines = formats.lines();
    ASSERT_EQ(lines.size(), 36u);
    EXPECT_EQ(lines.front(), "SAFT8kHz8BitMono\t4");
    EXPECT_EQ(lines[18], "SAFT22kHz16BitMono\t22");
    EXPECT_EQ(lines.back(), "SAFT48kHz16BitStereo\t39");

    SayRun voices = say({"--list-voices"});
    ASSERT_EQ(voices.status, 0) << voices.err;
    std::set<std::string> seen;
    lines = voices.lines();
    ASSERT_GT(lines.size(), 2u);
    for (size_t i = 0; i < lines.size(); ++i) {
        const auto tab = lines[i].find('\t');
        ASSERT_NE(tab, std::string::npos) << lines[i];
        EXPECT_EQ(lines[i].substr(0, tab), std::to_string(i));
        EXPECT_TRUE(seen.insert(lines[i].substr(tab + 1)).second) << "repeated " << lines[i];
    }
    EXPECT_TRUE(seen.count("Chinese (Mandarin)"));
}

TEST(Say, RendersAFileAndPrintsEachEventAsJson) {
    const fs::path wav = fs::temp_directory_path() / ("tallamo-say-" + std::to_string(::getpid()) + ".wav");
    SayRun r = say({"--output", wav.string(), "--format", "SAFT48kHz16BitStereo", "--events", "--voice", "0",
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

TEST(Say, ReportsBadUseAndBadFilesOnStderrWithAFailingStatus) {
    SayRun unknown = say({"--no-such-option"});
    EXPECT_NE(unknown.status, 0);
    EXPECT_NE(unknown.err.find("--no-such-option"), std::string::npos) << unknown.err;
    EXPECT_TRUE(unknown.out.empty());

    SayRun missing = say({"--output", "/tmp/x.wav", "--file", "/nonexistent/tallamo/text.txt"});
    EXPECT_NE(missing.status, 0);
    EXPECT_NE(missing.err.find("/nonexistent/tallamo/text.txt"), std::string::npos) << missing.err;

    SayRun format = say({"--output", "/tmp/x.wav", "--format", "99", "text"});
    EXPECT_NE(format.status, 0);
    EXPECT_FALSE(format.err.empty());

    SayRun folder = say({"--output", "/nonexistent/folder/x.wav", "text"});
    EXPECT_NE(folder.status, 0);
    EXPECT_NE(folder.err.find("/nonexistent/folder/x.wav"), std::string::npos) << folder.err;

    SayRun jobs = say({"--jobs", "0", "text"});
    EXPECT_EQ(jobs.status, 2);
    EXPECT_NE(jobs.err.find("--jobs"), std::string::npos) << jobs.err;
}

TEST(Say, ARenderTheEngineCannotFinishExitsOneWithTheReason) {
    const fs::path wav = fs::temp_directory_path() / ("tallamo-say-failed-" + std::to_string(::getpid()) + ".wav");
    // The engine double is killed on every reading of the marked sentence.
    SayRun r = say({"--output", wav.string(), "Fine. Then \U0001F4A5 here."}, "TALLAMO_ENGINE=" + quote(TALLAMO_ENGINE_DOUBLE));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("failed twice"), std::string::npos) << r.err;
    fs::remove(wav);
}

TEST(Say, CtrlCStopsRealTimePlaybackCleanly) {
    if (!std::getenv("PULSE_SERVER")) GTEST_SKIP() << "no test audio server (PULSE_SERVER unset)";
    LiveSay say;
    ASSERT_TRUE(say.started());
    // Wait for the first event, i.e. until the device plays.
    say.readUntil("\n");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const auto start = std::chrono::steady_clock::now();
    ::kill(say.pid(), SIGINT);
    const int status = say.finish();
    std::string got = say.output();
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
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
    if (std::system("command -v pulseaudio >/dev/null 2>&1") != 0) GTEST_SKIP() << "pulseaudio is not installed";
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
