// SPDX-License-Identifier: GPL-3.0-or-later
// The shared file dialog, without the window.
#include "app/dialogs/common_dialog.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>
#include <deque>
#include <vector>

namespace {

class ScriptedDialogs : public Dialogs {
public:
    std::deque<FileDialogResult> answers;  // when empty, the dialog is cancelled
    std::vector<FileDialogRequest> requests;

    void message(QWidget*, const QString&, const QString&, MessageIcon) override {}
    std::optional<FileDialogResult> fileDialog(QWidget*, const FileDialogRequest& request) override {
        requests.push_back(request);
        if (answers.empty()) return std::nullopt;
        std::optional<FileDialogResult> answer(std::move(answers.front()));
        answers.pop_front();
        return answer;
    }
    bool startDetached(const QString&, const QStringList&) override { return false; }
};

void writeFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    ASSERT_EQ(file.write(bytes), bytes.size());
}

int32_t errorCodeOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const base::Error& error) {
        return error.code();
    }
    return 0;
}

class CommonDialogTest : public ::testing::Test {
protected:
    QTemporaryDir dir_;
    std::shared_ptr<ScriptedDialogs> dialogs_ = std::make_shared<ScriptedDialogs>();
    CommonDialog dialog_{dialogs_, nullptr};
    QString path(const QString& name) const { return dir_.filePath(name); }
};

TEST_F(CommonDialogTest, RequestCarriesPropertiesAndChoiceIsKeptForTheNextUse) {
    writeFile(path("a.txt"), "x");
    dialog_.Flags = CommonDialog::kFileMustExist | CommonDialog::kPathMustExist;
    dialog_.DialogTitle = QStringLiteral("打开文件");
    dialog_.InitDir = dir_.path();
    dialog_.Filter = QStringLiteral("所有文件 (*.*)|*.*|Text (*.txt)|*.txt");
    dialog_.FilterIndex = 2;
    dialogs_->answers.push_back(FileDialogResult{path("a.txt"), 1});
    ASSERT_TRUE(dialog_.ShowOpen());
    EXPECT_EQ(dialog_.FileName, path("a.txt"));
    EXPECT_EQ(dialog_.FilterIndex, 1);

    // Nothing is reset: the next use, in the other mode, proposes the previous choice and folder.
    dialog_.Flags = CommonDialog::kOverwritePrompt;
    dialogs_->answers.push_back(FileDialogResult{path("b.wav"), 2});
    ASSERT_TRUE(dialog_.ShowSave());
    ASSERT_EQ(dialogs_->requests.size(), 2u);
    const FileDialogRequest& first = dialogs_->requests[0];
    EXPECT_EQ(first.mode, FileDialogRequest::Mode::Open);
    EXPECT_EQ(first.title, QStringLiteral("打开文件"));
    EXPECT_EQ(first.filter, QStringLiteral("所有文件 (*.*)|*.*|Text (*.txt)|*.txt"));
    EXPECT_EQ(first.filterIndex, 2);
    EXPECT_EQ(first.flags, 0x1800);
    const FileDialogRequest& second = dialogs_->requests[1];
    EXPECT_EQ(second.mode, FileDialogRequest::Mode::Save);
    EXPECT_EQ(second.fileName, path("a.txt"));
    EXPECT_EQ(second.initDir, dir_.path());
    EXPECT_EQ(second.title, QStringLiteral("打开文件"));
    EXPECT_EQ(second.flags, 0x2);
    EXPECT_EQ(dialog_.FileName, path("b.wav"));
}

TEST_F(CommonDialogTest, CancelRaisesTheCancelErrorOnlyWhenAskedAndKeepsTheName) {
    dialog_.FileName = QStringLiteral("previous.wav");
    dialog_.CancelError = false;
    EXPECT_FALSE(dialog_.ShowOpen());
    EXPECT_EQ(dialog_.FileName, QStringLiteral("previous.wav"));

    dialog_.CancelError = true;
    try {
        dialog_.ShowSave();
        FAIL() << "cancel did not raise";
    } catch (const base::Error& error) {
        EXPECT_EQ(error.code(), 32755);
        EXPECT_TRUE(CommonDialog::isCancel(error));
    }
    EXPECT_EQ(dialog_.FileName, QStringLiteral("previous.wav"));
}

TEST_F(CommonDialogTest, FlagsAreCheckedOnTheReturnedName) {
    dialog_.FileName = QStringLiteral("kept");
    dialog_.Flags = CommonDialog::kFileMustExist | CommonDialog::kPathMustExist;
    dialogs_->answers.push_back(FileDialogResult{path("missing.txt"), 1});
    EXPECT_EQ(errorCodeOf([&] { dialog_.ShowOpen(); }), speech::errc::kNotFound);
    dialogs_->answers.push_back(FileDialogResult{dir_.path(), 1});  // a folder is not a file
    EXPECT_EQ(errorCodeOf([&] { dialog_.ShowOpen(); }), speech::errc::kNotFound);

    dialog_.Flags = CommonDialog::kPathMustExist;
    dialogs_->answers.push_back(FileDialogResult{path("no-such-folder/out.wav"), 1});
    EXPECT_EQ(errorCodeOf([&] { dialog_.ShowSave(); }), speech::errc::kNotFound);
    EXPECT_EQ(dialog_.FileName, QStringLiteral("kept"));  // a refused choice is not taken

    // A new file in an existing folder passes the save flags; a folder does not.
    dialog_.Flags = CommonDialog::kOverwritePrompt | CommonDialog::kPathMustExist | CommonDialog::kNoReadOnlyReturn;
    dialogs_->answers.push_back(FileDialogResult{path("new.wav"), 2});
    EXPECT_TRUE(dialog_.ShowSave());
    dialogs_->answers.push_back(FileDialogResult{dir_.path(), 2});
    EXPECT_EQ(errorCodeOf([&] { dialog_.ShowSave(); }), speech::errc::kAccessDenied);
}

}  // namespace
