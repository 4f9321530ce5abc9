#include "files/common_dialog.h"

CommonDialog::CommonDialog(std::shared_ptr<Dialogs> dialogs, QWidget* parent)
    : dialogs_(std::move(dialogs)), parent_(parent) {}

bool CommonDialog::ShowOpen() { return show(FileDialogRequest::Mode::Open); }
bool CommonDialog::ShowSave() { return show(FileDialogRequest::Mode::Save); }

bool CommonDialog::show(FileDialogRequest::Mode mode) {
    FileDialogRequest request;
    request.mode = mode;
    request.title = DialogTitle;
    request.initDir = InitDir;
    request.filter = Filter;
    request.filterIndex = FilterIndex;
    request.fileName = FileName;
    request.flags = Flags;
    auto result = dialogs_->fileDialog(parent_, request);
    if (!result) {
        if (CancelError) throw speech::Error(kCancelError, "Cancel was selected.");
        return false;
    }
    checkChoice(mode, result->fileName);
    FileName = result->fileName;
    FilterIndex = result->filterIndex;
    return true;
}

void CommonDialog::checkChoice(FileDialogRequest::Mode, const QString&) const {}
