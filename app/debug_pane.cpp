// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/debug_pane.h"

#include <QCheckBox>
#include <QScrollBar>

#include "app/parlan_main.h"

DebugPane::DebugPane(QWidget* parent) : QPlainTextEdit(parent) {
    setReadOnly(true);
    setUndoRedoEnabled(false);
    setLineWrapMode(QPlainTextEdit::NoWrap);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setTabChangesFocus(true);
    connect(this, &QPlainTextEdit::textChanged, this, [this] {
        if (!writing_) syncFromBox();
    });
}

void DebugPane::syncFromBox() {
    text_ = toPlainText();
    text_.replace(QLatin1Char('\n'), QStringLiteral("\r\n"));
}

void DebugPane::appendLine(const QString& line) {
    writing_ = true;
    if (text_.size() > kTrimAbove) {
        text_.remove(0, kTrimLength);
        // The box turns every CR LF, lone CR and lone LF into a line break; a trim is rare enough to
        // rebuild the shown text from the log.
        setPlainText(text_);
    }
    text_ += line;
    QTextCursor cursor(document());
    cursor.movePosition(QTextCursor::End);
    cursor.insertText(line);
    writing_ = false;
    showAll();
}

void DebugPane::showAll() {
    QTextCursor end(document());
    end.movePosition(QTextCursor::End);
    setTextCursor(end);
    ensureCursorVisible();
}

void ParlanMain::AppendDebugText(const QString& message, const QString& detail) {
    static_cast<DebugPane*>(DebugTxtBox)->appendLine(message + detail + QStringLiteral("\r\n"));
}

void ParlanMain::LogVoiceEvent(const QStringList& items) {
    if (chkShowEvents->checkState() != Qt::Checked) return;
    AppendDebugText(QStringLiteral("  Event: ") + items.join(QStringLiteral(", ")), QString());
}
