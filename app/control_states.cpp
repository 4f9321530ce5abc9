// SPDX-License-Identifier: GPL-3.0-or-later
#include <QAction>
#include <QPushButton>

#include "app/parlan_main.h"

void ParlanMain::SetSpeakingControls(bool speaking, bool paused) {
    menuFileOpenText->setEnabled(!speaking);
    menuFileSpeakWave->setEnabled(!speaking);
    menuFileSaveToWave->setEnabled(!speaking);
    SpeakBtn->setEnabled(true);
    StopBtn->setEnabled(speaking);
    SkipBtn->setEnabled(speaking && !paused);
    PauseBtn->setEnabled(speaking);
    PauseBtn->setText(paused ? QStringLiteral("继续") : QStringLiteral("暂停"));
    Speaking = speaking;
    Paused = paused;
}
