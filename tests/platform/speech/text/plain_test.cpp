// SPDX-License-Identifier: GPL-3.0-or-later
// Plain text through the front end: sentences, segments, words and their positions in the caller's
// string.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/error.h"
#include "speech/core/constants.h"
#include "speech/text/frontend.h"

using namespace speech;
using namespace speech::text;

namespace {

struct Read {
    std::vector<Segment> segments;
    std::vector<std::u16string> words;      // the caller's text under each word span
    std::vector<std::u16string> sentences;  // the caller's text under each sentence
};

Read readAll(const std::u16string& text, int32_t flags = core::SVSFIsNotXML, FrontEndContext context = {}) {
    auto shared = std::make_shared<const std::u16string>(text);
    auto source = openText(shared, flags, context, nullptr);
    Read r;
    while (auto s = source->next()) {
        EXPECT_EQ(s->sourceOffsets.size(), s->text.size() + 1);
        for (size_t i = 1; i < s->sourceOffsets.size(); ++i) EXPECT_LE(s->sourceOffsets[i - 1], s->sourceOffsets[i]);
        for (auto [a, b] : s->words) {
            EXPECT_LT(a, b);
            const int32_t from = s->sourceOffsets[static_cast<size_t>(a)];
            const int32_t to = s->sourceOffsets[static_cast<size_t>(b)];
            r.words.push_back(text.substr(static_cast<size_t>(from), static_cast<size_t>(to - from)));
        }
        if (s->startsSentence) {
            r.sentences.push_back(
                text.substr(static_cast<size_t>(s->sentencePosition), static_cast<size_t>(s->sentenceLength)));
        }
        r.segments.push_back(std::move(*s));
    }
    return r;
}

using Words = std::vector<std::u16string>;

TEST(FrontendPlain, EnglishSentencesAndWordsPointIntoTheText) {
    const std::u16string text = u"  Hello, world!  How are you today?\tFine.";
    Read r = readAll(text);
    EXPECT_EQ(r.sentences, (Words{u"Hello, world!", u"How are you today?", u"Fine."}));
    EXPECT_EQ(r.words, (Words{u"Hello", u"world", u"How", u"are", u"you", u"today", u"Fine"}));
    ASSERT_EQ(r.segments.size(), 3u);
    EXPECT_EQ(r.segments[1].sentenceIndex, 1);
    EXPECT_EQ(r.segments[1].sentencePosition, 17);
}

TEST(FrontendPlain, ChineseEmojiAndSurrogatePairsKeepUtf16Offsets) {
    const std::u16string text = u"今天天气很好。我们去公园吧！ I 😀 love 𝒜lgebra.";
    Read r = readAll(text);
    ASSERT_EQ(r.sentences.size(), 3u);
    EXPECT_EQ(r.sentences[0], u"今天天气很好。");
    EXPECT_EQ(r.sentences[1], u"我们去公园吧！");
    EXPECT_EQ(r.sentences[2], u"I 😀 love 𝒜lgebra.");
    // Chinese is cut into dictionary words; the words cover every ideograph and no punctuation.
    std::u16string joined;
    for (const auto& w : r.words) joined += w;
    EXPECT_EQ(joined,
              u"今天天气很好我们去公园吧I"
              u"love𝒜lgebra");
    EXPECT_EQ(r.words.back(), u"𝒜lgebra");
    // The emoji is one code point standing for two UTF-16 units.
    const Segment& last = r.segments.back();
    auto emoji = std::find(last.text.begin(), last.text.end(), U'😀') - last.text.begin();
    EXPECT_EQ(last.sourceOffsets[static_cast<size_t>(emoji) + 1] - last.sourceOffsets[static_cast<size_t>(emoji)], 2);
}

TEST(FrontendPlain, LinesAreSentencesAndCrLfCountsTwoUnits) {
    const std::u16string text = u"one two\r\nthree\r\n\r\nfour";
    Read r = readAll(text);
    EXPECT_EQ(r.sentences, (Words{u"one two", u"three", u"four"}));
    EXPECT_EQ(r.segments[1].sentencePosition, 9);
    EXPECT_EQ(r.segments[2].sentencePosition, 18);
    EXPECT_EQ(r.words, (Words{u"one", u"two", u"three", u"four"}));
}

TEST(FrontendPlain, NulAndLoneSurrogatesAreReplacedButOffsetsKept) {
    std::u16string text = u"ab";
    text += u'\0';
    text += u"cd ";
    text += static_cast<char16_t>(0xD800);
    text += u" ef";
    text += static_cast<char16_t>(0xDC00);
    Read r = readAll(text);
    ASSERT_EQ(r.segments.size(), 1u);
    const Segment& s = r.segments[0];
    EXPECT_EQ(s.text, std::u32string(U"ab cd \uFFFD ef\uFFFD"));
    EXPECT_EQ(s.sourceOffsets.back(), static_cast<int32_t>(text.size()));
    EXPECT_EQ(r.words, (Words{u"ab", u"cd", u"ef"}));
}

TEST(FrontendPlain, LongRunWithoutPunctuationIsCutAtSpacesIntoBoundedSegments) {
    std::u16string text;
    while (text.size() < 100000) text += u"lorem ipsum dolor sit amet ";
    Read r = readAll(text);
    size_t expectedWords = 0;
    for (size_t i = 0; i < text.size(); ++i) expectedWords += text[i] != u' ' && (i == 0 || text[i - 1] == u' ');
    EXPECT_EQ(r.words.size(), expectedWords);  // no word cut in two
    EXPECT_GT(r.segments.size(), 200u);
    for (const auto& s : r.segments) EXPECT_LE(s.text.size(), 500u);
    for (const auto& w : r.words)
        EXPECT_TRUE(w == u"lorem" || w == u"ipsum" || w == u"dolor" || w == u"sit" || w == u"amet");

    // Without any space the run is still cut, and every code point is kept.
    std::u16string solid(3000, u'x');
    Read s = readAll(solid);
    size_t total = 0;
    for (const auto& seg : s.segments) {
        EXPECT_LE(seg.text.size(), 500u);
        total += seg.text.size();
    }
    EXPECT_EQ(total, solid.size());
}

TEST(FrontendPlain, SettingsComeFromTheContextAndFlags) {
    FrontEndContext ctx;
    ctx.voice = core::SpObjectToken(core::TokenKind::Voice, "en", "English");
    ctx.rate = 4;
    ctx.volume = 60;
    Read r = readAll(u"Read this.", core::SVSFIsNotXML | core::SVSFNLPSpeakPunc, ctx);
    ASSERT_EQ(r.segments.size(), 1u);
    const Segment& s = r.segments[0];
    EXPECT_EQ(s.voice.Id(), "en");
    EXPECT_EQ(s.rate, 4);
    EXPECT_EQ(s.volume, 60);
    EXPECT_TRUE(s.speakPunctuation);
    EXPECT_TRUE(s.startsSentence);
    EXPECT_FALSE(s.phonemes || s.ssml || s.emphasis);

    // Settings persisted by earlier markup apply to plain text too.
    ctx.persisted.relativeRate = 3;
    ctx.persisted.volume = 50;
    Read p = readAll(u"Read this.", core::SVSFIsNotXML, ctx);
    EXPECT_EQ(p.segments[0].rate, 7);
    EXPECT_EQ(p.segments[0].volume, 30);
    EXPECT_FALSE(p.segments[0].speakPunctuation);
}

TEST(FrontendPlain, EmptyAndBlankTextsHaveNoSegments) {
    EXPECT_TRUE(readAll(u"").segments.empty());
    EXPECT_TRUE(readAll(u"  \r\n\t ").segments.empty());
    auto source = openText(nullptr, 0, {}, nullptr);
    EXPECT_FALSE(source->next());
}

TEST(FrontendPlain, ContradictoryXmlFlagsAreRefused) {
    auto text = std::make_shared<const std::u16string>(u"x");
    try {
        openText(text, core::SVSFIsXML | core::SVSFIsNotXML, {}, nullptr);
        FAIL() << "no error";
    } catch (const base::Error& e) {
        EXPECT_EQ(e.code(), base::errc::kInvalidArg);
    }
}

TEST(FrontendPlain, SeekSentenceMovesBothWaysAndStopsAtTheEnd) {
    auto text = std::make_shared<const std::u16string>(u"Zero. One. Two. Three.");
    auto source = openText(text, core::SVSFIsNotXML, {}, nullptr);
    ASSERT_TRUE(source->seekSentence(2));
    auto s = source->next();
    ASSERT_TRUE(s);
    EXPECT_EQ(s->sentenceIndex, 2);
    EXPECT_EQ(s->sentencePosition, 11);
    ASSERT_TRUE(source->seekSentence(0));  // back to the start
    EXPECT_EQ(source->next()->sentencePosition, 0);
    ASSERT_TRUE(source->seekSentence(0));  // restart the current one
    EXPECT_EQ(source->next()->sentenceIndex, 0);
    ASSERT_TRUE(source->seekSentence(3));
    EXPECT_EQ(source->next()->sentencePosition, 16);
    EXPECT_FALSE(source->seekSentence(4));
    EXPECT_FALSE(source->next());
    // A failed seek past the end does not stop a later seek back.
    ASSERT_TRUE(source->seekSentence(1));
    EXPECT_EQ(source->next()->sentencePosition, 6);

    auto fresh = openText(text, core::SVSFIsNotXML, {}, nullptr);
    EXPECT_FALSE(fresh->seekSentence(9));
    ASSERT_TRUE(fresh->seekSentence(2));
    EXPECT_EQ(fresh->next()->sentencePosition, 11);
}

TEST(FrontendPlain, HugeTextStartsWithoutReadingItWhole) {
    // A sentence per line; the first segment comes from the first line alone, and the source keeps
    // working through the rest.
    auto text = std::make_shared<std::u16string>();
    for (int i = 0; i < 200000; ++i) *text += u"This is a line of a long text.\n";
    auto source = openText(text, core::SVSFIsNotXML, {}, nullptr);
    auto first = source->next();
    ASSERT_TRUE(first);
    EXPECT_EQ(first->sentenceLength, 30);
    ASSERT_TRUE(source->seekSentence(199999));
    auto last = source->next();
    ASSERT_TRUE(last);
    EXPECT_EQ(last->sentencePosition, 199999 * 31);
    EXPECT_FALSE(source->next());
}

}  // namespace
