// SPDX-License-Identifier: GPL-3.0-or-later
// The voice over the real engine (espeak-ng) into WAV file streams: word positions, formats, bad input.
#include <gtest/gtest.h>
#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <thread>

#include "speech/core/formats.h"
#include "speech/engine/espeak/espeak_synthesizer.h"
#include "speech/engine/espeak/phonemes.h"
#include "speech/streams.h"
#include "speech/voice.h"
#include "tests/support/test_files.h"
#include "tests/support/voice_helpers.h"

using namespace speech;
using namespace testing_support;
namespace fs = std::filesystem;

namespace {

class SpeechToFile : public ::testing::Test {
protected:
    void SetUp() override {
        voice_ = std::make_unique<SpVoice>(engineWithoutDevices());
        log_ = std::make_unique<EventLog>(*voice_);
    }
    void TearDown() override {
        log_.reset();
        voice_.reset();
    }

    // Renders `text` into a new file of `type`; returns its path.
    std::string render(const std::u16string& text, int32_t type = SAFT22kHz16BitMono, int32_t flags = SVSFDefault,
                       const std::string& name = "out.wav") {
        const std::string path = (dir_ / name).string();
        auto file = std::make_shared<SpFileStream>();
        file->Format().SetType(type);
        file->Open(path, SSFMCreateForWrite, false);
        voice_->SetAllowAudioOutputFormatChangesOnNextSet(false);
        voice_->SetAudioOutputStream(file);
        voice_->Speak(text, flags);
        file->Close();
        return path;
    }

    std::vector<VoiceEvent> events(EventKind kind) {
        std::vector<VoiceEvent> out;
        for (const auto& e : log_->events())
            if (e.kind == kind) out.push_back(e);
        return out;
    }

    std::vector<std::u16string> spokenWords(const std::u16string& text) {
        std::vector<std::u16string> out;
        for (const auto& w : events(EventKind::Word)) {
            EXPECT_GE(w.characterPosition, 0);
            EXPECT_LE(static_cast<size_t>(w.characterPosition + w.length), text.size());
            out.push_back(text.substr(static_cast<size_t>(w.characterPosition), static_cast<size_t>(w.length)));
        }
        return out;
    }

    void useVoice(std::string_view idPart) {
        for (const auto& t : voice_->GetVoices("", "")) {
            if (t.Id().find(idPart) != std::string::npos) {
                voice_->SetVoice(t);
                return;
            }
        }
        FAIL() << "no voice " << idPart;
    }

    TempDir tempDir_;
    fs::path dir_ = tempDir_.path();
    std::unique_ptr<SpVoice> voice_;
    std::unique_ptr<EventLog> log_;
};

struct WavInfo {
    SF_INFO info{};
    std::vector<float> samples;
    float peak = 0;
};

WavInfo readWav(const std::string& path) {
    WavInfo w;
    SNDFILE* f = sf_open(path.c_str(), SFM_READ, &w.info);
    if (!f) return w;
    w.samples.resize(static_cast<size_t>(w.info.frames * w.info.channels));
    sf_readf_float(f, w.samples.data(), w.info.frames);
    sf_close(f);
    for (float s : w.samples) w.peak = std::max(w.peak, std::abs(s));
    return w;
}

}  // namespace

TEST_F(SpeechToFile, EnglishWordsAreTheWordsOfTheText) {
    const std::u16string text = u"The quick brown fox jumps. Over the lazy dog!";
    render(text);
    EXPECT_EQ(spokenWords(text), (std::vector<std::u16string>{u"The", u"quick", u"brown", u"fox", u"jumps", u"Over",
                                                              u"the", u"lazy", u"dog"}));
    auto sentences = events(EventKind::Sentence);
    ASSERT_EQ(sentences.size(), 2u);
    EXPECT_EQ(sentences[1].characterPosition, 27);
    auto all = log_->events();
    EXPECT_EQ(all.front().kind, EventKind::StartStream);
    EXPECT_EQ(all.back().kind, EventKind::EndStream);
    EXPECT_EQ(all.back().streamPosition, fs::file_size(dir_ / "out.wav") - 44);
}

TEST_F(SpeechToFile, WordsAfterEmojiAndCrLfKeepTheirUtf16Offsets) {
    const std::u16string text = u16("Pizza \U0001F355 tonight,\r\nthen cake \U0001F382 later.\r\nDone");
    render(text);
    auto words = spokenWords(text);
    for (const auto& w : {u"Pizza", u"tonight", u"then", u"cake", u"later", u"Done"}) {
        EXPECT_NE(std::find(words.begin(), words.end(), std::u16string(w)), words.end()) << utf8(w);
    }
    for (const auto& w : words) {
        EXPECT_EQ(w.find_first_of(u" \r\n"), std::u16string::npos) << utf8(w);
    }
}

TEST_F(SpeechToFile, ChineseWordsAreWordsOfTheText) {
    useVoice("cmn");
    const std::u16string text = u"你好，世界。今天天气很好。";
    render(text);
    auto words = spokenWords(text);
    ASSERT_GE(words.size(), 3u);
    int32_t last = -1;
    for (const auto& w : events(EventKind::Word)) {
        EXPECT_GT(w.characterPosition, last);
        last = w.characterPosition;
    }
    for (const auto& w : words) {
        EXPECT_EQ(w.find_first_of(u"，。"), std::u16string::npos) << utf8(w);
    }
    EXPECT_EQ(words.front(), std::u16string(u"你好"));
    EXPECT_EQ(events(EventKind::Sentence).size(), 2u);
}

TEST_F(SpeechToFile, EveryFormatGivesItsHeaderAndASignalOfTheSameLength) {
    const std::u16string text = u"Testing every format.";
    const WavInfo reference = readWav(render(text, SAFT22kHz16BitMono, SVSFDefault, "ref.wav"));
    ASSERT_GT(reference.info.frames, 11025);  // more than half a second
    const double seconds = static_cast<double>(reference.info.frames) / 22050.0;
    for (const auto& entry : formatTable()) {
        const WaveFormat want = *waveFormatOf(entry.type);
        const WavInfo got = readWav(render(text, entry.type, SVSFDefault, std::string(entry.name) + ".wav"));
        EXPECT_EQ(got.info.samplerate, want.sampleRate) << entry.name;
        EXPECT_EQ(got.info.channels, want.channels) << entry.name;
        EXPECT_EQ(got.info.format & SF_FORMAT_SUBMASK, want.bitsPerSample == 8 ? SF_FORMAT_PCM_U8 : SF_FORMAT_PCM_16)
            << entry.name;
        EXPECT_NEAR(static_cast<double>(got.info.frames) / want.sampleRate, seconds, 0.01) << entry.name;
        EXPECT_GT(got.peak, 0.05f) << entry.name;
    }
}

TEST_F(SpeechToFile, BadInputGivesSpeechNotACrash) {
    // A lone surrogate and a NUL inside the text.
    std::u16string text = u"before ";
    text += char16_t(0xD800);
    text += u" middle ";
    text += char16_t(0);
    text += u" after";
    const WavInfo w = readWav(render(text));
    EXPECT_GT(w.peak, 0.05f);
    auto words = spokenWords(text);
    EXPECT_EQ(words, (std::vector<std::u16string>{u"before", u"middle", u"after"}));
    EXPECT_EQ(events(EventKind::EndStream).size(), 1u);
}

TEST_F(SpeechToFile, AHundredThousandCharacterLineStartsAtOnceAndCanBeStopped) {
    std::u16string text;
    for (int i = 0; text.size() < 100000; ++i) text += u"word" + u16(std::to_string(i % 1000)) + u" ";
    auto file = std::make_shared<SpFileStream>();
    file->Open((dir_ / "line.wav").string(), SSFMCreateForWrite, false);
    voice_->SetAudioOutputStream(file);
    voice_->Speak(text, SVSFlagsAsync);
    ASSERT_TRUE(log_->waitFor(EventKind::Word, 50));
    voice_->Speak(u"", SVSFPurgeBeforeSpeak);
    EXPECT_TRUE(voice_->WaitUntilDone(2000));
    EXPECT_THROW(file->Close(), Error);  // a render cut short saves nothing
    auto words = spokenWords(text);
    ASSERT_GE(words.size(), 50u);
    for (size_t i = 0; i < 50; ++i) EXPECT_EQ(words[i], u"word" + u16(std::to_string(i))) << i;
    EXPECT_EQ(events(EventKind::EndStream).size(), 1u);
}

TEST_F(SpeechToFile, TextFilesWithBadBytesAreSpokenWithReplacements) {
    const std::string path = (dir_ / "bytes.txt").string();
    {
        FILE* f = std::fopen(path.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        std::fputs("valid words \xFF\xFE\xC3 broken then fine.", f);
        std::fclose(f);
    }
    const WavInfo w = readWav(render(u16(path), SAFT22kHz16BitMono, SVSFIsFilename));
    EXPECT_GT(w.peak, 0.05f);
    EXPECT_GE(events(EventKind::Word).size(), 4u);
}

TEST_F(SpeechToFile, PurgeFromAnotherThreadStopsALongRender) {
    std::u16string text;
    for (int i = 0; i < 3000; ++i) text += u"This sentence is one of very many. ";
    const std::string path = (dir_ / "long.wav").string();
    auto file = std::make_shared<SpFileStream>();
    file->Open(path, SSFMCreateForWrite, false);
    voice_->SetAudioOutputStream(file);
    voice_->Speak(text, SVSFlagsAsync);
    ASSERT_TRUE(log_->waitFor(EventKind::Word, 5));
    std::thread([&] { voice_->Speak(u"", SVSFPurgeBeforeSpeak); }).join();
    EXPECT_TRUE(voice_->WaitUntilDone(2000));
    try {
        file->Close();
        ADD_FAILURE() << "a purged render was saved";
    } catch (const Error& e) {
        EXPECT_EQ(e.code(), errc::kCancelled);
    }
    EXPECT_EQ(events(EventKind::StartStream).size(), 1u);
    EXPECT_EQ(events(EventKind::EndStream).size(), 1u);
    EXPECT_FALSE(fs::exists(path));
}

// In English, and in Chinese with English words inside, where the engine holds answers back while a
// helper reads the English: a skip drops them with the rest of the work done ahead.
TEST_F(SpeechToFile, SkipFromAnotherThreadJumpsAheadInTheRender) {
    for (const bool chinese : {false, true}) {
        SCOPED_TRACE(chinese ? "Chinese" : "English");
        useVoice(chinese ? "cmn" : "en-us");
        std::u16string text;
        for (int i = 0; i < 400; ++i) {
            text += chinese ? u"第" + u16(std::to_string(i)) + u"句用 Tallamo 朗读。"
                            : u"Sentence number " + u16(std::to_string(i)) + u" is here. ";
        }
        const size_t wordsBefore = events(EventKind::Word).size();
        const size_t sentencesBefore = events(EventKind::Sentence).size();
        auto file = std::make_shared<SpFileStream>();
        file->Open((dir_ / "skip.wav").string(), SSFMCreateForWrite, false);
        voice_->SetAudioOutputStream(file);
        voice_->Speak(text, SVSFlagsAsync);
        ASSERT_TRUE(log_->waitFor(EventKind::Sentence, sentencesBefore + 2));
        long skipped = 0;
        std::thread([&] { skipped = voice_->Skip("Sentence", 200); }).join();
        EXPECT_TRUE(voice_->WaitUntilDone(-1));
        file->Close();
        EXPECT_EQ(skipped, 200);
        // Work done ahead for the skipped sentences never reaches the file: every word read is one of
        // the text's, in order.
        const std::u16string known = chinese ? u"第句用 Tallamo 朗读。" : u"Sentence number is here. ";
        int32_t lastWord = -1;
        const auto words = events(EventKind::Word);
        for (size_t i = wordsBefore; i < words.size(); ++i) {
            const auto& w = words[i];
            const std::u16string word =
                text.substr(static_cast<size_t>(w.characterPosition), static_cast<size_t>(w.length));
            EXPECT_TRUE(!word.empty() && word.find_first_not_of(known + u"0123456789") == std::u16string::npos)
                << "word at " << w.characterPosition;
            EXPECT_GT(w.characterPosition, lastWord);
            lastWord = w.characterPosition;
        }
        const auto all = events(EventKind::Sentence);
        const std::vector<VoiceEvent> sentences(all.begin() + static_cast<std::ptrdiff_t>(sentencesBefore), all.end());
        EXPECT_LT(sentences.size(), 350u);
        bool jumped = false;
        for (size_t i = 1; i < sentences.size(); ++i)
            jumped = jumped || sentences[i].characterPosition - sentences[i - 1].characterPosition > 1000;
        EXPECT_TRUE(jumped) << "no jump in the sentence positions";
    }
}

TEST_F(SpeechToFile, AWriteFailureEndsTheRenderAndCloseReportsIt) {
    // A file size limit makes the disk "full" after 100 KB: the header is written, then a write fails.
    std::optional<FileSizeLimit> full(100 * 1024);

    std::u16string text;
    for (int i = 0; i < 200; ++i) text += u"This sentence is one of very many. ";
    const std::string path = (dir_ / "limited.wav").string();
    auto file = std::make_shared<SpFileStream>();
    file->Format().SetType(39);  // 48 kHz 16-bit stereo
    file->Open(path, SSFMCreateForWrite, false);
    voice_->SetAllowAudioOutputFormatChangesOnNextSet(false);
    voice_->SetAudioOutputStream(file);
    voice_->Speak(text, SVSFDefault);  // returns: the failure ends the stream
    std::string reported;
    try {
        file->Close();
    } catch (const Error& e) {
        reported = e.description();
    }
    full.reset();

    EXPECT_NE(reported.find(path), std::string::npos) << "Close reported: " << reported;
    EXPECT_EQ(events(EventKind::StartStream).size(), 1u);
    EXPECT_EQ(events(EventKind::EndStream).size(), 1u);
    // Nothing is left under the name, not even a temporary beside it.
    EXPECT_FALSE(fs::exists(path));
    EXPECT_TRUE(fs::is_empty(dir_));
    // The voice is unharmed: the next file renders.
    EXPECT_GT(readWav(render(u"Still speaking.", SAFT22kHz16BitMono, SVSFDefault, "next.wav")).info.frames, 0);
}

TEST_F(SpeechToFile, TheEnginesClauseEndsComeAsEnginePrivateOnlyWhenAskedFor) {
    const std::u16string text = u"First clause, second clause. 第二句话。 Last one; really?";
    render(text);
    EXPECT_TRUE(events(EventKind::EnginePrivate).empty()) << "raised without being asked for";

    voice_->SetEventInterests(SVEAllEvents);
    render(text);
    const auto clauses = events(EventKind::EnginePrivate);
    ASSERT_GE(clauses.size(), 4u);
    int64_t previous = -1;
    uint64_t previousAt = 0;
    for (const auto& e : clauses) {
        // Each lies at or just after a punctuation mark of the text, in order, and in the audio's order.
        ASSERT_GE(e.engineData, 0);
        ASSERT_LE(e.engineData, static_cast<int64_t>(text.size()));
        const std::u16string around = text.substr(static_cast<size_t>(std::max<int64_t>(0, e.engineData - 1)), 2);
        EXPECT_NE(around.find_first_of(u",.;?。"), std::u16string::npos) << "at " << e.engineData;
        EXPECT_GT(e.engineData, previous);
        EXPECT_GE(e.streamPosition, previousAt);
        previous = e.engineData;
        previousAt = e.streamPosition;
    }
}

namespace {

std::string fileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// An event as two renders are compared: everything but the stream number.
std::string describe(const VoiceEvent& e) {
    return std::string(eventTitle(e.kind)) + "@" + std::to_string(e.streamPosition) + " " +
           std::to_string(e.characterPosition) + "/" + std::to_string(e.length) + " " + e.bookmark + " " +
           std::to_string(e.duration) + "/" + std::to_string(e.current) + "/" + std::to_string(e.next) + "/" +
           std::to_string(e.feature) + " " + std::to_string(e.audioLevel) + " " + std::to_string(e.engineData);
}

// The sounds of one stream, pauses left out.
std::vector<int32_t> phonesOf(const std::vector<VoiceEvent>& events, uint32_t stream) {
    std::vector<int32_t> out;
    for (const auto& e : events) {
        if (e.kind == EventKind::Phoneme && e.streamNumber == stream && e.current != engine::espeak::kSilencePhone)
            out.push_back(e.current);
    }
    return out;
}

bool contains(const std::vector<int32_t>& all, const std::vector<int32_t>& part) {
    return std::search(all.begin(), all.end(), part.begin(), part.end()) != all.end();
}

}  // namespace

TEST_F(SpeechToFile, AnyNumberOfJobsGivesTheSameFileAndTheSameEventsInStreamOrder) {
    // Markup, bookmarks, rate changes, silences and Chinese, long enough for several chains of
    // segments to be read at once.
    std::u16string text = u"<speak>";
    for (int i = 0; i < 24; ++i) {
        text += u16("The quick brown fox. <bookmark mark=\"" + std::to_string(i) +
                    " mark\"/>Over the <rate speed=\"6\">lazy dog</rate>, twice <silence msec=\"150\"/> again. "
                    "你好世界。<voice required=\"Name=Chinese (Mandarin)\">今天天气很好。</voice> Emoji \U0001F600 "
                    "here.\r\nLast line <emph>ends</emph>. ");
    }
    text += u"</speak>";
    voice_->SetEventInterests(SVEAllEvents);
    std::vector<std::string> files;
    std::vector<std::vector<std::string>> events;
    for (int jobs : {1, 2, 4}) {
        voice_->setRenderJobs(jobs);
        const size_t before = log_->events().size();
        files.push_back(fileBytes(render(text, SAFT22kHz16BitMono, SVSFIsXML, "jobs" + std::to_string(jobs) + ".wav")));
        const auto all = log_->events();
        events.emplace_back();
        uint64_t last = 0;
        for (size_t i = before; i < all.size(); ++i) {
            EXPECT_GE(all[i].streamPosition, last) << eventTitle(all[i].kind) << " behind the one before it";
            last = all[i].streamPosition;
            events.back().push_back(describe(all[i]));
        }
    }
    ASSERT_GT(files[0].size(), 22050u * 2 * 60);
    EXPECT_GT(events[0].size(), 10000u);
    for (size_t i = 1; i < files.size(); ++i) {
        EXPECT_TRUE(files[i] == files[0]) << "the file differs with " << (i == 1 ? 2 : 4) << " jobs";
        EXPECT_TRUE(events[i] == events[0]) << "the events differ with " << (i == 1 ? 2 : 4) << " jobs";
    }
}

TEST_F(SpeechToFile, ASilenceInsideASentenceAddsItsOwnLength) {
    struct Case {
        const char* voice;
        const char* without;
        const char* with;
    };
    const Case cases[] = {
        {"en-us", "Hello there my good friend, how are you today.",
         "Hello there <silence msec=\"1000\"/> my good friend, how are you today."},
        {"en-us", "The quick brown fox jumps over the lazy dog.",
         "The quick brown fox <silence msec=\"1000\"/>jumps over the lazy dog."},
        {"cmn", "你好世界，今天天气很好。", "你好世界，今天<silence msec=\"1000\"/>天气很好。"},
    };
    for (const Case& c : cases) {
        useVoice(c.voice);
        const double without = readWav(render(u16(c.without), SAFT22kHz16BitMono, SVSFIsXML)).info.frames / 22050.0;
        const double with = readWav(render(u16(c.with), SAFT22kHz16BitMono, SVSFIsXML)).info.frames / 22050.0;
        EXPECT_NEAR(with - without, 1.0, 0.05) << c.with;
    }
}

// A sentence on which espeak-ng 1.51 reads freed memory with the Mandarin voice (a Big5 text decoded
// as UTF-8): the engine may crash on it, the program never does.
TEST_F(SpeechToFile, TextThatCrashesTheEngineNeverTakesTheProgramDown) {
    useVoice("cmn");
    const char* hex =
        "efbfbd46efbfbdcfb16fefbfbdc4a440efbfbdefbfbd65efbfbd70efbfbd50efbfbd5fefbfbdc4a447efbfbdefbfbd41"
        "efbfbdefbfbdefbfbdefbfbdefbfbddca4e5a5bbefbfbdc4a440efbfbde3b4a1efbfbd4aefbfbd72efbfbdefbfbd";
    std::string bytes;
    for (const char* p = hex; *p != 0; p += 2) bytes += static_cast<char>(std::stoi(std::string(p, 2), nullptr, 16));
    ASSERT_EQ(bytes.size(), 94u);
    int failed = 0;
    for (int i = 0; i < 50; ++i) {
        try {
            render(u16(bytes), SAFT22kHz16BitMono, SVSFIsNotXML, "crash.wav");
        } catch (const Error& e) {
            EXPECT_EQ(e.code(), errc::kEngine) << e.description();
            ++failed;
        }
    }
    EXPECT_EQ(events(EventKind::EndStream).size(), 50u);
    EXPECT_LT(failed, 50) << "the engine failed every time";
}

TEST_F(SpeechToFile, MandarinSaysNumbersInWordsAndEnglishWordsInEnglish) {
    useVoice("cmn");
    render(u"版本 1.7");
    render(u"版本 一点七");
    render(u"编辑editor编辑");
    voice_->setMixedScript(false);
    render(u"编辑editor编辑");
    voice_->setMixedScript(true);
    useVoice("en-us");
    render(u"editor");
    ASSERT_TRUE(log_->waitFor(EventKind::EndStream, 5));
    const auto all = log_->events();
    EXPECT_EQ(phonesOf(all, 1), phonesOf(all, 2));
    const auto english = phonesOf(all, 5);
    ASSERT_GE(english.size(), 4u);
    EXPECT_TRUE(contains(phonesOf(all, 3), english));
    EXPECT_FALSE(contains(phonesOf(all, 4), english));
    EXPECT_TRUE(events(EventKind::VoiceChange).empty());  // the runs of English leave the voice as it is
}

TEST_F(SpeechToFile, WordsKeepTheirPlacesThroughMixedText) {
    struct Case {
        std::string_view voice;
        std::u16string text;
        std::u16string letters;             // the text without spaces and sentence punctuation
        std::vector<std::u16string> words;  // among the words spoken
    };
    const std::vector<Case> cases = {
        {"cmn",
         u"我用editor写了25%的代码，花了¥3.50。",
         u"我用editor写了25%的代码花了¥3.50",
         {u"editor", u"25%", u"¥3.50"}},
        {"en-us",
         u"I said 你好 to the editor on 2026年12月7日.",
         u"Isaid你好totheeditoron2026年12月7日",
         {u"said", u"你好", u"editor"}},
    };
    uint32_t stream = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(utf8(c.text));
        useVoice(c.voice);
        render(c.text);
        ASSERT_TRUE(log_->waitFor(EventKind::EndStream, ++stream));
        std::vector<std::u16string> words;
        std::u16string letters;
        int32_t end = 0;
        for (const auto& e : log_->events()) {
            if (e.kind != EventKind::Word || e.streamNumber != stream) continue;
            EXPECT_GE(e.characterPosition, end);
            end = e.characterPosition + e.length;
            words.push_back(c.text.substr(static_cast<size_t>(e.characterPosition), static_cast<size_t>(e.length)));
            letters += words.back();
        }
        EXPECT_EQ(letters, c.letters);
        for (const auto& w : c.words) EXPECT_NE(std::find(words.begin(), words.end(), w), words.end()) << utf8(w);
    }
}
