// SPDX-License-Identifier: GPL-3.0-or-later
// Start-up figures of the program: time from process start to the main window shown, and memory once
// idle. The bench starts itself as a child process for each run (the child builds the window exactly
// as the program does and reports when it is exposed), so the time includes loading the process,
// Qt, the speech engine and the audio server connection.
//
// Usage: bench_ui_startup [runs]   (default 10; uses $DISPLAY when set, the offscreen platform otherwise)
#include <QApplication>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QThread>
#include <QWindow>
#include <algorithm>
#include <cstdio>
#include <vector>

#include "app/parlan_main.h"
#include "bench/percentile.h"
#include "speech/backends.h"

namespace {

long statusKb(const char* field) {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly)) return -1;
    const QByteArray key = QByteArray(field) + ':';
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith(key)) return line.mid(key.size()).trimmed().split(' ').first().toLong();
    return -1;
}

int child(int argc, char** argv) {
    speech::startEngineEarly();  // as main() does
    QApplication app(argc, argv);
    ParlanMain window(ParlanMain::defaultServices());
    if (!window.Form_Load()) return 1;
    window.show();
    while (!window.windowHandle() || !window.windowHandle()->isExposed())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    std::printf("shown\n");
    std::fflush(stdout);
    // Idle for a second with the event loop running, then report the memory.
    QElapsedTimer idle;
    idle.start();
    while (idle.elapsed() < 1000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        QThread::msleep(10);
    }
    std::printf("rss %ld hwm %ld\n", statusKb("VmRSS"), statusKb("VmHWM"));
    std::fflush(stdout);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && QByteArray(argv[1]) == "--child") return child(argc, argv);
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QCoreApplication app(argc, argv);
    const int runs = argc > 1 ? std::max(1, QByteArray(argv[1]).toInt()) : 10;

    std::vector<double> shownMs, rssMb, hwmMb;
    for (int i = 0; i < runs; ++i) {
        QProcess process;
        process.setProcessChannelMode(QProcess::SeparateChannels);
        QElapsedTimer clock;
        clock.start();
        process.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--child")});
        double shown = -1;
        QByteArray output;
        while (process.state() != QProcess::NotRunning || process.bytesAvailable() > 0) {
            process.waitForReadyRead(100);
            output += process.readAllStandardOutput();
            if (shown < 0 && output.contains("shown\n")) shown = static_cast<double>(clock.nsecsElapsed()) / 1e6;
            if (output.contains("rss ")) break;
            if (clock.elapsed() > 30000) break;
        }
        process.waitForFinished(5000);
        output += process.readAllStandardOutput();
        const int at = output.indexOf("rss ");
        if (shown < 0 || at < 0) {
            std::fprintf(stderr, "run %d failed: %s\n%s\n", i + 1, output.constData(),
                         process.readAllStandardError().constData());
            return 1;
        }
        const QList<QByteArray> fields = output.mid(at).trimmed().split(' ');
        shownMs.push_back(shown);
        rssMb.push_back(fields.value(1).toDouble() / 1024.0);
        hwmMb.push_back(fields.value(3).toDouble() / 1024.0);
    }
    std::printf("runs: %d (platform: %s)\n", runs,
                qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") ? "xcb" : qgetenv("QT_QPA_PLATFORM").constData());
    std::printf("process start to window shown: median %.1f ms, p95 %.1f ms, max %.1f ms (target < 300 ms)\n",
                percentile(shownMs, 0.5), percentile(shownMs, 0.95), percentile(shownMs, 1.0));
    std::printf("resident memory when idle: median %.1f MB (peak %.1f MB) (target < 60 MB)\n", percentile(rssMb, 0.5),
                percentile(hwmMb, 0.5));
    return 0;
}
