// SPDX-License-Identifier: GPL-3.0-or-later
// The Mandarin reading a voice prints is what its engine is sent, a user lexicon changes both, and
// the real engine's Word events are the reader's whole words.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "speech/backends.h"
#include "speech/core/formats.h"
#include "speech/core/pinyin_tones.h"
#include "speech/streams.h"
#include "speech/text/mandarin/pinyin.h"
#include "speech/voice.h"
#include "tests/support/test_files.h"
#include "tests/support/voice_helpers.h"

using namespace speech;
using namespace testing_support;

namespace {

// The toned syllables in `s` (lower-case letters closed by a tone digit), in order.
std::vector<std::string> syllablesIn(const std::string& s) {
    std::vector<std::string> out;
    std::string letters;
    for (char c : s) {
        if (c >= 'a' && c <= 'z') {
            letters += c;
            continue;
        }
        if (c >= '1' && c <= '5' && !letters.empty()) out.push_back(letters + c);
        letters.clear();
    }
    return out;
}

// The syllables the engine was sent: its text's words of letters and digits, read back, a half third
// as the third tone it is (counted in `halfThirds`).
std::vector<std::string> sentSyllables(const ScriptedSynthesizer& synth, int& halfThirds) {
    std::vector<std::string> out;
    for (const engine::SynthRequest& r : synth.requests()) {
        std::u32string word;
        for (char32_t c : r.text + U' ') {
            if ((c >= U'a' && c <= U'z') || (c >= U'0' && c <= U'9') || c == U'\'') {
                word += c;
                continue;
            }
            if (c == core::kHalfThirdTone) {
                word += U'3';
                ++halfThirds;
                continue;
            }
            for (auto& s : text::mandarin::syllablesOfEngineWord(word)) out.push_back(std::move(s));
            word.clear();
        }
    }
    return out;
}

// The scripted synthesizer with a Mandarin voice of espeak-ng's kind, which reads pinyin.
class PinyinSynthesizer final : public engine::Synthesizer {
public:
    std::vector<SpObjectToken> voices() override {
        return {SpObjectToken(TokenKind::Voice, "cmn-latn-pinyin", "Chinese (Mandarin)",
                              {{"Language", "804"}, {"Vendor", "eSpeak NG"}})};
    }
    int sampleRate() const override { return scripted.sampleRate(); }
    Result<void> synthesize(const engine::SynthRequest& request, engine::SynthSink& sink) override {
        return scripted.synthesize(request, sink);
    }
    ScriptedSynthesizer scripted;
};

void speakIntoFile(SpVoice& voice, const std::u16string& text, const std::string& path) {
    auto file = std::make_shared<SpFileStream>();
    file->Format().SetType(SAFT22kHz16BitMono);
    file->Open(path, SSFMCreateForWrite, false);
    voice.SetAudioOutputStream(file);
    voice.Speak(text, SVSFDefault);
    file->Close();
}

// The reading with the tones spoken (--pinyin=spoken) is what the engine is sent, a half third marked
// for the engine to keep; the plain reading keeps the dictionary's tones.
TEST(PinyinReading, SpokenIsWhatTheEngineIsSentAndTheUsersLexiconChangesBoth) {
    TempDir dir;
    const std::string lexicon = dir.file("lexicon.pls");
    std::ofstream(lexicon) << "<?xml version=\"1.0\"?>\n<lexicon version=\"1.0\" alphabet=\"x-pinyin\">"
                              "<lexeme><grapheme>银行</grapheme><phoneme>yin2 xing2</phoneme></lexeme></lexicon>\n";
    const std::u16string text =
        u"我们去银行取了3.5%的钱。哪儿有一点儿东西？不对，一天只数一数。長大了就知道為什麼。你好，好旅馆。小组很忙。";
    for (const bool withLexicon : {false, true}) {
        ScriptedBackends b;
        auto synth = std::make_shared<PinyinSynthesizer>();
        SpVoice voice(Backends{synth, b.host});
        if (withLexicon) voice.addLexicon(lexicon);
        const std::string spoken = voice.pinyinReading(text, SVSFDefault, false, true);
        const std::string printed = voice.pinyinReading(text, SVSFDefault, false);
        speakIntoFile(voice, text, dir.file("out.wav"));
        int halfThirds = 0;
        EXPECT_EQ(sentSyllables(synth->scripted, halfThirds), syllablesIn(spoken)) << spoken;
        EXPECT_EQ(halfThirds, 2);  // 只 before 数一数, 组 before 很
        EXPECT_NE(spoken.find("xiao2 zu3 hen3 mang2"), std::string::npos) << spoken;
        EXPECT_NE(spoken.find("san1 dian2 wu3"), std::string::npos) << spoken;
        EXPECT_NE(spoken.find("nar2 you3"), std::string::npos) << spoken;
        EXPECT_NE(spoken.find("ni2 hao3 ， hao3 lv2 guan3"), std::string::npos) << spoken;
        EXPECT_NE(printed.find("ni3 hao3 ， hao3 lv3 guan3"), std::string::npos) << printed;
        EXPECT_NE(printed.find(withLexicon ? "yin2 xing2" : "yin2 hang2"), std::string::npos) << printed;
        EXPECT_NE(printed.find("bai3 fen1 zhi1 san1 dian3 wu3"), std::string::npos) << printed;
        EXPECT_NE(printed.find("nar3 you3"), std::string::npos) << printed;
    }
}

TEST(PinyinReading, TheEnginesWordEventsAreTheReadersWords) {
    TempDir dir;
    SpVoice voice(engineWithoutDevices());
    voice.SetVoice(voice.GetVoices("Language=804", "").Item(0));
    EventLog log(voice);
    speakIntoFile(voice, u"我们去银行。", dir.file("out.wav"));
    ASSERT_TRUE(log.waitFor(EventKind::EndStream));
    std::vector<std::pair<int32_t, int32_t>> words;
    for (const VoiceEvent& e : log.events()) {
        if (e.kind == EventKind::Word) words.emplace_back(e.characterPosition, e.length);
    }
    EXPECT_EQ(words, (std::vector<std::pair<int32_t, int32_t>>{{0, 2}, {2, 1}, {3, 2}}));  // 我们 去 银行
}

TEST(PinyinReading, ALexiconThatCannotBeReadIsRefusedWithItsName) {
    TempDir dir;
    ScriptedBackends b;
    SpVoice voice(b.backends());
    const std::string bad = dir.file("bad.pls");
    std::ofstream(bad) << "<lexicon version=\"1.0\"><lexeme><grapheme>x</grapheme></lexicon>";
    try {
        voice.addLexicon(bad);
        FAIL() << "a malformed lexicon was taken";
    } catch (const Error& e) {
        EXPECT_EQ(e.code(), errc::kFile);
        EXPECT_EQ(e.description().rfind(bad + ":1: ", 0), 0u) << e.description();
    }
}

}  // namespace
