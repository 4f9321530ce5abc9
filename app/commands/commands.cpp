// SPDX-License-Identifier: GPL-3.0-or-later
// Speak, pause/resume, stop and skip.
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>

#include "app/commands/skip_count.h"
#include "app/current_voice.h"
#include "app/parlan_main.h"
#include "speech/core/constants.h"
#include "speech/names.h"

void ParlanMain::SpeakBtn_Click() {
    try {
        AppendDebugText(QStringLiteral("Speak"), QString());
        if (MainTxtBox->toPlainText().isEmpty()) return;
        speech::SpVoice& voice = currentVoice(*this);
        const bool waits = (SpeakFlags & speech::SVSFlagsAsync) == 0;
        // A request that waits for its end would wait forever on a paused voice, so without the
        // asynchronous flag a paused voice is resumed before the request instead of after it.
        bool resumed = false;
        if (Paused && waits) {
            voice.Resume();
            resumed = true;
        }
        if (!(Paused && Speaking)) voice.Speak(MainTxtBox->toPlainText().toStdU16String(), SpeakFlags);
        if (Paused && !resumed) voice.Resume();
        SetSpeakingControls(true, false);
    } catch (const speech::Error& error) {
        AppendDebugText(QStringLiteral("Speak Error: "), errorText(error));
        SetSpeakingControls(false, Paused);
    }
}

// The caption tells which action is due; failures are not trapped here.
void ParlanMain::PauseBtn_Click() {
    const QString caption = PauseBtn->text();
    if (caption == QStringLiteral("暂停")) {
        AppendDebugText(caption, QString());
        currentVoice(*this).Pause();
        SetSpeakingControls(Speaking, true);
    } else if (caption == QStringLiteral("继续")) {
        AppendDebugText(caption, QString());
        currentVoice(*this).Resume();
        SetSpeakingControls(Speaking, false);
    }
}

void ParlanMain::StopBtn_Click() {
    try {
        AppendDebugText(QStringLiteral("Stop"), QString());
        speech::SpVoice& voice = currentVoice(*this);
        voice.Speak(std::u16string_view(), speech::SVSFPurgeBeforeSpeak);
        if (Paused) voice.Resume();
        SetSpeakingControls(false, false);
    } catch (const speech::Error& error) {
        AppendDebugText(QStringLiteral("Speak Error: "), errorText(error));
    }
}

void ParlanMain::SkipBtn_Click() {
    try {
        AppendDebugText(QStringLiteral("Skip"), QString());
        const int16_t count = parseSkipCount(SkipTxtBox->text());
        currentVoice(*this).Skip("Sentence", count);
    } catch (const speech::Error& error) {
        AppendDebugText(QStringLiteral("Skip Error: "), errorText(error));
    }
}
