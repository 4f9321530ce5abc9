// SPDX-License-Identifier: GPL-3.0-or-later
// Voice, rate, volume mixer, reset, and the audio output and format lists.
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QSlider>
#include <QTemporaryDir>

#include "speech/core/formats.h"
#include "speech/streams.h"
#include "tests/app/commands/commands_support.h"
#include "tests/app/window_fixture.h"
#include "tests/support/audio_server.h"
#include "tests/support/voice_helpers.h"

using namespace commands_test;

namespace {

// A user's pick in a list.
void pick(QComboBox* box, int index) {
    box->setCurrentIndex(index);
    emit box->activated(index);
}

class ScriptedSettingsTest : public WindowTest {
protected:
    testing_support::ScriptedBackends backends;
    void SetUp() override {
        useBackends(backends.backends());
        load();
    }
    // Speaks a short text and waits until the device stream for it was opened.
    void speakShort() {
        const int opens = backends.host->openCount();
        // Digits: every voice reads them itself (a Mandarin voice gives Latin letters to the English one).
        window->MainTxtBox->setPlainText(QStringLiteral("12"));
        click(window->SpeakBtn);
        ASSERT_TRUE(waitFor([&] { return backends.host->openCount() > opens; }));
        ASSERT_TRUE(waitFor([&] { return !window->Voice->isBusy(); }));
    }
    void expectSpeakingIdle() {
        EXPECT_FALSE(window->Speaking);
        EXPECT_FALSE(window->Paused);
        EXPECT_EQ(controlMismatch(*window), "");
    }
};

TEST_F(ScriptedSettingsTest, FormatListHoldsTheThirtySixFormatsInOrderWithTheirNumbers) {
    const QStringList rates = {"8", "11", "12", "16", "22", "24", "32", "44", "48"};
    ASSERT_EQ(window->FormatCB->count(), 36);
    for (int r = 0; r < 9; ++r) {
        for (int w = 0; w < 2; ++w) {
            for (int c = 0; c < 2; ++c) {
                const int index = 4 * r + 2 * w + c;
                const QString name = QStringLiteral("SAFT%1kHz%2Bit%3")
                                         .arg(rates[r], w ? QStringLiteral("16") : QStringLiteral("8"),
                                              c ? QStringLiteral("Stereo") : QStringLiteral("Mono"));
                EXPECT_EQ(window->FormatCB->itemText(index), name);
                EXPECT_EQ(window->FormatCB->itemData(index).toInt(), 4 + index);
            }
        }
    }
    EXPECT_EQ(window->FormatCB->currentText(), QStringLiteral("SAFT22kHz16BitMono"));
}

TEST_F(ScriptedSettingsTest, PickedFormatIsSetOnTheStreamAndHeardInIt) {
    pick(window->FormatCB, window->FormatCB->findText(QStringLiteral("SAFT8kHz8BitMono")));
    EXPECT_EQ(window->Voice->AudioOutputStream()->formatType(), 4);
    pick(window->FormatCB, window->FormatCB->findText(QStringLiteral("SAFT48kHz16BitStereo")));
    EXPECT_EQ(window->Voice->AudioOutputStream()->formatType(), 39);
    speakShort();
    EXPECT_EQ(backends.host->lastFormat(), (speech::WaveFormat{48000, 16, 2}));
}

TEST_F(ScriptedSettingsTest, AnotherOutputCarriesTheFormatPickedBefore) {
    ASSERT_EQ(window->AudioOutputCB->count(), 2);
    pick(window->FormatCB, window->FormatCB->findText(QStringLiteral("SAFT11kHz8BitMono")));
    pick(window->AudioOutputCB, 1);
    ASSERT_TRUE(window->Voice->AudioOutput().has_value());
    EXPECT_EQ(window->Voice->AudioOutput()->Id(), "second_sink");
    EXPECT_EQ(window->Voice->AudioOutputStream()->formatType(), 8);
    speakShort();
    EXPECT_EQ(backends.host->lastDeviceId(), "second_sink");
    EXPECT_EQ(backends.host->lastFormat(), (speech::WaveFormat{11025, 8, 1}));
    EXPECT_FALSE(debugText().contains(QStringLiteral("error")));
}

TEST_F(ScriptedSettingsTest, OutputAndFormatFailuresAreReportedInThePane) {
    backends.host->loseDevices();
    pick(window->AudioOutputCB, 1);
    ASSERT_FALSE(debugLines().isEmpty());
    EXPECT_TRUE(debugLines().back().startsWith(QStringLiteral("Set audio output error: ")));
    EXPECT_GT(debugLines().back().size(), QStringLiteral("Set audio output error: ").size());
    EXPECT_FALSE(debugText().contains(QStringLiteral("Set format error")));  // the format step is skipped
    backends.host->restore();

    // An open file stream refuses a format change.
    QTemporaryDir dir;
    auto file = std::make_shared<speech::SpFileStream>();
    file->Open(QDir(dir.path()).filePath(QStringLiteral("out.wav")).toStdString(), speech::SSFMCreateForWrite, false);
    window->Voice->SetAudioOutputStream(file);
    const int index = window->FormatCB->findText(QStringLiteral("SAFT16kHz16BitMono"));
    pick(window->FormatCB, index);
    EXPECT_TRUE(debugLines().back().startsWith(QStringLiteral("Set format error: ")));
    EXPECT_EQ(window->FormatCB->currentIndex(), index);
    file->Close();
    EXPECT_TRUE(exitStatuses.empty());
    expectSpeakingIdle();
}

TEST_F(ScriptedSettingsTest, VoicePickAndSliderSetTheVoice) {
    pick(window->VoiceCB, 1);
    EXPECT_EQ(window->Voice->Voice().Id(), "test-b");
    speakShort();
    EXPECT_EQ(backends.synth->requests().back().voiceId, "test-b");

    window->RateSldr->setFocus();
    QTest::keyClick(window->RateSldr, Qt::Key_End);
    EXPECT_EQ(window->Voice->Rate(), 10);
    QTest::keyClick(window->RateSldr, Qt::Key_Home);
    EXPECT_EQ(window->Voice->Rate(), -10);
    QTest::keyClick(window->RateSldr, Qt::Key_Right);
    QTest::keyClick(window->RateSldr, Qt::Key_Right);
    EXPECT_EQ(window->RateSldr->value(), -8);
    EXPECT_EQ(window->Voice->Rate(), -8);
}

TEST_F(ScriptedSettingsTest, ResetRestoresEverySettingToItsDefault) {
    pick(window->VoiceCB, 1);
    pick(window->FormatCB, window->FormatCB->findText(QStringLiteral("SAFT44kHz8BitStereo")));
    pick(window->AudioOutputCB, 1);
    QTest::keyClick(window->RateSldr, Qt::Key_End);
    window->MainTxtBox->setPlainText(QStringLiteral("some text"));
    window->SkipTxtBox->setText(QStringLiteral("3"));

    click(window->ResetBtn);
    EXPECT_FALSE(window->Voice->AudioOutput().has_value()) << "not on the default output";
    EXPECT_EQ(window->AudioOutputCB->currentIndex(), 0);
    EXPECT_EQ(window->Voice->AudioOutputStream()->formatType(), 22);
    EXPECT_EQ(window->FormatCB->currentText(), QStringLiteral("SAFT22kHz16BitMono"));
    EXPECT_EQ(window->VoiceCB->currentIndex(), 0);
    EXPECT_EQ(window->Voice->Voice().Id(), "test-a");
    EXPECT_EQ(window->RateSldr->value(), 0);
    EXPECT_EQ(window->Voice->Rate(), 0);
    EXPECT_TRUE(window->MainTxtBox->toPlainText().isEmpty());
    EXPECT_TRUE(debugText().isEmpty());
    EXPECT_EQ(window->SkipTxtBox->text(), QStringLiteral("0"));
    expectSpeakingIdle();

    window->MainTxtBox->setPlainText(QStringLiteral("ab"));
    const int opens = backends.host->openCount();
    click(window->SpeakBtn);
    ASSERT_TRUE(waitFor([&] { return backends.host->openCount() > opens; }));
    EXPECT_EQ(backends.host->lastDeviceId(), "");
    EXPECT_EQ(backends.host->lastFormat(), (speech::WaveFormat{22050, 16, 1}));
}

TEST_F(ScriptedSettingsTest, VolumeStartsTheFirstMixerFoundAndIgnoresFailures) {
    QTemporaryDir bin;
    const auto makeProgram = [&](const QString& name) {
        QFile f(QDir(bin.path()).filePath(name));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("#!/bin/sh\n");
        f.close();
        f.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    };
    const QByteArray savedPath = qgetenv("PATH");
    qputenv("PATH", bin.path().toLocal8Bit());
    const QStringList before = debugLines();

    window->vol->trigger();  // no mixer at all
    EXPECT_TRUE(dialogs->started.empty());

    makeProgram(QStringLiteral("gnome-control-center"));
    window->vol->trigger();
    ASSERT_EQ(dialogs->started.size(), 1u);
    EXPECT_TRUE(dialogs->started[0].program.endsWith(QStringLiteral("/gnome-control-center")));
    EXPECT_EQ(dialogs->started[0].arguments, QStringList{QStringLiteral("sound")});

    makeProgram(QStringLiteral("pavucontrol-qt"));
    window->vol->trigger();
    ASSERT_EQ(dialogs->started.size(), 2u);
    EXPECT_TRUE(dialogs->started[1].program.endsWith(QStringLiteral("/pavucontrol-qt")));
    EXPECT_TRUE(dialogs->started[1].arguments.isEmpty());

    // A mixer that will not start: the next one is tried, and nothing is reported either way.
    dialogs->canStart = [](const QString& program) { return !program.endsWith(QStringLiteral("pavucontrol-qt")); };
    window->vol->trigger();
    ASSERT_EQ(dialogs->started.size(), 4u);
    EXPECT_TRUE(dialogs->started[3].program.endsWith(QStringLiteral("/gnome-control-center")));
    dialogs->canStart = [](const QString&) { return false; };
    window->vol->trigger();

    qputenv("PATH", savedPath);
    EXPECT_EQ(debugLines(), before);
    EXPECT_TRUE(dialogs->messages.empty());
    EXPECT_TRUE(exitStatuses.empty());
}

TEST_F(ScriptedSettingsTest, UntrappedSettingFailuresReachTheFatalBox) {
    const auto fatalAfter = [&](const std::function<void()>& action) {
        exitStatuses.clear();
        action();
        return exitStatuses.size() == 1 && exitStatuses[0] != 0;
    };
    window->Voice.reset();
    EXPECT_TRUE(fatalAfter([&] { pick(window->VoiceCB, 1); }));
    EXPECT_TRUE(fatalAfter([&] { QTest::keyClick(window->RateSldr, Qt::Key_Home); }));
    EXPECT_TRUE(fatalAfter([&] { click(window->ResetBtn); }));
    // Output and format trap their own failures.
    EXPECT_FALSE(fatalAfter([&] { pick(window->AudioOutputCB, 0); }));
    EXPECT_FALSE(fatalAfter([&] { pick(window->FormatCB, 0); }));
    exitStatuses.clear();
}

TEST_F(WindowTest, ResetWithoutAnyAudioOutputKeepsTheWindowRunning) {
    testing_support::ScriptedBackends backends;
    backends.host->loseDevices();
    useBackends(backends.backends());
    load();
    ASSERT_FALSE(window->AudioOutputCB->isEnabled());
    click(window->ResetBtn);
    EXPECT_TRUE(exitStatuses.empty());
    EXPECT_EQ(window->SpeakFlags, 11);
    EXPECT_EQ(window->Voice->AudioOutputStream()->formatType(), 22);
    window->MainTxtBox->setPlainText(QStringLiteral("nothing to play it on"));
    click(window->SpeakBtn);
    EXPECT_TRUE(debugLines().back().startsWith(QStringLiteral("Speak Error: ")));
    EXPECT_FALSE(window->Speaking);
    EXPECT_EQ(controlMismatch(*window), "");
}

// The same on the real voice and the test audio server.
class RealSettingsTest : public WindowTest {
protected:
    void SetUp() override {
        TALLAMO_NEED_AUDIO_SERVER();
        load();
        click(window->chkShowEvents);
    }
    size_t words() const { return loggedEvents(debugText(), QStringLiteral("Word")).size(); }
    void startSpeaking() {
        window->MainTxtBox->setPlainText(
            QStringLiteral("A text long enough to keep the voice busy while the test changes things around it, "
                           "with a second sentence after the first. And a third one to be sure."));
        click(window->SpeakBtn);
        ASSERT_TRUE(waitFor([&] { return words() > 0; }));
    }
    bool anyRunning() {
        const auto inputs = ourSinkInputs();
        return std::any_of(inputs.begin(), inputs.end(), [](const SinkInput& i) { return !i.corked; });
    }
};

TEST_F(RealSettingsTest, PickedFormatIsWhatTheDevicePlays) {
    pick(window->FormatCB, window->FormatCB->findText(QStringLiteral("SAFT11kHz8BitMono")));
    ASSERT_GT(window->AudioOutputCB->count(), 0);
    pick(window->AudioOutputCB, 0);
    startSpeaking();
    const auto inputs = ourSinkInputs();
    ASSERT_FALSE(inputs.empty());
    EXPECT_EQ(inputs.back().sampleSpec, QStringLiteral("u8 1ch 11025Hz"));
}

TEST_F(RealSettingsTest, ResetWhileSpeakingLeavesTheSpeechRunningWithIdleButtons) {
    startSpeaking();
    click(window->ResetBtn);
    EXPECT_FALSE(window->Speaking);
    EXPECT_EQ(controlMismatch(*window), "");
    EXPECT_TRUE(window->Voice->isBusy());
    EXPECT_TRUE(anyRunning());
    // The stream still ends and sets the idle state again.
    EXPECT_TRUE(waitFor([&] { return !window->Voice->isBusy(); }, 30000));
    EXPECT_TRUE(exitStatuses.empty());
}

TEST_F(RealSettingsTest, ResetWhilePausedResumesTheSpeech) {
    startSpeaking();
    click(window->PauseBtn);
    ASSERT_TRUE(window->Voice->isPaused());
    click(window->ResetBtn);
    EXPECT_FALSE(window->Voice->isPaused());
    EXPECT_FALSE(window->Paused);
    EXPECT_EQ(window->PauseBtn->text(), QStringLiteral("暂停"));
    EXPECT_EQ(controlMismatch(*window), "");
    EXPECT_TRUE(waitFor([&] { return anyRunning(); }, 3000));
}

TEST_F(RealSettingsTest, VoiceChangeWhileSpeakingTakesEffectAndSpeechGoesOn) {
    ASSERT_GE(window->VoiceCB->count(), 2);
    startSpeaking();
    const int other = window->VoiceCB->count() - 1;
    pick(window->VoiceCB, other);
    EXPECT_EQ(window->Voice->Voice(), window->Voice->GetVoices("", "").Item(other));
    EXPECT_TRUE(window->Speaking);
    const size_t before = words();
    EXPECT_TRUE(waitFor([&] { return words() > before || !window->Voice->isBusy(); }));
    EXPECT_TRUE(exitStatuses.empty());
}

}  // namespace
