// SPDX-License-Identifier: GPL-3.0-or-later
#include <QCheckBox>
#include <QPlainTextEdit>

#include "app/dialogs/common_dialog.h"
#include "app/parlan_main.h"

void ParlanMain::menuFileSpeakWave_Click() {
    try {
        ComDlg->CancelError = true;
        ComDlg->Flags = CommonDialog::kFileMustExist | CommonDialog::kPathMustExist;
        ComDlg->DialogTitle = QStringLiteral("读取WAV文件");
        ComDlg->Filter = QStringLiteral("所有文件 (*.*)|*.*|Wave 文件 ") + QStringLiteral("(*.wav)|*.wav");
        ComDlg->FilterIndex = 2;
        ComDlg->ShowOpen();
        AppendDebugText(QStringLiteral("读取WAV文件"), QString());
        MainTxtBox->setPlainText(ComDlg->FileName);
        // Its click handler sets the file-name bit of SpeakFlags, which the Speak below depends on.
        setCheckValue(chkSpFlagIsFilename, 1);
        // Reports its own failures ("Speak Error: ") and sets the controls itself.
        SpeakBtn_Click();
        return;
    } catch (const speech::Error& error) {
        if (!CommonDialog::isCancel(error)) {
            AppendDebugText(QStringLiteral("Speak Wave Error: "), QString::fromStdString(error.description()));
        }
    } catch (const std::exception& error) {
        AppendDebugText(QStringLiteral("Speak Wave Error: "), QString::fromLocal8Bit(error.what()));
    }
    SetSpeakingControls(false, Paused);
}
