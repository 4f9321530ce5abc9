// SPDX-License-Identifier: GPL-3.0-or-later
// The debug pane's lines and its trimming, and the event log's switch.
#include <QCheckBox>
#include <QPlainTextEdit>

#include "tests/app/window_fixture.h"

namespace {

class DebugPaneTest : public WindowTest {
protected:
    void SetUp() override { create(); }
    // Fills the pane with one line so that it holds exactly `length` characters.
    void fillTo(int length) {
        window->AppendDebugText(QString(length - 2, QLatin1Char('a')), QString());
        ASSERT_EQ(debugText().size(), length);
    }
};

}  // namespace

TEST_F(DebugPaneTest, LinesAreMessageThenDetailThenCrLf) {
    window->AppendDebugText(QStringLiteral("Speak Error: "), QStringLiteral("no device"));
    window->AppendDebugText(QStringLiteral("Stop"), QString());
    window->AppendDebugText(QString(), QString());
    EXPECT_EQ(debugText(), QStringLiteral("Speak Error: no device\r\nStop\r\n\r\n"));
    EXPECT_EQ(window->DebugTxtBox->toPlainText(), QStringLiteral("Speak Error: no device\nStop\n\n"));
}

TEST_F(DebugPaneTest, SixtyFourThousandCharactersAreKeptAndOneMoreTrims) {
    fillTo(64000);
    window->AppendDebugText(QStringLiteral("next"), QString());
    EXPECT_EQ(debugText().size(), 64000 + 6);
    EXPECT_TRUE(debugText().endsWith(QStringLiteral("a\r\nnext\r\n")));

    window->DebugTxtBox->clear();
    EXPECT_TRUE(debugText().isEmpty());
    fillTo(64001);
    const QString before = debugText();
    window->AppendDebugText(QStringLiteral("next"), QString());
    EXPECT_EQ(debugText(), before.mid(10240) + QStringLiteral("next\r\n"));
}

TEST_F(DebugPaneTest, TrimCanSplitALineEndAndIgnoresTheUsersSelection) {
    // 10239 characters then CR LF: the cut falls between the CR and the LF.
    window->AppendDebugText(QString(10239, QLatin1Char('b')), QString());
    window->AppendDebugText(QString(64001 - 10241 - 2, QLatin1Char('c')), QString());
    ASSERT_EQ(debugText().size(), 64001);
    QTextCursor selection(window->DebugTxtBox->document());
    selection.setPosition(3);
    selection.setPosition(8, QTextCursor::KeepAnchor);
    window->DebugTxtBox->setTextCursor(selection);

    window->AppendDebugText(QStringLiteral("Skip"), QString());
    EXPECT_TRUE(debugText().startsWith(QStringLiteral("\nccc")));
    EXPECT_TRUE(debugText().endsWith(QStringLiteral("c\r\nSkip\r\n")));
    EXPECT_EQ(debugText().size(), 64001 - 10240 + 6);
    EXPECT_FALSE(window->DebugTxtBox->textCursor().hasSelection());
    EXPECT_TRUE(window->DebugTxtBox->textCursor().atEnd());
    // The box shows the log: the line ends, and the lone LF left by the cut, as line breaks.
    EXPECT_EQ(window->DebugTxtBox->toPlainText(),
              QString(debugText()).replace(QStringLiteral("\r\n"), QStringLiteral("\n")));
}

TEST_F(DebugPaneTest, EventLinesOnlyWhileShowEventsIsChecked) {
    window->LogVoiceEvent(
        {QStringLiteral("StartStream"), QStringLiteral("StreamNum=1"), QStringLiteral("StreamPos=0")});
    window->AppendDebugText(QStringLiteral("Speak"), QString());
    EXPECT_EQ(debugText(), QStringLiteral("Speak\r\n"));
    window->chkShowEvents->setChecked(true);
    window->LogVoiceEvent(
        {QStringLiteral("StartStream"), QStringLiteral("StreamNum=1"), QStringLiteral("StreamPos=0")});
    EXPECT_EQ(debugLines().back(), QStringLiteral("  Event: StartStream, StreamNum=1, StreamPos=0"));
    window->chkShowEvents->setCheckState(Qt::PartiallyChecked);
    window->LogVoiceEvent({QStringLiteral("x")});
    EXPECT_EQ(debugLines().size(), 2);
}
