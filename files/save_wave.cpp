#include <QComboBox>
#include <QFile>
#include <QPlainTextEdit>

#include "app/parlan_main.h"
#include "files/common_dialog.h"
#include "platform/speech/streams.h"

void ParlanMain::menuFileSaveToWave_Click() {
    std::shared_ptr<speech::SpFileStream> stream;
    bool speakingIntoFile = false;
    QString failure;
    try {
        ComDlg->CancelError = true;
        ComDlg->Flags = CommonDialog::kOverwritePrompt | CommonDialog::kPathMustExist | CommonDialog::kNoReadOnlyReturn;
        ComDlg->DialogTitle = QStringLiteral("保存WAV文件");
        ComDlg->Filter = QStringLiteral("所有文件 (*.*)|*.*|Wave 文件 ") + QStringLiteral("(*.wav)|*.wav");
        ComDlg->FilterIndex = 2;
        ComDlg->ShowSave();
        // Speech held by a pause stays queued ahead of the file unless this request purges it, and the
        // wait below would then never end: refuse instead of freezing the window.
        if (Voice->isPaused() && Voice->isBusy() && (SpeakFlags & speech::SVSFPurgeBeforeSpeak) == 0) {
            throw speech::Error(speech::errc::kUnexpected,
                                "Paused speech is still queued ahead of the file; stop or resume it first.");
        }

        stream = std::make_shared<speech::SpFileStream>();
        const int index = FormatCB->currentIndex();
        if (index < 0) throw speech::Error(speech::errc::kInvalidArg, "No audio format is selected.");
        stream->Format().SetType(FormatCB->itemData(index).toInt());
        stream->Open(QFile::encodeName(ComDlg->FileName).toStdString(), speech::SSFMCreateForWrite, false);

        Voice->SetAllowAudioOutputFormatChangesOnNextSet(false);
        speakingIntoFile = true;  // set first: a failing set may have half-switched the output
        Voice->SetAudioOutputStream(stream);
        AppendDebugText(QStringLiteral("保存WAV文件"), QString());
        Voice->Speak(MainTxtBox->toPlainText().toStdU16String(), SpeakFlags);
        // Rendering into a file never waits on a pause, so this returns even while the voice is paused.
        Voice->WaitUntilDone(-1);

        speakingIntoFile = false;
        AudioOutputCB_Click();
        stream->Close();
        stream.reset();
        services_.dialogs->message(this, QStringLiteral("文件保存"), QStringLiteral("WAV文件成功的保存出去"),
                                   MessageIcon::Information);
        return;
    } catch (const speech::Error& error) {
        if (CommonDialog::isCancel(error)) return;
        failure = QString::fromStdString(error.description());
    } catch (const std::exception& error) {
        failure = QString::fromLocal8Bit(error.what());
    }
    // As on success: the voice back on the selected device first, then the file finished and closed.
    if (speakingIntoFile) AudioOutputCB_Click();
    if (stream) {
        try {
            stream->Close();
        } catch (const speech::Error&) {
            // The first failure is the one reported; the file stays with what was written into it.
        }
    }
    AppendDebugText(QStringLiteral("Save to Wave file Error: "), failure);
}
