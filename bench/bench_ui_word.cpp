// SPDX-License-Identifier: GPL-3.0-or-later
// Cost of one word event in the window: Voice_Word (log item building plus the selection and the
// scroll that keeps it in view) with 1 MB of text in the main text box, at positions spread over the
// whole text and in reading order. Prints median and p95 per event.
//
// With a PulseAudio server reachable (PULSE_SERVER, e.g. the test server of scripts/audio-server) it
// also speaks a text on the real engine and measures, for every word, the gap between the voice
// releasing the word event (the moment its first sample is heard) and the word being selected.
//
// Usage: bench_ui_word [events]   (default 2000; the offscreen platform unless $DISPLAY is set)
#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <random>
#include <vector>

#include "app/events/event_pump.h"
#include "app/parlan_main.h"
#include "bench/percentile.h"

namespace {

template <class Positions>
std::vector<double> run(ParlanMain& window, const Positions& positions, bool withPaint) {
    std::vector<double> micros;
    micros.reserve(positions.size());
    for (const auto& [start, length] : positions) {
        QElapsedTimer timer;
        timer.start();
        window.Voice_Word(1, QVariant::fromValue<qulonglong>(0), start, length);
        if (withPaint) QCoreApplication::processEvents();  // the repaint of the moved selection
        micros.push_back(static_cast<double>(timer.nsecsElapsed()) / 1000.0);
        if (!withPaint) QCoreApplication::processEvents();
    }
    return micros;
}

// Speaks on the real engine and device; for each word selected, the time since the voice last
// released events (word events are released when their first sample is played).
void pipelineGap() {
    ParlanMain window(ParlanMain::defaultServices());
    if (!window.Form_Load()) return;
    window.show();
    QElapsedTimer clock;
    clock.start();
    std::atomic<qint64> lastRelease{0};
    std::function<void()> notify = window.eventPump->notifier();
    window.Voice->SetNotify([&, notify] {
        lastRelease.store(clock.nsecsElapsed());
        notify();
    });
    std::vector<double> gaps;
    QObject::connect(window.MainTxtBox, &QPlainTextEdit::selectionChanged, [&] {
        if (window.Speaking) gaps.push_back(static_cast<double>(clock.nsecsElapsed() - lastRelease.load()) / 1e6);
    });
    window.MainTxtBox->setPlainText(QStringLiteral("One two three four five six seven eight nine ten. ").repeated(6) +
                                    QStringLiteral("一二三四五六七八九十。").repeated(3));
    window.SpeakBtn->click();
    QTimer tick;  // bounds each wait below
    tick.start(50);
    QElapsedTimer spoken;
    spoken.start();
    while (window.Speaking && spoken.elapsed() < 120000) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    window.Voice->SetNotify({});
    if (gaps.empty()) {
        std::printf("sound to selection: no word events\n");
        return;
    }
    std::printf(
        "sound to selection (release of the word event to its selection), %zu words: median %.2f ms, "
        "p95 %.2f ms, max %.2f ms (target p95 < 20 ms)\n",
        gaps.size(), percentile(gaps, 0.5), percentile(gaps, 0.95), percentile(gaps, 1.0));
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int events = argc > 1 ? std::max(10, QByteArray(argv[1]).toInt()) : 2000;

    ParlanMain::Services services = ParlanMain::defaultServices();
    ParlanMain window(services);
    window.show();

    // About 1 MB of UTF-16 text: English and Chinese words, line breaks every few sentences.
    const QString sentence = QStringLiteral("The quick brown fox jumps over the lazy dog 快速的狐狸跳过懒狗. ");
    QString text;
    while (text.size() < 512 * 1024) text += text.size() % 7 == 0 ? sentence + QLatin1Char('\n') : sentence;
    QElapsedTimer load;
    load.start();
    window.MainTxtBox->setPlainText(text);
    QCoreApplication::processEvents();
    const double loadMs = static_cast<double>(load.nsecsElapsed()) / 1e6;
    const int length = window.MainTxtBox->document()->characterCount() - 1;

    std::vector<std::pair<int, int>> ordered, scattered;
    for (int i = 0, pos = 0; i < events && pos + 5 < length; ++i, pos += 6) ordered.emplace_back(pos, 5);
    std::mt19937 random(7);
    std::uniform_int_distribution<int> anywhere(0, length - 6);
    for (int i = 0; i < events; ++i) scattered.emplace_back(anywhere(random), 5);

    const std::vector<double> handler = run(window, ordered, false);
    const std::vector<double> inOrder = run(window, ordered, true);
    const std::vector<double> jumping = run(window, scattered, true);
    window.chkShowEvents->setChecked(true);
    const std::vector<double> logged = run(window, ordered, true);

    std::printf("text: %d UTF-16 units (%.1f MB), loaded in %.0f ms\n", length, length * 2.0 / 1e6, loadMs);
    std::printf("Voice_Word alone, reading order:   median %.1f us, p95 %.1f us (target < 1000 us)\n",
                percentile(handler, 0.5), percentile(handler, 0.95));
    std::printf("with repaint, in reading order:    median %.1f us, p95 %.1f us (target < 1000 us)\n",
                percentile(inOrder, 0.5), percentile(inOrder, 0.95));
    std::printf("with repaint, scattered positions: median %.1f us, p95 %.1f us\n", percentile(jumping, 0.5),
                percentile(jumping, 0.95));
    std::printf("with repaint and Show Events on:   median %.1f us, p95 %.1f us\n", percentile(logged, 0.5),
                percentile(logged, 0.95));
    if (!qEnvironmentVariableIsEmpty("PULSE_SERVER")) pipelineGap();
    return 0;
}
