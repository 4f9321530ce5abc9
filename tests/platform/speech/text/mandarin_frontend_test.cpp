// SPDX-License-Identifier: GPL-3.0-or-later
// The front end with the Mandarin lexicon: Chinese a Mandarin voice reads goes to the engine as pinyin,
// one engine word a reader's word, whose Word events cover the user's characters; the user's
// lexicon's aliases and pinyin win.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <ostream>
#include <string>
#include <vector>

#include "base/error.h"
#include "base/utf8.h"
#include "speech/core/constants.h"
#include "speech/text/frontend.h"
#include "speech/text/mandarin/lexicon.h"
#include "speech/text/user_lexicon.h"
#include "tests/platform/speech/text/read_text.h"
#include "tests/support/test_files.h"
#include "tests/support/utf16.h"

using namespace speech;
using namespace speech::text;
using testing_support::joined;
using testing_support::readAll;

namespace {

const core::SpObjectToken kEnglish(core::TokenKind::Voice, "en-us", "English", {{"Language", "409;9"}});
// espeak-ng's Mandarin voice, which reads the pinyin the reader writes.
const core::SpObjectToken kMandarin(core::TokenKind::Voice, "cmn", "Mandarin",
                                    {{"Language", "804;4"}, {"Vendor", "eSpeak NG"}});

FrontEndContext contextFor(const core::SpObjectToken& voice, std::vector<text::UserEntry> user = {}) {
    FrontEndContext c;
    c.voices = {kEnglish, kMandarin};
    c.voice = voice;
    c.mandarinLexicon = text::mandarin::installedMandarinLexicon();
    if (!user.empty()) c.userLexicon = std::make_shared<const text::UserLexicon>(text::UserLexicon{std::move(user)});
    return c;
}

// Each word's text and the range of the caller's text it stands for.
struct SpokenWord {
    std::u32string text;
    int32_t begin, end;
    friend bool operator==(const SpokenWord&, const SpokenWord&) = default;
    friend void PrintTo(const SpokenWord& w, std::ostream* os) {
        *os << base::toUtf8(std::u16string(w.text.begin(), w.text.end())) << " [" << w.begin << ", " << w.end << ")";
    }
};
std::vector<SpokenWord> words(const std::vector<Segment>& segments) {
    std::vector<SpokenWord> out;
    for (const Segment& s : segments) {
        for (auto [a, b] : s.words) {
            out.push_back({s.text.substr(static_cast<size_t>(a), static_cast<size_t>(b - a)),
                           s.sourceOffsets[static_cast<size_t>(a)], s.sourceOffsets[static_cast<size_t>(b)]});
        }
    }
    return out;
}

TEST(FrontendMandarinReader, ChineseGoesToTheEngineAsPinyinInTheReadersWords) {
    ASSERT_NE(text::mandarin::installedMandarinLexicon(), nullptr);
    // The engine is sent the tones spoken: 点 before 五 is a second tone.
    const auto segments = readAll(u"我们去银行。涨了3.5%。", contextFor(kMandarin));
    EXPECT_EQ(joined(segments), U"wo3men5 qu4 yin2hang2。zhang3 le5 bai3fen1zhi1san1 dian2 wu3。");
    const std::vector<SpokenWord> expected = {
        {U"wo3men5", 0, 2},   {U"qu4", 2, 3},
        {U"yin2hang2", 3, 5}, {U"zhang3", 6, 7},
        {U"le5", 7, 8},       {U"bai3fen1zhi1san1 dian2 wu3", 8, 12},  // one word for what the user wrote: 3.5%
    };
    EXPECT_EQ(words(segments), expected);
    for (const Segment& s : segments) EXPECT_TRUE(s.engineVoiceId.empty());

    // An English voice's Chinese goes to the Mandarin voice as pinyin too.
    const auto mixed = readAll(u"Hello 世界 again", contextFor(kEnglish));
    std::u32string mandarinText;
    for (const Segment& s : mixed) {
        if (s.engineVoiceId == "cmn") mandarinText += s.text;
    }
    EXPECT_EQ(mandarinText, U"shi4jie4");
}

TEST(FrontendMandarinReader, SentencesAndClausesStayThoseOfTheChinese) {
    ASSERT_NE(text::mandarin::installedMandarinLexicon(), nullptr);
    // Lower-case pinyin after a full stop still starts a sentence.
    const auto two = readAll(u"Slow. 你好。", contextFor(kEnglish));
    ASSERT_GE(two.size(), 2u);
    EXPECT_NE(two.front().sentenceIndex, two.back().sentenceIndex);
    // A long text is passed on in pieces, never cut inside a clause the reader reads whole.
    std::u16string text;
    std::u32string expected;
    for (int i = 0; i < 400; ++i) {
        text += u"我们去银行，";
        expected += U"wo3men5 qu4 yin2hang2，";
    }
    EXPECT_EQ(joined(readAll(text, contextFor(kMandarin))), expected);
}

TEST(FrontendMandarinReader, TheUsersAliasesAndPinyinWin) {
    ASSERT_NE(text::mandarin::installedMandarinLexicon(), nullptr);
    const std::vector<text::UserEntry> user = {
        {U"SQL", {}, U"sequel"},
        {U"乐清", {"yue4", "qing1"}, {}},
        {U"银行", {"yin2", "xing2"}, {}},
        {U"银行", {"yin2", "hang2"}, {}},  // a later entry for the same word wins
    };
    const auto english = readAll(u"I like SQL, not MySQL.", contextFor(kEnglish, user));
    EXPECT_EQ(joined(english), U"I like sequel, not MySQL.");
    const auto w = words(english);
    EXPECT_NE(std::find(w.begin(), w.end(), SpokenWord{U"sequel", 7, 10}), w.end());
    EXPECT_EQ(joined(readAll(u"乐清的银行", contextFor(kMandarin, user))), U"yue4qing1 de5 yin2hang2");
}

}  // namespace

namespace {

TEST(FrontendMandarinReader, AnSsmlTextsLexiconsAreReadAndAFaultyOneRefused) {
    testing_support::TempDir dir;
    std::ofstream(dir.file("good.pls")) << "<lexicon version=\"1.0\"><lexeme><grapheme>SQL</grapheme>"
                                           "<alias>sequel</alias></lexeme></lexicon>";
    std::ofstream(dir.file("bad.pls")) << "<lexicon version=\"1.0\">\n<lexeme><alias>x</alias></lexeme></lexicon>";
    const auto ssml = [&](const std::string& lexicon) {
        return std::make_shared<const std::u16string>(testing_support::u16(
            "<speak version=\"1.0\" xmlns=\"http://www.w3.org/2001/10/synthesis\" xml:lang=\"en-US\">"
            "<lexicon uri=\"" +
            dir.file(lexicon) + "\"/>SQL</speak>"));
    };
    FrontEndContext context = contextFor(kEnglish);
    context.ssmlToEngine = false;  // read by the front end, as the voice has it read
    std::u32string read;
    auto source = openText(ssml("good.pls"), core::SVSFIsXML, context, nullptr);
    while (auto s = source->next()) read += s->text;
    EXPECT_EQ(read, U"sequel");
    // Only <lexicon> elements name lexicons: the same markup in a comment or in CDATA is not one.
    for (const char* hidden :
         {"<!-- <lexicon uri=\"missing.pls\"/> -->", "<![CDATA[<lexicon uri=\"/dev/stdin\"/>]]>"}) {
        const auto text = std::make_shared<const std::u16string>(
            testing_support::u16(std::string("<speak version=\"1.0\" xmlns=\"http://www.w3.org/2001/10/synthesis\">") +
                                 hidden + "</speak>"));
        EXPECT_NO_THROW(openText(text, core::SVSFIsXML, context, nullptr)) << hidden;
    }
    try {
        openText(ssml("bad.pls"), core::SVSFIsXML, contextFor(kEnglish), nullptr);
        FAIL() << "a faulty lexicon was taken";
    } catch (const base::Error& e) {
        EXPECT_EQ(e.code(), base::errc::kFile);
        EXPECT_EQ(e.description(), dir.file("bad.pls") + ":2: a <lexeme> without a <grapheme>");
    }
}

}  // namespace
