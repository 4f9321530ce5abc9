// SPDX-License-Identifier: GPL-3.0-or-later
// Figures for the file commands, printed (no pass/fail):
//  - saving a text to SAFT22kHz16BitMono through the window's save command, against
//    `tallamo-say --output` on the same text, flags and format (ratio), and against the tool with
//    `--events` (the window's voice makes every event too); runs alternate and the best of each counts,
//    so load from other processes weighs on both sides alike;
//  - opening a 10 MB text file through the window's open command (seconds).
// Needs an audio server for the window's voice (scripts/audio-server). Usage:
//   bench_ui_files [--kb N (text size, default 1024)] [--runs N (default 2)]
//                  [--say PATH (default ../tools/tallamo-say)]
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QPlainTextEdit>
#include <QProcess>
#include <QTemporaryDir>
#include <QTextDocument>
#include <algorithm>
#include <cstdio>
#include <deque>

#include "app/events/event_pump.h"
#include "app/parlan_main.h"

namespace {

class BenchDialogs : public Dialogs {
public:
    std::deque<QString> answers;
    void message(QWidget*, const QString&, const QString&, MessageIcon) override {}
    std::optional<FileDialogResult> fileDialog(QWidget*, const FileDialogRequest& request) override {
        if (answers.empty()) return std::nullopt;
        FileDialogResult result{answers.front(), request.filterIndex};
        answers.pop_front();
        return result;
    }
    bool startDetached(const QString&, const QStringList&) override { return false; }
};

QByteArray makeText(qsizetype bytes) {
    static const char* const kSentences[] = {
        "The quick brown fox jumps over the lazy dog. ",
        "A notepad that reads aloud keeps its text in one box. ",
        "Every sentence here is plain English without markup, so both paths read the same words. ",
        "Numbers such as 42 and 1999 are spoken as words. ",
    };
    QByteArray text;
    text.reserve(bytes + 128);
    for (size_t i = 0; text.size() < bytes; ++i) {
        text += kSentences[i % 4];
        if (i % 12 == 11) text += "\n";
    }
    text.truncate(bytes);
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    qsizetype kilobytes = 1024;
    int runs = 2;
    QString say = QCoreApplication::applicationDirPath() + QStringLiteral("/../tools/tallamo-say");
    for (int i = 1; i + 1 < argc; i += 2) {
        const QString option = QString::fromLocal8Bit(argv[i]);
        if (option == QStringLiteral("--kb")) kilobytes = QString::fromLocal8Bit(argv[i + 1]).toLongLong();
        if (option == QStringLiteral("--say")) say = QString::fromLocal8Bit(argv[i + 1]);
        if (option == QStringLiteral("--runs")) runs = std::max(1, QString::fromLocal8Bit(argv[i + 1]).toInt());
    }

    QTemporaryDir dir;
    const QString textPath = dir.filePath(QStringLiteral("text.txt"));
    {
        QFile file(textPath);
        if (!file.open(QIODevice::WriteOnly) || file.write(makeText(kilobytes * 1024)) < 0) return 1;
    }

    auto dialogs = std::make_shared<BenchDialogs>();
    int exitStatus = -1;
    ParlanMain window(ParlanMain::Services{[] { return std::make_unique<speech::SpVoice>(); }, dialogs,
                                           [&](int status) { exitStatus = status; }});
    if (!window.Form_Load()) {
        std::fprintf(stderr, "start-up failed (status %d)\n", exitStatus);
        return 1;
    }
    window.show();
    QApplication::processEvents();

    // Saving through the window (the text is loaded by the open command first).
    dialogs->answers.push_back(textPath);
    window.menuFileOpenText_Click();
    const int format = window.FormatCB->findText(QStringLiteral("SAFT22kHz16BitMono"));
    window.selectComboEntry(window.FormatCB, format);
    const QString windowWav = dir.filePath(QStringLiteral("window.wav"));
    const QString sayWav = dir.filePath(QStringLiteral("say.wav"));
    double drainSeconds = 1e300;
    double longestPassMs = 0;
    auto saveThroughWindow = [&] {
        dialogs->answers.push_back(windowWav);
        QElapsedTimer timer;
        timer.start();
        window.menuFileSaveToWave_Click();
        const double seconds = static_cast<double>(timer.nsecsElapsed()) / 1e9;
        // The events of the rendered speech reach the window afterwards (word highlight, mouth, log), a
        // slice at a time; the longest pass of the event loop is how long the window was unresponsive.
        timer.restart();
        QElapsedTimer pass;
        double longest = 0;
        while (window.Speaking || window.eventPump->pending() > 0 || window.eventPump->posted()) {
            pass.start();
            QApplication::processEvents();
            longest = std::max(longest, static_cast<double>(pass.nsecsElapsed()) / 1e6);
        }
        if (static_cast<double>(timer.nsecsElapsed()) / 1e9 < drainSeconds) {
            drainSeconds = static_cast<double>(timer.nsecsElapsed()) / 1e9;
            longestPassMs = longest;
        }
        return seconds;
    };
    // The same text, flags and format through the command-line tool; a negative time when it failed.
    auto saveThroughTool = [&](bool events) {
        QStringList arguments{QStringLiteral("--format"), QStringLiteral("SAFT22kHz16BitMono"),
                              QStringLiteral("--flags"),  QString::number(window.SpeakFlags),
                              QStringLiteral("--output"), sayWav};
        if (events) arguments << QStringLiteral("--events");
        arguments << QStringLiteral("--file") << textPath;
        QProcess process;
        process.setStandardOutputFile(QProcess::nullDevice());
        QElapsedTimer timer;
        timer.start();
        process.start(say, arguments);
        const bool ok =
            process.waitForFinished(-1) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
        return ok ? static_cast<double>(timer.nsecsElapsed()) / 1e9 : -1.0;
    };
    // The platform alone in this process: a voice of its own speaking the same string into a file.
    const std::u16string text = window.MainTxtBox->toPlainText().toStdU16String();
    auto saveThroughPlatform = [&](bool fromFile) {
        speech::SpVoice voice;
        auto stream = std::make_shared<speech::SpFileStream>();
        stream->Format().SetType(22);
        stream->Open(QFile::encodeName(dir.filePath(QStringLiteral("platform.wav"))).toStdString(), 3, false);
        voice.SetAllowAudioOutputFormatChangesOnNextSet(false);
        voice.SetAudioOutputStream(stream);
        QElapsedTimer timer;
        timer.start();
        if (fromFile) {
            voice.Speak(QDir::toNativeSeparators(textPath).toStdU16String(),
                        window.SpeakFlags | speech::SVSFIsFilename);
        } else {
            voice.Speak(text, window.SpeakFlags);
        }
        voice.WaitUntilDone(-1);
        stream->Close();
        return static_cast<double>(timer.nsecsElapsed()) / 1e9;
    };
    double best[5] = {1e300, 1e300, 1e300, 1e300, 1e300};
    for (int run = 0; run < runs; ++run) {
        best[0] = std::min(best[0], saveThroughWindow());
        best[1] = std::min(best[1], saveThroughTool(false));
        best[2] = std::min(best[2], saveThroughTool(true));
        best[3] = std::min(best[3], saveThroughPlatform(false));
        best[4] = std::min(best[4], saveThroughPlatform(true));
    }
    std::printf("same text by a voice of this process: from the string %.2f s, from the file %.2f s\n", best[3],
                best[4]);
    std::printf(
        "save %lld KB text, SAFT22kHz16BitMono, best of %d: window %.2f s (%lld bytes), tallamo-say %.2f s "
        "(%lld bytes), tallamo-say --events %.2f s\n",
        static_cast<long long>(kilobytes), runs, best[0], static_cast<long long>(QFileInfo(windowWav).size()), best[1],
        static_cast<long long>(QFileInfo(sayWav).size()), best[2]);
    std::printf("the window then handled the save's voice events in %.2f s; longest pass of its event loop %.1f ms\n",
                drainSeconds, longestPassMs);
    if (best[1] > 0) std::printf("save ratio window/tallamo-say: %.3f (target <= 1.1)\n", best[0] / best[1]);
    if (best[2] > 0) std::printf("save ratio window/tallamo-say --events: %.3f\n", best[0] / best[2]);
    if (best[1] < 0 || best[2] < 0) std::printf("tallamo-say failed\n");

    // Opening a 10 MB file: the command's own time, then until the window has painted it.
    const QString bigPath = dir.filePath(QStringLiteral("big.txt"));
    {
        QFile file(bigPath);
        if (!file.open(QIODevice::WriteOnly) || file.write(makeText(10 * 1000 * 1000)) < 0) return 1;
    }
    dialogs->answers.push_back(bigPath);
    QElapsedTimer timer;
    timer.start();
    window.menuFileOpenText_Click();
    const double openSeconds = static_cast<double>(timer.nsecsElapsed()) / 1e9;
    QApplication::processEvents();
    const double shownSeconds = static_cast<double>(timer.nsecsElapsed()) / 1e9;
    std::printf("open 10 MB text: %.3f s, shown after %.3f s (target < 1 s); %lld characters loaded\n", openSeconds,
                shownSeconds, static_cast<long long>(window.MainTxtBox->document()->characterCount() - 1));
    window.Form_Unload();
    return 0;
}
