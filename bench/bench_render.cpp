// SPDX-License-Identifier: GPL-3.0-or-later
// Prints the voice's figures in one run:
//   file:   time from Speak to the first sample written; a 50 MB text file spoken as it is read (first
//           sample, peak memory); peak memory while rendering a 20 MB text.
//   device: (with PULSE_SERVER) Speak to first sample played, Word event release against the playing of
//           its sample, pause, purge and skip latency — measured through a recording wrapper around the
//           PulseAudio host, whose stream clock tells when each byte is heard.
// The render-time comparison with espeak-ng -w is bench/render_vs_espeak.sh.
#include <sys/resource.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "base/utf8.h"
#include "bench/forwarding_audio.h"
#include "speech/audio/device.h"
#include "speech/audio/device_pulse.h"
#include "speech/engine/worker_pool.h"
#include "speech/streams.h"
#include "speech/voice.h"

using namespace speech;
using Clock = std::chrono::steady_clock;

namespace {

double msBetween(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double, std::milli>(b - a).count();
}

struct Stats {
    double median = 0, p95 = 0;
    size_t n = 0;
};

Stats stats(std::vector<double> v) {
    Stats s;
    s.n = v.size();
    if (v.empty()) return s;
    std::sort(v.begin(), v.end());
    s.median = v[v.size() / 2];
    s.p95 = v[std::min(v.size() - 1, v.size() * 95 / 100)];
    return s;
}

long peakRssKb() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss;
}

// The memory of this process and every process under it (the engine workers and the children reading
// their runs), summed over /proc/PID/smaps_rollup: Pss shares each page among the processes that map
// it (what they take together), Rss counts each process's pages whole (shared ones many times).
struct TreeMemory {
    long pssKb = 0;
    long rssKb = 0;
};

TreeMemory treeMemory() {
    std::vector<pid_t> tree{::getpid()};
    for (size_t known = 0; known != tree.size();) {
        known = tree.size();
        for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
            std::ifstream stat(entry.path() / "stat");
            std::string line;
            if (!std::getline(stat, line) || line.rfind(')') == std::string::npos) continue;
            const pid_t pid = std::atoi(line.c_str());
            const pid_t parent = std::atoi(line.c_str() + line.rfind(')') + 4);
            if (std::find(tree.begin(), tree.end(), parent) != tree.end() &&
                std::find(tree.begin(), tree.end(), pid) == tree.end())
                tree.push_back(pid);
        }
    }
    TreeMemory total;
    for (pid_t pid : tree) {
        std::ifstream rollup("/proc/" + std::to_string(pid) + "/smaps_rollup");
        for (std::string line; std::getline(rollup, line);) {
            long kb = 0;
            if (std::sscanf(line.c_str(), "Pss: %ld kB", &kb) == 1) total.pssKb += kb;
            if (std::sscanf(line.c_str(), "Rss: %ld kB", &kb) == 1) total.rssKb += kb;
        }
    }
    return total;
}

// The peak of treeMemory() while it runs, sampled every 50 ms.
class TreePeak {
public:
    TreePeak()
        : thread_([this] {
              while (!stop_.load()) {
                  const TreeMemory now = treeMemory();
                  peak_.pssKb = std::max(peak_.pssKb.load(), now.pssKb);
                  peak_.rssKb = std::max(peak_.rssKb.load(), now.rssKb);
                  std::this_thread::sleep_for(std::chrono::milliseconds(50));
              }
          }) {}
    ~TreePeak() { finish(); }
    // Stops sampling; returns the peak in MB (Pss, Rss).
    std::pair<long, long> finish() {
        stop_.store(true);
        if (thread_.joinable()) thread_.join();
        return {peak_.pssKb.load() / 1024, peak_.rssKb.load() / 1024};
    }

private:
    struct {
        std::atomic<long> pssKb{0};
        std::atomic<long> rssKb{0};
    } peak_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// ---- a host that records what the voice does with the device ----------------------------------------

struct Recording {
    std::mutex mutex;
    struct Sample {
        Clock::time_point at;
        uint64_t played;
    };
    std::vector<Sample> clock;  // every state() answer
    Clock::time_point lastPaused{}, lastFlushed{};
    Clock::time_point pausedAt() {
        std::lock_guard lock(mutex);
        return lastPaused;
    }
    Clock::time_point flushedAt() {
        std::lock_guard lock(mutex);
        return lastFlushed;
    }
    void reset() {
        std::lock_guard lock(mutex);
        clock.clear();
    }
    // When the clock passed `byte`, interpolated between the samples around it.
    std::optional<Clock::time_point> heard(uint64_t byte) {
        std::lock_guard lock(mutex);
        for (size_t i = 0; i < clock.size(); ++i) {
            if (clock[i].played >= byte && clock[i].played > 0) {
                if (i == 0 || clock[i].played == clock[i - 1].played) return clock[i].at;
                const double f =
                    double(byte - std::min(byte, clock[i - 1].played)) / double(clock[i].played - clock[i - 1].played);
                return clock[i - 1].at +
                       std::chrono::duration_cast<Clock::duration>((clock[i].at - clock[i - 1].at) * f);
            }
        }
        return std::nullopt;
    }
    // When the clock first moved on after `t` (the first sound played after it).
    std::optional<Clock::time_point> movedAfter(Clock::time_point t) {
        std::lock_guard lock(mutex);
        std::optional<uint64_t> from;
        for (const auto& s : clock) {
            if (s.at < t) continue;
            if (!from)
                from = s.played;
            else if (s.played > *from)
                return s.at;
        }
        return std::nullopt;
    }
};

class RecordingStream final : public bench::ForwardingStream {
public:
    RecordingStream(std::unique_ptr<audio::AudioDeviceStream> inner, Recording& rec)
        : ForwardingStream(std::move(inner)), rec_(rec) {}
    Result<audio::PlaybackState> state() override {
        auto s = inner_->state();
        if (s) {
            std::lock_guard lock(rec_.mutex);
            rec_.clock.push_back({Clock::now(), s.value().playedBytes});
        }
        return s;
    }
    Result<void> setPaused(bool p) override {
        auto r = inner_->setPaused(p);
        std::lock_guard lock(rec_.mutex);
        if (p) rec_.lastPaused = Clock::now();
        return r;
    }
    Result<void> flush() override {
        auto r = inner_->flush();
        std::lock_guard lock(rec_.mutex);
        rec_.lastFlushed = Clock::now();
        return r;
    }

private:
    Recording& rec_;
};

class RecordingHost final : public bench::ForwardingHost {
public:
    RecordingHost(std::shared_ptr<audio::AudioHost> inner, Recording& rec)
        : ForwardingHost(std::move(inner)), rec_(rec) {}

protected:
    std::unique_ptr<audio::AudioDeviceStream> wrap(std::unique_ptr<audio::AudioDeviceStream> stream) override {
        return std::make_unique<RecordingStream>(std::move(stream), rec_);
    }

private:
    Recording& rec_;
};

// ---- file figures ------------------------------------------------------------------------------------

// A voice rendering a long text into an 8 kHz 8-bit file (small however far it gets), its events
// drained as the window would drain them: events are the owner's to take.
struct LongRender {
    SpVoice voice;
    std::shared_ptr<SpFileStream> file = std::make_shared<SpFileStream>();

    LongRender(const std::shared_ptr<engine::Synthesizer>& engine, const std::string& path)
        : voice(Backends{engine, nullptr}) {
        voice.SetNotify([this] { voice.TakeEvents(); });
        file->Format().SetType(4);
        file->Open(path, SSFMCreateForWrite, false);
        voice.SetAudioOutputStream(file);
    }
    // Speaks `text` with `flags` (async added); returns how long Speak took, in ms.
    double speak(std::u16string text, int32_t flags) {
        const auto start = Clock::now();
        voice.Speak(std::move(text), flags | SVSFlagsAsync);
        return msBetween(start, Clock::now());
    }
    // Stops the render; the file, cut short, is not kept.
    void stop() {
        voice.Speak(u"", SVSFPurgeBeforeSpeak);
        voice.WaitUntilDone(-1);
        voice.SetNotify({});
        file->discard();
    }
};

void fileFigures(const std::shared_ptr<engine::Synthesizer>& engine, const std::string& dir) {
    std::vector<double> first;
    {
        SpVoice voice(Backends{engine, nullptr});
        for (int i = 0; i < 30; ++i) {
            auto file = std::make_shared<SpFileStream>();
            file->Open(dir + "/first.wav", SSFMCreateForWrite, false);
            voice.SetAudioOutputStream(file);
            const auto start = Clock::now();
            voice.Speak(u"Hello, this is the first sentence of a text. And here is more.", SVSFlagsAsync);
            while (file->bytesWritten() == 0 && voice.isBusy())
                std::this_thread::sleep_for(std::chrono::microseconds(100));
            first.push_back(msBetween(start, Clock::now()));
            voice.WaitUntilDone(-1);
            file->Close();
        }
    }
    const Stats f = stats(first);
    std::printf(
        "file  Speak to first sample written (SAFT22kHz16BitMono, %zu runs): median %.2f ms, p95 %.2f ms (target 5 "
        "ms)\n",
        f.n, f.median, f.p95);

    // A 50 MB text file named in Speak: read while it is spoken, so the first sample comes without
    // reading the whole file and memory does not grow with its size. Measured before the 20 MB text
    // below, whose string alone is larger than this whole figure.
    {
        const std::string path = dir + "/big.txt";
        {
            const std::string sentence = "The quick brown fox jumps over the lazy dog, and then it runs far away. ";
            std::ofstream out(path, std::ios::binary);
            for (size_t written = 0; written < (50u << 20); written += sentence.size()) out << sentence;
        }
        LongRender render(engine, dir + "/big.wav");
        const auto start = Clock::now();
        const double speakMs = render.speak(base::fromUtf8(path), SVSFIsFilename);
        while (render.file->bytesWritten() == 0 && render.voice.isBusy())
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        const double firstMs = msBetween(start, Clock::now());
        std::this_thread::sleep_for(std::chrono::seconds(4));
        render.stop();
        std::printf(
            "file  50 MB text file (SVSFIsFilename): Speak returned in %.1f ms, first sample after %.1f ms; "
            "peak RSS %ld MB (target < 80 MB)\n",
            speakMs, firstMs, peakRssKb() / 1024);
        std::filesystem::remove(path);
    }

    // 20 MB of English text; rendered for a fixed time (the whole text is hours of audio), 8 kHz 8-bit
    // to keep the file small. Memory must stay flat however far it gets.
    const long before = peakRssKb();
    {
        std::u16string sentence = u"The quick brown fox jumps over the lazy dog, and then it runs far away. ";
        std::u16string text;
        text.reserve((20u << 20) + sentence.size());
        while (text.size() < (20u << 20)) text += sentence;
        TreePeak tree;
        LongRender render(engine, dir + "/big.wav");
        const double speakMs = render.speak(std::move(text), SVSFDefault);
        std::this_thread::sleep_for(std::chrono::seconds(8));
        const double audioSeconds = double(render.file->bytesWritten()) / 8000.0;
        render.stop();
        const auto [pss, rss] = tree.finish();
        std::printf(
            "file  20 MB text (%zu UTF-16 units): Speak returned in %.1f ms; 8 s of rendering gave %.0f s of audio; "
            "peak RSS %ld MB (before %ld MB); all processes together: peak PSS %ld MB (target < 80 MB), "
            "RSS summed %ld MB\n",
            size_t(20u << 20), speakMs, audioSeconds, peakRssKb() / 1024, before / 1024, pss, rss);
    }
    std::filesystem::remove(dir + "/big.wav");
    std::filesystem::remove(dir + "/first.wav");
}

// ---- device figures ----------------------------------------------------------------------------------

void deviceFigures(const std::shared_ptr<engine::Synthesizer>& engine) {
    Recording rec;
    auto host = std::make_shared<RecordingHost>(audio::makePulseAudioHost(), rec);
    std::vector<double> firstPlayed, wordGap, pause, purge, skip, skipHeard;
    for (int run = 0; run < 10; ++run) {
        SpVoice voice(Backends{engine, host});  // a new voice: a fresh stream whose bytes start at 0
        std::mutex m;
        std::vector<std::pair<VoiceEvent, Clock::time_point>> released;
        voice.SetNotify([&] {
            auto events = voice.TakeEvents();
            const auto now = Clock::now();
            std::lock_guard lock(m);
            for (auto& e : events) released.emplace_back(std::move(e), now);
        });
        rec.reset();
        const auto start = Clock::now();
        voice.Speak(u"One two three four five six seven eight nine ten eleven twelve.", SVSFlagsAsync);
        voice.WaitUntilDone(-1);
        voice.SetNotify({});
        if (auto t = rec.heard(1)) firstPlayed.push_back(msBetween(start, *t));
        for (const auto& [e, at] : released) {
            if (e.kind != EventKind::Word || e.streamPosition == 0) continue;
            if (auto t = rec.heard(e.streamPosition)) wordGap.push_back(msBetween(*t, at));
        }

        // Pause and purge while speaking.
        voice.Speak(u"This sentence is long enough to be paused and then dropped in the middle of it.", SVSFlagsAsync);
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
        auto t0 = Clock::now();
        voice.Pause();
        while (rec.pausedAt() < t0) std::this_thread::yield();
        pause.push_back(msBetween(t0, rec.pausedAt()));
        voice.Resume();
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        t0 = Clock::now();
        voice.Speak(u"", SVSFPurgeBeforeSpeak);
        while (rec.flushedAt() < t0) std::this_thread::yield();
        purge.push_back(msBetween(t0, rec.flushedAt()));
        voice.WaitUntilDone(-1);

        // Skip while speaking: the sentence playing is dropped, and the next one is heard.
        voice.Speak(
            u"This first sentence is long enough to be skipped in the middle of it. The second one "
            u"follows. And a third one ends it.",
            SVSFlagsAsync);
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
        t0 = Clock::now();
        voice.Skip("Sentence", 1);
        while (rec.flushedAt() < t0) std::this_thread::yield();
        const auto flushed = rec.flushedAt();
        skip.push_back(msBetween(t0, flushed));
        voice.WaitUntilDone(-1);
        if (auto t = rec.movedAfter(flushed)) skipHeard.push_back(msBetween(t0, *t));
    }
    const Stats a = stats(firstPlayed), b = stats(wordGap), c = stats(pause), d = stats(purge), e = stats(skip),
                g = stats(skipHeard);
    std::printf("device Speak to first sample played (%zu runs): median %.1f ms, p95 %.1f ms (target 60 ms)\n", a.n,
                a.median, a.p95);
    std::printf("device Word release minus its sample played (%zu words): median %.1f ms, p95 %.1f ms (target 15 ms)\n",
                b.n, b.median, b.p95);
    std::printf("device Pause to stream corked (%zu): median %.2f ms, p95 %.2f ms (target 10 ms)\n", c.n, c.median,
                c.p95);
    std::printf("device Purge to stream flushed (%zu): median %.2f ms, p95 %.2f ms (target 10 ms)\n", d.n, d.median,
                d.p95);
    std::printf(
        "device Skip to stream flushed (%zu): median %.2f ms, p95 %.2f ms; to the next sentence heard: median "
        "%.1f ms, p95 %.1f ms\n",
        e.n, e.median, e.p95, g.median, g.p95);
}

}  // namespace

int main() {
    try {
        auto engine = engine::makeEngineSynthesizer();
        char pattern[] = "/tmp/tallamo-bench-XXXXXX";
        const std::string dir = ::mkdtemp(pattern);
        fileFigures(engine, dir);
        std::filesystem::remove_all(dir);
        if (std::getenv("PULSE_SERVER") || std::getenv("XDG_RUNTIME_DIR")) {
            deviceFigures(engine);
        } else {
            std::printf("device figures skipped: no audio server (set PULSE_SERVER)\n");
        }
    } catch (const Error& e) {
        std::fprintf(stderr, "bench_render: %s\n", e.description().c_str());
        return 1;
    }
    return 0;
}
