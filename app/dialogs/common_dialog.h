// SPDX-License-Identifier: GPL-3.0-or-later
// The window's one file dialog, shared by the three file commands. Its properties keep their values
// between uses: a command sets what it needs and leaves the rest as the previous use left it.
#pragma once

#include <QString>
#include <memory>

#include "app/dialogs/dialogs.h"
#include "base/error.h"
#include "speech/names.h"

class QWidget;

class CommonDialog {
public:
    // Error number raised by ShowOpen/ShowSave when the user cancels and CancelError is true. It
    // travels as a speech::Error with this code so the commands trap it like any other failure.
    static constexpr int32_t kCancelError = 32755;

    // Flag bits (the dialog's flag word).
    static constexpr int kOverwritePrompt = 0x2;
    static constexpr int kPathMustExist = 0x800;
    static constexpr int kFileMustExist = 0x1000;
    static constexpr int kNoReadOnlyReturn = 0x8000;

    CommonDialog(std::shared_ptr<Dialogs> dialogs, QWidget* parent);

    // The properties, named as the commands use them.
    bool CancelError = false;
    int Flags = 0;
    QString DialogTitle;
    QString InitDir;
    QString Filter;       // "|"-separated description/pattern pairs
    int FilterIndex = 1;  // 1-based
    QString FileName;

    // Shows the dialog modally. On OK, FileName and FilterIndex hold the choice. On Cancel: throws
    // speech::Error(kCancelError) when CancelError is true, otherwise returns with FileName unchanged
    // and false. A choice that breaks one of the flags throws speech::Error with a description.
    bool ShowOpen();
    bool ShowSave();

    static bool isCancel(const speech::Error& error) { return error.code() == kCancelError; }

private:
    bool show(FileDialogRequest::Mode mode);
    void checkChoice(FileDialogRequest::Mode mode, const QString& path) const;

    std::shared_ptr<Dialogs> dialogs_;
    QWidget* parent_;
};
