// SPDX-License-Identifier: GPL-3.0-or-later
// tallamo-say run as a separate process by its tests: a run to its end with its output and status, a
// run read as it goes (LiveSay), a folder of a test's own, and readers of what a render wrote (audio
// facts, timing cues, event times, clips against a render's events).
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sndfile.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "tests/support/audio_files.h"

namespace say_test {

namespace fs = std::filesystem;

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

inline std::string quote(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// Runs the tool with `args`; standard input comes from the file `input`, or is empty; `environment`
// ("NAME=value" words) goes before it.
inline SayRun runSay(const std::vector<std::string>& args, const fs::path& input = "/dev/null",
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

inline std::string readAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

struct Rendered {
    int rate = 0;
    int channels = 0;
    int type = 0;
    double seconds = 0;
};

inline Rendered infoOf(const fs::path& path) {
    SF_INFO info{};
    SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
    if (!f) return {};
    sf_close(f);
    return {info.samplerate, info.channels, info.format, double(info.frames) / info.samplerate};
}

// A folder of its own for one test's files, removed afterwards.
struct Folder {
    fs::path path = fs::temp_directory_path() / ("tallamo-say-" + std::to_string(::getpid()) + "-" +
                                                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
    Folder() { fs::create_directories(path); }
    ~Folder() { fs::remove_all(path); }
    std::string operator/(const std::string& name) const { return (path / name).string(); }
};

// Whether `text` has the shape of `pattern`, in which '0' stands for any digit.
inline bool shaped(std::string_view text, std::string_view pattern) {
    if (text.size() != pattern.size()) return false;
    for (size_t i = 0; i < text.size(); ++i) {
        if (pattern[i] == '0' ? !std::isdigit(static_cast<unsigned char>(text[i])) : text[i] != pattern[i])
            return false;
    }
    return true;
}

// Milliseconds of "01:02:03,456" (or with a '.'): hours, minutes, seconds and milliseconds.
inline uint64_t clockMs(const std::string& t) {
    return std::stoull(t.substr(0, 2)) * 3600000 + std::stoull(t.substr(3, 2)) * 60000 +
           std::stoull(t.substr(6, 2)) * 1000 + std::stoull(t.substr(9, 3));
}

// The numbers that follow each `key` in `text`.
inline std::vector<uint64_t> numbersAfter(const std::string& text, const std::string& key) {
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
inline std::vector<Cue> readCues(const std::string& contents, bool vtt) {
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
inline std::vector<uint64_t> eventTimes(const SayRun& run, const std::string& kind, int stream = 0) {
    std::vector<uint64_t> times;
    const std::string inStream = ",\"stream\":" + std::to_string(stream) + ",";
    for (const auto& l : run.lines()) {
        if (l.find("\"event\":\"" + kind + "\"") != std::string::npos &&
            (stream == 0 || l.find(inStream) != std::string::npos))
            times.push_back(numbersAfter(l, "\"ms\":").at(0));
    }
    return times;
}

// Each clip of `clips` (its start, in ms) starts within 5 ms of its word's or sentence's onset in
// `audio` (decoded as a player decodes it): the event of `onsets` in a WAV render of the same text
// (`reference`), moved by how the two audios line up there. An encoder's priming left in the audio would
// put the voice tens of milliseconds after its clip.
inline void expectClipsOnTheirOnsets(const std::vector<uint64_t>& clips, const std::vector<float>& audio,
                                     const std::vector<uint64_t>& onsets, const std::vector<float>& reference,
                                     uint64_t rate) {
    ASSERT_EQ(clips.size(), onsets.size());
    for (size_t i = 0; i < onsets.size(); ++i) {
        const long at = static_cast<long>(onsets[i] * rate / 1000);
        const double shiftMs = testing_support::bestShift(audio, reference, static_cast<long>(rate), at) * 1000.0 /
                               static_cast<double>(rate);
        EXPECT_NEAR(static_cast<double>(clips[i]), static_cast<double>(onsets[i]) + shiftMs, 5.0) << "clip " << i;
    }
}

}  // namespace say_test
