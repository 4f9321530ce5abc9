// SPDX-License-Identifier: GPL-3.0-or-later
// Start-up, its failure path, the window's layout and shutdown.
#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPushButton>
#include <QSlider>

#include "app/dialogs/about_dialog.h"
#include "app/up_down.h"
#include "tests/app/window_fixture.h"
#include "tests/support/audio_server.h"
#include "tests/support/test_files.h"
#include "tests/support/voice_helpers.h"

using testing_support::ScriptedBackends;

TEST_F(WindowTest, StartUpWithTheRealVoiceEndsIdleWithTheDefaults) {
    ParlanMain& w = load();
    ASSERT_TRUE(w.Voice);
    EXPECT_TRUE(dialogs->messages.empty());
    EXPECT_TRUE(exitStatuses.empty());
    EXPECT_EQ(w.MainTxtBox->toPlainText(), QStringLiteral("欢迎使用Brindle工作室Tallamo！"));
    EXPECT_GT(w.VoiceCB->count(), 0);
    EXPECT_EQ(w.VoiceCB->currentIndex(), 0);
    EXPECT_EQ(w.FormatCB->currentText(), QStringLiteral("SAFT22kHz16BitMono"));
    EXPECT_EQ(w.AudioOutputCB->currentIndex(), 0);
    if (testing_support::audioServerRuns()) {
        EXPECT_TRUE(w.AudioOutputCB->isEnabled());
        EXPECT_EQ(w.AudioOutputCB->count(), w.Voice->GetAudioOutputs().Count());
    }
    // The slider shows the engine's rate, and start-up left that rate alone.
    EXPECT_EQ(w.RateSldr->value(), 0);
    EXPECT_EQ(w.Voice->Rate(), 0);

    EXPECT_EQ(w.SpeakFlags, 11);
    EXPECT_TRUE(w.chkSpFlagAync->isChecked());
    EXPECT_TRUE(w.chkSpFlagPurgeBeforeSpeak->isChecked());
    EXPECT_TRUE(w.chkSpFlagIsXML->isChecked());
    EXPECT_FALSE(w.chkSpFlagIsFilename->isChecked());
    EXPECT_FALSE(w.chkSpFlagPersistXML->isChecked());
    EXPECT_FALSE(w.chkSpFlagNLPSpeakPunc->isChecked());
    EXPECT_FALSE(w.chkShowEvents->isChecked());

    EXPECT_FALSE(w.Speaking);
    EXPECT_FALSE(w.Paused);
    EXPECT_TRUE(w.SpeakBtn->isEnabled());
    EXPECT_FALSE(w.StopBtn->isEnabled());
    EXPECT_FALSE(w.SkipBtn->isEnabled());
    EXPECT_FALSE(w.PauseBtn->isEnabled());
    EXPECT_EQ(w.PauseBtn->text(), QStringLiteral("暂停"));
    EXPECT_FALSE(w.VisemePicture->pixmap().isNull());
    EXPECT_TRUE(w.isVisible());
}

TEST_F(WindowTest, StartUpWithoutAudioOutputsShowsThePlaceholderAndGoesOn) {
    ScriptedBackends backends;
    backends.host->setDevices({});
    useBackends(backends.backends());
    ParlanMain& w = load();
    ASSERT_TRUE(w.Voice);
    ASSERT_EQ(w.AudioOutputCB->count(), 1);
    EXPECT_EQ(w.AudioOutputCB->itemText(0), QStringLiteral("No audio ouput object available"));
    EXPECT_EQ(w.AudioOutputCB->currentIndex(), 0);
    EXPECT_FALSE(w.AudioOutputCB->isEnabled());
    const QStringList lines = debugLines();
    EXPECT_EQ(lines.filter(QRegularExpression(QStringLiteral("^Set audio output error: .+"))).size(), 1)
        << debugText().toStdString();
    EXPECT_TRUE(dialogs->messages.empty());
    EXPECT_TRUE(exitStatuses.empty());
    EXPECT_EQ(w.SpeakFlags, 11);
    EXPECT_TRUE(w.isVisible());
}

TEST_F(WindowTest, StartUpWithoutVoicesShowsTheFailureBoxAndEndsUnseen) {
    ScriptedBackends backends;
    useBackends({std::make_shared<testing_support::VoicelessSynthesizer>(), backends.host});
    ParlanMain& w = create();
    EXPECT_FALSE(w.Form_Load());
    ASSERT_EQ(dialogs->messages.size(), 1u);
    const FakeDialogs::Message& box = dialogs->messages[0];
    EXPECT_EQ(box.title, QStringLiteral("Brindle"));
    EXPECT_EQ(box.icon, MessageIcon::None);
    EXPECT_TRUE(box.text.startsWith(QStringLiteral("初始化错误: \r\n\r\n")));
    EXPECT_TRUE(box.text.endsWith(QStringLiteral("\r\n\r\n.")));
    EXPECT_GT(box.text.size(), QStringLiteral("初始化错误: \r\n\r\n\r\n\r\n.").size());  // a description is there
    ASSERT_EQ(exitStatuses.size(), 1u);
    EXPECT_NE(exitStatuses[0], 0);
    EXPECT_FALSE(w.Voice);
    EXPECT_FALSE(w.isVisible());
}

TEST_F(WindowTest, FailureBoxPutsAOneWordDescriptionOnItsOwnLine) {
    makeVoice = []() -> std::unique_ptr<speech::SpVoice> { throw base::Error(speech::errc::kNoVoice, "Unavailable"); };
    ParlanMain& w = create();
    EXPECT_FALSE(w.Form_Load());
    ASSERT_EQ(dialogs->messages.size(), 1u);
    EXPECT_EQ(dialogs->messages[0].text, QStringLiteral("初始化错误: \r\n\r\nUnavailable\r\n\r\n."));
    EXPECT_EQ(exitStatuses, std::vector<int>{1});
    // The rest of start-up did not run.
    EXPECT_EQ(w.VoiceCB->count(), 0);
    EXPECT_EQ(w.FormatCB->count(), 0);
}

TEST_F(WindowTest, LayoutShowsOnlyTheDesignedControlsInAFixedWindow) {
    ScriptedBackends backends;
    useBackends(backends.backends());
    ParlanMain& w = load();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    const double scale = w.logicalDpiX() / 96.0;
    EXPECT_EQ(w.centralWidget()->size(), QSize(qRound(623 * scale), qRound(477 * scale)));
    EXPECT_EQ(w.minimumSize(), w.maximumSize());
    EXPECT_FALSE(w.windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_TRUE(w.windowFlags() & Qt::WindowMinimizeButtonHint);
    EXPECT_EQ(w.windowTitle(), QStringLiteral("Tallamo"));
    EXPECT_EQ(w.windowIcon().pixmap(32, 32).toImage().size(), QSize(32, 32));

    const QList<QWidget*> shown = {w.SpeakBtn, w.StopBtn,  w.ResetBtn, w.PauseBtn, w.MainTxtBox,
                                   w.VoiceCB,  w.RateSldr, w.Label2,   w.Label3};
    for (QWidget* widget : shown) EXPECT_FALSE(widget->visibleRegion().isEmpty()) << widget->objectName().toStdString();
    const QList<QWidget*> hidden = {w.VisemePicture,
                                    w.chkShowEvents,
                                    w.chkSpFlagNLPSpeakPunc,
                                    w.chkSpFlagPurgeBeforeSpeak,
                                    w.chkSpFlagAync,
                                    w.chkSpFlagIsFilename,
                                    w.chkSpFlagPersistXML,
                                    w.Frame1,
                                    w.chkSpFlagIsXML,
                                    w.AudioOutputCB,
                                    w.DebugTxtBox,
                                    w.SkipBtn,
                                    w.UpDown1,
                                    w.SkipTxtBox,
                                    w.FormatCB,
                                    w.Label1,
                                    w.Label5};
    for (QWidget* widget : hidden) {
        EXPECT_TRUE(widget->visibleRegion().isEmpty()) << widget->objectName().toStdString();
        EXPECT_TRUE(widget->isVisible()) << widget->objectName().toStdString();  // exists and works
    }
    // Buttons in one column: 朗读, 停止, 复位, 暂停 from the top.
    EXPECT_LT(w.SpeakBtn->y(), w.StopBtn->y());
    EXPECT_LT(w.StopBtn->y(), w.ResetBtn->y());
    EXPECT_LT(w.ResetBtn->y(), w.PauseBtn->y());
    EXPECT_EQ(w.RateSldr->minimum(), -10);
    EXPECT_EQ(w.RateSldr->maximum(), 10);
    EXPECT_FALSE(w.VoiceCB->isEditable());
    EXPECT_EQ(w.Label2->font().weight(), QFont::Bold);
    EXPECT_EQ(w.UpDown1->buddy(), w.SkipTxtBox);
}

TEST_F(WindowTest, TabOrderStartsWithTheHiddenSkipControlsAndSkipsDisabledOnes) {
    ScriptedBackends backends;
    useBackends(backends.backends());
    ParlanMain& w = load();
    QApplication::setActiveWindow(&w);
    ASSERT_TRUE(QTest::qWaitForWindowActive(&w));
    const QList<QWidget*> expected = {w.SkipBtn,
                                      w.SkipTxtBox,
                                      w.UpDown1,
                                      w.VoiceCB,
                                      w.RateSldr,
                                      w.FormatCB,
                                      w.AudioOutputCB,
                                      w.chkSpFlagIsXML,
                                      w.chkSpFlagAync,
                                      w.chkSpFlagPersistXML,
                                      w.chkSpFlagPurgeBeforeSpeak,
                                      w.chkSpFlagIsFilename,
                                      w.chkSpFlagNLPSpeakPunc,
                                      w.chkShowEvents,
                                      w.DebugTxtBox,
                                      w.VisemePicture,
                                      w.MainTxtBox,
                                      w.SpeakBtn,
                                      w.StopBtn,
                                      w.PauseBtn,
                                      w.ResetBtn};
    // Walk the chain with everything enabled.
    w.SetSpeakingControls(true, false);
    w.ResetBtn->setFocus();
    for (QWidget* next : expected) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        ASSERT_EQ(QApplication::focusWidget(), next)
            << "expected " << next->objectName().toStdString() << ", got "
            << (QApplication::focusWidget() ? QApplication::focusWidget()->objectName().toStdString() : "none");
    }
    // Idle: the disabled Skip button is passed over, the hidden count box takes the focus unseen.
    w.SetSpeakingControls(false, false);
    w.ResetBtn->setFocus();
    QTest::keyClick(w.ResetBtn, Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), w.SkipTxtBox);
    QTest::keyClick(w.SkipTxtBox, Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), w.UpDown1);
    QTest::keyClick(w.UpDown1, Qt::Key_Up);
    EXPECT_EQ(w.SkipTxtBox->text(), QStringLiteral("1"));

    // Clicking a button leaves the focus in the text box, where the spoken word's selection shows.
    w.MainTxtBox->setFocus();
    click(w.ResetBtn);
    EXPECT_EQ(QApplication::focusWidget(), w.MainTxtBox);
}

TEST_F(WindowTest, ExitAndCloseWhileSpeakingEndCleanly) {
    TALLAMO_NEED_AUDIO_SERVER();
    {
        ParlanMain& w = load();
        w.MainTxtBox->setPlainText(QStringLiteral("This sentence is long enough to still be playing when the "
                                                  "window goes away. ")
                                       .repeated(20));
        click(w.SpeakBtn);
        ASSERT_TRUE(waitFor([&] { return w.StopBtn->isEnabled() && w.Voice && w.Voice->isBusy(); }));
        w.menuAbout_Click();
        w.menuFileExit->trigger();
        EXPECT_EQ(exitStatuses, std::vector<int>{0});
        EXPECT_FALSE(w.Voice);
        EXPECT_FALSE(w.isVisible());
        EXPECT_FALSE(w.frmAbout && w.frmAbout->isVisible());
        EXPECT_TRUE(dialogs->messages.empty());
    }
    window.reset();
    exitStatuses.clear();
    {
        ParlanMain& w = load();
        w.MainTxtBox->setPlainText(QStringLiteral("Closing the window stops this text at once. ").repeated(20));
        click(w.SpeakBtn);
        ASSERT_TRUE(waitFor([&] { return w.Voice && w.Voice->isBusy(); }));
        EXPECT_TRUE(w.close());
        EXPECT_FALSE(w.Voice);
        processEvents(100);  // events queued before the close find no voice
        EXPECT_TRUE(exitStatuses.empty());
        EXPECT_TRUE(dialogs->messages.empty());
    }
}

// The user's pronunciation lexicon is read at start-up: a good one changes the voice's reading; a
// malformed one is left out, with its reason on standard error only (the debug pane keeps its lines).
TEST_F(WindowTest, StartUpReadsTheUsersLexiconAndReportsABadOneOnStandardErrorOnly) {
    testing_support::TempDir config;
    const QByteArray saved = qgetenv("XDG_CONFIG_HOME");
    const bool hadConfig = qEnvironmentVariableIsSet("XDG_CONFIG_HOME");
    qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(config.path()));
    const std::string folder = config.file("tallamo");
    QDir().mkpath(QString::fromStdString(folder));
    const std::string lexicon = folder + "/lexicon.pls";
    const auto write = [&](const char* body) {
        QFile f(QString::fromStdString(lexicon));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(QByteArray("<lexicon version=\"1.0\" alphabet=\"x-pinyin\">\n") + body + "</lexicon>\n");
    };
    const auto start = [&] {
        window.reset();
        testing::internal::CaptureStderr();
        load();
        return testing::internal::GetCapturedStderr();
    };

    write("<lexeme><grapheme>银行</grapheme><phoneme>yin2 xing2</phoneme></lexeme>\n");
    EXPECT_EQ(start().find(lexicon), std::string::npos);
    EXPECT_EQ(window->Voice->pinyinReading(u"银行", 0, false), "yin2 xing2");
    const QStringList lines = debugLines();

    write("<lexeme><grapheme>银行</grapheme>\n<phoneme>yin9</phoneme></lexeme>\n");
    const std::string err = start();
    EXPECT_NE(err.find(lexicon + ":3: \"yin9\" is not pinyin"), std::string::npos) << err;
    EXPECT_EQ(window->Voice->pinyinReading(u"银行", 0, false), "yin2 hang2");
    EXPECT_EQ(debugLines(), lines);

    if (hadConfig) {
        qputenv("XDG_CONFIG_HOME", saved);
    } else {
        qunsetenv("XDG_CONFIG_HOME");
    }
}
