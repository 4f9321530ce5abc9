// SPDX-License-Identifier: GPL-3.0-or-later
// tallamo-say's timing files: their times are the render's events'.
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

// Markup with a rate change, a silence and a character reference, and Chinese: the timing files'
// times are the Word and Sentence events' times of the same render, and their texts the spoken ones.
TEST(Say, TimingFilesGiveTheTimesOfTheRendersWordAndSentenceEvents) {
    Folder dir;
    const std::string text =
        "<rate absspeed=\"5\">Fast words here.</rate> <silence msec=\"400\"/>Slow &amp; steady. 你好，世界。 The end.";
    auto render = [&](const std::string& timings, const std::string& unit) {
        SayRun r = runSay({"--flags", "8", "--events", "--output", dir / "a.flac", "--timings", dir / timings,
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
        SayRun r = runSay({"--output", dir / "o.wav", "--timings", c.timings, "Hello there."});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "tallamo-say: Cannot create the file \"" + c.timings + "\": " + c.reason + "\n");
        EXPECT_FALSE(fs::exists(dir / "o.wav"));
    }
}
