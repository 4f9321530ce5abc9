// SPDX-License-Identifier: GPL-3.0-or-later
#include <QComboBox>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QPlainTextEdit>
#include <QProgressDialog>
#include <algorithm>
#include <memory>

#include "app/dialogs/common_dialog.h"
#include "app/parlan_main.h"
#include "speech/names.h"
#include "speech/streams.h"

namespace {

// A render that takes longer than this shows the progress dialog; a shorter one shows nothing.
constexpr qint64 kProgressAfterMs = 500;
// How often the wait looks at the voice and handles the window's events.
constexpr long kPollMs = 30;
constexpr int kSteps = 1000;

QString minutes(qint64 ms) {
    const qint64 s = ms / 1000;
    return QStringLiteral("%1:%2").arg(s / 60).arg(s % 60, 2, 10, QLatin1Char('0'));
}

// Waits for the voice to finish the render of stream `stream`, whose text is `length` UTF-16 units
// long (0: not known, as for a file named in the text box). The window's events are handled meanwhile
// but no user input reaches it, so the command stays modal. A render that takes longer than half a
// second shows a modal progress dialog with the share of the text rendered, the time spent and the
// time left, and Cancel; Cancel purges the render. Returns false when it was cancelled.
bool waitForRender(QWidget* parent, speech::SpVoice& voice, uint32_t stream, qsizetype length) {
    QElapsedTimer clock;
    clock.start();
    std::unique_ptr<QProgressDialog> dialog;
    while (!voice.WaitUntilDone(kPollMs)) {
        if (!dialog && clock.elapsed() >= kProgressAfterMs) {
            dialog = std::make_unique<QProgressDialog>(parent);
            dialog->setWindowTitle(QStringLiteral("保存WAV文件"));
            dialog->setCancelButtonText(QStringLiteral("取消"));
            dialog->setWindowModality(Qt::ApplicationModal);
            dialog->setAutoClose(false);
            dialog->setAutoReset(false);
            dialog->setMinimumDuration(0);
            dialog->setMinimumWidth(360);
            dialog->setRange(0, length > 0 ? kSteps : 0);  // no known length: a busy bar
            dialog->show();
        }
        if (dialog) {
            if (dialog->wasCanceled()) {
                voice.Speak(u"", speech::SVSFPurgeBeforeSpeak);
                voice.WaitUntilDone(-1);
                return false;
            }
            const speech::SpVoiceStatus status = voice.Status();
            double share = 0;
            if (status.currentStreamNumber == stream && length > 0) {
                const int32_t reached =
                    std::max(status.inputWordPosition + status.inputWordLength, status.inputSentencePosition);
                share = std::clamp(double(reached) / double(length), 0.0, 1.0);
            }
            const qint64 spent = clock.elapsed();
            const QString left =
                share > 0.01 ? minutes(qint64(double(spent) * (1 - share) / share)) : QStringLiteral("--:--");
            dialog->setLabelText(
                QStringLiteral("正在保存WAV文件\n已用时间 %1    剩余时间 %2").arg(minutes(spent), left));
            if (length > 0) dialog->setValue(int(share * kSteps));
        }
        QCoreApplication::processEvents(dialog ? QEventLoop::AllEvents : QEventLoop::ExcludeUserInputEvents);
    }
    return true;
}

}  // namespace

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
        const QString text = MainTxtBox->toPlainText();
        // Asynchronous whatever the flags say: the command waits for the whole render below either way,
        // and only so can the window show the progress meanwhile.
        const uint32_t number = Voice->Speak(text.toStdU16String(), SpeakFlags | speech::SVSFlagsAsync);
        // Rendering into a file never waits on a pause, so this returns even while the voice is paused.
        const qsizetype length = (SpeakFlags & speech::SVSFIsFilename) ? 0 : text.size();
        if (!waitForRender(this, *Voice, number, length)) {
            throw speech::Error(speech::errc::kCancelled, "The save was cancelled; no file was written.");
        }

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
    // As on success: the voice back on the selected device first, then the file closed. Nothing is
    // put under the chosen name, and a file that was there stays as it was.
    if (speakingIntoFile) AudioOutputCB_Click();
    if (stream) stream->discard();
    AppendDebugText(QStringLiteral("Save to Wave file Error: "), failure);
}
