// SPDX-License-Identifier: GPL-3.0-or-later
// The voice event handlers: their log lines, their effects, word selection and the event dispatch.
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QScrollBar>
#include <QTimer>
#include <optional>

#include "app/events/event_pump.h"
#include "tests/app/window_fixture.h"
#include "tests/support/audio_server.h"
#include "tests/support/test_files.h"
#include "tests/support/voice_helpers.h"

using testing_support::ScriptedBackends;

namespace {

const QString kHighlightFailure =
    QStringLiteral("Failed to high light words. This may be caused by too many charaters in the main text box.");

class EventsTest : public WindowTest {
protected:
    void SetUp() override {
        useBackends(backends.backends());
        load();
        window->DebugTxtBox->clear();
    }
    void showEvents() { window->chkShowEvents->setChecked(true); }
    std::pair<int, int> selection() const {
        const QTextCursor c = window->MainTxtBox->textCursor();
        return {c.selectionStart(), c.selectionEnd() - c.selectionStart()};
    }
    ScriptedBackends backends{20.0};
};

}  // namespace

TEST_F(EventsTest, EachHandlerLogsItsItemsInOrder) {
    ParlanMain& w = *window;
    showEvents();
    const QVariant pos = QVariant::fromValue<qulonglong>(4410);
    w.SetSpeakingControls(false, false);
    w.Voice_StartStream(1, pos);
    w.Voice_EndStream(1, pos);
    w.Voice_VoiceChange(2, QVariant::fromValue<qulonglong>(0),
                        speech::SpObjectToken(speech::TokenKind::Voice, "x", "Unlisted Voice"));
    w.Voice_Bookmark(3, pos, QStringLiteral("42abc"), 42);
    w.Voice_Word(1, pos, 6, 5);
    w.Voice_Sentence(1, QVariant::fromValue<qulonglong>(0), 0, 12);
    w.Voice_Phoneme(1, pos, 80, -3, 0, 12);
    w.Voice_AudioLevel(1, pos, 57);
    w.Voice_EnginePrivate(1, -7, QVariant::fromValue<qlonglong>(123456789012LL));
    const QStringList expected = {
        QStringLiteral("  Event: StartStream, StreamNum=1, StreamPos=4410"),
        QStringLiteral("  Event: EndStream, StreamNum=1, StreamPos=4410"),
        QStringLiteral("  Event: VoiceChange, StreamNum=2, StreamPos=0, Token=Unlisted Voice"),
        QStringLiteral("  Event: BookMark, StreamNumber=3, StreamPosition=4410, Bookmark=42abc, BookmarkId=42"),
        QStringLiteral("  Event: Word, StreamNum=1, StreamPos=4410, Pos=6, Length=5"),
        QStringLiteral("  Event: Sentence, StreamNum=1, StreamPos=0, Pos=0, Length=12"),
        QStringLiteral(
            "  Event: Phoneme, StreamNumber=1, StreamPosition=4410, NextPhoneId=-3, Feature=0, CurrentPhoneId=12"),
        QStringLiteral("  Event: AudioLevel, StreamNumber=1, StreamPosition=4410, AudioLevel=57"),
        QStringLiteral("  Event: EnginePrivate, StreamNumber=1, StreamPosition=-7, lParam=123456789012"),
    };
    EXPECT_EQ(debugLines(), expected);
    EXPECT_TRUE(dialogs->messages.empty());
}

TEST_F(EventsTest, StreamEventsSwitchTheControlsAndPassPausedThrough) {
    ParlanMain& w = *window;
    w.MainTxtBox->setPlainText(QStringLiteral("one two three"));
    w.SetSpeakingControls(false, true);
    w.Voice_StartStream(1, QVariant(0));
    EXPECT_TRUE(w.Speaking);
    EXPECT_TRUE(w.Paused);
    EXPECT_EQ(w.PauseBtn->text(), QStringLiteral("继续"));
    EXPECT_TRUE(w.StopBtn->isEnabled());

    w.VisemePicture->clear();
    w.Voice_EndStream(1, QVariant(0));
    EXPECT_FALSE(w.Speaking);
    EXPECT_TRUE(w.Paused);
    EXPECT_FALSE(w.PauseBtn->isEnabled());
    EXPECT_EQ(w.PauseBtn->text(), QStringLiteral("继续"));
    EXPECT_EQ(selection(), std::make_pair(0, 13));
    EXPECT_FALSE(w.VisemePicture->pixmap().isNull());
    EXPECT_TRUE(debugText().isEmpty());  // Show Events is off

    w.MainTxtBox->setPlainText(QString());
    w.Voice_EndStream(2, QVariant(0));
    EXPECT_EQ(selection(), std::make_pair(0, 0));
    EXPECT_TRUE(debugText().isEmpty());
}

TEST_F(EventsTest, VoiceChangeSelectsTheFirstEqualEntryOrNothing) {
    ParlanMain& w = *window;
    showEvents();
    ASSERT_EQ(w.VoiceCB->count(), 2);
    w.VoiceCB->addItem(QStringLiteral("Test Voice B"));  // a second entry with the same text
    w.Voice_VoiceChange(1, QVariant(0), speech::SpObjectToken(speech::TokenKind::Voice, "test-b", "Test Voice B"));
    EXPECT_EQ(w.VoiceCB->currentIndex(), 1);
    EXPECT_EQ(w.Voice->Voice().GetDescription(), "Test Voice B");  // as a user's pick would

    w.Voice_VoiceChange(1, QVariant(0), speech::SpObjectToken(speech::TokenKind::Voice, "v", "test voice a"));
    EXPECT_EQ(w.VoiceCB->currentIndex(), 1);  // compared case-sensitively: no entry matches
    EXPECT_EQ(debugLines().size(), 2);
    EXPECT_TRUE(exitStatuses.empty());
}

TEST_F(EventsTest, WordSelectionTakesPositionsUnchangedAndRefusesWhatTheBoxCannotTake) {
    ParlanMain& w = *window;
    w.MainTxtBox->setPlainText(QStringLiteral("Hello world, again"));
    w.Voice_Word(1, QVariant(0), 6, 5);
    EXPECT_EQ(selection(), std::make_pair(6, 5));
    EXPECT_EQ(selectedText(), QStringLiteral("world"));
    w.Voice_Word(1, QVariant(0), 0, 5);
    EXPECT_EQ(selectedText(), QStringLiteral("Hello"));
    EXPECT_TRUE(debugText().isEmpty());

    w.Voice_Word(1, QVariant(0), 19, 1);  // start beyond the text
    EXPECT_EQ(debugLines(), QStringList{kHighlightFailure});
    w.Voice_Word(1, QVariant(0), -1, 2);
    w.Voice_Word(1, QVariant(0), 13, -1);
    EXPECT_EQ(selection(), std::make_pair(13, 0));  // the start already set stays
    w.Voice_Word(1, QVariant(0), 13, 6);            // runs past the end
    EXPECT_EQ(debugLines(), QStringList(4, kHighlightFailure));
    EXPECT_TRUE(dialogs->messages.empty());
    w.Voice_Word(1, QVariant(0), 13, 5);
    EXPECT_EQ(selectedText(), QStringLiteral("again"));

    // Filename mode: the positions do not index the box; the line is still logged.
    showEvents();
    w.setCheckValue(w.chkSpFlagIsFilename, 1);
    w.Voice_Word(1, QVariant(0), 0, 5);
    w.Voice_EndStream(1, QVariant(0));
    EXPECT_EQ(selectedText(), QStringLiteral("again"));
    EXPECT_TRUE(debugLines().contains(QStringLiteral("  Event: Word, StreamNum=1, StreamPos=0, Pos=0, Length=5")));
}

TEST_F(EventsTest, SelectedWordIsScrolledIntoView) {
    ParlanMain& w = *window;
    QString text;
    for (int i = 0; i < 300; ++i) text += QStringLiteral("line %1\r\n").arg(i);
    text += QStringLiteral("last");
    w.MainTxtBox->setPlainText(text);
    processEvents();
    ASSERT_EQ(w.MainTxtBox->verticalScrollBar()->value(), 0);
    const int last = w.MainTxtBox->toPlainText().indexOf(QStringLiteral("last"));
    w.Voice_Word(1, QVariant(0), last, 4);
    processEvents();
    EXPECT_EQ(selectedText(), QStringLiteral("last"));
    EXPECT_GT(w.MainTxtBox->verticalScrollBar()->value(), 0);
    EXPECT_TRUE(w.MainTxtBox->viewport()->rect().contains(w.MainTxtBox->cursorRect()));
    // Back to the top with the next stream's first word.
    w.Voice_Word(2, QVariant(0), 0, 4);
    processEvents();
    EXPECT_TRUE(w.MainTxtBox->viewport()->rect().contains(w.MainTxtBox->cursorRect()));
    EXPECT_EQ(w.MainTxtBox->verticalScrollBar()->value(), 0);
}

TEST_F(EventsTest, TwoQueuedStreamsGoIdleBetweenThem) {
    ParlanMain& w = *window;
    showEvents();
    std::vector<bool> stopStates;
    // Every change of the Stop button's enabled state, in order.
    struct Recorder : QObject {
        std::vector<bool>* states;
        bool eventFilter(QObject* watched, QEvent* event) override {
            if (event->type() == QEvent::EnabledChange) states->push_back(static_cast<QWidget*>(watched)->isEnabled());
            return false;
        }
    } recorder;
    recorder.states = &stopStates;
    w.StopBtn->installEventFilter(&recorder);
    w.Voice->Speak(u"one two", speech::SVSFlagsAsync);
    w.Voice->Speak(u"three", speech::SVSFlagsAsync);
    ASSERT_TRUE(waitFor([&] { return debugText().contains(QStringLiteral("EndStream, StreamNum=2")); }));
    w.StopBtn->removeEventFilter(&recorder);
    EXPECT_EQ(stopStates, (std::vector<bool>{true, false, true, false}));
    const QStringList streamLines = debugLines().filter(QRegularExpression(QStringLiteral("Stream, StreamNum")));
    ASSERT_EQ(streamLines.size(), 4);
    EXPECT_TRUE(streamLines[0].startsWith(QStringLiteral("  Event: StartStream, StreamNum=1")));
    EXPECT_TRUE(streamLines[1].startsWith(QStringLiteral("  Event: EndStream, StreamNum=1")));
    EXPECT_TRUE(streamLines[2].startsWith(QStringLiteral("  Event: StartStream, StreamNum=2")));
    EXPECT_TRUE(streamLines[3].startsWith(QStringLiteral("  Event: EndStream, StreamNum=2")));
    EXPECT_FALSE(w.Speaking);
}

// The real engine on the test audio server: every word selected is the word the event names, across
// Chinese, an emoji and a line break that came in as CR LF.
TEST_F(WindowTest, SpokenWordsAreSelectedAsTheyAreHeard) {
    TALLAMO_NEED_AUDIO_SERVER();
    ParlanMain& w = load();
    w.chkShowEvents->setChecked(true);
    w.MainTxtBox->setPlainText(QStringLiteral("Hello 世界 \U0001F600 one\r\ntwo 😀three"));
    const QString spoken = w.MainTxtBox->toPlainText();
    QStringList selections;
    QObject::connect(w.MainTxtBox, &QPlainTextEdit::selectionChanged, [&] {
        if (w.MainTxtBox->textCursor().hasSelection()) selections << selectedText();
    });
    w.DebugTxtBox->clear();
    click(w.SpeakBtn);
    ASSERT_TRUE(waitFor([&] { return debugText().contains(QStringLiteral("EndStream")); }, 30000));

    QStringList wordsNamed;
    const QRegularExpression word(
        QStringLiteral("^  Event: Word, StreamNum=\\d+, StreamPos=\\d+, Pos=(\\d+), Length=(\\d+)$"));
    for (const QString& line : debugLines()) {
        const QRegularExpressionMatch m = word.match(line);
        if (m.hasMatch()) wordsNamed << spoken.mid(m.captured(1).toInt(), m.captured(2).toInt());
    }
    ASSERT_FALSE(wordsNamed.isEmpty());
    EXPECT_TRUE(wordsNamed.contains(QStringLiteral("Hello")));
    EXPECT_TRUE(wordsNamed.contains(QStringLiteral("one")));
    EXPECT_TRUE(wordsNamed.contains(QStringLiteral("two")));
    EXPECT_TRUE(wordsNamed.contains(QStringLiteral("three")));
    // Every word event selected exactly that word; the last selection is the whole text.
    ASSERT_EQ(selections.size(), wordsNamed.size() + 1) << selections.join(QLatin1Char('|')).toStdString();
    EXPECT_EQ(selections.mid(0, wordsNamed.size()), wordsNamed);
    EXPECT_EQ(selections.back(), spoken);
    EXPECT_FALSE(debugText().contains(kHighlightFailure));
}

TEST_F(EventsTest, ABacklogIsHandledInOrderInSlicesWithTheWindowServedBetween) {
    ParlanMain& w = *window;
    showEvents();
    // A long text rendered into a file: all its events are queued before the window handles any.
    std::u16string text;
    for (int i = 0; text.size() < 30000; ++i) text += u"word" + std::u16string(1, char16_t(u'a' + i % 26)) + u" ";
    w.MainTxtBox->setPlainText(QString::fromStdU16String(text));
    testing_support::TempDir dir;
    auto file = std::make_shared<speech::SpFileStream>();
    file->Open(dir.file("backlog.wav"), speech::SSFMCreateForWrite, false);
    w.Voice->SetAudioOutputStream(file);
    w.Voice->Speak(text, speech::SVSFDefault);

    // A call queued behind the backlog runs before the backlog is done: the window is not frozen.
    std::optional<bool> speakingWhenServed;
    QTimer::singleShot(0, &w, [&] { speakingWhenServed = w.Speaking; });
    int lastWord = -1;
    bool inOrder = true;
    QObject::connect(w.MainTxtBox, &QPlainTextEdit::selectionChanged, &w, [&] {
        const QTextCursor c = w.MainTxtBox->textCursor();
        // Words only: not the whole text at the end, nor the collapsed cursor each selection starts with.
        if (c.selectionEnd() - c.selectionStart() > 10 || !c.hasSelection()) return;
        if (c.selectionStart() <= lastWord) inOrder = false;
        lastWord = c.selectionStart();
    });
    ASSERT_TRUE(waitFor([&] { return debugText().contains(QStringLiteral("EndStream, StreamNum=1")); }, 60000));
    file->Close();
    ASSERT_TRUE(speakingWhenServed.has_value());
    EXPECT_TRUE(*speakingWhenServed) << "the queued call waited for the whole backlog";
    EXPECT_TRUE(inOrder);
    EXPECT_GT(lastWord, 29000);
    EXPECT_FALSE(w.Speaking);
    EXPECT_TRUE(w.eventPump->pending() == 0);
}
