// SPDX-License-Identifier: GPL-3.0-or-later
// Helpers of the speech-command tests: the button states a (Speaking, Paused) pair calls for, the
// voice events as the debug pane logs them, and what this process plays on the audio server.
#pragma once

#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QAction>
#include <QCheckBox>
#include <QCoreApplication>
#include <QPushButton>
#include <QRegularExpression>
#include <string>
#include <vector>

#include "app/parlan_main.h"

namespace commands_test {

// Empty when the buttons and file menu items match the window's Speaking and Paused, else what differs.
inline std::string controlMismatch(const ParlanMain& w) {
    const bool speaking = w.Speaking;
    const bool paused = w.Paused;
    std::string out;
    const auto want = [&out](const char* name, bool actual, bool expected) {
        if (actual != expected)
            out += std::string(name) + (expected ? " should be enabled; " : " should be disabled; ");
    };
    want("menuFileOpenText", w.menuFileOpenText->isEnabled(), !speaking);
    want("menuFileSpeakWave", w.menuFileSpeakWave->isEnabled(), !speaking);
    want("menuFileSaveToWave", w.menuFileSaveToWave->isEnabled(), !speaking);
    want("SpeakBtn", w.SpeakBtn->isEnabled(), true);
    want("StopBtn", w.StopBtn->isEnabled(), speaking);
    want("SkipBtn", w.SkipBtn->isEnabled(), speaking && !paused);
    want("PauseBtn", w.PauseBtn->isEnabled(), speaking);
    const QString caption = paused ? QStringLiteral("继续") : QStringLiteral("暂停");
    if (w.PauseBtn->text() != caption) out += "PauseBtn reads " + w.PauseBtn->text().toStdString();
    return out;
}

// The flag word as the six boxes show it (bit 16 when IsXML is clear).
inline int32_t boxesWord(const ParlanMain& w) {
    int32_t word = 0;
    if (w.chkSpFlagAync->isChecked()) word |= 1;
    if (w.chkSpFlagPurgeBeforeSpeak->isChecked()) word |= 2;
    if (w.chkSpFlagIsFilename->isChecked()) word |= 4;
    word |= w.chkSpFlagIsXML->isChecked() ? 8 : 16;
    if (w.chkSpFlagPersistXML->isChecked()) word |= 32;
    if (w.chkSpFlagNLPSpeakPunc->isChecked()) word |= 64;
    return word;
}

// Logged events of one kind ("Word", "StartStream", ...) as (stream number, first number after it).
struct LoggedEvent {
    int stream = 0;
    QString line;
};
inline std::vector<LoggedEvent> loggedEvents(const QString& log, const QString& title) {
    std::vector<LoggedEvent> out;
    const QRegularExpression re(QStringLiteral("^  Event: %1, StreamNum=(\\d+).*$").arg(title),
                                QRegularExpression::MultilineOption);
    for (auto it = re.globalMatch(log); it.hasNext();) {
        const auto m = it.next();
        out.push_back({m.captured(1).toInt(), m.captured(0).trimmed()});
    }
    return out;
}

// The "Pos=" value of a logged word or sentence line.
inline int loggedPosition(const QString& line) {
    const auto m = QRegularExpression(QStringLiteral("Pos=(\\d+)")).match(line);
    return m.hasMatch() ? m.captured(1).toInt() : -1;
}

// This process's playback streams on the audio server, as pactl lists them.
struct SinkInput {
    bool corked = false;
    QString sampleSpec;  // "s16le 1ch 22050Hz"
};
// The output of `pactl list sink-inputs`. Started with posix_spawn rather than fork, which the thread
// sanitizer does not allow in a process with threads.
inline QString pactlSinkInputs() {
    struct Fd {
        int fd = -1;
        ~Fd() {
            if (fd >= 0) close(fd);
        }
    } readEnd, writeEnd;
    int fds[2];
    if (pipe(fds) != 0) return {};
    readEnd.fd = fds[0];
    writeEnd.fd = fds[1];
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, writeEnd.fd, STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, readEnd.fd);
    posix_spawn_file_actions_addclose(&actions, writeEnd.fd);
    char program[] = "pactl", list[] = "list", what[] = "sink-inputs";
    char* argv[] = {program, list, what, nullptr};
    pid_t pid = 0;
    const int rc = posix_spawnp(&pid, program, &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(writeEnd.fd);
    writeEnd.fd = -1;
    if (rc != 0) return {};
    std::string out;
    char buffer[4096];
    for (ssize_t n; (n = read(readEnd.fd, buffer, sizeof buffer)) > 0;) out.append(buffer, static_cast<size_t>(n));
    waitpid(pid, nullptr, 0);
    return QString::fromStdString(out);
}

inline std::vector<SinkInput> ourSinkInputs() {
    const QString text = pactlSinkInputs();
    const QString pid = QStringLiteral("application.process.id = \"%1\"").arg(QCoreApplication::applicationPid());
    std::vector<SinkInput> out;
    for (const QString& block : text.split(QStringLiteral("Sink Input #"), Qt::SkipEmptyParts)) {
        if (!block.contains(pid)) continue;
        SinkInput input;
        input.corked = block.contains(QStringLiteral("Corked: yes"));
        const auto m = QRegularExpression(QStringLiteral("Sample Specification: ([^\\n]+)")).match(block);
        if (m.hasMatch()) input.sampleSpec = m.captured(1).trimmed();
        out.push_back(input);
    }
    return out;
}

}  // namespace commands_test
