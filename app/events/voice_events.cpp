// SPDX-License-Identifier: GPL-3.0-or-later
// The voice's events on the window: each kind has one handler that logs the event (while Show Events
// is checked) and then acts on the window.
//
// Positions. A word event's position and length are UTF-16 offsets into the string the voice was
// given. The speaking commands pass MainTxtBox->toPlainText(), in which every line break of the box is
// one character (the box turns a CR LF, a lone CR and a lone LF alike into one line break when a text
// is put in), and QTextCursor positions in a plain-text document count exactly those characters: one
// per UTF-16 unit, one per line break. So an event's offsets are the cursor's positions unchanged, and
// the selected text is the word spoken, surrogate pairs and line breaks included.
#include <QCheckBox>
#include <QComboBox>
#include <QPlainTextEdit>
#include <QTextCursor>

#include "app/current_voice.h"
#include "app/parlan_main.h"
#include "base/error.h"
#include "speech/names.h"

namespace {

QString item(const char* label, const QVariant& value) {
    return QString::fromLatin1(label) + value.toString();
}
QString item(const char* label, qint64 value) {
    return QString::fromLatin1(label) + QString::number(value);
}
QString item(const char* label, const QString& value) {
    return QString::fromLatin1(label) + value;
}

}  // namespace

void ParlanMain::dispatchVoiceEvent(const speech::VoiceEvent& event) {
    const auto stream = static_cast<int32_t>(event.streamNumber);
    const QVariant position = QVariant::fromValue<qulonglong>(event.streamPosition);
    guard([&] {
        switch (event.kind) {
            case speech::EventKind::StartStream:
                Voice_StartStream(stream, position);
                break;
            case speech::EventKind::EndStream:
                Voice_EndStream(stream, position);
                break;
            case speech::EventKind::VoiceChange:
                Voice_VoiceChange(stream, position, event.token ? *event.token : speech::SpObjectToken{});
                break;
            case speech::EventKind::Bookmark:
                Voice_Bookmark(stream, position, QString::fromStdString(event.bookmark), event.bookmarkId);
                break;
            case speech::EventKind::Word:
                Voice_Word(stream, position, event.characterPosition, event.length);
                break;
            case speech::EventKind::Sentence:
                Voice_Sentence(stream, position, event.characterPosition, event.length);
                break;
            case speech::EventKind::Phoneme:
                Voice_Phoneme(stream, position, event.duration, static_cast<int16_t>(event.next), event.feature,
                              static_cast<int16_t>(event.current));
                break;
            case speech::EventKind::Viseme:
                Voice_Viseme(stream, position, event.duration, event.next, event.feature, event.current);
                break;
            case speech::EventKind::AudioLevel:
                Voice_AudioLevel(stream, position, event.audioLevel);
                break;
            case speech::EventKind::EnginePrivate:
                Voice_EnginePrivate(stream, static_cast<int32_t>(event.streamPosition),
                                    QVariant::fromValue<qlonglong>(event.engineData));
                break;
        }
    });
}

void ParlanMain::Voice_StartStream(int32_t streamNumber, const QVariant& streamPosition) {
    LogVoiceEvent(
        {QStringLiteral("StartStream"), item("StreamNum=", streamNumber), item("StreamPos=", streamPosition)});
    SetSpeakingControls(true, Paused);
}

void ParlanMain::Voice_EndStream(int32_t streamNumber, const QVariant& streamPosition) {
    LogVoiceEvent({QStringLiteral("EndStream"), item("StreamNum=", streamNumber), item("StreamPos=", streamPosition)});
    HighlightSpokenRange(0, MainTxtBox->document()->characterCount() - 1);
    ShowRestPicture();
    SetSpeakingControls(false, Paused);
    // A stream that the engine or the device cut short says why as it ends, and the next Speak speaks.
    if (auto error = Voice ? Voice->takeStreamError() : std::nullopt) {
        AppendDebugText(QStringLiteral("Speak Error: "), errorText(*error));
    }
}

void ParlanMain::Voice_VoiceChange(int32_t streamNumber, const QVariant& streamPosition,
                                   const speech::SpObjectToken& token) {
    LogVoiceEvent({QStringLiteral("VoiceChange"), item("StreamNum=", streamNumber), item("StreamPos=", streamPosition),
                   item("Token=", QString::fromStdString(token.GetDescription(0)))});
    const int count = VoiceCB->count();
    for (int i = 0; i < count; ++i) {
        if (QString::fromStdString(token.GetDescription(0)) == VoiceCB->itemText(i)) {
            selectComboEntry(VoiceCB, i);
            return;
        }
    }
}

void ParlanMain::Voice_Bookmark(int32_t streamNumber, const QVariant& streamPosition, const QString& bookmark,
                                int32_t bookmarkId) {
    LogVoiceEvent({QStringLiteral("BookMark"), item("StreamNumber=", streamNumber),
                   item("StreamPosition=", streamPosition), item("Bookmark=", bookmark),
                   item("BookmarkId=", bookmarkId)});
}

void ParlanMain::Voice_Word(int32_t streamNumber, const QVariant& streamPosition, int32_t characterPosition,
                            int32_t length) {
    LogVoiceEvent({QStringLiteral("Word"), item("StreamNum=", streamNumber), item("StreamPos=", streamPosition),
                   item("Pos=", characterPosition), item("Length=", length)});
    HighlightSpokenRange(characterPosition, length);
}

void ParlanMain::Voice_Sentence(int32_t streamNumber, const QVariant& streamPosition, int32_t characterPosition,
                                int32_t length) {
    LogVoiceEvent({QStringLiteral("Sentence"), item("StreamNum=", streamNumber), item("StreamPos=", streamPosition),
                   item("Pos=", characterPosition), item("Length=", length)});
}

void ParlanMain::Voice_Phoneme(int32_t streamNumber, const QVariant& streamPosition, int32_t /*duration*/,
                               int16_t nextPhoneId, int32_t feature, int16_t currentPhoneId) {
    LogVoiceEvent({QStringLiteral("Phoneme"), item("StreamNumber=", streamNumber),
                   item("StreamPosition=", streamPosition), item("NextPhoneId=", nextPhoneId),
                   item("Feature=", feature), item("CurrentPhoneId=", currentPhoneId)});
}

void ParlanMain::Voice_AudioLevel(int32_t streamNumber, const QVariant& streamPosition, int32_t audioLevel) {
    LogVoiceEvent({QStringLiteral("AudioLevel"), item("StreamNumber=", streamNumber),
                   item("StreamPosition=", streamPosition), item("AudioLevel=", audioLevel)});
}

void ParlanMain::Voice_EnginePrivate(int32_t streamNumber, int32_t streamPosition, const QVariant& engineData) {
    LogVoiceEvent({QStringLiteral("EnginePrivate"), item("StreamNumber=", streamNumber),
                   item("StreamPosition=", streamPosition), item("lParam=", engineData)});
}

void ParlanMain::HighlightSpokenRange(int32_t start, int32_t length) {
    try {
        if (chkSpFlagIsFilename->checkState() != Qt::Unchecked) return;
        QTextDocument* document = MainTxtBox->document();
        const int textLength = document->characterCount() - 1;
        if (start < 0 || start > textLength)
            throw speech::Error(speech::errc::kInvalidArg, "The selection start lies outside the text.");
        QTextCursor cursor(document);
        cursor.setPosition(start);
        MainTxtBox->setTextCursor(cursor);
        if (length < 0 || length > textLength - start)
            throw speech::Error(speech::errc::kInvalidArg, "The selection length reaches beyond the text.");
        cursor.setPosition(start + length, QTextCursor::KeepAnchor);
        MainTxtBox->setTextCursor(cursor);
        MainTxtBox->ensureCursorVisible();
    } catch (const std::exception&) {
        AppendDebugText(
            QStringLiteral(
                "Failed to high light words. This may be caused by too many charaters in the main text box."),
            QString());
    }
}
