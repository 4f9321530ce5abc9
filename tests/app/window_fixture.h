// SPDX-License-Identifier: GPL-3.0-or-later
// The shared fixture of the program's tests: a real ParlanMain over fake dialogs (message boxes are
// recorded, file dialogs answered from a queue, started programs recorded), with an exit function that
// records the status instead of ending the test run, and a voice factory that makes the real voice
// (espeak-ng; PulseAudio at PULSE_SERVER, which scripts/test points at a null sink) unless a test
// swaps in one over the test doubles of tests/support.
#pragma once

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QPlainTextEdit>
#include <QTest>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "app/debug_pane.h"
#include "app/dialogs/dialogs.h"
#include "app/parlan_main.h"
#include "speech/voice.h"

class FakeDialogs : public Dialogs {
public:
    struct Message {
        QString title;
        QString text;
        MessageIcon icon = MessageIcon::None;
    };
    struct Started {
        QString program;
        QStringList arguments;
    };

    std::vector<Message> messages;
    std::vector<FileDialogRequest> fileRequests;
    // Answers for the next file dialogs, oldest first; nothing queued (or std::nullopt) is a cancel.
    std::deque<std::optional<FileDialogResult>> fileAnswers;
    std::vector<Started> started;
    // Whether a program can be started; all can by default.
    std::function<bool(const QString& program)> canStart = [](const QString&) { return true; };

    void answerFile(const QString& path, int filterIndex = 1) {
        fileAnswers.push_back(FileDialogResult{path, filterIndex});
    }
    void answerCancel() { fileAnswers.push_back(std::nullopt); }

    void message(QWidget*, const QString& title, const QString& text, MessageIcon icon) override {
        messages.push_back({title, text, icon});
    }
    std::optional<FileDialogResult> fileDialog(QWidget*, const FileDialogRequest& request) override {
        fileRequests.push_back(request);
        std::optional<FileDialogResult> answer;
        if (!fileAnswers.empty()) {
            if (fileAnswers.front().has_value()) answer.emplace(*fileAnswers.front());
            fileAnswers.pop_front();
        }
        return answer;
    }
    bool startDetached(const QString& program, const QStringList& arguments) override {
        started.push_back({program, arguments});
        return canStart(program);
    }
};

class WindowTest : public ::testing::Test {
protected:
    std::shared_ptr<FakeDialogs> dialogs = std::make_shared<FakeDialogs>();
    // Statuses passed to the window's exit function, in order.
    std::vector<int> exitStatuses;
    // Makes the window's voice at start-up; the real voice unless a test replaces it.
    std::function<std::unique_ptr<speech::SpVoice>()> makeVoice = [] { return std::make_unique<speech::SpVoice>(); };
    std::unique_ptr<ParlanMain> window;

    void TearDown() override { window.reset(); }

    // A voice over the given back ends (test doubles) instead of the real ones.
    void useBackends(speech::Backends backends) {
        makeVoice = [backends] { return std::make_unique<speech::SpVoice>(backends); };
    }

    ParlanMain::Services services() {
        ParlanMain::Services s;
        s.makeVoice = [this] { return makeVoice(); };
        s.dialogs = dialogs;
        s.exitProcess = [this](int status) { exitStatuses.push_back(status); };
        return s;
    }

    // Builds the window without loading it.
    ParlanMain& create() {
        window = std::make_unique<ParlanMain>(services());
        return *window;
    }

    // Builds the window, runs start-up and shows it (offscreen), as the program does. A failed
    // start is reported as a test failure; use create() and Form_Load() to test failures.
    ParlanMain& load() {
        create();
        if (!window->Form_Load()) {
            ADD_FAILURE() << "start-up failed: "
                          << (dialogs->messages.empty() ? std::string("no message")
                                                        : dialogs->messages.back().text.toStdString());
            return *window;
        }
        window->show();
        return *window;
    }

    // Runs the event loop until `condition` holds or the time is up; returns the condition.
    static bool waitFor(const std::function<bool()>& condition, int timeoutMs = 15000) {
        return QTest::qWaitFor(condition, timeoutMs);
    }
    // Runs the event loop for a while (queued calls, voice events).
    static void processEvents(int milliseconds = 0) {
        QCoreApplication::processEvents();
        if (milliseconds > 0) QTest::qWait(milliseconds);
    }

    static void click(QAbstractButton* button) { QTest::mouseClick(button, Qt::LeftButton); }

    // The debug pane's log exactly as written (lines end in CR LF).
    QString debugText() const { return static_cast<const DebugPane*>(window->DebugTxtBox)->text(); }
    // Its lines, without their CR LF.
    QStringList debugLines() const {
        QStringList lines = debugText().split(QStringLiteral("\r\n"));
        if (!lines.isEmpty() && lines.back().isEmpty()) lines.pop_back();
        return lines;
    }

    // The text selected in the main text box, line breaks as "\n".
    QString selectedText() const {
        return window->MainTxtBox->textCursor().selectedText().replace(QChar::ParagraphSeparator, QLatin1Char('\n'));
    }
};
