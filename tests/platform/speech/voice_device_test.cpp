// SPDX-License-Identifier: GPL-3.0-or-later
// The voice with its default back ends on the test audio server's null sink.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "speech/voice.h"
#include "tests/support/audio_server.h"
#include "tests/support/voice_helpers.h"

using namespace speech;
using namespace testing_support;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

long msBetween(Clock::time_point a, Clock::time_point b) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(b - a).count());
}

size_t countOf(const std::vector<VoiceEvent>& events, EventKind kind) {
    return static_cast<size_t>(
        std::count_if(events.begin(), events.end(), [&](const auto& e) { return e.kind == kind; }));
}

}  // namespace

TEST(VoiceOnDevice, PlaysInRealTimeWithEventsNotBeforeTheirSound) {
    TALLAMO_NEED_AUDIO_SERVER();
    SpVoice voice;
    ASSERT_GT(voice.GetAudioOutputs("", "").Count(), 0);
    EventLog log(voice);
    const auto start = Clock::now();
    voice.Speak(u"One two three four five six seven eight.", SVSFlagsAsync);
    ASSERT_TRUE(voice.WaitUntilDone(10000));
    const long total = msBetween(start, Clock::now());
    auto entries = log.entries();
    ASSERT_FALSE(entries.empty());
    const auto& end = entries.back().event;
    ASSERT_EQ(end.kind, EventKind::EndStream);
    EXPECT_GE(total + 20, static_cast<long>(end.audioTimeMs)) << "finished before the sound could have played";
    for (const auto& e : entries) {
        // The device clock may run a little ahead of the wall clock at the start; 40 ms covers it.
        EXPECT_GE(msBetween(start, e.released) + 40, static_cast<long>(e.event.audioTimeMs))
            << eventTitle(e.event.kind);
    }
    EXPECT_EQ(countOf(log.events(), EventKind::Word), 8u);
}

TEST(VoiceOnDevice, PauseHoldsTheWordsUntilResume) {
    TALLAMO_NEED_AUDIO_SERVER();
    SpVoice voice;
    EventLog log(voice);
    voice.Speak(u"One two three four five six seven eight nine ten.", SVSFlagsAsync);
    ASSERT_TRUE(log.waitFor(EventKind::Word, 2));
    voice.Pause();
    std::this_thread::sleep_for(50ms);
    const size_t words = countOf(log.events(), EventKind::Word);
    std::this_thread::sleep_for(400ms);
    EXPECT_EQ(countOf(log.events(), EventKind::Word), words);
    EXPECT_FALSE(voice.WaitUntilDone(0));
    voice.Resume();
    EXPECT_TRUE(voice.WaitUntilDone(10000));
    EXPECT_EQ(countOf(log.events(), EventKind::Word), 10u);
}

TEST(VoiceOnDevice, StopDuringPauseEndsTheStreamAndLeavesTheVoiceReady) {
    TALLAMO_NEED_AUDIO_SERVER();
    SpVoice voice;
    EventLog log(voice);
    voice.Speak(u"One two three four five six seven eight nine ten.", SVSFlagsAsync);
    ASSERT_TRUE(log.waitFor(EventKind::Word, 1));
    voice.Pause();
    const auto start = Clock::now();
    voice.Speak(u"", SVSFPurgeBeforeSpeak);
    voice.Resume();
    ASSERT_TRUE(log.waitFor(EventKind::EndStream, 1, 1000ms));
    EXPECT_LT(msBetween(start, Clock::now()), 200);
    voice.Speak(u"Again.", SVSFDefault);
    EXPECT_EQ(countOf(log.events(), EventKind::EndStream), 2u);
}

TEST(VoiceOnDevice, TwoVoicesSpeakAtOnce) {
    TALLAMO_NEED_AUDIO_SERVER();
    SpVoice a;
    SpVoice b;
    EventLog logA(a);
    EventLog logB(b);
    const auto start = Clock::now();
    a.Speak(u"The first voice speaks this sentence.", SVSFlagsAsync);
    b.Speak(u"The second voice speaks this one.", SVSFlagsAsync);
    ASSERT_TRUE(a.WaitUntilDone(10000));
    ASSERT_TRUE(b.WaitUntilDone(10000));
    const long total = msBetween(start, Clock::now());
    const auto endA = logA.events().back();
    const auto endB = logB.events().back();
    ASSERT_EQ(endA.kind, EventKind::EndStream);
    ASSERT_EQ(endB.kind, EventKind::EndStream);
    // Played side by side: the pair takes about as long as the longer one, not their sum.
    EXPECT_LT(total, static_cast<long>(endA.audioTimeMs + endB.audioTimeMs));
}

TEST(VoiceOnDevice, NoServerRaisesAtOnce) {
    TALLAMO_NEED_AUDIO_SERVER();
    const std::string saved = std::getenv("PULSE_SERVER");
    ::setenv("PULSE_SERVER", "unix:/nonexistent/tallamo/native", 1);
    {
        SpVoice voice;
        EXPECT_EQ(voice.GetAudioOutputs("", "").Count(), 0);
        const auto start = Clock::now();
        try {
            voice.Speak(u"Hello.", SVSFlagsAsync);
            ADD_FAILURE() << "speaking without a server succeeded";
        } catch (const Error& e) {
            EXPECT_EQ(e.code(), errc::kNoAudioDevice);
        }
        EXPECT_LT(msBetween(start, Clock::now()), 1000);
    }
    ::setenv("PULSE_SERVER", saved.c_str(), 1);
}
