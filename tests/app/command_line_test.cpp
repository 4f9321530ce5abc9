// SPDX-License-Identifier: GPL-3.0-or-later
// The program's command line, run as a separate process: --help and --version answer without a
// display; a bad command line is refused with status 2 and a hint.
#include <gtest/gtest.h>

#include <QProcess>
#include <QStringList>

TEST(CommandLine, AnswersHelpVersionAndBadUse) {
    struct Case {
        QStringList args;
        int status;
        bool onStdout;
        QString shown;
        bool needsDisplay;  // a command line that would open the window is checked before it does
    };
    const Case cases[] = {
        {{"--help"}, 0, true, "Usage: ", false},
        {{"-h"}, 0, true, "[FILE]", false},
        {{"--version"}, 0, true, "tallamo " TALLAMO_VERSION, false},
        {{"--no-such-option"}, 2, false, "no-such-option", true},
        {{"one.txt", "two.txt"}, 2, false, "one FILE only", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.join(' ').toStdString());
        QProcess program;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        if (c.needsDisplay) {
            environment.insert("QT_QPA_PLATFORM", "offscreen");
        } else {
            environment.remove("QT_QPA_PLATFORM");
            environment.remove("DISPLAY");
            environment.remove("WAYLAND_DISPLAY");
        }
        program.setProcessEnvironment(environment);
        program.start(TALLAMO_PROGRAM, c.args);
        ASSERT_TRUE(program.waitForFinished(30000));
        EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(program.exitCode(), c.status);
        const QString out =
            QString::fromUtf8(c.onStdout ? program.readAllStandardOutput() : program.readAllStandardError());
        EXPECT_TRUE(out.contains(c.shown)) << out.toStdString();
        if (c.status == 2) {
            EXPECT_TRUE(out.contains("--help")) << "a hint to --help";
        }
    }
}
