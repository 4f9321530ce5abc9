// SPDX-License-Identifier: GPL-3.0-or-later
// Saving to a file over the real engine: a long save shows its progress and can be cancelled, leaving
// the earlier file as it was; a short one shows no dialog.
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProgressDialog>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include "tests/app/window_fixture.h"

namespace {

class SaveProgressTest : public WindowTest {
protected:
    QTemporaryDir dir_;
    void SetUp() override {
        ASSERT_TRUE(dir_.isValid());
        load();
    }
};

QByteArray contentsOf(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

TEST_F(SaveProgressTest, ALongSaveShowsProgressAndCancelSavesNothing) {
    struct Case {
        const char* name;
        int sentences;
    };
    for (const Case c : {Case{"short", 1}, Case{"long", 3000}}) {
        SCOPED_TRACE(c.name);
        const QString out = dir_.filePath(QString::fromLatin1(c.name) + QStringLiteral(".wav"));
        {
            QFile earlier(out);
            ASSERT_TRUE(earlier.open(QIODevice::WriteOnly));
            earlier.write("an earlier file");
        }
        QString text;
        for (int i = 0; i < c.sentences; ++i) text += QStringLiteral("This is one sentence of a text to save. ");
        window->MainTxtBox->setPlainText(text);
        dialogs->answerFile(out);

        // Watches for the dialog while the command runs; cancels once it shows some progress.
        bool shown = false;
        int progress = 0;
        QTimer watch;
        watch.setInterval(10);
        QObject::connect(&watch, &QTimer::timeout, [&] {
            auto* dialog = window->findChild<QProgressDialog*>();
            if (dialog == nullptr || !dialog->isVisible()) return;
            shown = true;
            progress = std::max(progress, dialog->value());
            if (progress > 0 && !dialog->wasCanceled()) click(dialog->findChild<QPushButton*>());
        });
        watch.start();
        const qsizetype before = debugLines().size();
        const size_t boxes = dialogs->messages.size();
        QElapsedTimer clock;
        clock.start();
        window->menuFileSaveToWave_Click();
        const qint64 took = clock.elapsed();
        watch.stop();

        if (c.sentences == 1) {
            // Shown for a save of over half a second only (a slow build may take that long).
            if (took < 400) {
                EXPECT_FALSE(shown);
            }
            if (took > 700) {
                EXPECT_TRUE(shown);
            }
            EXPECT_EQ(dialogs->messages.size(), boxes + 1);
            EXPECT_NE(contentsOf(out), QByteArray("an earlier file"));
            continue;
        }
        EXPECT_TRUE(shown);
        EXPECT_GT(progress, 0);
        EXPECT_LT(progress, 1000);
        EXPECT_EQ(dialogs->messages.size(), boxes);
        const QStringList lines = debugLines().mid(before);
        EXPECT_EQ(lines.value(0), QStringLiteral("保存WAV文件"));
        EXPECT_EQ(lines.back(),
                  QStringLiteral("Save to Wave file Error: The save was cancelled; no file was written."));
        EXPECT_EQ(contentsOf(out), QByteArray("an earlier file"));
        EXPECT_EQ(QDir(dir_.path()).entryList(QDir::Files | QDir::Hidden).size(), 2);
        EXPECT_EQ(window->findChild<QProgressDialog*>(), nullptr);
    }
}

}  // namespace
