// SPDX-License-Identifier: GPL-3.0-or-later
// tallamo-say's documents split into a file per chapter, and their chapter bookmarks.
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

#include "tests/support/document_fixtures.h"
#include "tests/support/test_files.h"
#include "tests/tools/say/say_process.h"

namespace fs = std::filesystem;
using namespace say_test;

TEST(Say, SpeaksADocumentWithChapterBookmarksAndSplitsItIntoAFilePerChapter) {
    const std::vector<fixtures::Section> book = {{"第一章", {"你好。"}}, {"Chapter Two", {"Hello there."}}};
    Folder dir;
    const std::string epub = dir / "book.epub";
    fixtures::writeFile(epub, fixtures::epub(book));

    SayRun whole = runSay({"--file", epub, "--output", dir / "all.wav", "--events", "--timings", dir / "all.srt"});
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

    SayRun split = runSay({"--file", epub, "--chapters", "--output", dir / "parts/", "--chapters-format", "flac",
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
    SayRun cut = runSay({"--file", dir / "cut.epub", "--output", dir / "cut.wav"});
    EXPECT_EQ(cut.status, 1);
    EXPECT_NE(cut.err.find("cut.epub\" is a damaged"), std::string::npos) << cut.err;
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
        SayRun r = runSay({"--file", dir / "book.epub", "--chapters", "--output", dir / "parts/", "--timings", "srt"});
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
