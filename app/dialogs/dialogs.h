// SPDX-License-Identifier: GPL-3.0-or-later
// The one seam through which the program shows message boxes and file dialogs and starts other
// programs. The program uses QtDialogs (real Qt dialogs); tests answer them without a person.
#pragma once

#include <QString>
#include <QStringList>
#include <memory>
#include <optional>

class QWidget;

enum class MessageIcon { None, Information };

struct FileDialogRequest {
    enum class Mode { Open, Save };
    Mode mode = Mode::Open;
    QString title;
    QString initDir;      // empty: the dialog's own default
    QString filter;       // "|"-separated description/pattern pairs
    int filterIndex = 1;  // 1-based
    QString fileName;     // proposed name (kept between uses)
    int flags = 0;        // 0x2 confirm overwrite, 0x800 folder must exist, 0x1000 file must exist,
                          // 0x8000 no read-only result
};

struct FileDialogResult {
    QString fileName;  // the chosen path
    int filterIndex = 1;
};

class Dialogs {
public:
    virtual ~Dialogs() = default;
    // A modal message box with an OK button only.
    virtual void message(QWidget* parent, const QString& title, const QString& text, MessageIcon icon) = 0;
    // A modal file dialog; nothing when the user cancelled.
    virtual std::optional<FileDialogResult> fileDialog(QWidget* parent, const FileDialogRequest& request) = 0;
    // Starts a program without waiting; false when it could not be started.
    virtual bool startDetached(const QString& program, const QStringList& arguments) = 0;
};

// The real dialogs.
std::shared_ptr<Dialogs> makeQtDialogs();
