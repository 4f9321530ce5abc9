// SPDX-License-Identifier: GPL-3.0-or-later
// SSML read by the front end itself (as the voice reads it): what each element does to the segments,
// positions that point into the SSML as written, voices chosen by language, and Chinese inside SSML
// read by the Mandarin reader like any other Chinese.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "base/error.h"
#include "speech/core/constants.h"
#include "speech/text/frontend.h"
#include "tests/support/utf16.h"

using namespace speech;
using namespace speech::text;
using testing_support::utf8;

namespace {

const core::SpObjectToken kAmerican(core::TokenKind::Voice, "en-us", "English (America)",
                                    {{"Language", "409;9"}, {"Gender", "Male"}});
const core::SpObjectToken kBritish(core::TokenKind::Voice, "en-gb", "English (Great Britain)",
                                   {{"Language", "809;9"}, {"Gender", "Female"}});
// The engine's plain Mandarin voice, listed before the pinyin one: Chinese must never go to it.
const core::SpObjectToken kPlainMandarin(core::TokenKind::Voice, "cmn", "Chinese (plain)", {{"Language", "804;4"}});
const core::SpObjectToken kMandarin(core::TokenKind::Voice, "cmn-latn-pinyin", "Chinese (Mandarin)",
                                    {{"Language", "804;4"}, {"Gender", "Male"}});

FrontEndContext contextFor(const core::SpObjectToken& voice) {
    FrontEndContext c;
    c.voices = {kAmerican, kBritish, kPlainMandarin, kMandarin};
    c.voice = voice;
    c.ssmlToEngine = false;
    return c;
}

struct Read {
    std::vector<Segment> segments;
    std::u32string spoken;                           // the segments' texts, joined
    std::vector<std::string> words;                  // the SSML under each word span
    std::vector<std::pair<std::string, int>> marks;  // each mark and where it was written
};

Read readSsml(const std::u16string& ssml, const core::SpObjectToken& voice = kAmerican) {
    auto source = openText(std::make_shared<const std::u16string>(ssml), core::SVSFIsXML, contextFor(voice), nullptr);
    Read r;
    while (auto s = source->next()) {
        EXPECT_FALSE(s->ssml);
        for (auto [a, b] : s->words) {
            const int32_t from = s->sourceOffsets[static_cast<size_t>(a)];
            const int32_t to = s->sourceOffsets[static_cast<size_t>(b)];
            r.words.push_back(utf8(ssml.substr(static_cast<size_t>(from), static_cast<size_t>(to - from))));
        }
        for (const auto& m : s->marks) r.marks.emplace_back(m.text, m.sourcePosition);
        r.spoken += s->text;
        r.segments.push_back(std::move(*s));
    }
    return r;
}

const Segment& segmentWith(const Read& r, std::u32string_view what) {
    for (const auto& s : r.segments) {
        if (s.text.find(what) != std::u32string::npos) return s;
    }
    ADD_FAILURE() << "no segment holds " << utf8(std::u16string(what.begin(), what.end()));
    static const Segment none;
    return none;
}

TEST(FrontendSsml, ElementsChangeWhatIsRead) {
    struct Case {
        std::u16string ssml;
        std::u32string spoken;
    };
    const std::vector<Case> cases = {
        {u"<speak>Hello <mark name='m'/>world &amp; &lt;you&gt;</speak>", U"Hello world & <you>"},
        {u"<speak><sub alias='World Wide Web'>WWW</sub> site</speak>", U"World Wide Web site"},
        {u"<speak>a<desc>not read</desc><meta name='x' content='y'/><unknown>b</unknown></speak>", U"ab"},
        {u"<speak><say-as interpret-as='characters'>abc</say-as></speak>", U"a b c"},
        {u"<speak><phoneme alphabet='x-espeak' ph=\"h@'loU\">hello</phoneme></speak>", U"[[h@'loU]]"},
        {u"<speak><phoneme alphabet='x-microsoft-sapi' ph='h eh 1 l ow'>hello</phoneme></speak>", U"[[h'EloU]]"},
        // An alphabet the engine does not read: the text is.
        {u"<speak><phoneme alphabet='ipa' ph='həˈloʊ'>hello</phoneme></speak>", U"hello"},
        {u"<speak><audio src='chime.wav'>ding</audio><![CDATA[<x>]]></speak>", U"ding<x>"},
        // Line breaks are blanks; <p> and <s> make sentences.
        {u"<speak>one\ntwo</speak>", U"one two"},
    };
    for (const auto& c : cases) EXPECT_EQ(readSsml(c.ssml).spoken, c.spoken) << utf8(c.ssml);

    const Read sentences = readSsml(u"<speak><p><s>One</s><s>Two</s></p>Three</speak>");
    ASSERT_EQ(sentences.segments.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(sentences.segments[i].sentenceIndex, static_cast<long>(i));
        EXPECT_TRUE(sentences.segments[i].startsSentence);
    }
}

TEST(FrontendSsml, WordsAndMarksPointIntoTheSsmlAsWritten) {
    const std::u16string ssml =
        u"<speak>Say <emphasis>loud</emphasis>, <mark name='here'/>read <sub alias='World Wide Web'>WWW</sub>"
        u"<break time='300ms'/>你好 &#x4E2D;文</speak>";
    const Read r = readSsml(ssml);
    EXPECT_EQ(r.words, (std::vector<std::string>{"Say", "loud", "read", "WWW", "你好", "&#x4E2D;文"}));
    ASSERT_EQ(r.marks.size(), 1u);
    EXPECT_EQ(r.marks[0], (std::pair<std::string, int>{"here", static_cast<int>(ssml.find(u"<mark"))}));
    EXPECT_TRUE(segmentWith(r, U"loud").emphasis);
    EXPECT_FALSE(segmentWith(r, U"Say").emphasis);
    EXPECT_EQ(segmentWith(r, U"你好").silenceMs, 300);
}

TEST(FrontendSsml, ProsodyAndBreaksSetTheSegments) {
    struct Case {
        std::u16string ssml;
        int rate, pitch, volume, silenceMs;
    };
    const std::vector<Case> cases = {
        {u"<speak><prosody rate='x-fast' pitch='low' volume='soft'>x</prosody></speak>", 6, -3, 50, 0},
        {u"<speak><prosody rate='300%' pitch='+50%' volume='-6dB'>x</prosody></speak>", 10, 10, 50, 0},
        {u"<speak><prosody rate='-50%' pitch='-2st'><prosody rate='slow'>x</prosody></prosody></speak>", -9, -4, 100,
         0},
        // Values that are not understood change nothing.
        {u"<speak><prosody rate='quick' pitch='120Hz' volume='loudest'>x</prosody></speak>", 0, 0, 100, 0},
        {u"<speak>a <break/>x</speak>", 0, 0, 100, 400},
        {u"<speak>a <break strength='x-strong' time='1.5s'/>x</speak>", 0, 0, 100, 1500},
        {u"<speak>a <break strength='weak'/>x</speak>", 0, 0, 100, 200},
    };
    for (const auto& c : cases) {
        const Read r = readSsml(c.ssml);
        const Segment& s = segmentWith(r, U"x");
        EXPECT_EQ(s.rate, c.rate) << utf8(c.ssml);
        EXPECT_EQ(s.pitch, c.pitch) << utf8(c.ssml);
        EXPECT_EQ(s.volume, c.volume) << utf8(c.ssml);
        EXPECT_EQ(s.silenceMs, c.silenceMs) << utf8(c.ssml);
    }
}

TEST(FrontendSsml, LanguagesAndVoicesPickOurVoices) {
    struct Case {
        std::u16string ssml;
        core::SpObjectToken voice;  // the voice in force
        std::string reads;          // the voice that reads "x"
    };
    const std::vector<Case> cases = {
        {u"<speak xml:lang='zh'>x</speak>", kAmerican, "cmn-latn-pinyin"},
        {u"<speak xml:lang='zh-TW'>x</speak>", kPlainMandarin, "cmn-latn-pinyin"},
        {u"<speak>a <s xml:lang='en-GB'>x</s></speak>", kAmerican, "en-gb"},
        {u"<speak xml:lang='en'>x</speak>", kBritish, "en-gb"},  // the voice in force reads it
        {u"<speak xml:lang='en-AU'>x</speak>", kMandarin, "en-us"},
        {u"<speak xml:lang='fr'>x</speak>", kBritish, "en-gb"},  // no voice reads it
        {u"<speak><voice name='English (Great Britain)'>x</voice></speak>", kAmerican, "en-gb"},
        {u"<speak><voice languages='zh en'>x</voice></speak>", kAmerican, "cmn-latn-pinyin"},
        {u"<speak><voice gender='female'>x</voice></speak>", kAmerican, "en-gb"},
        // No female voice reads Chinese: the voice stays rather than the language changing.
        {u"<speak><voice gender='female'>x</voice></speak>", kMandarin, "cmn-latn-pinyin"},
    };
    for (const auto& c : cases) {
        const Read r = readSsml(c.ssml, c.voice);
        EXPECT_EQ(segmentWith(r, U"x").voice.Id(), c.reads) << utf8(c.ssml);
    }
}

TEST(FrontendSsml, ChineseInsideSsmlIsReadByTheMandarinReader) {
    // The Mandarin voice's own text, and Chinese given to it by xml:lang inside English.
    const Read own =
        readSsml(u"<speak><p>2026年，银行利率是<emphasis>3.5%</emphasis>。</p>Windows 11</speak>", kMandarin);
    EXPECT_NE(own.spoken.find(U"二零二六年"), std::u32string::npos);
    EXPECT_NE(own.spoken.find(U"百分之三点五"), std::u32string::npos);
    EXPECT_EQ(segmentWith(own, U"Windows").engineVoiceId, "en-us");
    EXPECT_EQ(std::count(own.words.begin(), own.words.end(), "3.5%"), 1);

    const Read mixed = readSsml(u"<speak>The rate: <s xml:lang='zh'>利率是25%</s> today.</speak>");
    EXPECT_EQ(segmentWith(mixed, U"百分之二十五").voice.Id(), "cmn-latn-pinyin");
    EXPECT_EQ(mixed.spoken.find(U'%'), std::u32string::npos);
    // Chinese in English text without a language: the Mandarin reader still reads it.
    const Read run = readSsml(u"<speak>It says 利率是3%。</speak>");
    EXPECT_EQ(run.spoken.find(U'%'), std::u32string::npos);
}

TEST(FrontendSsml, MalformedSsmlIsRefusedWithItsPosition) {
    const std::vector<std::pair<std::u16string, int>> cases = {
        {u"<speak><p>x</q></speak>", 11},
        {u"<speak><prosody rate='fast>x</prosody></speak>", 21},
        {u"<speak>&#xD800;</speak>", 7},
    };
    for (const auto& [ssml, position] : cases) {
        try {
            readSsml(ssml);
            ADD_FAILURE() << "accepted: " << utf8(ssml);
        } catch (const base::Error& e) {
            EXPECT_EQ(e.code(), base::errc::kMarkup);
            EXPECT_EQ(e.description().rfind("XML error at character " + std::to_string(position) + ":", 0), 0u)
                << e.description();
        }
    }
}

}  // namespace
