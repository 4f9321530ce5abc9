// SPDX-License-Identifier: GPL-3.0-or-later
// Marked-up texts spoken by the real engine into WAV files: the words events point at are the words
// of the text, bookmarks arrive in order, and volume, rate and silence can be heard in the audio.
#include <gtest/gtest.h>
#include <sndfile.h>

#include <cmath>
#include <filesystem>

#include "base/error.h"
#include "speech/core/formats.h"
#include "speech/engine/espeak/espeak_synthesizer.h"
#include "speech/streams.h"
#include "speech/voice.h"
#include "tests/support/test_files.h"
#include "tests/support/voice_helpers.h"

using namespace speech;
using namespace testing_support;
namespace fs = std::filesystem;

namespace {

struct Audio {
    double seconds = 0;
    double rms = 0;
};

class MarkupRoundTrip : public ::testing::Test {
protected:
    void SetUp() override {
        voice_ = std::make_unique<SpVoice>(engineWithoutDevices());
        for (const auto& t : voice_->GetVoices("", "")) {
            if (t.Id().starts_with("en")) {
                voice_->SetVoice(t);
                break;
            }
        }
    }
    void TearDown() override { voice_.reset(); }

    // Speaks `text` into a 22 kHz mono file; returns the events.
    std::vector<VoiceEvent> speak(const std::u16string& text, int32_t flags = SVSFIsXML) {
        EventLog log(*voice_);
        const std::string path = (dir_ / "out.wav").string();
        auto file = std::make_shared<SpFileStream>();
        file->Format().SetType(SAFT22kHz16BitMono);
        file->Open(path, SSFMCreateForWrite, false);
        voice_->SetAudioOutputStream(file);
        voice_->Speak(text, flags);
        file->Close();
        audio_ = measure(path);
        log.waitFor(EventKind::EndStream);
        return log.events();
    }

    static Audio measure(const std::string& path) {
        SF_INFO info{};
        SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
        if (!f) return {};
        std::vector<float> samples(static_cast<size_t>(info.frames));
        sf_readf_float(f, samples.data(), info.frames);
        sf_close(f);
        double sum = 0;
        for (float s : samples) sum += static_cast<double>(s) * s;
        Audio a;
        a.seconds = static_cast<double>(info.frames) / info.samplerate;
        a.rms = samples.empty() ? 0 : std::sqrt(sum / static_cast<double>(samples.size()));
        return a;
    }

    static std::vector<VoiceEvent> only(const std::vector<VoiceEvent>& all, EventKind kind) {
        std::vector<VoiceEvent> out;
        for (const auto& e : all) {
            if (e.kind == kind) out.push_back(e);
        }
        return out;
    }

    TempDir tempDir_;
    fs::path dir_ = tempDir_.path();
    std::unique_ptr<SpVoice> voice_;
    Audio audio_;
};

TEST_F(MarkupRoundTrip, WordsAndBookmarksPointIntoTheMarkedUpText) {
    const std::u16string text =
        u"<rate speed='2'>Hello</rate> <emph>big</emph> world &amp; friends. "
        u"<bookmark mark='5 here'/>Second <bookmark mark='x'/>sentence.";
    auto all = speak(text);
    std::vector<std::u16string> words;
    for (const auto& w : only(all, EventKind::Word)) {
        words.push_back(text.substr(static_cast<size_t>(w.characterPosition), static_cast<size_t>(w.length)));
    }
    EXPECT_EQ(words, (std::vector<std::u16string>{u"Hello", u"big", u"world", u"friends", u"Second", u"sentence"}));

    // Each bookmark comes after the words before it and before the words after it.
    std::vector<std::string> order;
    for (const auto& e : all) {
        if (e.kind == EventKind::Bookmark) order.push_back("mark " + e.bookmark + " " + std::to_string(e.bookmarkId));
        if (e.kind == EventKind::Word) order.push_back(std::to_string(e.characterPosition));
    }
    auto at = [&](std::u16string_view w) { return std::to_string(text.find(w)); };
    const std::vector<std::string> expected{at(u"Hello"),    at(u"big"),    at(u"world"), at(u"friends"),
                                            "mark 5 here 5", at(u"Second"), "mark x 0",   at(u"sentence")};
    EXPECT_EQ(order, expected);
    auto marks = only(all, EventKind::Bookmark);
    ASSERT_EQ(marks.size(), 2u);
    EXPECT_LE(marks[0].audioTimeMs, marks[1].audioTimeMs);
}

TEST_F(MarkupRoundTrip, VolumeRateAndSilenceAreHeard) {
    const std::u16string words = u"This sentence is read several times to compare the audio.";
    speak(words);
    const Audio plain = audio_;
    ASSERT_GT(plain.rms, 0.0);

    speak(u"<volume level='25'>" + words + u"</volume>");
    EXPECT_NEAR(audio_.rms / plain.rms, 0.25, 0.08);

    speak(u"<rate absspeed='6'>" + words + u"</rate>");
    const double fast = audio_.seconds;
    speak(u"<rate absspeed='-6'>" + words + u"</rate>");
    const double slow = audio_.seconds;
    // Six steps each way are about twice and half the speed (pauses change less than words).
    EXPECT_LT(fast, plain.seconds * 0.7);
    EXPECT_GT(slow, plain.seconds * 1.5);

    speak(u"First part. Second part.");
    const double without = audio_.seconds;
    speak(u"First part. <silence msec='700'/>Second part.");
    EXPECT_NEAR(audio_.seconds - without, 0.7, 0.05);
}

TEST_F(MarkupRoundTrip, VoiceSwitchesRaiseVoiceChangeBothWays) {
    auto all = speak(u"Hello <lang langid='804'>你好</lang> again.");
    auto changes = only(all, EventKind::VoiceChange);
    ASSERT_EQ(changes.size(), 2u);
    ASSERT_TRUE(changes[0].token && changes[1].token);
    EXPECT_EQ(changes[0].token->GetAttribute("Language").find("804") != std::string::npos, true);
    EXPECT_EQ(*changes[1].token, voice_->Voice());
}

TEST_F(MarkupRoundTrip, MalformedMarkupIsRefusedAndTheVoiceGoesOn) {
    try {
        speak(u"Fine <volume level='300'>loud</volume>");
        FAIL() << "accepted";
    } catch (const Error& e) {
        EXPECT_EQ(e.code(), errc::kMarkup);
        EXPECT_NE(e.description().find("character 20"), std::string::npos) << e.description();
    }
    auto all = speak(u"Still speaking.");
    EXPECT_EQ(only(all, EventKind::Word).size(), 2u);
}

}  // namespace
