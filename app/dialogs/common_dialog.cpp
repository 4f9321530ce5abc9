// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/dialogs/common_dialog.h"

#include <QDir>
#include <QFileInfo>

namespace {

speech::Error choiceError(int32_t code, const QString& text) {
    return speech::Error(code, text.toStdString());
}

}  // namespace

CommonDialog::CommonDialog(std::shared_ptr<Dialogs> dialogs, QWidget* parent)
    : dialogs_(std::move(dialogs)), parent_(parent) {}

bool CommonDialog::ShowOpen() {
    return show(FileDialogRequest::Mode::Open);
}
bool CommonDialog::ShowSave() {
    return show(FileDialogRequest::Mode::Save);
}

bool CommonDialog::show(FileDialogRequest::Mode mode) {
    FileDialogRequest request;
    request.mode = mode;
    request.title = DialogTitle;
    request.initDir = InitDir;
    request.filter = Filter;
    request.filterIndex = FilterIndex;
    request.fileName = FileName;
    request.flags = Flags;
    std::optional<FileDialogResult> result;
    if (dialogs_) result = dialogs_->fileDialog(parent_, request);
    if (!result || result->fileName.isEmpty()) {
        if (CancelError) throw speech::Error(kCancelError, "Cancel was selected.");
        return false;
    }
    // The dialog's own checks can be bypassed (a typed name, a file removed meanwhile), so the
    // flags are checked again on the name that came back.
    checkChoice(mode, result->fileName);
    FileName = result->fileName;
    FilterIndex = result->filterIndex;
    return true;
}

void CommonDialog::checkChoice(FileDialogRequest::Mode mode, const QString& path) const {
    const QFileInfo file(path);
    const QFileInfo folder(file.absolutePath());
    const QString shown = QDir::toNativeSeparators(path);
    if ((Flags & (kPathMustExist | kFileMustExist)) != 0 && !folder.isDir()) {
        throw choiceError(speech::errc::kNotFound, QStringLiteral("The folder of \"%1\" does not exist.").arg(shown));
    }
    if ((Flags & kFileMustExist) != 0) {
        if (!file.exists()) {
            throw choiceError(speech::errc::kNotFound, QStringLiteral("The file \"%1\" does not exist.").arg(shown));
        }
        if (file.isDir()) {
            throw choiceError(speech::errc::kNotFound, QStringLiteral("\"%1\" is a folder, not a file.").arg(shown));
        }
    }
    if (mode == FileDialogRequest::Mode::Save && (Flags & kNoReadOnlyReturn) != 0) {
        if (file.isDir()) {
            throw choiceError(speech::errc::kAccessDenied,
                              QStringLiteral("\"%1\" is a folder, not a file.").arg(shown));
        }
        if (file.exists() ? !file.isWritable() : (folder.isDir() && !folder.isWritable())) {
            throw choiceError(speech::errc::kAccessDenied,
                              QStringLiteral("\"%1\" is read-only or in a write-protected folder.").arg(shown));
        }
    }
}
