// SPDX-License-Identifier: GPL-3.0-or-later
// Voice and rate selection, the desktop's volume mixer, and the reset button.
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QSlider>
#include <QStandardPaths>

#include "app/current_voice.h"
#include "app/parlan_main.h"

void ParlanMain::VoiceCB_Click() {
    speech::SpVoice& voice = currentVoice(*this);
    const speech::SpObjectTokens voices = voice.GetVoices("", "");
    voice.SetVoice(voices.Item(VoiceCB->currentIndex()));
}

void ParlanMain::RateSldr_Scroll() {
    currentVoice(*this).SetRate(static_cast<int32_t>(RateSldr->value()));
}

// Starts the first volume mixer found, without waiting; nothing is reported when none starts.
void ParlanMain::vol_Click() {
    struct Mixer {
        const char* program;
        QStringList arguments;
    };
    const Mixer mixers[] = {
        {"pavucontrol", {}},
        {"pavucontrol-qt", {}},
        {"gnome-control-center", {QStringLiteral("sound")}},
        {"sndvol32.exe", {}},
    };
    try {
        if (!services_.dialogs) return;
        for (const Mixer& mixer : mixers) {
            const QString path = QStandardPaths::findExecutable(QString::fromLatin1(mixer.program));
            if (path.isEmpty()) continue;
            if (services_.dialogs->startDetached(path, mixer.arguments)) return;
        }
    } catch (...) {  // NOLINT(bugprone-empty-catch): the mixer is optional, every failure is ignored
    }
}

void ParlanMain::ResetBtn_Click() {
    selectComboEntry(AudioOutputCB, 0);
    currentVoice(*this).SetAudioOutput(std::nullopt);
    selectComboEntry(VoiceCB, 0);
    setComboText(FormatCB, QStringLiteral("SAFT22kHz16BitMono"));
    MainTxtBox->setPlainText(QString());
    RateSldr->setValue(0);
    RateSldr_Scroll();
    SpeakFlags = kDefaultSpeakFlags;
    setCheckValue(chkSpFlagAync, 1);
    setCheckValue(chkSpFlagPurgeBeforeSpeak, 1);
    setCheckValue(chkSpFlagIsXML, 1);
    setCheckValue(chkSpFlagIsFilename, 0);
    setCheckValue(chkSpFlagNLPSpeakPunc, 0);
    setCheckValue(chkSpFlagPersistXML, 0);
    DebugTxtBox->setPlainText(QString());
    SkipTxtBox->setText(QStringLiteral("0"));
    ShowRestPicture();
    if (Paused) currentVoice(*this).Resume();
    SetSpeakingControls(false, false);
}
