#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QProcess>

#include "app/dialogs.h"

namespace {

// "Text (*.txt)|*.txt|All|*.*" → the dialog's name filters "Text (*.txt) (*.txt)", "All (*.*)".
QStringList nameFilters(const QString& filter) {
    const QStringList parts = filter.split(QLatin1Char('|'));
    QStringList filters;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        QString patterns = parts[i + 1];
        patterns.replace(QLatin1Char(';'), QLatin1Char(' '));
        filters << parts[i] + QStringLiteral(" (") + patterns + QLatin1Char(')');
    }
    return filters;
}

class QtDialogs final : public Dialogs {
public:
    void message(QWidget* parent, const QString& title, const QString& text, MessageIcon icon) override {
        QMessageBox box(icon == MessageIcon::Information ? QMessageBox::Information : QMessageBox::NoIcon, title,
                        text, QMessageBox::Ok, parent);
        box.exec();
    }

    std::optional<FileDialogResult> fileDialog(QWidget* parent, const FileDialogRequest& request) override {
        QFileDialog dialog(parent, request.title);
        const bool save = request.mode == FileDialogRequest::Mode::Save;
        dialog.setAcceptMode(save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
        dialog.setFileMode(save ? QFileDialog::AnyFile
                                : ((request.flags & 0x1000) ? QFileDialog::ExistingFile : QFileDialog::AnyFile));
        if (save && !(request.flags & 0x2)) dialog.setOption(QFileDialog::DontConfirmOverwrite);
        const QStringList filters = nameFilters(request.filter);
        if (!filters.isEmpty()) {
            dialog.setNameFilters(filters);
            const int index = request.filterIndex - 1;
            if (index >= 0 && index < filters.size()) dialog.selectNameFilter(filters[index]);
        }
        if (!request.initDir.isEmpty()) dialog.setDirectory(request.initDir);
        if (!request.fileName.isEmpty()) dialog.selectFile(request.fileName);
        if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
        FileDialogResult result;
        result.fileName = QDir::toNativeSeparators(dialog.selectedFiles().first());
        const qsizetype chosen = filters.indexOf(dialog.selectedNameFilter());
        result.filterIndex = chosen >= 0 ? static_cast<int>(chosen) + 1 : request.filterIndex;
        return result;
    }

    bool startDetached(const QString& program, const QStringList& arguments) override {
        return QProcess::startDetached(program, arguments);
    }
};

}  // namespace

std::shared_ptr<Dialogs> makeQtDialogs() { return std::make_shared<QtDialogs>(); }
