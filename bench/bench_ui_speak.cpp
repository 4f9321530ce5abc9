// SPDX-License-Identifier: GPL-3.0-or-later
// Latency from a click on "朗读" to the first sample the audio server has played, through the real
// window (offscreen), the real voice and the PulseAudio server at PULSE_SERVER (the test null sink).
// Prints the median and 95th percentile. Run: bench_ui_speak [iterations]
#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QPlainTextEdit>
#include <QPushButton>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <vector>

#include "app/parlan_main.h"
#include "bench/percentile.h"
#include "speech/audio/device.h"
#include "speech/voice.h"

namespace {

using Clock = std::chrono::steady_clock;

// Shared between the UI thread (arms it) and the voice's worker (sees the first played sample).
struct Probe {
    std::atomic<bool> armed{false};
    std::atomic<int64_t> playedAtNs{0};
};

// Passes everything to the real device stream and notes when audio written after arming is heard.
class ProbedStream final : public speech::audio::AudioDeviceStream {
public:
    ProbedStream(std::unique_ptr<speech::audio::AudioDeviceStream> inner, std::shared_ptr<Probe> probe)
        : inner_(std::move(inner)), probe_(std::move(probe)) {}
    speech::WaveFormat format() const override { return inner_->format(); }
    base::Result<size_t> write(std::span<const uint8_t> data, std::chrono::milliseconds maxWait) override {
        if (probe_->armed.load() && !target_) {
            auto s = inner_->state();
            if (s) target_ = s.value().writtenBytes + 1;
        }
        return inner_->write(data, maxWait);
    }
    base::Result<speech::audio::PlaybackState> state() override {
        auto s = inner_->state();
        if (s && target_ && s.value().playedBytes >= *target_ && probe_->armed.load()) {
            probe_->playedAtNs.store(Clock::now().time_since_epoch().count());
            probe_->armed.store(false);
            target_.reset();
        }
        return s;
    }
    base::Result<void> setPaused(bool paused) override { return inner_->setPaused(paused); }
    base::Result<void> flush() override {
        target_.reset();
        return inner_->flush();
    }
    base::Result<bool> drain(std::chrono::milliseconds maxWait) override { return inner_->drain(maxWait); }
    void interrupt() override { inner_->interrupt(); }

private:
    std::unique_ptr<speech::audio::AudioDeviceStream> inner_;
    std::shared_ptr<Probe> probe_;
    std::optional<uint64_t> target_;  // worker thread only
};

class ProbedHost final : public speech::audio::AudioHost {
public:
    ProbedHost(std::shared_ptr<speech::audio::AudioHost> inner, std::shared_ptr<Probe> probe)
        : inner_(std::move(inner)), probe_(std::move(probe)) {}
    std::vector<speech::audio::AudioDeviceInfo> devices() override { return inner_->devices(); }
    base::Result<std::unique_ptr<speech::audio::AudioDeviceStream>> open(const std::string& deviceId,
                                                                         const speech::WaveFormat& format) override {
        auto stream = inner_->open(deviceId, format);
        if (!stream) return stream.fault();
        return std::unique_ptr<speech::audio::AudioDeviceStream>(
            std::make_unique<ProbedStream>(std::move(stream.value()), probe_));
    }

private:
    std::shared_ptr<speech::audio::AudioHost> inner_;
    std::shared_ptr<Probe> probe_;
};

class NoDialogs final : public Dialogs {
public:
    void message(QWidget*, const QString& title, const QString& text, MessageIcon) override {
        std::fprintf(stderr, "message box: %s: %s\n", qPrintable(title), qPrintable(text));
    }
    std::optional<FileDialogResult> fileDialog(QWidget*, const FileDialogRequest&) override { return std::nullopt; }
    bool startDetached(const QString&, const QStringList&) override { return false; }
};

// Runs the event loop until `condition` holds or `timeoutMs` passed.
bool waitFor(const std::function<bool()>& condition, int timeoutMs) {
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.elapsed() > timeoutMs) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    if (qEnvironmentVariableIsEmpty("PULSE_SERVER")) {
        std::fprintf(stderr, "bench_ui_speak: PULSE_SERVER is not set; start the test audio server first\n");
        return 2;
    }
    QApplication app(argc, argv);
    const int iterations = argc > 1 ? std::max(1, std::atoi(argv[1])) : 40;

    auto probe = std::make_shared<Probe>();
    ParlanMain::Services services;
    services.makeVoice = [probe] {
        speech::Backends backends = speech::Backends::defaults();
        backends.audioHost = std::make_shared<ProbedHost>(backends.audioHost, probe);
        return std::make_unique<speech::SpVoice>(backends);
    };
    services.dialogs = std::make_shared<NoDialogs>();
    int exitStatus = 0;
    services.exitProcess = [&exitStatus](int status) { exitStatus = status; };

    ParlanMain window(services);
    if (!window.Form_Load()) return 1;
    window.show();
    window.MainTxtBox->setPlainText(QStringLiteral("Hello, this is how quickly the voice starts to speak."));

    std::vector<double> latencies;
    int timeouts = 0;
    for (int i = 0; i < iterations + 2; ++i) {  // the first two warm up the engine and the stream
        window.StopBtn_Click();
        waitFor([&] { return !window.Voice->isBusy(); }, 5000);
        waitFor([] { return false; }, 150);
        probe->playedAtNs.store(0);
        probe->armed.store(true);
        const auto start = Clock::now();
        window.SpeakBtn->click();  // the signal a user's click emits
        const bool heard = waitFor([&] { return probe->playedAtNs.load() != 0; }, 5000);
        probe->armed.store(false);
        if (!heard) {
            ++timeouts;
            continue;
        }
        const double ms = static_cast<double>(probe->playedAtNs.load() - start.time_since_epoch().count()) / 1e6;
        if (i >= 2) latencies.push_back(ms);
    }
    window.StopBtn_Click();
    if (latencies.empty() || exitStatus != 0) {
        std::fprintf(stderr, "bench_ui_speak: no measurement (timeouts %d, exit status %d)\n", timeouts, exitStatus);
        return 1;
    }
    std::printf(
        "click on SpeakBtn to first sample played (null sink), %zu runs: median %.1f ms, p95 %.1f ms, "
        "min %.1f ms, max %.1f ms, timeouts %d\n",
        latencies.size(), percentile(latencies, 0.5), percentile(latencies, 0.95),
        *std::min_element(latencies.begin(), latencies.end()), *std::max_element(latencies.begin(), latencies.end()),
        timeouts);
    return 0;
}
