// SPDX-License-Identifier: GPL-3.0-or-later
// A long run of random user actions on the real voice and the test audio server: after every action
// the buttons must match the speaking state, the window's pause flag must match the voice, and
// nothing may fail, hang or crash; at the end the window must close promptly.
#include <QAction>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QSlider>
#include <QTemporaryDir>
#include <random>

#include "tests/app/commands/commands_support.h"
#include "tests/app/window_fixture.h"
#include "tests/support/audio_server.h"

using namespace commands_test;

namespace {

class CommandsSoak : public WindowTest {};

TEST_F(CommandsSoak, FiveThousandRandomUserActions) {
    TALLAMO_NEED_AUDIO_SERVER();
    const int actions = qEnvironmentVariableIntValue("COMMANDS_SOAK_ACTIONS") > 0
                            ? qEnvironmentVariableIntValue("COMMANDS_SOAK_ACTIONS")
                            : 5000;
    const unsigned seed = qEnvironmentVariableIsSet("COMMANDS_SOAK_SEED")
                              ? static_cast<unsigned>(qEnvironmentVariableIntValue("COMMANDS_SOAK_SEED"))
                              : std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed) + " (set COMMANDS_SOAK_SEED to repeat)");
    std::mt19937 rng(seed);
    const auto below = [&rng](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };

    QTemporaryDir dir;
    const QString wave = QDir(dir.path()).filePath(QStringLiteral("soak.wav"));
    const QString textFile = QStringLiteral(TALLAMO_SOURCE_DIR "/platform/data/samples/common/english.txt");
    const QStringList texts = {
        QString(),
        QStringLiteral("Hello there."),
        QStringLiteral("One. Two. Three. Four. Five."),
        QStringLiteral("欢迎使用，这是一个测试。第二句话。"),
        QStringLiteral("<rate speed=\"5\">Fast words</rate> and <emph>stressed</emph> ones."),
        QStringLiteral("Broken <markup"),
        QStringLiteral("A somewhat longer sentence that keeps the voice going for a little while, then stops."),
        wave,
    };
    const QStringList counts = {"0", "1", "-1", "2.5", "abc", "", "3", "40000", " 2 "};

    load();
    QElapsedTimer total;
    total.start();
    qint64 slowest = 0;
    for (int step = 0; step < actions; ++step) {
        ParlanMain& w = *window;
        int action = below(22);
        QElapsedTimer timer;
        timer.start();
        switch (action) {
            case 0:
            case 1:
            case 2:
                // Speech that waits for its end blocks the run for as long as it takes, including
                // whatever is queued before it: keep it short and drop the queue first.
                if (!w.chkSpFlagAync->isChecked()) {
                    w.MainTxtBox->setPlainText(QStringLiteral("Hi."));
                    w.setCheckValue(w.chkSpFlagIsFilename, 0);
                    w.setCheckValue(w.chkSpFlagPurgeBeforeSpeak, 1);
                    if (w.RateSldr->value() < 5) QTest::keyClick(w.RateSldr, Qt::Key_End);
                }
                click(w.SpeakBtn);
                break;
            case 3:
            case 4:
                click(w.PauseBtn);
                break;
            case 5:
                click(w.StopBtn);
                break;
            case 6:
                click(w.SkipBtn);
                break;
            case 7:
                click(w.ResetBtn);
                break;
            case 8: {
                QCheckBox* const boxes[] = {w.chkSpFlagAync,  w.chkSpFlagPurgeBeforeSpeak, w.chkSpFlagIsFilename,
                                            w.chkSpFlagIsXML, w.chkSpFlagPersistXML,       w.chkSpFlagNLPSpeakPunc,
                                            w.chkShowEvents};
                click(boxes[below(7)]);
                break;
            }
            case 9:
            case 10: {
                QComboBox* const lists[] = {w.VoiceCB, w.AudioOutputCB, w.FormatCB};
                QComboBox* box = lists[below(3)];
                if (box->isEnabled() && box->count() > 0) {
                    const int index = below(box->count());
                    box->setCurrentIndex(index);
                    emit box->activated(index);
                }
                break;
            }
            case 11: {
                const Qt::Key keys[] = {Qt::Key_Left, Qt::Key_Right, Qt::Key_Home, Qt::Key_End, Qt::Key_PageUp};
                QTest::keyClick(w.RateSldr, keys[below(5)]);
                break;
            }
            case 12:
            case 13:
                w.MainTxtBox->setPlainText(texts[below(texts.size())]);
                break;
            case 14:
                if (w.MainTxtBox->toPlainText().size() < 150)
                    QTest::keyClicks(w.MainTxtBox, QStringLiteral(" and more"));
                break;
            case 15:
                w.SkipTxtBox->setText(counts[below(counts.size())]);
                break;
            case 16:
                if (below(2))
                    dialogs->answerFile(textFile);
                else
                    dialogs->answerCancel();
                w.menuFileOpenText->trigger();
                break;
            case 17:
                // Saving renders the whole text before it returns: less often, and short texts only.
                if (below(4) == 0 && w.MainTxtBox->toPlainText().size() < 120 && !w.Voice->isBusy()) {
                    dialogs->answerFile(wave);
                    w.menuFileSaveToWave->trigger();
                }
                break;
            case 18:
                if (below(2) && QFile::exists(wave) && w.chkSpFlagAync->isChecked()) {
                    dialogs->answerFile(wave);
                } else {
                    dialogs->answerCancel();
                }
                w.menuFileSpeakWave->trigger();
                break;
            case 19:
                w.vol->trigger();
                break;
            default:
                processEvents(below(40));
                break;
        }
        dialogs->fileAnswers.clear();  // a disabled menu item leaves its answer unused
        processEvents(below(4));
        slowest = std::max(slowest, timer.elapsed());

        ASSERT_TRUE(exitStatuses.empty())
            << "step " << step << ", action " << action << ": " << dialogs->messages.back().text.toStdString();
        ASSERT_EQ(controlMismatch(w), "") << "step " << step << ", action " << action;
        ASSERT_EQ(w.Paused, w.Voice->isPaused()) << "step " << step << ", action " << action;
        ASSERT_EQ(w.SpeakFlags, boxesWord(w)) << "step " << step << ", action " << action;
    }
    std::printf("soak: %d actions in %lld ms, slowest %lld ms\n", actions, static_cast<long long>(total.elapsed()),
                static_cast<long long>(slowest));

    QElapsedTimer closing;
    closing.start();
    window->close();
    window.reset();
    EXPECT_LT(closing.elapsed(), 5000) << "closing the window while speaking took too long";
    EXPECT_TRUE(exitStatuses.empty());
}

}  // namespace
