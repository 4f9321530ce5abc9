// SPDX-License-Identifier: GPL-3.0-or-later
#include "speech/engine/espeak/espeak_synthesizer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "speech/core/pinyin_tones.h"
#include "speech/engine/espeak/half_thirds.h"
#include "speech/engine/espeak/phonemes.h"

namespace speech::engine::espeak {
namespace {

// Collects what a synthesize() call produces; can stop it after a number of samples.
class Recorder : public SynthSink {
public:
    bool audio(std::span<const int16_t> samples) override {
        this->samples.insert(this->samples.end(), samples.begin(), samples.end());
        if (stopAfter != 0 && this->samples.size() >= stopAfter) {
            stoppedAt = std::chrono::steady_clock::now();
            return false;
        }
        return true;
    }
    bool event(const SynthEvent& e) override {
        events.push_back(e);
        return true;
    }
    std::vector<SynthEvent> of(SynthEvent::Kind kind) const {
        std::vector<SynthEvent> out;
        for (const auto& e : events)
            if (e.kind == kind) out.push_back(e);
        return out;
    }
    std::vector<int16_t> samples;
    std::vector<SynthEvent> events;
    size_t stopAfter = 0;
    std::chrono::steady_clock::time_point stoppedAt;
};

// Sets the locale variables for one test and restores them after.
class LocaleEnv {
public:
    LocaleEnv(const char* lcAll, const char* lcMessages, const char* lang) {
        for (const char* name : kNames) {
            const char* v = std::getenv(name);
            saved_.emplace_back(v ? std::optional<std::string>(v) : std::nullopt);
        }
        set("LC_ALL", lcAll);
        set("LC_MESSAGES", lcMessages);
        set("LANG", lang);
    }
    ~LocaleEnv() {
        for (size_t i = 0; i < 3; ++i) set(kNames[i], saved_[i] ? saved_[i]->c_str() : nullptr);
    }

private:
    static void set(const char* name, const char* value) {
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    static constexpr const char* kNames[3] = {"LC_ALL", "LC_MESSAGES", "LANG"};
    std::vector<std::optional<std::string>> saved_;
};

SynthRequest request(std::u32string text, std::string voice = "en-us") {
    SynthRequest r;
    r.text = std::move(text);
    r.voiceId = std::move(voice);
    return r;
}

std::string idOfDescription(const std::vector<core::SpObjectToken>& voices, const std::string& description) {
    for (const auto& v : voices)
        if (v.GetDescription() == description) return v.Id();
    return {};
}

TEST(PhonemeTable, MnemonicsMapToPhonesAndMouthShapes) {
    struct Case {
        const char* mnemonic;
        const char* phone;
        int viseme;
    };
    // English, then Mandarin ("s." retroflex, "S;" alveolo-palatal, "X" velar h), then fallbacks:
    // an unlisted vowel by its first letter, an aspirated stop by its plain stop, pauses as silence.
    const Case cases[] = {
        {"a", "ae", 1},     {"@", "ax", 1},    {"V", "ah", 1},  {"A:", "aa", 2}, {"O:", "ao", 3},  {"eI", "ey", 4},
        {"E", "eh", 4},     {"U", "uh", 4},    {"3:", "er", 5}, {"i", "iy", 6},  {"I", "ih", 6},   {"j", "y", 6},
        {"u:", "uw", 7},    {"w", "w", 7},     {"oU", "ow", 8}, {"aU", "aw", 9}, {"OI", "oy", 10}, {"aI", "ay", 11},
        {"h", "h", 12},     {"r", "r", 13},    {"l", "l", 14},  {"s", "s", 15},  {"z", "z", 15},   {"S", "sh", 16},
        {"tS", "ch", 16},   {"dZ", "jh", 16},  {"Z", "zh", 16}, {"T", "th", 17}, {"D", "dh", 17},  {"f", "f", 18},
        {"v", "v", 18},     {"t", "t", 19},    {"d", "d", 19},  {"n", "n", 19},  {"k", "k", 20},   {"g", "g", 20},
        {"N", "ng", 20},    {"p", "p", 21},    {"b", "b", 21},  {"m", "m", 21},  {"s.", "sh", 16}, {"ts.", "ch", 16},
        {"S;", "sh", 16},   {"tS;", "ch", 16}, {"X", "h", 12},  {"Au", "aw", 9}, {"i.", "iy", 6},  {"ong", "ow", 8},
        {"ts.h", "ch", 16}, {"kh", "k", 20},   {"E2", "eh", 4}, {"_", "_", 0},   {"_:", "_", 0},   {"_|", "_", 0},
        {"", "_", 0},       {"%", "_", 0},
    };
    for (const Case& c : cases) {
        const PhoneInfo info = phoneOf(c.mnemonic);
        EXPECT_EQ(info.name, c.phone) << c.mnemonic;
        EXPECT_EQ(info.viseme, c.viseme) << c.mnemonic;
        EXPECT_EQ(phoneName(info.id), info.name) << c.mnemonic;
        EXPECT_EQ(visemeOfPhone(info.id), info.viseme) << c.mnemonic;
    }
    // Ids are stable positions: silence is 7 and the sounds keep their numbers.
    EXPECT_EQ(phoneOf("_").id, kSilencePhone);
    EXPECT_EQ(phoneOf("A:").id, 10);
    EXPECT_EQ(phoneOf("Z").id, 49);
    EXPECT_TRUE(phoneName(0).empty());
    EXPECT_TRUE(phoneName(50).empty());
    EXPECT_EQ(visemeOfPhone(-3), 0);
}

TEST(EspeakVoices, ListIsUniqueAndOrderedByLocale) {
    auto synth = makeEspeakSynthesizer();
    std::vector<core::SpObjectToken> c, zh, us, precedence;
    {
        LocaleEnv env(nullptr, nullptr, "C");
        c = synth->voices();
        EXPECT_EQ(synth->voices(), c) << "the order changes between calls";
    }
    {
        LocaleEnv env(nullptr, nullptr, "zh_CN.UTF-8");
        zh = synth->voices();
    }
    {
        LocaleEnv env(nullptr, nullptr, "en_US");
        us = synth->voices();
    }
    {
        // LC_ALL wins over LC_MESSAGES, which wins over LANG.
        LocaleEnv env("zh_CN.UTF-8", "en_US.UTF-8", "de_DE.UTF-8");
        precedence = synth->voices();
    }
    ASSERT_GT(c.size(), 20u);
    EXPECT_EQ(zh.front().GetDescription(), "Chinese (Mandarin)");
    EXPECT_EQ(zh.front().Id(), "cmn-latn-pinyin");
    EXPECT_EQ(us.front().GetDescription(), "English (America)");
    EXPECT_TRUE(c.front().GetDescription().starts_with("English")) << c.front().GetDescription();
    EXPECT_EQ(precedence.front().Id(), "cmn-latn-pinyin");
    {
        LocaleEnv env(nullptr, "de_DE.UTF-8", "en_US.UTF-8");
        EXPECT_EQ(synth->voices().front().GetAttribute("Language"), "407;7");
    }

    std::set<std::string> descriptions, ids;
    for (const auto& v : c) {
        EXPECT_TRUE(descriptions.insert(v.GetDescription()).second) << "repeated " << v.GetDescription();
        EXPECT_TRUE(ids.insert(v.Id()).second) << "repeated id " << v.Id();
        EXPECT_EQ(v.GetDescription().find('_'), std::string::npos) << v.GetDescription();
        EXPECT_FALSE(v.Id().starts_with("mb")) << v.Id();
        EXPECT_NE(v.Id(), "cmn") << "the Mandarin voice that reads pinyin as English is listed";
    }
    // After the first voice, the rest is in description order.
    for (size_t i = 2; i < c.size(); ++i) EXPECT_LT(c[i - 1].GetDescription(), c[i].GetDescription());
    EXPECT_EQ(std::set<std::string>(descriptions), [&] {
        std::set<std::string> s;
        for (const auto& v : zh) s.insert(v.GetDescription());
        return s;
    }());
}

TEST(EspeakVoices, TokensCarryAttributesForSelection) {
    auto synth = makeEspeakSynthesizer();
    const auto voices = synth->voices();
    const std::string us = idOfDescription(voices, "English (America)");
    const std::string gb = idOfDescription(voices, "English (Great Britain)");
    ASSERT_FALSE(us.empty());
    ASSERT_FALSE(gb.empty());
    int english = 0;
    for (const auto& v : voices) {
        EXPECT_FALSE(v.GetAttribute("Gender").empty());
        EXPECT_EQ(v.GetAttribute("Name"), v.GetDescription());
        if (v.matches("Language=409")) {
            EXPECT_TRUE(v.GetDescription().starts_with("English (America")) << v.GetDescription();
        }
        if (v.matches("Language=804")) {
            EXPECT_EQ(v.Id(), "cmn-latn-pinyin");
        }
        if (v.matches("Language=9")) ++english;
    }
    EXPECT_GE(english, 5);
}

TEST(EspeakSynthesis, HelloWorldGivesAudioAndWordsAtCodePointPositions) {
    auto synth = makeEspeakSynthesizer();
    EXPECT_EQ(synth->sampleRate(), 22050);
    Recorder rec;
    {
        auto r = synth->synthesize(request(U"Hello world."), rec);
        ASSERT_TRUE(r) << r.fault().message;
    }
    ASSERT_GT(rec.samples.size(), 22050u / 2);
    const auto words = rec.of(SynthEvent::Kind::Word);
    ASSERT_EQ(words.size(), 2u);
    EXPECT_EQ(words[0].textPosition, 0);
    EXPECT_EQ(words[0].length, 5);
    EXPECT_EQ(words[1].textPosition, 6);
    EXPECT_EQ(words[1].length, 5);
    EXPECT_GT(words[1].sample, words[0].sample);
    EXPECT_LT(words[1].sample, rec.samples.size());
    ASSERT_FALSE(rec.of(SynthEvent::Kind::Sentence).empty());
    EXPECT_EQ(rec.of(SynthEvent::Kind::Sentence).front().textPosition, 0);
    ASSERT_FALSE(rec.events.empty());
    EXPECT_EQ(rec.events.back().kind, SynthEvent::Kind::End);
    EXPECT_EQ(rec.events.back().sample, rec.samples.size());

    // Phonemes come with mouth shapes, in time order, and the word "world" opens with a rounded w.
    const auto phonemes = rec.of(SynthEvent::Kind::Phoneme);
    ASSERT_GT(phonemes.size(), 5u);
    uint64_t last = 0;
    bool roundedW = false;
    for (const auto& p : phonemes) {
        EXPECT_GE(p.sample, last);
        last = p.sample;
        EXPECT_GE(p.viseme, 0);
        EXPECT_LT(p.viseme, kVisemeCount);
        EXPECT_EQ(p.phoneId, phoneOf(p.name).id);
        if (p.name == "w") roundedW = p.viseme == 7;
    }
    EXPECT_TRUE(roundedW);
    // "Hello world": the second syllable of hello and the vowel of world are stressed, the first
    // vowel of hello is not.
    std::vector<std::string> stressedVowels, plainVowels;
    for (const auto& p : phonemes) {
        if (p.viseme == 0 || p.viseme >= 12 || p.name == "w") continue;  // vowels only
        (p.stressed ? stressedVowels : plainVowels).push_back(p.name);
    }
    EXPECT_EQ(stressedVowels, (std::vector<std::string>{"oU", "3:"}));
    EXPECT_EQ(plainVowels, (std::vector<std::string>{"@"}));

    // Unasked for, phonemes are left out; the words and the audio still come.
    Recorder without;
    SynthRequest plain = request(U"Hello world.");
    plain.stress = false;
    ASSERT_TRUE(synth->synthesize(plain, without));
    EXPECT_TRUE(without.of(SynthEvent::Kind::Phoneme).empty());
    EXPECT_EQ(without.of(SynthEvent::Kind::Word).size(), words.size());
    EXPECT_NEAR(static_cast<double>(without.samples.size()), static_cast<double>(rec.samples.size()),
                rec.samples.size() * 0.05);

    // Audio is not silent.
    int peak = 0;
    for (int16_t s : rec.samples) peak = std::max(peak, std::abs(int(s)));
    EXPECT_GT(peak, 3000);
}

TEST(EspeakSynthesis, AnotherScriptInsideARunLeavesTheRunsVoiceLoaded) {
    // Chinese inside an English run is read by the engine's second copy: the English voice stays
    // loaded. Outside a run it is read by the main copy, which loads Mandarin.
    for (const bool inRun : {true, false}) {
        auto synth = makeEspeakSynthesizer();
        ASSERT_TRUE(prepareEspeakVoice("en-us"));
        SynthRequest chinese = request(U"你好世界。", "cmn-latn-pinyin");
        if (inRun) chinese.runVoiceId = "en-us";
        Recorder rec;
        ASSERT_TRUE(synth->synthesize(chinese, rec));
        EXPECT_GT(rec.samples.size(), 22050u / 2) << inRun;
        EXPECT_GE(rec.of(SynthEvent::Kind::Word).size(), 2u) << inRun;
        const auto reloaded = prepareEspeakVoice("en-us");
        ASSERT_TRUE(reloaded);
        EXPECT_EQ(reloaded.value(), !inRun) << "English had to be loaded again: " << reloaded.value();
    }
}

TEST(EspeakSynthesis, ChineseAndTextOutsideTheBasicPlane) {
    auto synth = makeEspeakSynthesizer();
    Recorder rec;
    ASSERT_TRUE(synth->synthesize(request(U"你好世界。", "cmn-latn-pinyin"), rec));
    const auto words = rec.of(SynthEvent::Kind::Word);
    ASSERT_GE(words.size(), 2u);
    for (const auto& w : words) {
        EXPECT_GE(w.textPosition, 0);
        EXPECT_LT(w.textPosition, 4);
    }
    EXPECT_GT(rec.of(SynthEvent::Kind::Phoneme).size(), 4u);
    EXPECT_GT(rec.samples.size(), 22050u / 2);

    // An emoji is one code point: the word after it is at code point 3.
    Recorder emoji;
    ASSERT_TRUE(synth->synthesize(request(U"a \U0001F600 cat"), emoji));
    bool sawCat = false;
    for (const auto& w : emoji.of(SynthEvent::Kind::Word)) sawCat = sawCat || (w.textPosition == 4 && w.length == 3);
    EXPECT_TRUE(sawCat);

    // A NUL in the text does not cut it short.
    Recorder nul;
    ASSERT_TRUE(synth->synthesize(request(std::u32string(U"one") + U'\0' + U"two"), nul));
    EXPECT_EQ(nul.of(SynthEvent::Kind::Word).size(), 2u);
}

// A half third is sent as the phonemes of its syllable with the 21 contour, which espeak-ng keeps
// where it would make a third tone before a third tone rise; the text around it keeps its places, and
// text that looks like phoneme input stays text.
TEST(EspeakSynthesis, AHalfThirdIsSentAsItsPhonemesAndTheTextKeepsItsPlaces) {
    EXPECT_EQ(halfThirdContour("ts'u214_|"), "ts'u21");
    EXPECT_EQ(halfThirdContour("s.w'ei214"), "s.w'ei21");
    for (const char* notOne : {"", "ts'u35_|", "214", "a b214"}) EXPECT_EQ(halfThirdContour(notOne), "") << notOne;

    const auto phonemesOf = [](const std::string& letters) { return letters == "zu" ? "ts'u21" : ""; };
    const std::u32string m(1, core::kHalfThirdTone);
    // Where each code point sent came from: the phonemes all from their syllable's start.
    const auto from = [](std::initializer_list<int32_t> before, int32_t syllable,
                         std::initializer_list<int32_t> after) {
        std::vector<int32_t> v(before);
        v.insert(v.end(), 10, syllable);  // "[[ts'u21]]"
        v.insert(v.end(), after);
        return v;
    };
    struct Case {
        std::u32string text;
        bool keepPhonemeInput;
        std::u32string sent;
        std::vector<int32_t> origin;  // one past the end too; empty when the text goes as it is
    };
    const Case cases[] = {
        {U"xiao2zu" + m + U" hen3", false, U"xiao2[[ts'u21]] hen3", from({0, 1, 2, 3, 4}, 5, {8, 9, 10, 11, 12, 13})},
        {U"[[x]] zu" + m, false, U"[ [x]] [[ts'u21]]", from({0, 1, 1, 2, 3, 4, 5}, 6, {9})},
        {U"[[x]] zu" + m, true, U"[[x]] [[ts'u21]]", from({0, 1, 2, 3, 4, 5}, 6, {9})},
        {U"ma" + m + U" " + m, false, U"ma3 3", {0, 1, 2, 3, 4, 5}},
        {U"[[x]] zu3", false, U"[[x]] zu3", {}},
    };
    for (const Case& c : cases) {
        std::vector<int32_t> origin;
        EXPECT_EQ(withHalfThirds(c.text, c.keepPhonemeInput, phonemesOf, origin), c.sent);
        EXPECT_EQ(origin, c.origin);
    }

    // The real engine: the words after a half third are where the text sent has them.
    auto synth = makeEspeakSynthesizer();
    const std::u32string half = U"xiao2zu" + m + U" hen3mang2";
    Recorder rec;
    ASSERT_TRUE(synth->synthesize(request(half, "cmn-latn-pinyin"), rec));
    const auto words = rec.of(SynthEvent::Kind::Word);
    ASSERT_FALSE(words.empty());
    EXPECT_EQ(words.back().textPosition, 9);
    EXPECT_EQ(words.back().length, 9);
}

TEST(EspeakSynthesis, RateScalesDurationBothWays) {
    auto synth = makeEspeakSynthesizer();
    const std::u32string text =
        U"The quick brown fox jumps over the lazy dog, and then it runs far away into the woods.";
    auto duration = [&](int rate) {
        Recorder rec;
        SynthRequest r = request(text);
        r.rate = rate;
        r.endPause = false;
        EXPECT_TRUE(synth->synthesize(r, rec));
        EXPECT_EQ(rec.events.back().sample, rec.samples.size());
        // Events stay inside the audio also when it is stretched.
        for (const auto& e : rec.events) EXPECT_LE(e.sample, rec.samples.size());
        return static_cast<double>(rec.samples.size());
    };
    const double normal = duration(0);
    const double fast = duration(10);
    const double slow = duration(-10);
    const double slower = duration(-5);
    EXPECT_GT(normal / fast, 2.2);
    EXPECT_LT(normal / fast, 3.8);
    EXPECT_GT(slow / normal, 2.2);
    EXPECT_LT(slow / normal, 3.8);
    EXPECT_GT(slow, slower * 1.3);
    EXPECT_NEAR(wordsPerMinute(0), 175, 0.01);
    EXPECT_NEAR(wordsPerMinute(10) / wordsPerMinute(5), wordsPerMinute(5) / wordsPerMinute(0), 1e-9);
}

TEST(EspeakSynthesis, VolumeScalesAndUnknownVoiceIsAFault) {
    auto synth = makeEspeakSynthesizer();
    auto peakAt = [&](int volume) {
        Recorder rec;
        SynthRequest r = request(U"Testing the volume.");
        r.volume = volume;
        EXPECT_TRUE(synth->synthesize(r, rec));
        int peak = 0;
        for (int16_t s : rec.samples) peak = std::max(peak, std::abs(int(s)));
        return peak;
    };
    const int full = peakAt(100);
    EXPECT_NEAR(peakAt(50), full / 2, full / 50 + 2);
    EXPECT_EQ(peakAt(0), 0);

    Recorder rec;
    const auto r = synth->synthesize(request(U"x", "no-such-voice"), rec);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.fault().code, base::errc::kNoVoice);
    EXPECT_NE(r.fault().message.find("no-such-voice"), std::string::npos);
}

TEST(EspeakSynthesis, AbortStopsQuicklyAndTheEngineKeepsWorking) {
    auto synth = makeEspeakSynthesizer();
    std::u32string longText;
    for (int i = 0; i < 200; ++i) longText += U"This sentence is spoken again and again. ";
    Recorder rec;
    rec.stopAfter = 4000;
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(synth->synthesize(request(longText), rec));
    const auto returned = std::chrono::steady_clock::now();
    EXPECT_LT(rec.samples.size(), 22050u);
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(returned - rec.stoppedAt).count(), 50);
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(returned - start).count(), 2000);
    for (const auto& e : rec.events) EXPECT_NE(e.kind, SynthEvent::Kind::End) << "an aborted call ended normally";

    Recorder after;
    ASSERT_TRUE(synth->synthesize(request(U"Hello world."), after));
    ASSERT_EQ(after.of(SynthEvent::Kind::Word).size(), 2u);
    EXPECT_EQ(after.of(SynthEvent::Kind::Word)[1].textPosition, 6);
}

TEST(EspeakSynthesis, CallsFromSeveralThreadsAreSerialized) {
    // espeak-ng crashes when two threads synthesize at once; every instance shares one lock.
    auto first = makeEspeakSynthesizer();
    auto second = makeEspeakSynthesizer();
    std::vector<size_t> wordCounts[2];
    auto run = [&](Synthesizer& synth, std::vector<size_t>& counts, const char32_t* text, const char* voice) {
        for (int i = 0; i < 5; ++i) {
            Recorder rec;
            EXPECT_TRUE(synth.synthesize(request(text, voice), rec));
            counts.push_back(rec.of(SynthEvent::Kind::Word).size());
        }
    };
    std::thread a([&] { run(*first, wordCounts[0], U"Hello world.", "en-us"); });
    std::thread b([&] { run(*second, wordCounts[1], U"One two three.", "en-gb"); });
    a.join();
    b.join();
    EXPECT_EQ(wordCounts[0], std::vector<size_t>(5, 2));
    EXPECT_EQ(wordCounts[1], std::vector<size_t>(5, 3));
}

TEST(EspeakSynthesis, MarksAndSpokenPunctuation) {
    auto synth = makeEspeakSynthesizer();
    Recorder rec;
    SynthRequest r = request(U"<speak>One <mark name=\"first\"/> two.</speak>");
    r.ssml = true;
    ASSERT_TRUE(synth->synthesize(r, rec));
    const auto marks = rec.of(SynthEvent::Kind::Mark);
    ASSERT_EQ(marks.size(), 1u);
    EXPECT_EQ(marks[0].name, "first");

    Recorder plain, punct;
    ASSERT_TRUE(synth->synthesize(request(U"a, b; c!"), plain));
    SynthRequest p = request(U"a, b; c!");
    p.speakPunctuation = true;
    ASSERT_TRUE(synth->synthesize(p, punct));
    EXPECT_GT(punct.samples.size(), plain.samples.size() * 6 / 5);
}

}  // namespace
}  // namespace speech::engine::espeak
