// The command-line tool, run as a separate process.
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

// Runs the tool with `args`; standard input comes from the file `input`, or is empty.
SayRun say(const std::vector<std::string>& args, const fs::path& input = "/dev/null") {
    const fs::path errFile = fs::temp_directory_path() / ("tallamo-say-err-" + std::to_string(::getpid()));
    std::string cmd = quote(TALLAMO_SAY);
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
    };
    const std::string gb18030 = "\xC4\xE3\xBA\xC3\xA3\xAC\xCA\xC0\xBD\xE7\xA1\xA3Hello.";
    const Case cases[] = {{text, {}}, {text, {"--file", "-"}}, {utf16, {}}, {gb18030, {}}};
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(i);
        std::ofstream(dir / "in.txt", std::ios::binary) << cases[i].bytes;
        std::vector<std::string> args{"--output", (dir / "in.wav").string()};
        args.insert(args.end(), cases[i].extra.begin(), cases[i].extra.end());
        const SayRun r = say(args, dir / "in.txt");
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(readBytes(dir / "in.wav") == expected) << "not the audio of the same text given as an argument";
    }
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
        std::vector<std::string> args{"--output", wav.string(), "--events", "--voice", "Chinese (Mandarin)", "我用editor"};
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
}

TEST(Say, CtrlCStopsRealTimePlaybackCleanly) {
    if (!std::getenv("PULSE_SERVER")) GTEST_SKIP() << "no test audio server (PULSE_SERVER unset)";
    int out[2];
    ASSERT_EQ(::pipe(out), 0);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::dup2(out[1], 1);
        ::close(out[0]);
        ::close(out[1]);
        std::string text;
        for (int i = 0; i < 100; ++i) text += "This goes on for a long while. ";
        ::execl(TALLAMO_SAY, TALLAMO_SAY, "--events", text.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(out[1]);
    // Wait for the first event, i.e. until the device plays.
    std::string got;
    char c;
    while (got.find('\n') == std::string::npos && ::read(out[0], &c, 1) == 1) got += c;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const auto start = std::chrono::steady_clock::now();
    ::kill(pid, SIGINT);
    char buf[4096];
    for (ssize_t n; (n = ::read(out[0], buf, sizeof buf)) > 0;) got.append(buf, static_cast<size_t>(n));
    ::close(out[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    ASSERT_TRUE(WIFEXITED(status)) << "killed by a signal";
    EXPECT_EQ(WEXITSTATUS(status), 130);
    EXPECT_LT(ms, 2000);
    EXPECT_EQ(got.rfind("{\"event\":\"StartStream\"", 0), 0u);
    while (!got.empty() && got.back() == '\n') got.pop_back();
    EXPECT_EQ(got.substr(got.rfind('\n') + 1).rfind("{\"event\":\"EndStream\"", 0), 0u) << got.substr(got.size() - 200);
}
