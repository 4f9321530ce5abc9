// SPDX-License-Identifier: GPL-3.0-or-later
// Speak, pause, resume, stop and skip through the window's buttons, on the real voice and the test
// audio server: each case is checked on the buttons and on what the device plays.
#include <QLineEdit>

#include "speech/audio/device_pulse.h"
#include "speech/engine/worker_pool.h"
#include "tests/app/commands/commands_support.h"
#include "tests/app/window_fixture.h"
#include "tests/support/audio_server.h"

using namespace commands_test;

namespace {

const QString kLongText = QStringLiteral(
    "The first sentence is here. The second sentence follows it. The third one comes next. "
    "A fourth sentence is spoken now. The fifth sentence ends the text, after quite a few more words "
    "that keep the voice busy for a while longer.");

class SpeakingTest : public WindowTest {
protected:
    void SetUp() override {
        TALLAMO_NEED_AUDIO_SERVER();
        load();
        click(window->chkShowEvents);  // the voice's events become lines in the pane
        ASSERT_TRUE(window->chkShowEvents->isChecked());
    }

    void TearDown() override {
        if (window) {
            EXPECT_TRUE(exitStatuses.empty()) << "a fatal error box was shown";
        }
        WindowTest::TearDown();
    }

    size_t words() const { return loggedEvents(debugText(), QStringLiteral("Word")).size(); }
    size_t words(int stream) const {
        size_t n = 0;
        for (const auto& e : loggedEvents(debugText(), QStringLiteral("Word"))) n += e.stream == stream;
        return n;
    }
    int lastStream() const {
        const auto starts = loggedEvents(debugText(), QStringLiteral("StartStream"));
        return starts.empty() ? 0 : starts.back().stream;
    }
    // Speaks kLongText and waits until the device has played its first word.
    void startSpeaking() {
        window->MainTxtBox->setPlainText(kLongText);
        const size_t before = words();
        click(window->SpeakBtn);
        ASSERT_TRUE(waitFor([&] { return words() > before; })) << debugText().toStdString();
    }
    // True when no word is heard for a while (the device's clock stands still).
    bool silentFor(int ms) {
        processEvents(100);
        const size_t before = words();
        processEvents(ms);
        return words() == before;
    }
    void expectState(bool speaking, bool paused) {
        EXPECT_EQ(window->Speaking, speaking);
        EXPECT_EQ(window->Paused, paused);
        EXPECT_EQ(controlMismatch(*window), "");
    }
    bool deviceCorked() {
        const auto inputs = ourSinkInputs();
        return !inputs.empty() &&
               std::all_of(inputs.begin(), inputs.end(), [](const SinkInput& i) { return i.corked; });
    }
    bool deviceRunning() {
        const auto inputs = ourSinkInputs();
        return std::any_of(inputs.begin(), inputs.end(), [](const SinkInput& i) { return !i.corked; });
    }
};

TEST_F(SpeakingTest, EmptyTextBoxWritesOnlyTheSpeakLine) {
    window->MainTxtBox->clear();
    const QStringList before = debugLines();
    click(window->SpeakBtn);
    processEvents(300);
    QStringList expected = before;
    expected << QStringLiteral("Speak");
    EXPECT_EQ(debugLines(), expected);
    expectState(false, false);
    EXPECT_FALSE(window->Voice->isBusy());
}

TEST_F(SpeakingTest, SpeakPlaysAndSpeakingAgainReplacesTheText) {
    startSpeaking();
    expectState(true, false);
    EXPECT_TRUE(deviceRunning());
    EXPECT_EQ(debugLines().filter(QStringLiteral("Speak")).first(), QStringLiteral("Speak"));

    // With the default flags the running text is dropped and the new one is heard instead.
    const int first = lastStream();
    window->MainTxtBox->setPlainText(QStringLiteral("Another text entirely, spoken after the first was dropped."));
    click(window->SpeakBtn);
    ASSERT_TRUE(waitFor([&] { return words(first + 1) > 0; }));
    expectState(true, false);
    processEvents(200);
    const size_t oldWords = words(first);
    processEvents(500);
    EXPECT_EQ(words(first), oldWords) << "the dropped text is still heard";
    EXPECT_TRUE(waitFor([&] { return !window->Speaking; }, 30000));
    expectState(false, false);
}

TEST_F(SpeakingTest, PauseTwiceHaltsThePlaybackThenGoesOn) {
    startSpeaking();
    click(window->PauseBtn);
    expectState(true, true);
    EXPECT_TRUE(window->Voice->isPaused());
    EXPECT_TRUE(waitFor([&] { return deviceCorked(); }, 3000));
    EXPECT_TRUE(silentFor(700)) << "words are heard while paused";
    EXPECT_EQ(debugLines().filter(QStringLiteral("暂停")).size(), 1);

    click(window->PauseBtn);
    expectState(true, false);
    EXPECT_FALSE(window->Voice->isPaused());
    EXPECT_TRUE(waitFor([&] { return deviceRunning(); }, 3000));
    const size_t before = words();
    EXPECT_TRUE(waitFor([&] { return words() > before; }));
    EXPECT_EQ(debugLines().filter(QStringLiteral("继续")).size(), 1);
}

TEST_F(SpeakingTest, SpeakWhilePausedContinuesThePausedTextWithoutQueueing) {
    window->Voice->SetRate(10);  // the test waits for the end of the text
    startSpeaking();
    const int stream = lastStream();
    click(window->PauseBtn);
    ASSERT_TRUE(silentFor(400));
    window->MainTxtBox->setPlainText(QStringLiteral("This text must not be queued."));
    click(window->SpeakBtn);
    expectState(true, false);
    EXPECT_FALSE(window->Voice->isPaused());
    const size_t before = words(stream);
    EXPECT_TRUE(waitFor([&] { return words(stream) > before; })) << "the paused text did not go on";
    EXPECT_TRUE(waitFor([&] { return !window->Speaking; }, 30000));
    processEvents(300);
    EXPECT_EQ(lastStream(), stream) << "a new stream was queued";
}

TEST_F(SpeakingTest, SpeakWhenPausedButNotSpeakingSpeaksThenResumes) {
    // The state a stream end or a failed request leaves behind while paused.
    window->Voice->Pause();
    window->SetSpeakingControls(false, true);
    window->MainTxtBox->setPlainText(QStringLiteral("Speaking after a pause that outlived its stream."));
    const int before = lastStream();
    click(window->SpeakBtn);
    expectState(true, false);
    EXPECT_FALSE(window->Voice->isPaused());
    EXPECT_TRUE(waitFor([&] { return words(before + 1) > 0; })) << "nothing is heard";
}

TEST_F(SpeakingTest, SpeakWithoutAsyncWhilePausedDoesNotHang) {
    window->Voice->Pause();
    window->SetSpeakingControls(false, true);
    click(window->chkSpFlagAync);
    ASSERT_EQ(window->SpeakFlags & 1, 0);
    window->MainTxtBox->setPlainText(QStringLiteral("Short."));
    click(window->SpeakBtn);  // returns once the text was heard
    EXPECT_FALSE(window->Voice->isBusy());
    EXPECT_FALSE(window->Voice->isPaused());
    EXPECT_EQ(window->Paused, false);
}

TEST_F(SpeakingTest, StopWhilePausedDropsTheSpeechAndLeavesTheVoiceRunning) {
    startSpeaking();
    click(window->PauseBtn);
    click(window->StopBtn);
    expectState(false, false);
    EXPECT_FALSE(window->Voice->isPaused());
    EXPECT_TRUE(waitFor([&] { return !window->Voice->isBusy(); }, 3000));
    EXPECT_TRUE(silentFor(500));
    EXPECT_EQ(debugLines().filter(QStringLiteral("Speak Error")).size(), 0);
    EXPECT_TRUE(debugLines().contains(QStringLiteral("Stop")));
}

TEST_F(SpeakingTest, StopWhenIdleStillGoesIdle) {
    window->SetSpeakingControls(false, false);
    click(window->StopBtn);  // disabled: a click does nothing
    EXPECT_FALSE(debugLines().contains(QStringLiteral("Stop")));
    window->StopBtn_Click();
    EXPECT_EQ(debugLines().back(), QStringLiteral("Stop"));
    expectState(false, false);
}

TEST_F(SpeakingTest, SkipTakesTheCountFromTheBoxAndReportsBadCounts) {
    startSpeaking();
    const auto sentencesAfter = [this](qsizetype lineIndex) {
        return loggedEvents(debugLines().mid(lineIndex).join(QStringLiteral("\r\n")), QStringLiteral("Sentence"));
    };

    window->SkipTxtBox->setText(QStringLiteral("abc"));
    click(window->SkipBtn);
    EXPECT_EQ(
        debugLines().filter(QStringLiteral("Skip")).mid(0, 2),
        (QStringList{QStringLiteral("Skip"), QStringLiteral("Skip Error: The skip count \"abc\" is not a number.")}));
    window->SkipTxtBox->setText(QString());
    click(window->SkipBtn);
    EXPECT_TRUE(debugLines().back().startsWith(QStringLiteral("Skip Error: The skip count is empty")));
    expectState(true, false);

    window->SkipTxtBox->setText(QStringLiteral("0"));
    click(window->SkipBtn);
    EXPECT_EQ(debugLines().back(), QStringLiteral("Skip"));

    // "2.5" skips two sentences: the next one heard is the third or a later one, never the second.
    const QString text = window->MainTxtBox->toPlainText();
    const int second = static_cast<int>(text.indexOf(QStringLiteral("The second")));
    const qsizetype mark = debugLines().size();
    window->SkipTxtBox->setText(QStringLiteral("2.5"));
    click(window->SkipBtn);
    EXPECT_EQ(debugLines().at(mark), QStringLiteral("Skip"));
    EXPECT_FALSE(debugLines().mid(mark).join(QString()).contains(QStringLiteral("Skip Error")));
    ASSERT_TRUE(waitFor([&] { return !sentencesAfter(mark).empty(); }));
    const int next = loggedPosition(sentencesAfter(mark).front().line);
    EXPECT_GT(next, second) << "the next sentence heard starts at " << next;
}

TEST_F(SpeakingTest, UntrappedFailuresReachTheFatalBoxWhileTrappedOnesWriteTheirLine) {
    window->Voice.reset();  // every voice call fails from here on
    window->MainTxtBox->setPlainText(QStringLiteral("text"));
    window->SetSpeakingControls(true, false);
    click(window->SpeakBtn);
    EXPECT_TRUE(debugLines().back().startsWith(QStringLiteral("Speak Error: ")));
    expectState(false, false);
    click(window->SkipBtn);  // disabled now
    window->SkipBtn_Click();
    EXPECT_TRUE(debugLines().back().startsWith(QStringLiteral("Skip Error: ")));
    window->StopBtn_Click();
    EXPECT_TRUE(debugLines().back().startsWith(QStringLiteral("Speak Error: ")));
    EXPECT_TRUE(exitStatuses.empty());

    window->SetSpeakingControls(true, false);
    click(window->PauseBtn);
    ASSERT_EQ(exitStatuses.size(), 1u);
    EXPECT_NE(exitStatuses[0], 0);
    EXPECT_EQ(window->PauseBtn->text(), QStringLiteral("暂停")) << "the failed pause changed the caption";
    exitStatuses.clear();
    window.reset();
}

}  // namespace

// The engine fails twice on one sentence (the test double's worker is killed on every reading of the
// marked one): the stream ends, the pane says why, the window stays usable and the next Speak speaks.
TEST_F(WindowTest, AnEngineThatKeepsFailingEndsTheStreamAndTheNextSpeakSpeaks) {
    TALLAMO_NEED_AUDIO_SERVER();
    useBackends({speech::engine::makeEngineSynthesizer({TALLAMO_ENGINE_DOUBLE}), speech::audio::makePulseAudioHost()});
    load();
    click(window->chkShowEvents);
    window->MainTxtBox->setPlainText(QStringLiteral("It starts well. Then \U0001F4A5 it fails."));
    click(window->SpeakBtn);
    ASSERT_TRUE(
        waitFor([&] { return !window->Speaking && !loggedEvents(debugText(), QStringLiteral("EndStream")).empty(); }));
    const QStringList failed = debugLines().filter(QStringLiteral("Speak Error: "));
    ASSERT_EQ(failed.size(), 1) << debugText().toStdString();
    EXPECT_TRUE(failed.front().contains(QStringLiteral("failed twice"))) << failed.front().toStdString();
    EXPECT_EQ(window->MainTxtBox->toPlainText(), QStringLiteral("It starts well. Then \U0001F4A5 it fails."));
    EXPECT_EQ(controlMismatch(*window), "");

    window->MainTxtBox->setPlainText(QStringLiteral("And now it speaks again."));
    click(window->SpeakBtn);
    ASSERT_TRUE(waitFor([&] { return loggedEvents(debugText(), QStringLiteral("EndStream")).size() == 2; }));
    EXPECT_GE(loggedEvents(debugText(), QStringLiteral("Word")).size(), 5u);
    EXPECT_EQ(debugLines().filter(QStringLiteral("Speak Error: ")).size(), 1);
    EXPECT_TRUE(exitStatuses.empty());
}
