// SPDX-License-Identifier: GPL-3.0-or-later
// The voice's XML markup through the front end: what each element does to the segments, positions
// that markup never shifts, errors with their positions, and state carried over between texts.
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
    std::vector<std::u16string> words;  // the caller's text under each word span
    std::u32string spoken;              // all segment texts joined
};

Read readAll(const std::u16string& text, int32_t flags = core::SVSFIsXML, const FrontEndContext& context = {},
             MarkupState* persist = nullptr) {
    auto source = openText(std::make_shared<const std::u16string>(text), flags, context, persist);
    Read r;
    while (auto s = source->next()) {
        EXPECT_EQ(s->sourceOffsets.size(), s->text.size() + 1);
        for (size_t i = 1; i < s->sourceOffsets.size(); ++i) EXPECT_LE(s->sourceOffsets[i - 1], s->sourceOffsets[i]);
        for (auto [a, b] : s->words) {
            const int32_t from = s->sourceOffsets[static_cast<size_t>(a)];
            const int32_t to = s->sourceOffsets[static_cast<size_t>(b)];
            r.words.push_back(text.substr(static_cast<size_t>(from), static_cast<size_t>(to - from)));
        }
        r.spoken += s->text;
        r.segments.push_back(std::move(*s));
    }
    return r;
}

// The segment whose text contains `what`.
const Segment& segmentWith(const Read& r, std::u32string_view what) {
    for (const auto& s : r.segments) {
        if (s.text.find(what) != std::u32string::npos) return s;
    }
    ADD_FAILURE() << "no segment holds the text";
    static const Segment none;
    return none;
}

using Words = std::vector<std::u16string>;

FrontEndContext twoVoices() {
    FrontEndContext ctx;
    ctx.voices = {core::SpObjectToken(core::TokenKind::Voice, "en-us", "English (America)",
                                      {{"Language", "409;9"}, {"Gender", "Male"}, {"Name", "English (America)"}}),
                  core::SpObjectToken(core::TokenKind::Voice, "cmn-latn-pinyin", "Chinese (Mandarin)",
                                      {{"Language", "804"}, {"Gender", "Female"}, {"Name", "Chinese (Mandarin)"}})};
    ctx.voice = ctx.voices[0];
    return ctx;
}

TEST(FrontendMarkup, FlagsAndFirstCharacterDecideWhatIsMarkup) {
    EXPECT_EQ(readAll(u"<emph>hi</emph>", core::SVSFDefault).spoken, U"hi");
    EXPECT_EQ(readAll(u" <emph>hi</emph>", core::SVSFDefault).spoken, U"<emph>hi</emph>");
    EXPECT_EQ(readAll(u"<emph>hi</emph>", core::SVSFIsNotXML).spoken, U"<emph>hi</emph>");
    EXPECT_EQ(readAll(u"say <emph>hi</emph>", core::SVSFIsXML).spoken, U"say hi");
    // Ordinary text that only looks like markup is spoken as it stands.
    EXPECT_EQ(readAll(u"Tom & Jerry < 3 &nbsp; x", core::SVSFIsXML).spoken, U"Tom & Jerry < 3 &nbsp; x");
}

TEST(FrontendMarkup, TagsEntitiesAndCommentsNeverShiftWords) {
    const std::u16string text =
        u"Say <!-- not this --><Emph>loud</EMPH> &lt;b&gt; &#x4E2D;&#25991; <foo a='1'>odd</foo> &amp; 😀 end";
    Read r = readAll(text);
    EXPECT_EQ(r.spoken, U"Say loud <b> 中文 odd & 😀 end");
    EXPECT_EQ(r.words, (Words{u"Say", u"loud", u"b", u"&#x4E2D;&#25991;", u"odd", u"end"}));
    EXPECT_TRUE(segmentWith(r, U"loud").emphasis);
    EXPECT_FALSE(segmentWith(r, U"Say").emphasis);
    // The pieces markup cuts a sentence into are read on; only the last one ends it.
    ASSERT_GE(r.segments.size(), 3u);
    EXPECT_TRUE(r.segments.front().startsSentence);
    EXPECT_FALSE(r.segments.front().endsSentence);
    EXPECT_FALSE(r.segments[1].startsSentence);
    EXPECT_TRUE(r.segments.back().endsSentence);
    // CDATA is text taken literally.
    EXPECT_EQ(readAll(u"<sapi><![CDATA[a <b> &amp;]]></sapi>").spoken, U"a <b> &amp;");
}

TEST(FrontendMarkup, ProsodyElementsWrapOrHoldToTheEnd) {
    FrontEndContext ctx;
    ctx.rate = 8;
    ctx.volume = 80;
    Read r = readAll(
        u"a <rate speed='5'>b <rate absspeed='-3'>c</rate></rate> d <volume level='50'>e</volume> "
        u"<pitch middle='4'>f <pitch middle='9'>g</pitch></pitch> <pitch absmiddle='-2'/>h <rate speed='-10'/>",
        core::SVSFIsXML, ctx);
    EXPECT_EQ(segmentWith(r, U"a").rate, 8);
    EXPECT_EQ(segmentWith(r, U"b").rate, 10);  // 8 + 5, clamped
    EXPECT_EQ(segmentWith(r, U"c").rate, -3);
    EXPECT_EQ(segmentWith(r, U"d").rate, 8);
    EXPECT_EQ(segmentWith(r, U"e").volume, 40);  // half of the voice's own volume
    EXPECT_EQ(segmentWith(r, U"d").volume, 80);
    EXPECT_EQ(segmentWith(r, U"f").pitch, 4);
    EXPECT_EQ(segmentWith(r, U"g").pitch, 10);
    EXPECT_EQ(segmentWith(r, U"h").pitch, -2);
    EXPECT_EQ(segmentWith(r, U"h").rate, 8);
}

TEST(FrontendMarkup, SpellReadsLetterByLetterAtTheLettersPositions) {
    const std::u16string text = u"Name <spell>Ab1</spell>.";
    Read r = readAll(text);
    const Segment& s = segmentWith(r, U"A b 1");
    EXPECT_EQ(r.words, (Words{u"Name", u"A", u"b", u"1"}));
    const auto at = s.text.find(U"A b 1");
    EXPECT_EQ(s.sourceOffsets[at], 12);
    EXPECT_EQ(s.sourceOffsets[at + 2], 13);
    EXPECT_EQ(s.sourceOffsets[at + 4], 14);
}

TEST(FrontendMarkup, BookmarksAndSilencesKeepTheirOrder) {
    const std::u16string text =
        u"One <bookmark mark='12 go'/><silence msec='300'/><bookmark mark=\"b&amp;c\"/>two.<bookmark mark='-7'/>";
    Read r = readAll(text);
    std::vector<std::string> order;
    std::vector<int32_t> ids;
    std::vector<int32_t> positions;
    std::vector<std::string> sequence;  // marks, silences and texts as a listener meets them
    for (const auto& s : r.segments) {
        for (const auto& m : s.marks) {
            order.push_back(m.text);
            ids.push_back(m.id);
            positions.push_back(m.sourcePosition);
            sequence.push_back("mark " + m.text);
        }
        if (s.silenceMs) sequence.push_back("silence " + std::to_string(s.silenceMs));
        if (!s.text.empty()) sequence.push_back("text");
    }
    EXPECT_EQ(order, (std::vector<std::string>{"12 go", "b&c", "-7"}));
    EXPECT_EQ(ids, (std::vector<int32_t>{12, 0, -7}));
    EXPECT_EQ(positions, (std::vector<int32_t>{4, 49, 79}));
    EXPECT_EQ(sequence, (std::vector<std::string>{"text", "mark 12 go", "silence 300", "mark b&c", "text", "mark -7"}));
    EXPECT_EQ(r.words, (Words{u"One", u"two"}));
    // A text of marks alone still delivers them.
    Read only = readAll(u"<bookmark mark='x'/>");
    ASSERT_EQ(only.segments.size(), 1u);
    EXPECT_TRUE(only.segments[0].text.empty());
    EXPECT_EQ(only.segments[0].marks.size(), 1u);
}

TEST(FrontendMarkup, PronunciationBecomesEnginePhonemes) {
    const std::u16string text = u"Say <pron sym='h eh 1 l ow'>hello</pron> world<pron sym=\"k ae1 t\"/>.";
    Read r = readAll(text);
    const Segment& p = segmentWith(r, U"[[h'EloU]]");
    EXPECT_TRUE(p.phonemes);
    EXPECT_EQ(p.text, U"[[h'EloU]]");
    EXPECT_EQ(r.words, (Words{u"Say", u"hello", u"world"}));
    EXPECT_TRUE(segmentWith(r, U"[[k'at]]").phonemes);
    EXPECT_FALSE(segmentWith(r, U"world").phonemes);
    EXPECT_EQ(r.spoken.find(U"hello"), std::u32string::npos);
}

TEST(FrontendMarkup, VoiceAndLangPickAVoiceByAttributes) {
    FrontEndContext ctx = twoVoices();
    Read r = readAll(
        u"Hi <voice required='Gender=Female'>女</voice> back <lang langid='804'>中</lang> "
        u"<voice required='Language=411'>same</voice> <voice optional='Language=804'>opt</voice> "
        u"<lang langid='804'/>rest",
        core::SVSFIsXML, ctx);
    EXPECT_EQ(segmentWith(r, U"Hi").voice.Id(), "en-us");
    EXPECT_EQ(segmentWith(r, U"女").voice.Id(), "cmn-latn-pinyin");
    EXPECT_EQ(segmentWith(r, U"back").voice.Id(), "en-us");
    EXPECT_EQ(segmentWith(r, U"中").voice.Id(), "cmn-latn-pinyin");
    EXPECT_EQ(segmentWith(r, U"same").voice.Id(), "en-us");  // no such voice: the voice stays
    EXPECT_EQ(segmentWith(r, U"opt").voice.Id(), "cmn-latn-pinyin");
    EXPECT_EQ(segmentWith(r, U"rest").voice.Id(), "cmn-latn-pinyin");
}

TEST(FrontendMarkup, ContextReadsTheTextTheWayItSays) {
    const std::u16string text =
        u"<context id='number_digit'>123</context>; <context id='date_mdy'>12/25/2023</context>; "
        u"<context id='web_url'>a.org</context>; <context id='number_cardinal'>1,234</context>; "
        u"<context ID='Time'>10:05</context>; <context id='currency'>$3.50</context>; "
        u"<partofsp part='noun'>x</partofsp>";
    Read r = readAll(text);
    EXPECT_EQ(r.spoken, U"1 2 3; December 25 2023; a dot org; 1234; 10 oh 5; 3 dollars 50 cents; x");
    // Inserted words point at what they stand for: the month name at the month's number, "dot" at
    // the dot, the digits of a number at each digit; words with no text of their own are left out.
    EXPECT_EQ(r.words, (Words{u"1", u"2", u"3", u"12", u"25", u"2023", u"a", u".", u"org", u"1,234", u"10", u"0", u"5",
                              u"3", u"50", u"x"}));
}

struct BadCase {
    std::u16string text;
    int position;
    std::string what;
};

TEST(FrontendMarkup, MalformedMarkupIsRefusedWithItsPosition) {
    const std::vector<BadCase> cases = {
        {u"ok <volume level=\"200\">x</volume>", 18, "out of range"},
        {u"<rate speed=3>x</rate>", 12, "missing quote"},
        {u"<rate speed='3>x</rate>", 12, "missing closing quote"},
        {u"<pitch middle='high'/>", 15, "bad number"},
        {u"<emph>x</spell>", 7, "does not match"},
        {u"text </emph>", 5, "without a start tag"},
        {u"abc <volume level='5'", 4, "unterminated tag"},
        {u"<silence/>", 0, "msec"},
        {u"<silence msec='-1'/>", 15, "out of range"},
        {u"&#xD800; &#;", 0, "not a character"},
        {u"x <!-- open", 2, "unterminated comment"},
        {u"<lang langid='zz'/>", 14, "bad language id"},
        {u"<pron sym='h qq'/>", 11, "unknown phoneme"},
        {u"<partofsp part='adverb'>x</partofsp>", 16, "unknown part of speech"},
        {u"<speak><p>x</q></speak>", 11, "does not match"},
    };
    for (const auto& c : cases) {
        try {
            openText(std::make_shared<const std::u16string>(c.text), core::SVSFIsXML, {}, nullptr);
            ADD_FAILURE() << "accepted: " << c.what;
        } catch (const base::Error& e) {
            EXPECT_EQ(e.code(), base::errc::kMarkup);
            const std::string prefix = "XML error at character " + std::to_string(c.position) + ": ";
            EXPECT_EQ(e.description().rfind(prefix, 0), 0u) << e.description();
            EXPECT_NE(e.description().find(c.what), std::string::npos) << e.description();
        }
    }
    // Nesting deep enough to exhaust a naive reader is refused, not crashed on.
    std::u16string deep;
    for (int i = 0; i < 20000; ++i) deep += u"<emph>";
    EXPECT_THROW(openText(std::make_shared<const std::u16string>(deep), core::SVSFIsXML, {}, nullptr), base::Error);
    // An element left open holds to the end.
    EXPECT_TRUE(readAll(u"<emph>open").segments.at(0).emphasis);
}

// What the engine cannot take is refused where the markup is read, before anything is spoken: a
// pronunciation past its phonemes, an SSML attribute past its length, silences adding up to more
// than a day.
TEST(FrontendMarkup, TheEnginesBoundsAreKeptWhereTheMarkupIsRead) {
    auto repeat = [](std::u16string_view unit, size_t count) {
        std::u16string out;
        for (size_t i = 0; i < count; ++i) out += unit;
        return out;
    };
    const std::u16string ssml = u"<speak version='1.0' xml:lang='en'>";
    const struct {
        const char* name;
        std::u16string text;
        std::string refused;  // empty: accepted
    } cases[] = {
        {"100 phonemes", u"<pron sym='" + repeat(u"b aa ", 50) + u"'/>", ""},
        {"101 phonemes", u"<pron sym='" + repeat(u"b aa ", 50) + u"b'/>",
         "XML error at character 11: <pron> takes at most 100 phonemes (this one has 101)"},
        {"ten megabytes of pronunciation", u"<pron sym='" + repeat(u"b ", 5 << 20) + u"'/>",
         "XML error at character 11: <pron> takes a sym of at most 1000 characters (this one has 10485760)"},
        {"an SSML attribute of 4096", ssml + u"<phoneme ph='" + repeat(u"b", 4096) + u"'>x</phoneme></speak>", ""},
        {"an SSML attribute of 4097", ssml + u"<phoneme ph='" + repeat(u"b", 4097) + u"'>x</phoneme></speak>",
         "XML error at character 48: the ph attribute of <phoneme> takes at most 4096 characters"},
        {"silences of 24 hours", repeat(u"<silence msec='600000'/>", 144) + u"x", ""},
        {"silences of more", repeat(u"<silence msec='600000'/>", 145) + u"x",
         "XML error at character 3456: the silences of this text add up to more than 24 hours"},
        {"SSML breaks of 24 hours", ssml + repeat(u"<break time='600s'/>", 144) + u"x</speak>", ""},
        {"SSML breaks of more", ssml + repeat(u"<break time='600s'/>", 145) + u"x</speak>",
         "XML error at character 2915: the silences of this text add up to more than 24 hours"},
        {"an SSML pronunciation of 100 phonemes",
         ssml + u"<phoneme alphabet='x-sapi' ph='" + repeat(u"b aa ", 50) + u"'>x</phoneme></speak>", ""},
        {"an SSML pronunciation of 101 phonemes",
         ssml + u"<phoneme alphabet='x-sapi' ph='" + repeat(u"b aa ", 50) + u"b'>x</phoneme></speak>",
         "XML error at character 66: <phoneme> takes at most 100 phonemes (this one has 101)"},
        {"the engine's phonemes in 200 characters",
         ssml + u"<phoneme alphabet='x-espeak' ph='" + repeat(u"bA:", 66) + u"bA'>x</phoneme></speak>", ""},
        {"the engine's phonemes in 201 characters",
         ssml + u"<phoneme alphabet='x-espeak' ph='" + repeat(u"bA:", 67) + u"'>x</phoneme></speak>",
         "XML error at character 68: <phoneme> takes at most 200 characters of the engine's phonemes"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        try {
            openText(std::make_shared<const std::u16string>(c.text), core::SVSFIsXML, {}, nullptr);
            EXPECT_EQ(c.refused, "");
        } catch (const base::Error& e) {
            EXPECT_EQ(e.code(), base::errc::kMarkup);
            EXPECT_EQ(e.description(), c.refused);
        }
    }
}

// Pronunciations side by side reach the engine one phoneme word each, never run together past what
// it takes.
TEST(FrontendMarkup, PronunciationsSideBySideAreAPhonemeWordEach) {
    std::u16string text;
    for (int i = 0; i < 6; ++i) text += u"<pron sym='b aa b aa b aa'/>";
    Read r = readAll(text + u" end.");
    size_t words = 0;
    for (const auto& s : r.segments) {
        if (!s.phonemes) continue;
        EXPECT_EQ(s.text, U"[[bA:bA:bA:]]");
        ++words;
    }
    EXPECT_EQ(words, 6u);
}

TEST(FrontendMarkup, PersistedStateCarriesOverOnlyWithTheFlag) {
    FrontEndContext ctx = twoVoices();
    MarkupState state;
    readAll(
        u"<rate speed='2'/><volume level='50'/>a <pitch middle='3'>b</pitch> <emph><rate speed='9'/>c</emph> "
        u"<voice required='Language=804'/>d",
        core::SVSFIsXML | core::SVSFPersistXML, ctx, &state);
    EXPECT_EQ(state.relativeRate, 2);
    EXPECT_EQ(state.volume, 50);
    EXPECT_EQ(state.relativePitch, 0);
    ASSERT_TRUE(state.voice);
    EXPECT_EQ(state.voice->Id(), "cmn-latn-pinyin");

    ctx.persisted = state;
    Read next = readAll(u"<rate speed='1'/>more", core::SVSFIsXML | core::SVSFPersistXML, ctx, &state);
    EXPECT_EQ(next.segments.at(0).rate, 3);
    EXPECT_EQ(next.segments.at(0).volume, 50);
    EXPECT_EQ(next.segments.at(0).voice.Id(), "cmn-latn-pinyin");
    EXPECT_EQ(state.relativeRate, 3);

    MarkupState untouched;
    untouched.relativeRate = -4;
    readAll(u"<rate speed='5'/>x", core::SVSFIsXML, {}, &untouched);
    EXPECT_EQ(untouched.relativeRate, -4);
}

TEST(FrontendMarkup, SsmlGoesToTheEngineInSentencePieces) {
    const std::u16string text =
        u"<?xml version='1.0'?><speak version='1.0'>Hello there. <prosody rate='slow'>Slow. Words.</prosody> "
        u"End.</speak>";
    Read r = readAll(text);
    // Cut after a sentence only where no element but the root is open.
    ASSERT_EQ(r.segments.size(), 2u);
    for (const auto& s : r.segments) {
        EXPECT_TRUE(s.ssml);
        EXPECT_TRUE(s.startsSentence);
        for (size_t i = 0; i < s.text.size(); ++i)
            EXPECT_EQ(s.sourceOffsets[i] - s.sourceOffsets[0], static_cast<int32_t>(i));
    }
    EXPECT_EQ(r.spoken, std::u32string(text.begin(), text.end()));
    EXPECT_EQ(r.words, (Words{u"Hello", u"there", u"Slow", u"Words", u"End"}));
    EXPECT_EQ(text.substr(static_cast<size_t>(r.segments[1].sentencePosition),
                          static_cast<size_t>(r.segments[1].sentenceLength)),
              u"Slow. Words.</prosody> End.");

    // A long run deep inside elements is still handed over in bounded pieces, none of it lost.
    std::u16string longRun = u"<speak><p><s>";
    while (longRun.size() < 30000) longRun += u"word and word ";
    longRun += u"</s></p></speak>";
    Read l = readAll(longRun);
    EXPECT_GT(l.segments.size(), 2u);
    for (const auto& s : l.segments) EXPECT_LE(s.text.size(), 8001u);
    EXPECT_EQ(l.spoken, std::u32string(longRun.begin(), longRun.end()));
}

TEST(FrontendMarkup, SeekSentenceReplaysStateAndSkipsMarks) {
    const std::u16string text = u"<rate speed='4'/>Zero. <bookmark mark='m'/>One. <volume level='10'/>Two.";
    auto source = openText(std::make_shared<const std::u16string>(text), core::SVSFIsXML, {}, nullptr);
    ASSERT_TRUE(source->seekSentence(2));
    auto s = source->next();
    ASSERT_TRUE(s);
    EXPECT_EQ(s->rate, 4);
    EXPECT_EQ(s->volume, 10);
    ASSERT_TRUE(source->seekSentence(1));
    s = source->next();
    ASSERT_EQ(s->marks.size(), 1u);
    EXPECT_EQ(s->volume, 100);
    EXPECT_FALSE(source->seekSentence(3));
}

}  // namespace
