// SPDX-License-Identifier: GPL-3.0-or-later
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QPlainTextEdit>
#include <algorithm>
#include <functional>
#include <span>
#include <string>

#include "app/dialogs/common_dialog.h"
#include "app/files/text_file.h"
#include "app/parlan_main.h"
#include "documents/document.h"
#include "encoding/decoder.h"
#include "speech/core/tokens.h"
#include "speech/names.h"

namespace files {
namespace {

[[noreturn]] void throwFileError(int32_t code, const QString& text) {
    throw speech::Error(code, text.toStdString());
}

[[noreturn]] void throwTooLong(const QString& path, qsizetype maxLength) {
    throwFileError(speech::errc::kInvalidArg,
                   QStringLiteral("\"%1\" holds more text than the text box can take (more than %2 characters).")
                       .arg(QDir::toNativeSeparators(path))
                       .arg(maxLength));
}

}  // namespace

QString readTextFile(const QString& path, qsizetype maxLength) {
    QFile file(path);  // closed by its destructor on every path
    if (!file.open(QIODevice::ReadOnly)) {
        throwFileError(
            speech::errc::kNotFound,
            QStringLiteral("Cannot open \"%1\": %2").arg(QDir::toNativeSeparators(path), file.errorString()));
    }
    // Every character of every encoding the decoder reads takes at most 4 bytes and gives at least one
    // UTF-16 unit, so a longer file is refused before it is read into memory.
    if (file.size() / 4 > maxLength) throwTooLong(path, maxLength);
    auto readPiece = [&] {
        QByteArray piece = file.read(qint64{1} << 20);
        if (file.error() != QFileDevice::NoError) {
            throwFileError(
                speech::errc::kFile,
                QStringLiteral("Cannot read \"%1\": %2").arg(QDir::toNativeSeparators(path), file.errorString()));
        }
        return piece;
    };
    auto bytesOf = [](const QByteArray& piece) {
        return std::span(reinterpret_cast<const uint8_t*>(piece.constData()), static_cast<size_t>(piece.size()));
    };

    // Decoded a piece at a time, so a text over the limit is refused before it is all in memory.
    QByteArray piece = readPiece();
    encoding::Decoder decoder(encoding::detectEncoding(bytesOf(piece), file.atEnd()));
    QString content;
    content.reserve(std::min<qint64>(file.size(), maxLength));
    std::u16string units;
    for (bool last = false; !last;) {
        last = piece.isEmpty();
        units.clear();
        decoder.decode(bytesOf(piece), last, units);
        content.append(QStringView(units));
        if (content.size() > maxLength) throwTooLong(path, maxLength);
        if (!last) piece = readPiece();
    }
    return content;
}

QString readOpenedFile(const QString& path, qsizetype maxLength) {
    const std::string native = QFile::encodeName(path).toStdString();
    if (!documents::looksLikeDocument(native)) return readTextFile(path, maxLength);
    auto document = documents::Document::open(native);
    if (!document) throwFileError(document.fault().code, QString::fromStdString(document.fault().message));
    std::u16string text;
    std::vector<documents::Chapter> chapters;
    while (document.value()->read(text, chapters)) {
        if (text.size() > static_cast<size_t>(maxLength)) throwTooLong(path, maxLength);
    }
    if (const auto& failure = document.value()->failure()) {
        throwFileError(failure->code, QString::fromStdString(failure->message));
    }
    return QString::fromStdU16String(text);
}

}  // namespace files

namespace {

// The busy cursor while a file is read: a document takes a moment, and a PDF whose page cannot be
// read takes the seconds its reader gives the page.
class BusyCursor {
public:
    BusyCursor() { QGuiApplication::setOverrideCursor(Qt::WaitCursor); }
    ~BusyCursor() { QGuiApplication::restoreOverrideCursor(); }
    BusyCursor(const BusyCursor&) = delete;
    BusyCursor& operator=(const BusyCursor&) = delete;
};

// Runs a step of opening a text file: a failure becomes the debug line "Open file: " with its
// description; a cancelled dialog writes nothing.
void trapOpenFailures(ParlanMain& window, const std::function<void()>& step) {
    try {
        step();
    } catch (const speech::Error& error) {
        if (!CommonDialog::isCancel(error)) {
            const QString detail = QString::fromStdString(error.description());
            window.AppendDebugText(QStringLiteral("Open file: "), detail);
        }
    } catch (const std::bad_alloc&) {
        window.AppendDebugText(QStringLiteral("Open file: "),
                               QStringLiteral("There is not enough memory to load the file."));
    } catch (const std::exception& error) {
        window.AppendDebugText(QStringLiteral("Open file: "), QString::fromLocal8Bit(error.what()));
    }
}

}  // namespace

void ParlanMain::menuFileOpenText_Click() {
    bool chosen = false;
    trapOpenFailures(*this, [&] {
        ComDlg->CancelError = true;
        ComDlg->Flags = CommonDialog::kFileMustExist | CommonDialog::kPathMustExist;
        ComDlg->DialogTitle = QStringLiteral("打开文件");
        const QString directory = GetDirectory();
        if (!directory.isEmpty()) ComDlg->InitDir = directory;
        ComDlg->Filter =
            QStringLiteral("所有文件 (*.*)|*.*|Text, XML 文件 ") + QStringLiteral("(*.txt;*.xml)|*.txt;*.xml");
        ComDlg->FilterIndex = 2;
        ComDlg->ShowOpen();
        chosen = true;
    });
    if (chosen) openTextFile(ComDlg->FileName);
}

void ParlanMain::openTextFile(const QString& path) {
    trapOpenFailures(*this, [&] {
        QString text;
        {
            const BusyCursor busy;
            text = files::readOpenedFile(path, files::kMaxTextLength);
        }
        MainTxtBox->setPlainText(text);
    });
}

QString ParlanMain::GetDirectory() {
    try {
        speech::SpObjectTokenCategory category;
        category.SetId("HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Speech", false);
        const speech::SpDataKey key = category.GetDataKey(0);
        const QString sdkPath = QString::fromStdString(key.GetStringValue("SDKPath"));
        return sdkPath + QStringLiteral("samples") + QDir::separator() + QStringLiteral("common");
    } catch (const std::exception&) {
        return {};
    }
}
