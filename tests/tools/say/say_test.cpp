// SPDX-License-Identifier: GPL-3.0-or-later
// The command-line tool, run as a separate process.
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

#include <espeak-ng/espeak_ng.h>

#include "tests/support/document_fixtures.h"
#include "tests/support/test_files.h"

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

// Runs the tool with `args`; standard input comes from the file `input`, or is empty; `environment`
// ("NAME=value" words) goes before it.
SayRun say(const std::vector<std::string>& args, const fs::path& input = "/dev/null",
           const std::string& environment = {}, const fs::path& program = TALLAMO_SAY) {
    const fs::path errFile = fs::temp_directory_path() / ("tallamo-say-err-" + std::to_string(::getpid()));
    std::string cmd = environment + " " + quote(program.string());
    for (const auto& a : args) cmd += " " + quote(a);
    cmd += " <" + quote(input.string()) + " 2>" + quote(errFile.string());
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

// tallamo-say speaking a long text in real time with --events (on `pulseServer` when given), or
// rendering it with the options `render` gives (and without a text of its own when they name a file),
// its output read as it comes.
class LiveSay {
public:
    explicit LiveSay(const std::string& pulseServer = {}, const std::vector<std::string>& render = {},
                     bool withText = true) {
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
            for (int i = 0; i < (render.empty() ? 100 : 3000); ++i) text += "This goes on for a long while. ";
            std::vector<const char*> argv{TALLAMO_SAY, "--events"};
            for (const auto& a : render) argv.push_back(a.c_str());
            if (withText) argv.push_back(text.c_str());
            argv.push_back(nullptr);
            ::execv(TALLAMO_SAY, const_cast<char* const*>(argv.data()));
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

std::string readBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

}  // namespace

TEST(Say, AnswersHelpVersionAndBadUseWithTheDocumentedStatus) {
    struct Case {
        std::vector<std::string> args;
        int status;
        bool onStdout;
        std::string shown;
    };
    const Case cases[] = {
        {{"--help"}, 0, true, "Exit status:"},
        {{"-h"}, 0, true, "--list-voices"},
        {{"--version"}, 0, true, "tallamo-say (Tallamo) "},
        {{"--rate"}, 2, false, "--rate needs a value"},
        {{"--rate=fast", "text"}, 2, false, "--rate needs a number, not \"fast\""},
        {{"--events=yes", "text"}, 2, false, "--events takes no value"},
        {{"one", "two"}, 2, false, "one TEXT only"},
        {{"--file", "a.txt", "text"}, 2, false, "not both"},
        {{"--output", "/nonexistent/folder/x.wav", "--rate=3", "text"}, 1, false, "/nonexistent/folder/x.wav"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.front());
        const SayRun r = say(c.args);
        EXPECT_EQ(r.status, c.status) << r.err;
        EXPECT_NE((c.onStdout ? r.out : r.err).find(c.shown), std::string::npos) << r.out << r.err;
        if (c.status == 2) {
            EXPECT_NE(r.err.find("--help"), std::string::npos) << "a hint to --help";
        }
    }
}

TEST(Say, ReadsStandardInputLikeATextFile) {
    const fs::path dir = fs::temp_directory_path() / ("tallamo-say-stdin-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    const std::string text = "你好，世界。Hello.";
    ASSERT_EQ(say({"--output", (dir / "arg.wav").string(), text}).status, 0);
    const std::string expected = readBytes(dir / "arg.wav");
    ASSERT_GT(expected.size(), 44u);

    // UTF-8, UTF-16LE with its byte-order mark, and GB18030 (no mark, not UTF-8).
    std::string utf16 = "\xFF\xFE";
    for (char16_t u : u"你好，世界。Hello.") {
        if (u == 0) break;
        utf16 += static_cast<char>(u & 0xFF);
        utf16 += static_cast<char>(u >> 8);
    }
    struct Case {
        std::string bytes;
        std::vector<std::string> extra;
        std::string shell = {};  // run before the tool, in its shell
    };
    const std::string gb18030 = "\xC4\xE3\xBA\xC3\xA3\xAC\xCA\xC0\xBD\xE7\xA1\xA3Hello.";
    // A named pipe can be read once only, and opening it again waits for a writer that never comes.
    const std::string fifo = (dir / "fifo").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string writer = "(cat " + quote((dir / "in.txt").string()) + " >" + quote(fifo) + " &);";
    const std::string srt = (dir / "t.srt").string();
    const Case cases[] = {{text, {}},
                          {text, {"--file", "-"}},
                          {utf16, {}},
                          {gb18030, {}},
                          {gb18030, {"--file", fifo}, writer},
                          {text, {"--file", fifo, "--timings", srt}, writer}};
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(i);
        std::ofstream(dir / "in.txt", std::ios::binary) << cases[i].bytes;
        std::vector<std::string> args{"--output", (dir / "in.wav").string()};
        args.insert(args.end(), cases[i].extra.begin(), cases[i].extra.end());
        const SayRun r = say(args, dir / "in.txt", cases[i].shell);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(readBytes(dir / "in.wav") == expected) << "not the audio of the same text given as an argument";
    }

    // A document on standard input is read as one whose file is named, not decoded as text.
    fixtures::writeFile((dir / "book.epub").string(), fixtures::epub({{"第一章", {"你好。"}}, {"Two", {"Hello."}}}));
    ASSERT_EQ(say({"--output", (dir / "named.wav").string(), "--file", (dir / "book.epub").string()}).status, 0);
    const SayRun piped =
        say({"--output", (dir / "piped.wav").string(), "--timings", (dir / "t.srt").string()}, dir / "book.epub");
    ASSERT_EQ(piped.status, 0) << piped.err;
    EXPECT_TRUE(readBytes(dir / "piped.wav") == readBytes(dir / "named.wav"));
    EXPECT_NE(readBytes(dir / "t.srt").find("\n第一章\n"), std::string::npos) << readBytes(dir / "t.srt");
    fs::remove_all(dir);
}

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

// espeak-ng loads a voice whose dictionary is missing and reads everything as silence: such a voice is
// not offered. Cantonese names its dictionary in its voice file; Hungarian's comes from its language.
TEST(Say, LeavesOutVoicesWhoseDictionaryIsMissing) {
    espeak_ng_InitializePath(nullptr);  // where espeak-ng finds its data, without starting the engine
    const char* installed = nullptr;
    espeak_Info(&installed);
    ASSERT_NE(installed, nullptr);
    const fs::path root = fs::temp_directory_path() / ("tallamo-espeak-data-" + std::to_string(::getpid()));
    fs::create_directories(root / "espeak-ng-data");
    for (const auto& entry : fs::directory_iterator(installed)) {
        const std::string name = entry.path().filename().string();
        if (name != "hu_dict" && name != "yue_dict") fs::create_symlink(entry.path(), root / "espeak-ng-data" / name);
    }
    auto names = [](const SayRun& run) {
        std::set<std::string> out;
        for (const auto& line : run.lines()) out.insert(line.substr(line.find('\t') + 1));
        return out;
    };
    const SayRun all = say({"--list-voices"});
    const SayRun some = say({"--list-voices"}, "/dev/null", "ESPEAK_DATA_PATH=" + quote(root.string()));
    fs::remove_all(root);
    ASSERT_EQ(some.status, 0) << some.err;
    std::set<std::string> expected = names(all);
    for (const char* gone : {"Hungarian", "Chinese (Cantonese)", "Chinese (Cantonese, latin as Jyutping)"})
        EXPECT_EQ(expected.erase(gone), 1u) << gone;
    EXPECT_EQ(names(some), expected);
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

TEST(Say, NoMixedScriptLeavesEnglishWordsToTheMandarinVoice) {
    const fs::path wav = fs::temp_directory_path() / ("tallamo-say-mixed-" + std::to_string(::getpid()) + ".wav");
    auto phonemes = [&](bool mixed) {
        std::vector<std::string> args{"--output", wav.string(),         "--events",
                                      "--voice",  "Chinese (Mandarin)", "我用editor"};
        if (!mixed) args.insert(args.begin(), "--no-mixed-script");
        SayRun r = say(args);
        EXPECT_EQ(r.status, 0) << r.err;
        std::string out;
        for (const auto& l : r.lines()) {
            if (l.find("\"event\":\"Phoneme\"") != std::string::npos) out += l.substr(l.find("\"current\""));
        }
        return out;
    };
    const std::string mixed = phonemes(true);
    EXPECT_FALSE(mixed.empty());
    EXPECT_NE(mixed, phonemes(false));
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
    SayRun r = say({"--output", wav.string(), "Fine. Then \U0001F4A5 here."}, "/dev/null",
                   "TALLAMO_ENGINE=" + quote(TALLAMO_ENGINE_DOUBLE));
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

namespace {

struct Rendered {
    int rate = 0;
    int channels = 0;
    int type = 0;
    double seconds = 0;
};

Rendered infoOf(const fs::path& path) {
    SF_INFO info{};
    SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
    if (!f) return {};
    sf_close(f);
    return {info.samplerate, info.channels, info.format, double(info.frames) / info.samplerate};
}

std::string readAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// A folder of its own for one test's files, removed afterwards.
struct Folder {
    fs::path path = fs::temp_directory_path() / ("tallamo-say-" + std::to_string(::getpid()) + "-" +
                                                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
    Folder() { fs::create_directories(path); }
    ~Folder() { fs::remove_all(path); }
    std::string operator/(const std::string& name) const { return (path / name).string(); }
};

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
        SayRun r = say({"--output", dir / c.file, "--format", c.format, kRoundTripText});
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
    ASSERT_EQ(say({"--output", keep, "An earlier render."}).status, 0);
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
        SayRun r = say(c.args, c.input, c.shell);
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
        SayRun r = say({"--output", dir / "big.wav", "--jobs", "8", "--format", "SAFT48kHz16BitStereo"},
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
    ASSERT_EQ(say({"--output", keep, "An earlier render."}).status, 0);
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

namespace {

// Runs the tool with `args` and the standard descriptors in `closed` closed (the others: standard
// input empty, output and error into files); its exit status, and what it wrote.
SayRun sayWithClosed(const std::vector<std::string>& args, const std::set<int>& closed, const Folder& dir) {
    for (const char* name : {"closed.out", "closed.err"}) fs::remove(dir / name);
    const pid_t pid = ::fork();
    if (pid == 0) {
        const std::string files[] = {"/dev/null", dir / "closed.out", dir / "closed.err"};
        for (int fd = 0; fd <= 2; ++fd) {
            if (closed.count(fd)) {
                ::close(fd);
                continue;
            }
            const int opened = ::open(files[fd].c_str(), fd == 0 ? O_RDONLY : O_WRONLY | O_CREAT | O_TRUNC, 0600);
            ::dup2(opened, fd);
            ::close(opened);
        }
        std::vector<const char*> argv{TALLAMO_SAY};
        for (const auto& a : args) argv.push_back(a.c_str());
        argv.push_back(nullptr);
        ::execv(TALLAMO_SAY, const_cast<char* const*>(argv.data()));
        ::_exit(127);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    SayRun r;
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    r.out = readBytes(dir / "closed.out");
    r.err = readBytes(dir / "closed.err");
    return r;
}

}  // namespace

// A standard descriptor closed at the start is never taken by a descriptor of the program's own: the
// audio meant for a closed standard output goes nowhere, with a message, and a render into a file is
// the same whatever was closed.
TEST(Say, ClosedStandardDescriptorsAreNeverTakenByTheProgramsOwn) {
    Folder dir;
    ASSERT_EQ(say({"--output", dir / "open.wav", "Hello."}).status, 0);
    const struct {
        const char* name;
        std::set<int> closed;
        std::vector<std::string> args;
        int status;
        std::string err;
    } cases[] = {
        {"audio to a closed standard output",
         {1},
         {"--output", "-", "Hello."},
         1,
         "tallamo-say: Standard output is closed: there is nothing to write the audio to.\n"},
        {"a file with all three closed", {0, 1, 2}, {"--output", dir / "closed.wav", "Hello."}, 0, ""},
        {"a file with events to a closed standard output",
         {1},
         {"--events", "--output", dir / "closed.wav", "Hello."},
         0,
         ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const SayRun r = sayWithClosed(c.args, c.closed, dir);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.err, c.err);
        if (c.status == 0) {
            EXPECT_EQ(readBytes(dir / "closed.wav"), readBytes(dir / "open.wav"));
        }
    }
}

TEST(Say, WritesAWavStreamOfUnknownLengthToStandardOutput) {
    Folder dir;
    SayRun piped = say({"--output", "-", "--format", "SAFT16kHz16BitStereo", "你好，世界。"});
    ASSERT_EQ(piped.status, 0) << piped.err;
    ASSERT_EQ(say({"--output", dir / "file.wav", "--format", "SAFT16kHz16BitStereo", "你好，世界。"}).status, 0);
    const std::string file = readAll(dir / "file.wav");
    ASSERT_GT(piped.out.size(), 44u);
    EXPECT_EQ(piped.out.substr(0, 4), "RIFF");
    EXPECT_EQ(piped.out.substr(4, 4), std::string(4, '\xFF'));
    EXPECT_EQ(piped.out.substr(12, 24), file.substr(12, 24));  // the same format chunk
    EXPECT_EQ(piped.out.substr(36, 8), "data" + std::string(4, '\xFF'));
    EXPECT_TRUE(piped.out.substr(44) == file.substr(44)) << "the samples differ from the file's";
}

namespace {

// Whether `text` has the shape of `pattern`, in which '0' stands for any digit.
bool shaped(std::string_view text, std::string_view pattern) {
    if (text.size() != pattern.size()) return false;
    for (size_t i = 0; i < text.size(); ++i) {
        if (pattern[i] == '0' ? !std::isdigit(static_cast<unsigned char>(text[i])) : text[i] != pattern[i])
            return false;
    }
    return true;
}

// Milliseconds of "01:02:03,456" (or with a '.'): hours, minutes, seconds and milliseconds.
uint64_t clockMs(const std::string& t) {
    return std::stoull(t.substr(0, 2)) * 3600000 + std::stoull(t.substr(3, 2)) * 60000 +
           std::stoull(t.substr(6, 2)) * 1000 + std::stoull(t.substr(9, 3));
}

// The numbers that follow each `key` in `text`.
std::vector<uint64_t> numbersAfter(const std::string& text, const std::string& key) {
    std::vector<uint64_t> out;
    for (size_t at = text.find(key); at != std::string::npos; at = text.find(key, at + 1))
        out.push_back(std::stoull(text.substr(at + key.size())));
    return out;
}

struct Cue {
    uint64_t start, end;
    std::string text;
};

// A strict SubRip or WebVTT reader: numbered (SubRip) or headed (WebVTT) cues, each a time line and one
// line of text, separated by one empty line. Fails the test on anything else.
std::vector<Cue> readCues(const std::string& contents, bool vtt) {
    const std::string_view time = vtt ? "00:00:00.000 --> 00:00:00.000" : "00:00:00,000 --> 00:00:00,000";
    std::istringstream in(contents);
    std::string line;
    if (vtt) {
        EXPECT_TRUE(std::getline(in, line) && line == "WEBVTT");
        EXPECT_TRUE(std::getline(in, line) && line.empty());
    }
    std::vector<Cue> cues;
    while (std::getline(in, line)) {
        if (!vtt) {
            EXPECT_EQ(line, std::to_string(cues.size() + 1));
            std::getline(in, line);
        }
        if (!shaped(line, time)) {
            ADD_FAILURE() << "not a time line: " << line;
            return cues;
        }
        Cue cue{clockMs(line), clockMs(line.substr(17)), {}};
        EXPECT_TRUE(std::getline(in, cue.text) && !cue.text.empty());
        EXPECT_TRUE(std::getline(in, line) && line.empty()) << "after " << cue.text;
        EXPECT_LE(cue.start, cue.end);
        if (!cues.empty()) {
            EXPECT_LE(cues.back().end, cue.start);
        }
        cues.push_back(cue);
    }
    return cues;
}

// The "ms" of each printed event of `kind` (of one stream, when `stream` is given).
std::vector<uint64_t> eventTimes(const SayRun& run, const std::string& kind, int stream = 0) {
    std::vector<uint64_t> times;
    const std::string inStream = ",\"stream\":" + std::to_string(stream) + ",";
    for (const auto& l : run.lines()) {
        if (l.find("\"event\":\"" + kind + "\"") != std::string::npos &&
            (stream == 0 || l.find(inStream) != std::string::npos))
            times.push_back(numbersAfter(l, "\"ms\":").at(0));
    }
    return times;
}

}  // namespace

// Markup with a rate change, a silence and a character reference, and Chinese: the timing files'
// times are the Word and Sentence events' times of the same render, and their texts the spoken ones.
TEST(Say, TimingFilesGiveTheTimesOfTheRendersWordAndSentenceEvents) {
    Folder dir;
    const std::string text =
        "<rate absspeed=\"5\">Fast words here.</rate> <silence msec=\"400\"/>Slow &amp; steady. 你好，世界。 The end.";
    auto render = [&](const std::string& timings, const std::string& unit) {
        SayRun r = say({"--flags", "8", "--events", "--output", dir / "a.flac", "--timings", dir / timings,
                        "--timings-unit", unit, text});
        EXPECT_EQ(r.status, 0) << r.err;
        return r;
    };
    auto starts = [](const std::vector<Cue>& cues) {
        std::vector<uint64_t> v;
        for (const auto& c : cues) v.push_back(c.start);
        return v;
    };

    SayRun srt = render("t.srt", "sentence");
    const auto sentences = readCues(readAll(dir / "t.srt"), false);
    EXPECT_EQ(starts(sentences), eventTimes(srt, "Sentence"));
    ASSERT_GE(sentences.size(), 3u);
    EXPECT_EQ(sentences[0].text, "Fast words here.");
    EXPECT_EQ(sentences[1].text, "Slow & steady.");
    EXPECT_NE(sentences[2].text.find("你好"), std::string::npos);
    EXPECT_GE(sentences[1].start, sentences[0].end);

    SayRun vtt = render("t.vtt", "word");
    const auto words = readCues(readAll(dir / "t.vtt"), true);
    EXPECT_EQ(starts(words), eventTimes(vtt, "Word"));
    ASSERT_GE(words.size(), 3u);
    EXPECT_EQ(words[0].text, "Fast");

    SayRun lrc = render("t.lrc", "sentence");
    std::vector<uint64_t> lrcWords;
    const std::string lrcText = readAll(dir / "t.lrc");
    for (size_t at = lrcText.find('<'); at != std::string::npos; at = lrcText.find('<', at + 1)) {
        const std::string stamp = lrcText.substr(at, 10);
        ASSERT_TRUE(shaped(stamp, "<00:00.00>")) << stamp;
        lrcWords.push_back(std::stoull(stamp.substr(1, 2)) * 60000 + std::stoull(stamp.substr(4, 2)) * 1000 +
                           std::stoull(stamp.substr(7, 2)) * 10);
    }
    EXPECT_EQ(lrcWords.size(), eventTimes(lrc, "Word").size());
    for (size_t i = 1; i < lrcWords.size(); ++i) EXPECT_LT(lrcWords[i - 1], lrcWords[i]) << i;

    SayRun json = render("t.json", "word");
    const std::vector<uint64_t> jsonStarts = numbersAfter(readAll(dir / "t.json"), "\"startMs\":");
    std::vector<uint64_t> expected = eventTimes(json, "Word");
    const auto sentenceTimes = eventTimes(json, "Sentence");
    expected.insert(expected.end(), sentenceTimes.begin(), sentenceTimes.end());
    EXPECT_EQ(jsonStarts, expected);
}

// A document's chapters as bookmarks in one render, and as a file each, with each file's timings
// counted from its own start and in its own text.
// PDF is read by a module beside the engine: a copy of the program where it cannot find that module
// says so, fails, and writes nothing, while the built program reads the same file.
TEST(Say, APdfIsReadThroughItsModuleAndRefusedWithTheReasonWithoutIt) {
    Folder dir;
    fixtures::writeFile(dir / "a.pdf", fixtures::pdf({{"Hello from a page."}}));
    SayRun built = say({"--file", dir / "a.pdf", "--output", dir / "a.wav"});
    EXPECT_EQ(built.status, 0) << built.err;
    EXPECT_GT(infoOf(dir / "a.wav").seconds, 0.5);

    fs::copy_file(TALLAMO_SAY, dir / "tallamo-say");
    const fs::path engine = fs::path(TALLAMO_SAY).parent_path() / ".." / "libexec" / "tallamo" / "tallamo-engine";
    SayRun lone = say({"--file", dir / "a.pdf", "--output", dir / "b.wav"}, "/dev/null",
                      "TALLAMO_ENGINE=" + quote(engine.string()), dir / "tallamo-say");
    EXPECT_EQ(lone.status, 1);
    EXPECT_NE(lone.err.find("a.pdf\" is a PDF file, and the PDF reader (tallamo-pdf) is not installed"),
              std::string::npos)
        << lone.err;
    EXPECT_FALSE(fs::exists(dir / "b.wav"));
}

namespace {

// The child of `parent` that runs `program`, once there is one (nothing when `parent` ends first).
std::optional<pid_t> childRunning(pid_t parent, const std::string& program) {
    for (;;) {
        if (::kill(parent, 0) != 0) return std::nullopt;
        for (const auto& child : testing_support::childProcesses(parent)) {
            if (child.name == program) return child.pid;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

}  // namespace

// A PDF page whose content would take gigabytes is skipped and named, the rest spoken; a page that
// draws itself without end is given up, and a stop signal ends its reading (and its helper) at once.
TEST(Say, APdfPageThatCannotBeReadIsNamedAndSkippedAndAStopSignalEndsItsReadingAtOnce) {
    Folder dir;
    const fixtures::PdfPage one{fixtures::PdfPage::Text, "Page one.", 0};
    const fixtures::PdfPage three{fixtures::PdfPage::Text, "Page three.", 0};
    fixtures::writeFile(dir / "pages.pdf",
                        fixtures::handMadePdf({one, {fixtures::PdfPage::Inflating, {}, 2000}, three}));
    SayRun pages = say({"--file", dir / "pages.pdf", "--output", dir / "pages.wav", "--events"});
    EXPECT_EQ(pages.status, 0) << pages.err;
    EXPECT_EQ(pages.err, "tallamo-say: Page 2 of \"" + (dir / "pages.pdf") +
                             "\" was skipped: it needs more than 256 MB of memory.\n");
    const auto lines = pages.lines();
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& l) { return l.find("\"Sentence\"") != std::string::npos; }),
              2);

    fixtures::writeFile(dir / "forms.pdf", fixtures::handMadePdf({{fixtures::PdfPage::NestedForms, {}, 0}}));
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(signal);
        LiveSay render({}, {"--file", dir / "forms.pdf", "--output", dir / "forms.wav"}, false);
        ASSERT_TRUE(render.started());
        const auto helper = childRunning(render.pid(), "tallamo-pdf");
        ASSERT_TRUE(helper.has_value()) << render.err();
        ::kill(render.pid(), signal);
        const int status = render.finish();
        ASSERT_TRUE(WIFEXITED(status)) << "killed by the signal";
        EXPECT_EQ(WEXITSTATUS(status), 128 + signal) << render.err();
        EXPECT_NE(::kill(*helper, 0), 0) << "the PDF reader was left running";
        EXPECT_FALSE(fs::exists(dir / "forms.wav"));
    }
}

TEST(Say, SpeaksADocumentWithChapterBookmarksAndSplitsItIntoAFilePerChapter) {
    const std::vector<fixtures::Section> book = {{"第一章", {"你好。"}}, {"Chapter Two", {"Hello there."}}};
    Folder dir;
    const std::string epub = dir / "book.epub";
    fixtures::writeFile(epub, fixtures::epub(book));

    SayRun whole = say({"--file", epub, "--output", dir / "all.wav", "--events", "--timings", dir / "all.srt"});
    ASSERT_EQ(whole.status, 0) << whole.err;
    std::vector<std::string> marks;
    for (const auto& l : whole.lines()) {
        if (l.find("\"event\":\"BookMark\"") != std::string::npos) marks.push_back(l.substr(l.find("\"bookmark\"")));
    }
    std::vector<std::string> expected;
    std::vector<std::string> sentences;
    for (size_t i = 0; i < book.size(); ++i) {
        expected.push_back("\"bookmark\":\"" + book[i].title + "\",\"id\":" + std::to_string(i + 1) + "}");
        sentences.insert(sentences.end(), {book[i].title, book[i].paragraphs[0]});
    }
    EXPECT_EQ(marks, expected);
    std::vector<std::string> cueTexts;
    for (const auto& cue : readCues(readAll(dir / "all.srt"), false)) cueTexts.push_back(cue.text);
    EXPECT_EQ(cueTexts, sentences);

    SayRun split = say({"--file", epub, "--chapters", "--output", dir / "parts/", "--chapters-format", "flac",
                        "--timings", ".vtt", "--events"});
    ASSERT_EQ(split.status, 0) << split.err;
    EXPECT_EQ(std::distance(fs::directory_iterator(dir / "parts"), fs::directory_iterator()), 2 * book.size());
    for (size_t i = 0; i < book.size(); ++i) {
        const std::string name = dir / ("parts/0" + std::to_string(i + 1) + "-" + book[i].title);
        const Rendered audio = infoOf(name + ".flac");
        EXPECT_EQ(audio.type, SF_FORMAT_FLAC | SF_FORMAT_PCM_16) << name;
        const auto cues = readCues(readAll(name + ".vtt"), true);
        ASSERT_EQ(cues.size(), 2u) << name;
        EXPECT_EQ(cues[0].text, book[i].title);
        EXPECT_EQ(cues[1].text, book[i].paragraphs[0]);
        EXPECT_EQ((std::vector<uint64_t>{cues[0].start, cues[1].start}), eventTimes(split, "Sentence", int(i) + 1));
        EXPECT_NEAR(double(cues[1].end), audio.seconds * 1000, 1.0) << name;
    }

    fixtures::writeFile(dir / "cut.epub", fixtures::epub(book).substr(0, 300));
    SayRun cut = say({"--file", dir / "cut.epub", "--output", dir / "cut.wav"});
    EXPECT_EQ(cut.status, 1);
    EXPECT_NE(cut.err.find("cut.epub\" is a damaged"), std::string::npos) << cut.err;
}

// --pinyin prints the reading the Mandarin voice is sent; --lexicon files and the user's own lexicon
// change it (an alias in any language, pinyin for a word); a malformed lexicon ends the run with its
// line and reason; without the Mandarin lexicon, --pinyin fails and speech goes on by the engine's rules.
TEST(Say, PrintsTheMandarinReadingAndTakesTheUsersLexicons) {
    Folder dir;
    const std::string text = "他在银行工作，涨了3.5%。哪儿有MP3？";
    const struct {
        std::vector<std::string> args;
        std::string environment;
        std::string out;
    } cases[] = {
        {{"--pinyin", text},
         "",
         "ta1 zai4 yin2 hang2 gong1 zuo4 ， zhang3 le5 bai3 fen1 zhi1 san1 dian3 wu3 。 nar3 you3 MP3？\n"},
        {{"--pinyin=marks", text},
         "",
         "tā zài yín háng gōng zuò ， zhǎng le bǎi fēn zhī sān diǎn wǔ 。 nǎr yǒu MP3？\n"},
        {{"--pinyin=spoken", text},
         "",
         "ta1 zai4 yin2 hang2 gong1 zuo4 ， zhang3 le5 bai3 fen1 zhi1 san1 dian2 wu3 。 nar2 you3 MP3？\n"},
        {{"--lexicon", dir / "a.pls", "--pinyin", text},
         "",
         "ta1 zai4 yin2 xing2 gong1 zuo4 ， zhang3 le5 bai3 fen1 zhi1 san1 dian3 wu3 。 nar3 you3 yin1 yue4 bo1 fang4 "
         "qi4 ？\n"},
        {{"--pinyin", "工作"}, "XDG_CONFIG_HOME=" + dir.path.string(), "gong1 zuo5\n"},
    };
    fixtures::writeFile(dir / "a.pls",
                        "<lexicon version=\"1.0\" alphabet=\"x-pinyin\">"
                        "<lexeme><grapheme>银行</grapheme><phoneme>yin2 xing2</phoneme></lexeme>"
                        "<lexeme><grapheme>MP3</grapheme><alias>音乐播放器</alias></lexeme></lexicon>");
    fs::create_directories(dir.path / "tallamo");
    fixtures::writeFile(dir / "tallamo/lexicon.pls",
                        "<lexicon version=\"1.0\" alphabet=\"x-pinyin\">"
                        "<lexeme><grapheme>工作</grapheme><phoneme>gong1 zuo5</phoneme></lexeme></lexicon>");
    for (const auto& c : cases) {
        const SayRun r = say(c.args, "/dev/null", c.environment);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, c.out);
    }

    fixtures::writeFile(dir / "bad.pls",
                        "<lexicon version=\"1.0\">\n<lexeme>\n<grapheme>x</grapheme></lexeme>\n</lexicon>");
    const SayRun bad = say({"--lexicon", dir / "bad.pls", "--pinyin", text});
    EXPECT_EQ(bad.status, 1);
    EXPECT_NE(bad.err.find(dir / "bad.pls" + ":2: a <lexeme> without a <phoneme> or an <alias>"), std::string::npos)
        << bad.err;
    EXPECT_EQ(say({"--pinyin=numbers", text}).status, 2);

    const std::string noLexicon = "TALLAMO_MANDARIN_LEXICON=" + dir / "missing.lex";
    const SayRun unread = say({"--pinyin", text}, "/dev/null", noLexicon);
    EXPECT_EQ(unread.status, 1);
    EXPECT_NE(unread.err.find("missing.lex"), std::string::npos) << unread.err;
    const SayRun spoken = say({"--output", dir / "out.wav", text}, "/dev/null", noLexicon);
    EXPECT_EQ(spoken.status, 0) << spoken.err;
    EXPECT_NE(spoken.err.find("Chinese is read by the engine's own rules"), std::string::npos) << spoken.err;
    EXPECT_GT(fs::file_size(dir / "out.wav"), 10000u);

    // Without the polyphone model the rules read alone, and say so.
    const SayRun rulesOnly = say({"--pinyin", text}, "/dev/null", "TALLAMO_MANDARIN_MODEL=" + dir / "missing.model");
    EXPECT_EQ(rulesOnly.status, 0) << rulesOnly.err;
    EXPECT_NE(rulesOnly.err.find("missing.model"), std::string::npos) << rulesOnly.err;
    EXPECT_EQ(rulesOnly.out.substr(0, 12), "ta1 zai4 yin");
}

// The files made for the chapters never follow what is planted at their names: a link there is
// replaced and its target untouched; a pipe is refused at once, nothing waiting on it.
TEST(Say, AChapterFileReplacesALinkAtItsNameAndRefusesAPipe) {
    const std::vector<fixtures::Section> book = {{"One", {"First."}}, {"Two", {"Second."}}};
    const struct {
        const char* name;
        std::string planted;  // in parts/, a link to ../victim.txt or a pipe
        bool pipe;
    } cases[] = {
        {"a link at a chapter's audio", "02-Two.wav", false},
        {"a link at a chapter's timings", "02-Two.srt", false},
        {"a pipe at a chapter's audio", "02-Two.wav", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Folder dir;
        fixtures::writeFile(dir / "book.epub", fixtures::epub(book));
        fs::create_directory(dir / "parts");
        fixtures::writeFile(dir / "victim.txt", "precious");
        if (c.pipe)
            ASSERT_EQ(::mkfifo((dir / ("parts/" + c.planted)).c_str(), 0600), 0);
        else
            fs::create_symlink(dir / "victim.txt", dir / ("parts/" + c.planted));
        SayRun r = say({"--file", dir / "book.epub", "--chapters", "--output", dir / "parts/", "--timings", "srt"});
        EXPECT_EQ(readAll(dir / "victim.txt"), "precious");
        if (c.pipe) {
            EXPECT_EQ(r.status, 1);
            EXPECT_NE(r.err.find("02-Two.wav\": it is not a regular file."), std::string::npos) << r.err;
            continue;
        }
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_FALSE(fs::is_symlink(dir / ("parts/" + c.planted)));
        EXPECT_GT(fs::file_size(dir / ("parts/" + c.planted)), 0u);
    }
}

// Every output is opened before anything is spoken: a timings file that cannot be made fails the run
// at once with the system's reason, and no audio is written.
TEST(Say, ATimingsFileThatCannotBeMadeFailsBeforeTheRenderAndWritesNothing) {
    Folder dir;
    fixtures::writeFile(dir / "a-file", "not a folder");
    const struct {
        const char* name;
        std::string timings;
        std::string reason;
    } cases[] = {
        {"a missing folder", dir / "missing/t.srt", "the folder does not exist."},
        {"a path through a file", dir / "a-file/t.srt", "a part of the path is not a folder."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SayRun r = say({"--output", dir / "o.wav", "--timings", c.timings, "Hello there."});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "tallamo-say: Cannot create the file \"" + c.timings + "\": " + c.reason + "\n");
        EXPECT_FALSE(fs::exists(dir / "o.wav"));
    }
}

// Standard input is spoken as it comes: a line whose writer then waits (as `tail -f` does) is heard
// while the writer still holds the pipe open, and the next line when it comes.
TEST(Say, StandardInputIsSpokenAsItComes) {
    if (!std::getenv("PULSE_SERVER")) GTEST_SKIP() << "no test audio server (PULSE_SERVER unset)";
    int in[2];
    int out[2];
    ASSERT_EQ(::pipe2(in, O_CLOEXEC), 0);
    ASSERT_EQ(::pipe2(out, O_CLOEXEC), 0);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(in[0], 0);
        ::dup2(out[1], 1);
        ::execl(TALLAMO_SAY, TALLAMO_SAY, "--events", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    std::string events;
    // Reads the events until `word` has been spoken; false when the output ends or stays silent for
    // 30 s (the line was not spoken while the writer waits).
    auto heard = [&](const std::string& word) {
        char buffer[4096];
        for (;;) {
            const size_t at = events.find("\"event\":\"Word\"");
            for (size_t w = at; w != std::string::npos; w = events.find("\"event\":\"Word\"", w + 1)) {
                if (events.find("\"pos\":" + word, w) < events.find('\n', w)) return true;
            }
            pollfd p{out[0], POLLIN, 0};
            if (::poll(&p, 1, 30000) <= 0) return false;
            const ssize_t n = ::read(out[0], buffer, sizeof buffer);
            if (n <= 0) return false;
            events.append(buffer, static_cast<size_t>(n));
        }
    };
    const std::string first = "Hello there.\n";
    ASSERT_EQ(::write(in[1], first.data(), first.size()), static_cast<ssize_t>(first.size()));
    EXPECT_TRUE(heard("6,")) << "\"there\" was not spoken while the writer waited";
    const std::string second = "And more.\n";
    ASSERT_EQ(::write(in[1], second.data(), second.size()), static_cast<ssize_t>(second.size()));
    EXPECT_TRUE(heard("17,")) << "\"more\" was not spoken while the writer waited";
    ::close(in[1]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ::close(out[0]);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}
