// SPDX-License-Identifier: GPL-3.0-or-later
// The debug pane: a read-only multi-line box whose text is a log of lines ended by CR LF. The pane
// keeps that text itself, so lengths count a line end as two characters and a trim may cut between
// the CR and the LF; the box shows the same text with each line end as a line break.
#pragma once

#include <QPlainTextEdit>
#include <QString>

class DebugPane : public QPlainTextEdit {
    Q_OBJECT

public:
    // A pane longer than this loses its first kTrimLength characters before the next line goes in.
    static constexpr int kTrimAbove = 64000;
    static constexpr int kTrimLength = 10240;

    explicit DebugPane(QWidget* parent = nullptr);

    // The log as written, line ends included.
    const QString& text() const { return text_; }
    // Trims when needed, then appends `line` at the very end and shows the end of the log.
    void appendLine(const QString& line);

private:
    void syncFromBox();  // the box was set or cleared from outside (the reset command empties it)
    void showAll();

    QString text_;
    bool writing_ = false;
};
