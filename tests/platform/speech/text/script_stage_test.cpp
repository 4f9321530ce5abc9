// SPDX-License-Identifier: GPL-3.0-or-later
// The script stage of the front end: the numbers of text a Mandarin voice reads are rewritten into
// Mandarin words that still point at what was written, and runs of the other script go to the other
// language's voice.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "speech/core/constants.h"
#include "speech/text/frontend.h"
#include "tests/platform/speech/text/read_text.h"
#include "tests/support/utf16.h"

using namespace speech;
using namespace speech::text;
using testing_support::joined;
using testing_support::readAll;
using testing_support::utf8;

namespace {

const core::SpObjectToken kEnglish(core::TokenKind::Voice, "en-us", "English", {{"Language", "409;9"}});
const core::SpObjectToken kMandarin(core::TokenKind::Voice, "cmn", "Mandarin", {{"Language", "804;4"}});
const core::SpObjectToken kCantonese(core::TokenKind::Voice, "yue", "Cantonese", {{"Language", "c04;4"}});
const core::SpObjectToken kFrench(core::TokenKind::Voice, "fr", "French", {{"Language", "40c;c"}});

FrontEndContext contextFor(const core::SpObjectToken& voice, bool mixedScript = true) {
    FrontEndContext c;
    c.voices = {kEnglish, kMandarin, kCantonese, kFrench};
    c.voice = voice;
    c.mixedScript = mixedScript;
    return c;
}

// The text read, in runs of one engine voice.
using Runs = std::vector<std::pair<std::u32string, std::string>>;
void appendRuns(const std::vector<Segment>& segments, Runs& runs) {
    for (const Segment& s : segments) {
        if (!runs.empty() && runs.back().second == s.engineVoiceId) {
            runs.back().first += s.text;
        } else {
            runs.emplace_back(s.text, s.engineVoiceId);
        }
    }
}

bool isHan(char16_t c) {
    return c >= 0x4E00 && c <= 0x9FFF;
}

TEST(ScriptStage, NumbersAreReadAsWordsThatPointAtWhatWasWritten) {
    struct Case {
        std::u16string written;
        std::u32string read;
    };
    const std::vector<Case> cases = {
        {u"版本 1.7", U"版本 一点七"},
        {u"0.05", U"零点零五"},
        {u"-5", U"负五"},
        {u"+3", U"正三"},
        {u"25%", U"百分之二十五"},
        {u"3.5%", U"百分之三点五"},
        {u"5‰", U"千分之五"},
        {u"1/3", U"三分之一"},
        {u"2/5", U"五分之二"},
        {u"1,234", U"一千二百三十四"},
        {u"12,000,000", U"一千二百万"},
        {u"10005", U"一万零五"},
        {u"2026年", U"二零二六年"},
        {u"1999年", U"一九九九年"},
        {u"2026-12-07", U"二零二六年十二月七日"},
        {u"2026/12/7", U"二零二六年十二月七日"},
        {u"12月7日", U"十二月七日"},
        {u"3:45", U"三点四十五分"},
        {u"08:05", U"八点零五分"},
        {u"14:30:15", U"十四点三十分十五秒"},
        {u"3-5", U"三到五"},
        {u"3~5", U"三到五"},
        {u"25-30%", U"百分之二十五到三十"},
        {u"13800138000", U"幺三八零零幺三八零零零"},
        {u"¥3.50", U"三点五元"},
        {u"$20", U"二十美元"},
        {u"€5", U"五欧元"},
        {u"3.50元", U"三点五元"},
        {u"25℃", U"二十五摄氏度"},
        {u"-5℃", U"零下五摄氏度"},
        {u"5km", U"五千米"},
        {u"10 kg", U"十千克"},
        {u"3cm", U"三厘米"},
        {u"100m²", U"一百平方米"},
        {u"60km/h", U"六十千米每小时"},
        {u"第3章", U"第三章"},
        {u"No.5", U"五号"},
        // Where the written form leaves a choice: 两 before measure words and for two o'clock, scores.
        {u"2个", U"两个"},
        {u"第2个", U"第二个"},
        {u"2:30", U"两点三十分"},
        {u"2000", U"两千"},
        {u"3:2", U"三比二"},
        // Fullwidth digits; what is not a number of its own stays as written.
        {u"２５％", U"百分之二十五"},
        {u"MP3", U"MP3"},
        {u"COVID-19", U"COVID-19"},
        {u"4th", U"4th"},
        {u"1.2.3", U"一点二点三"},
        {u"5 mice", U"五 mice"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(utf8(c.written));
        // Between punctuation, so that no word of the sentence around can reach into the number.
        const std::u16string text = u"说：" + c.written + u"。";
        const auto segments = readAll(text, contextFor(kMandarin, false));
        EXPECT_EQ(joined(segments), U"说：" + c.read + U"。");
        if (c.read == std::u32string(c.written.begin(), c.written.end())) continue;
        // Every stretch written without Han characters is inside one word, which no other word enters.
        for (size_t a = 2; a < text.size() - 1;) {
            size_t b = a;
            while (b < text.size() - 1 && !isHan(text[b]) && text[b] != u' ') ++b;
            if (b == a) {
                ++a;
                continue;
            }
            int covering = 0;
            for (const auto& s : segments) {
                for (auto [w0, w1] : s.words) {
                    const auto from = static_cast<size_t>(s.sourceOffsets[static_cast<size_t>(w0)]);
                    const auto to = static_cast<size_t>(s.sourceOffsets[static_cast<size_t>(w1)]);
                    EXPECT_FALSE(from > a && from < b) << "a word starts inside " << utf8(text.substr(a, b - a));
                    if (from <= a && to >= b) ++covering;
                }
            }
            EXPECT_EQ(covering, 1) << utf8(text.substr(a, b - a));
            a = b;
        }
    }
}

TEST(ScriptStage, RunsOfTheOtherScriptAreReadByTheOtherVoice) {
    struct Case {
        core::SpObjectToken voice;
        bool mixedScript;
        std::u16string text;
        Runs runs;  // text and engine voice, in order
    };
    const std::vector<Case> cases = {
        {kMandarin, true, u"我用editor写代码", {{U"我用", ""}, {U"editor", "en-us"}, {U"写代码", ""}}},
        {kMandarin,
         true,
         u"用Windows 10和MP3。",
         {{U"用", ""}, {U"Windows", "en-us"}, {U" 十和", ""}, {U"MP3。", "en-us"}}},
        {kMandarin, true, u"你好 nǐ hǎo", {{U"你好 nǐ hǎo", ""}}},
        {kMandarin, false, u"我用editor", {{U"我用editor", ""}}},
        {kEnglish, true, u"I said 你好，世界 today", {{U"I said ", ""}, {U"你好，世界", "cmn"}, {U" today", ""}}},
        {kFrench, true, u"le 2026年 ici", {{U"le ", ""}, {U"二零二六年", "cmn"}, {U" ici", ""}}},
        {kEnglish, true, u"Pay $20 now", {{U"Pay $20 now", ""}}},
        {kEnglish, false, u"I said 你好", {{U"I said 你好", ""}}},
        {kCantonese, true, u"我用editor", {{U"我用editor", ""}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(utf8(c.text));
        const auto segments = readAll(c.text, contextFor(c.voice, c.mixedScript));
        for (const Segment& s : segments) EXPECT_EQ(s.voice, c.voice);
        Runs runs;
        appendRuns(segments, runs);
        EXPECT_EQ(runs, c.runs);
    }
}

// The stage holds back a little text at a time; where it cuts must not change what is read.
TEST(ScriptStage, ALongTextReadsAsItsSentencesReadAlone) {
    const std::vector<std::u16string> sentences = {
        u"今年的增长率是25%，比2025年高出3.5个百分点。",
        u"我们在2026-12-07 14:30见面，地点在No.5大楼。",
        u"他用editor写了1,234行代码，花了¥3.50。",
        u"温度是-5℃，风速60km/h，相当寒冷的一天。",
        u"电话13800138000，请在3~5天内回复我们的团队成员们。\n",
        u"The committee approved 25% of the budget, about 5 km of road, for 2026 and onwards. ",
    };
    for (const core::SpObjectToken& voice : {kMandarin, kEnglish}) {
        std::u16string text;
        Runs expected;
        for (size_t k = 0; text.size() < 20000; ++k) {
            const std::u16string& s = sentences[k % sentences.size()];
            text += s;
            appendRuns(readAll(s, contextFor(voice)), expected);
        }
        Runs runs;
        appendRuns(readAll(text, contextFor(voice)), runs);
        EXPECT_EQ(runs, expected) << voice.Id();
    }
}

}  // namespace
