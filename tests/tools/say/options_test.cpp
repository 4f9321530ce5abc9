// SPDX-License-Identifier: GPL-3.0-or-later
// tallamo-say's command line: help, version and bad use, the lists, what standard descriptors it
// finds closed.
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

#include "tests/support/test_files.h"
#include "tests/tools/say/say_process.h"

namespace fs = std::filesystem;
using namespace say_test;

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
        const SayRun r = runSay(c.args);
        EXPECT_EQ(r.status, c.status) << r.err;
        EXPECT_NE((c.onStdout ? r.out : r.err).find(c.shown), std::string::npos) << r.out << r.err;
        if (c.status == 2) {
            EXPECT_NE(r.err.find("--help"), std::string::npos) << "a hint to --help";
        }
    }
}

TEST(Say, ListsFormatsAndVoicesInTableAndCollectionOrder) {
    SayRun formats = runSay({"--list-formats"});
    ASSERT_EQ(formats.status, 0) << formats.err;
    auto lines = formats.lines();
    ASSERT_EQ(lines.size(), 36u);
    EXPECT_EQ(lines.front(), "SAFT8kHz8BitMono\t4");
    EXPECT_EQ(lines[18], "SAFT22kHz16BitMono\t22");
    EXPECT_EQ(lines.back(), "SAFT48kHz16BitStereo\t39");

    SayRun voices = runSay({"--list-voices"});
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
    const SayRun all = runSay({"--list-voices"});
    const SayRun some = runSay({"--list-voices"}, "/dev/null", "ESPEAK_DATA_PATH=" + quote(root.string()));
    fs::remove_all(root);
    ASSERT_EQ(some.status, 0) << some.err;
    std::set<std::string> expected = names(all);
    for (const char* gone : {"Hungarian", "Chinese (Cantonese)", "Chinese (Cantonese, latin as Jyutping)"})
        EXPECT_EQ(expected.erase(gone), 1u) << gone;
    EXPECT_EQ(names(some), expected);
}

TEST(Say, ReportsBadUseAndBadFilesOnStderrWithAFailingStatus) {
    SayRun unknown = runSay({"--no-such-option"});
    EXPECT_NE(unknown.status, 0);
    EXPECT_NE(unknown.err.find("--no-such-option"), std::string::npos) << unknown.err;
    EXPECT_TRUE(unknown.out.empty());

    SayRun missing = runSay({"--output", "/tmp/x.wav", "--file", "/nonexistent/tallamo/text.txt"});
    EXPECT_NE(missing.status, 0);
    EXPECT_NE(missing.err.find("/nonexistent/tallamo/text.txt"), std::string::npos) << missing.err;

    SayRun format = runSay({"--output", "/tmp/x.wav", "--format", "99", "text"});
    EXPECT_NE(format.status, 0);
    EXPECT_FALSE(format.err.empty());

    SayRun folder = runSay({"--output", "/nonexistent/folder/x.wav", "text"});
    EXPECT_NE(folder.status, 0);
    EXPECT_NE(folder.err.find("/nonexistent/folder/x.wav"), std::string::npos) << folder.err;

    SayRun jobs = runSay({"--jobs", "0", "text"});
    EXPECT_EQ(jobs.status, 2);
    EXPECT_NE(jobs.err.find("--jobs"), std::string::npos) << jobs.err;
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
    r.out = readAll(dir / "closed.out");
    r.err = readAll(dir / "closed.err");
    return r;
}

}  // namespace

// A standard descriptor closed at the start is never taken by a descriptor of the program's own: the
// audio meant for a closed standard output goes nowhere, with a message, and a render into a file is
// the same whatever was closed.
TEST(Say, ClosedStandardDescriptorsAreNeverTakenByTheProgramsOwn) {
    Folder dir;
    ASSERT_EQ(runSay({"--output", dir / "open.wav", "Hello."}).status, 0);
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
            EXPECT_EQ(readAll(dir / "closed.wav"), readAll(dir / "open.wav"));
        }
    }
}
