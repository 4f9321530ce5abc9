// SPDX-License-Identifier: GPL-3.0-or-later
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QProcess>

#include "app/dialogs/dialogs.h"

namespace {

// "所有文件 (*.*)|*.*|Text (*.txt;*.xml)|*.txt;*.xml" → the dialog's name filters "所有文件 (*)" and
// "Text (*.txt *.xml)". Qt reads a filter's patterns from its last parentheses, so patterns the
// description already shows are replaced rather than repeated; "*.*" means every file, as "*" does
// here (on this system "*.*" would hide names without a dot).
QStringList nameFilters(const QString& filter) {
    const QStringList parts = filter.split(QLatin1Char('|'));
    QStringList filters;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        QStringList patterns = parts[i + 1].split(QLatin1Char(';'), Qt::SkipEmptyParts);
        for (QString& pattern : patterns) {
            pattern = pattern.trimmed();
            if (pattern == QStringLiteral("*.*")) pattern = QStringLiteral("*");
        }
        QString description = parts[i].trimmed();
        if (description.endsWith(QLatin1Char(')'))) {
            const qsizetype open = description.lastIndexOf(QLatin1Char('('));
            if (open > 0) description = description.left(open).trimmed();
        }
        filters << description + QStringLiteral(" (") + patterns.join(QLatin1Char(' ')) + QLatin1Char(')');
    }
    return filters;
}

class QtDialogs final : public Dialogs {
public:
    void message(QWidget* parent, const QString& title, const QString& text, MessageIcon icon) override {
        QMessageBox box(icon == MessageIcon::Information ? QMessageBox::Information : QMessageBox::NoIcon, title, text,
                        QMessageBox::Ok, parent);
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

std::shared_ptr<Dialogs> makeQtDialogs() {
    return std::make_shared<QtDialogs>();
}
