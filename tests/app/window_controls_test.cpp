// SPDX-License-Identifier: GPL-3.0-or-later
// Control states, shortcuts, the About box, the guard, the code-driven selections and the spinner.
#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSlider>

#include "app/dialogs/about_dialog.h"
#include "app/up_down.h"
#include "tests/app/window_fixture.h"
#include "tests/support/voice_helpers.h"

using testing_support::ScriptedBackends;

namespace {

class ControlsTest : public WindowTest {
protected:
    void SetUp() override {
        useBackends(backends.backends());
        load();
    }
    ScriptedBackends backends;
};

}  // namespace

TEST_F(ControlsTest, SpeakingStateTableAndRepeatedCalls) {
    struct Row {
        bool speaking, paused;
        bool fileItems, stop, skip, pause;
        const char16_t* caption;
    };
    const Row rows[] = {
        {false, false, true, false, false, false, u"暂停"},
        {false, true, true, false, false, false, u"继续"},
        {true, false, false, true, true, true, u"暂停"},
        {true, true, false, true, false, true, u"继续"},
    };
    ParlanMain& w = *window;
    for (const Row& row : rows) {
        for (int repeat = 0; repeat < 2; ++repeat) {
            SCOPED_TRACE(testing::Message()
                         << "speaking=" << row.speaking << " paused=" << row.paused << " call " << repeat + 1);
            w.SetSpeakingControls(row.speaking, row.paused);
            EXPECT_EQ(w.Speaking, row.speaking);
            EXPECT_EQ(w.Paused, row.paused);
            EXPECT_EQ(w.menuFileOpenText->isEnabled(), row.fileItems);
            EXPECT_EQ(w.menuFileSpeakWave->isEnabled(), row.fileItems);
            EXPECT_EQ(w.menuFileSaveToWave->isEnabled(), row.fileItems);
            EXPECT_TRUE(w.SpeakBtn->isEnabled());
            EXPECT_EQ(w.StopBtn->isEnabled(), row.stop);
            EXPECT_EQ(w.SkipBtn->isEnabled(), row.skip);
            EXPECT_EQ(w.PauseBtn->isEnabled(), row.pause);
            EXPECT_EQ(w.PauseBtn->text(), QString::fromUtf16(row.caption));
        }
    }
    // Controls outside the table keep whatever state they had.
    w.ResetBtn->setEnabled(false);
    w.menuFileExit->setEnabled(false);
    w.SetSpeakingControls(false, false);
    EXPECT_FALSE(w.ResetBtn->isEnabled());
    EXPECT_FALSE(w.menuFileExit->isEnabled());
}

TEST_F(ControlsTest, FileShortcutsWorkOnlyWhileTheirItemsAreEnabled) {
    ParlanMain& w = *window;
    QApplication::setActiveWindow(&w);
    ASSERT_TRUE(QTest::qWaitForWindowActive(&w));
    const Qt::Key keys[] = {Qt::Key_O, Qt::Key_W, Qt::Key_S};
    for (Qt::Key key : keys) {
        const size_t before = dialogs->fileRequests.size();
        w.SetSpeakingControls(true, false);
        QTest::keyClick(&w, key, Qt::ControlModifier);
        EXPECT_EQ(dialogs->fileRequests.size(), before) << "speaking, key " << key;
        w.SetSpeakingControls(false, false);
        QTest::keyClick(&w, key, Qt::ControlModifier);  // the fake dialog cancels
        EXPECT_EQ(dialogs->fileRequests.size(), before + 1) << "idle, key " << key;
    }
    // Exit stays available while speaking.
    w.SetSpeakingControls(true, false);
    QTest::keyClick(&w, Qt::Key_Q, Qt::ControlModifier);
    EXPECT_EQ(exitStatuses, std::vector<int>{0});
    EXPECT_FALSE(w.Voice);
}

TEST_F(ControlsTest, AboutBoxIsOneModelessInstanceClosedByEnterAndEsc) {
    ParlanMain& w = *window;
    w.menuAbout->trigger();
    QPointer<AboutDialog> first = w.frmAbout;
    ASSERT_TRUE(first);
    EXPECT_TRUE(first->isVisible());
    w.menuAbout->trigger();
    EXPECT_EQ(w.frmAbout, first);
    EXPECT_EQ(QApplication::topLevelWidgets().count(first.data()), 1);
    EXPECT_EQ(first->parentWidget(), nullptr);
    EXPECT_FALSE(first->isModal());
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    ASSERT_FALSE(w.windowIcon().isNull());
    EXPECT_EQ(first->windowIcon().cacheKey(), w.windowIcon().cacheKey());
    EXPECT_EQ(first->picIcon->pixmap().toImage(), w.windowIcon().pixmap(32, 32).toImage());
    EXPECT_EQ(first->lblVersion->text(), QStringLiteral("版本：V1.0.0.1"));
    EXPECT_EQ(first->cmdOK->text(), QStringLiteral("确定"));

    // The main window stays usable meanwhile.
    w.SetSpeakingControls(true, false);
    EXPECT_TRUE(w.StopBtn->isEnabled());

    QTest::keyClick(first, Qt::Key_Return);
    EXPECT_FALSE(first->isVisible());
    w.menuAbout->trigger();
    EXPECT_TRUE(first->isVisible());
    QTest::keyClick(first, Qt::Key_Escape);
    EXPECT_FALSE(first->isVisible());
    w.menuAbout->trigger();
    click(first->cmdOK);
    EXPECT_FALSE(first->isVisible());
    EXPECT_TRUE(w.isVisible());
}

TEST_F(ControlsTest, GuardTurnsAnUntrappedErrorIntoTheFatalBox) {
    ParlanMain& w = *window;
    bool ran = false;
    w.guard([&] { ran = true; });
    EXPECT_TRUE(ran);
    EXPECT_TRUE(dialogs->messages.empty());
    EXPECT_TRUE(exitStatuses.empty());

    w.guard([] { throw base::Error(speech::errc::kInvalidArg, "The value is out of range."); });
    ASSERT_EQ(dialogs->messages.size(), 1u);
    EXPECT_EQ(dialogs->messages[0].title, QStringLiteral("Tallamo"));
    EXPECT_TRUE(dialogs->messages[0].text.contains(QStringLiteral("The value is out of range.")));
    EXPECT_TRUE(dialogs->messages[0].text.contains(QString::number(speech::errc::kInvalidArg)));
    EXPECT_TRUE(dialogs->messages[0].text.contains(QStringLiteral("80070057")));
    ASSERT_EQ(exitStatuses.size(), 1u);
    EXPECT_NE(exitStatuses[0], 0);
    EXPECT_FALSE(w.Voice);

    w.guard([] { throw std::runtime_error("plain failure"); });
    ASSERT_EQ(dialogs->messages.size(), 2u);
    EXPECT_TRUE(dialogs->messages[1].text.contains(QStringLiteral("plain failure")));
}

TEST_F(ControlsTest, SelectionsByCodeRunTheSameHandlersAsTheUser) {
    ParlanMain& w = *window;
    ASSERT_EQ(w.SpeakFlags, 11);
    w.setCheckValue(w.chkSpFlagPersistXML, 1);
    EXPECT_TRUE(w.chkSpFlagPersistXML->isChecked());
    EXPECT_EQ(w.SpeakFlags, 11 | speech::SVSFPersistXML);
    w.setCheckValue(w.chkSpFlagPersistXML, 1);  // no change, no click
    EXPECT_EQ(w.SpeakFlags, 11 | speech::SVSFPersistXML);
    click(w.chkSpFlagNLPSpeakPunc);  // a user's click on a hidden box
    EXPECT_EQ(w.SpeakFlags, 11 | speech::SVSFPersistXML | speech::SVSFNLPSpeakPunc);
    EXPECT_THROW(w.setCheckValue(w.chkSpFlagIsXML, 2), base::Error);

    ASSERT_EQ(w.VoiceCB->count(), 2);
    w.selectComboEntry(w.VoiceCB, 1);
    EXPECT_EQ(w.VoiceCB->currentIndex(), 1);
    EXPECT_EQ(w.Voice->Voice().GetDescription(), "Test Voice B");
    EXPECT_THROW(w.selectComboEntry(w.VoiceCB, 2), base::Error);
    EXPECT_THROW(w.setComboText(w.FormatCB, QStringLiteral("SAFTNoSuchFormat")), base::Error);
    EXPECT_EQ(w.VoiceCB->currentIndex(), 1);

    // A code-set slider value runs no scroll handler; the user's move does.
    w.RateSldr->setValue(5);
    EXPECT_EQ(w.Voice->Rate(), 0);
    w.RateSldr->setFocus();
    QTest::keyClick(w.RateSldr, Qt::Key_Right);
    EXPECT_EQ(w.RateSldr->value(), 6);
    EXPECT_EQ(w.Voice->Rate(), 6);
}

TEST_F(ControlsTest, SpinnerStepsTheCountBoxWithinItsRange) {
    ParlanMain& w = *window;
    UpDown& spin = *w.UpDown1;
    EXPECT_EQ(w.SkipTxtBox->text(), QStringLiteral("0"));
    spin.stepBy(1);
    EXPECT_EQ(w.SkipTxtBox->text(), QStringLiteral("1"));
    w.SkipTxtBox->setText(QStringLiteral("49"));
    spin.stepBy(1);
    spin.stepBy(1);
    EXPECT_EQ(w.SkipTxtBox->text(), QStringLiteral("50"));
    w.SkipTxtBox->setText(QStringLiteral("-50"));
    spin.stepBy(-1);
    EXPECT_EQ(w.SkipTxtBox->text(), QStringLiteral("-50"));
    // Text that is no number: the spinner goes on from its own value.
    w.SkipTxtBox->setText(QStringLiteral("abc"));
    EXPECT_EQ(w.SkipTxtBox->text(), QStringLiteral("abc"));
    spin.stepBy(1);
    EXPECT_EQ(w.SkipTxtBox->text(), QStringLiteral("-49"));
    spin.stepBy(1000);
    EXPECT_EQ(w.SkipTxtBox->text(), QStringLiteral("50"));
}
