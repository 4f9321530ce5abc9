// SPDX-License-Identifier: GPL-3.0-or-later
// SPEAK -> first sample through the speech-dispatcher module, on the PulseAudio server named by
// PULSE_SERVER (the test null sink), for a short Chinese and a short English message:
//   in-process: the module's loop on a thread behind pipes, over the real engine and device, from
//     writing SPEAK to the pipe to the device's clock passing the message's first sample, and to
//     reading 701 BEGIN;
//   the module program (sd_tallamo beside the engine helper): from writing SPEAK to its standard
//     input to reading 701 BEGIN, which it raises when the first sample is played.
// Each message is stopped once it began, while it plays: from writing STOP to reading 703 STOP. Prints
// median, p95 and max in ms.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "base/paths.h"
#include "bench/forwarding_audio.h"
#include "bench/percentile.h"
#include "speech/audio/device_pulse.h"
#include "speech/voice.h"
#include "tools/sd_tallamo/module_loop.h"

namespace {

using namespace speech;
using sd_tallamo::UniqueFd;
using Clock = std::chrono::steady_clock;

double msBetween(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double, std::milli>(b - a).count();
}

void report(const std::string& what, const std::vector<double>& v) {
    if (v.empty()) {
        std::printf("%-58s  no samples\n", what.c_str());
        return;
    }
    std::printf("%-58s  median %6.1f ms   p95 %6.1f ms   max %6.1f ms   (n=%zu)\n", what.c_str(), percentile(v, 0.5),
                percentile(v, 0.95), *std::max_element(v.begin(), v.end()), v.size());
}

// The device stream the voice plays into, whose clock this thread reads.
class WatchedHost final : public bench::ForwardingHost {
public:
    using ForwardingHost::ForwardingHost;
    std::optional<uint64_t> played() {
        std::lock_guard lock(mutex_);
        if (!current_) return std::nullopt;
        auto s = current_->state();
        if (!s) return std::nullopt;
        return s.value().playedBytes;
    }

private:
    class Stream final : public bench::ForwardingStream {
    public:
        Stream(std::unique_ptr<audio::AudioDeviceStream> inner, WatchedHost& host)
            : ForwardingStream(std::move(inner)), host_(host) {
            std::lock_guard lock(host_.mutex_);
            host_.current_ = inner_.get();
        }
        ~Stream() override {
            std::lock_guard lock(host_.mutex_);
            if (host_.current_ == inner_.get()) host_.current_ = nullptr;
        }

    private:
        WatchedHost& host_;
    };
    std::unique_ptr<audio::AudioDeviceStream> wrap(std::unique_ptr<audio::AudioDeviceStream> stream) override {
        return std::make_unique<Stream>(std::move(stream), *this);
    }
    std::mutex mutex_;
    audio::AudioDeviceStream* current_ = nullptr;
};

// Both ends of speech-dispatcher's conversation with a module.
struct Pipes {
    base::UniqueFd toModule, fromModule;
    std::string buffer;
    void send(const std::string& s) const {
        if (::write(toModule.get(), s.data(), s.size()) != static_cast<ssize_t>(s.size())) std::perror("write");
    }
    // Reads lines until `line` (true) or 10 s (false); `poll` runs between reads.
    template <class Poll>
    bool waitFor(const std::string& line, Poll poll) {
        const auto end = Clock::now() + std::chrono::seconds(10);
        while (Clock::now() < end) {
            for (size_t nl; (nl = buffer.find('\n')) != std::string::npos;) {
                const std::string got = buffer.substr(0, nl);
                buffer.erase(0, nl + 1);
                if (got == line) return true;
            }
            poll();
            pollfd p{fromModule.get(), POLLIN, 0};
            if (::poll(&p, 1, 0) <= 0) {
                std::this_thread::sleep_for(std::chrono::microseconds(200));
                continue;
            }
            char chunk[4096];
            const ssize_t n = ::read(fromModule.get(), chunk, sizeof chunk);
            if (n <= 0) return false;
            buffer.append(chunk, static_cast<size_t>(n));
        }
        return false;
    }
    bool waitFor(const std::string& line) {
        return waitFor(line, [] {});
    }
};

const std::vector<std::pair<std::string, std::string>> kMessages = {
    {"zh", "<speak>2026年，银行利率是3.5%。</speak>"},
    {"en", "<speak>The quick brown fox jumps over the lazy dog.</speak>"},
};
constexpr int kTrials = 20;
const std::string kInit = "INIT\nAUDIO\naudio_output_method=pulse\naudio_pulse_device=default\n.\n";

void benchInProcess(std::shared_ptr<audio::AudioHost> pulse) {
    auto host = std::make_shared<WatchedHost>(std::move(pulse));
    int in[2];
    int out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) return;
    Pipes pipes{base::UniqueFd(in[1]), base::UniqueFd(out[0]), {}};
    base::UniqueFd moduleIn(in[0]);
    base::UniqueFd moduleOut(out[1]);
    sd_tallamo::Log log;
    sd_tallamo::Wakeup wakeup;
    sd_tallamo::FdOutput output(moduleOut.get());
    sd_tallamo::VoiceBackend backend(
        [&] {
            Backends b = Backends::defaults();
            b.audioHost = host;
            return std::make_unique<SpVoice>(b);
        },
        {}, log, [&] { wakeup.raise(); });
    sd_tallamo::Protocol protocol(backend, output, log);
    std::thread loop([&] { sd_tallamo::serveModule(moduleIn.get(), wakeup, -1, protocol, backend, output); });

    pipes.send(kInit);
    if (pipes.waitFor("203 OK AUDIO INITIALIZED")) {
        for (const auto& [language, ssml] : kMessages) {
            pipes.send("SET\nlanguage=" + language + "\n.\n");
            pipes.waitFor("203 OK SETTINGS RECEIVED");
            std::vector<double> heard, begin, stop;
            for (int trial = 0; trial < kTrials; ++trial) {
                const uint64_t base = host->played().value_or(0);
                std::optional<Clock::time_point> first;
                const auto t0 = Clock::now();
                pipes.send("SPEAK\n" + ssml + "\n.\n");
                const bool begun = pipes.waitFor("701 BEGIN", [&] {
                    if (!first && host->played().value_or(0) > base) first = Clock::now();
                });
                const auto tBegin = Clock::now();
                while (!first && msBetween(t0, Clock::now()) < 2000) {
                    if (host->played().value_or(0) > base)
                        first = Clock::now();
                    else
                        std::this_thread::sleep_for(std::chrono::microseconds(200));
                }
                if (begun) begin.push_back(msBetween(t0, tBegin));
                if (first) heard.push_back(msBetween(t0, *first));
                const auto tStop = Clock::now();
                pipes.send("STOP\n");
                if (pipes.waitFor("703 STOP")) stop.push_back(msBetween(tStop, Clock::now()));
            }
            report("in-process, " + language + ": SPEAK -> first sample heard", heard);
            report("in-process, " + language + ": SPEAK -> 701 BEGIN", begin);
            report("in-process, " + language + ": STOP -> 703 STOP", stop);
        }
    }
    pipes.send("QUIT\n");
    loop.join();
}

void benchProgram() {
    const auto module = base::executableDir() / ".." / "libexec" / "tallamo" / "sd_tallamo";
    if (!std::filesystem::exists(module)) {
        std::printf("no module program at %s\n", module.c_str());
        return;
    }
    int in[2];
    int out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    const std::string path = module.string();
    char* argv[] = {const_cast<char*>(path.c_str()), nullptr};
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, path.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    Pipes pipes{base::UniqueFd(in[1]), base::UniqueFd(out[0]), {}};
    if (spawned != 0) return;

    const auto started = Clock::now();
    pipes.send(kInit);
    if (pipes.waitFor("203 OK AUDIO INITIALIZED")) {
        std::printf("%-58s  %6.1f ms\n", "module program: start -> INIT and AUDIO answered",
                    msBetween(started, Clock::now()));
        for (const auto& [language, ssml] : kMessages) {
            pipes.send("SET\nlanguage=" + language + "\n.\n");
            pipes.waitFor("203 OK SETTINGS RECEIVED");
            std::vector<double> begin, stop;
            for (int trial = 0; trial < kTrials; ++trial) {
                const auto t0 = Clock::now();
                pipes.send("SPEAK\n" + ssml + "\n.\n");
                if (pipes.waitFor("701 BEGIN")) begin.push_back(msBetween(t0, Clock::now()));
                const auto tStop = Clock::now();
                pipes.send("STOP\n");
                if (pipes.waitFor("703 STOP")) stop.push_back(msBetween(tStop, Clock::now()));
            }
            report("module program, " + language + ": SPEAK -> 701 BEGIN", begin);
            report("module program, " + language + ": STOP -> 703 STOP", stop);
        }
    }
    pipes.send("QUIT\n");
    int status = 0;
    ::waitpid(pid, &status, 0);
}

}  // namespace

int main() {
    std::signal(SIGPIPE, SIG_IGN);
    if (!std::getenv("PULSE_SERVER"))
        std::printf("PULSE_SERVER is unset: measuring on the session's own audio server.\n");
    auto pulse = audio::makePulseAudioHost();
    if (pulse->devices().empty()) {
        std::printf("No audio server reachable; nothing to measure.\n");
        return 0;
    }
    benchInProcess(pulse);
    benchProgram();
    return 0;
}
