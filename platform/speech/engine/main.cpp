// tallamo-engine: the speech platform's engine worker. It runs espeak-ng (with sonic for slow rates)
// and nothing else, serving one segment at a time over the socket the platform passes as descriptor
// 3 (engine_protocol.h). It ends when the platform closes the socket or itself ends.
//
// espeak-ng keeps state from one text to the next that no call resets (the pitch flutter, the gain
// control, the noise generator), so the same segment would sound a little different depending on
// what the process spoke before. Each segment is therefore synthesized in a child forked from this
// process, which only ever loads voices: every segment starts from the same state, whichever worker
// speaks it and whatever it spoke before. That makes a render the same whatever the number of
// workers, and a segment synthesized again after a crash the same as the first time. A child that
// ends abnormally ends this process too, since its output may stop in the middle of a message; the
// platform then starts a fresh worker.
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <optional>
#include <utility>
#include <vector>

#include "platform/speech/engine_process.h"
#include "platform/speech/engine_protocol.h"
#include "platform/speech/espeak_synthesizer.h"

namespace {

using namespace speech;
using engine::Channel;
using engine::MessageType;
using engine::UniqueFd;

constexpr int kSocket = 3;
constexpr std::chrono::milliseconds kNoLimit{-1};
// The signal with which this process tells its child to stop the segment.
constexpr int kCancelSignal = SIGUSR1;

volatile sig_atomic_t g_cancelled = 0;
extern "C" void onCancel(int) { g_cancelled = 1; }

// Streams one segment's output to the platform: events are gathered and go with the next audio, so
// one write carries each piece of audio with the events before it.
class ReplySink final : public SynthSink {
public:
    explicit ReplySink(Channel& channel) : channel_(channel) {}

    bool audio(std::span<const int16_t> samples) override {
        const auto frame = engine::encodeAudio(samples);
        pending_.insert(pending_.end(), frame.begin(), frame.end());
        return flush() && g_cancelled == 0;
    }
    bool event(const SynthEvent& event) override {
        const auto frame = engine::encodeEvent(event);
        pending_.insert(pending_.end(), frame.begin(), frame.end());
        return g_cancelled == 0;
    }
    // Sends what is gathered; false when the platform is gone.
    bool flush() {
        if (!pending_.empty() && channel_.send(pending_, kNoLimit) != Channel::Status::Ok) return false;
        pending_.clear();
        return true;
    }

private:
    Channel& channel_;
    std::vector<uint8_t> pending_;
};

// The child: synthesizes the segment, ends it with Done and exits without running this process's
// exit handlers (the engine is never shut down).
[[noreturn]] void synthesizeInChild(Channel& channel, Synthesizer& synthesizer, const SynthRequest& request,
                                    pid_t parent) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(1);
    struct sigaction action {};
    action.sa_handler = onCancel;
    ::sigaction(kCancelSignal, &action, nullptr);
    sigset_t cancel;
    sigemptyset(&cancel);
    sigaddset(&cancel, kCancelSignal);
    ::sigprocmask(SIG_UNBLOCK, &cancel, nullptr);

    ReplySink sink(channel);
    const Result<void> result = synthesizer.synthesize(request, sink);
    if (!sink.flush()) ::_exit(0);
    std::optional<Fault> fault;
    if (!result) fault = result.fault();
    (void)channel.send(engine::encodeDone(fault), kNoLimit);
    ::_exit(0);
}

enum class Served { Fine, PlatformGone, Broken };

// Forks the child for one segment and watches it and the socket until it ends: a Cancel from the
// platform is passed on to the child as a signal. The platform may send its next request as soon as
// it has the child's Done, before the child has quite ended; that request is kept in `next`.
Served serve(Channel& channel, Synthesizer& synthesizer, const SynthRequest& request,
             std::optional<engine::Frame>& next) {
    const pid_t parent = ::getpid();
    const pid_t child = ::fork();
    if (child < 0) {
        const bool sent = channel.send(engine::encodeDone(Fault{errc::kEngine, "The speech engine could not start a "
                                                                               "process for the text."}),
                                       kNoLimit) == Channel::Status::Ok;
        return sent ? Served::Fine : Served::PlatformGone;
    }
    if (child == 0) synthesizeInChild(channel, synthesizer, request, parent);

    UniqueFd childFd(static_cast<int>(::syscall(SYS_pidfd_open, child, 0)));
    auto ended = [&](bool kill) {
        if (kill) ::kill(child, SIGKILL);
        int status = 0;
        while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
        }
        return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    };
    for (;;) {
        pollfd watched[2] = {{channel.fd(), POLLIN, 0}, {childFd.get(), POLLIN, 0}};
        if (::poll(watched, childFd.get() >= 0 ? 2 : 1, childFd.get() >= 0 ? -1 : 10) < 0 && errno != EINTR) {
            ended(true);
            return Served::Broken;
        }
        if (childFd.get() < 0 || watched[1].revents != 0) {
            int status = 0;
            const pid_t reaped = ::waitpid(child, &status, childFd.get() >= 0 ? 0 : WNOHANG);
            if (reaped == child) return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? Served::Fine : Served::Broken;
        }
        if (watched[0].revents == 0) continue;
        engine::Frame frame;
        const auto status = channel.receive(frame, std::chrono::milliseconds(0));
        if (status == Channel::Status::Timeout) continue;
        if (status == Channel::Status::Closed) {
            ended(true);
            return Served::PlatformGone;
        }
        if (frame.type == MessageType::Cancel) {
            ::kill(child, kCancelSignal);
            continue;
        }
        next = std::move(frame);
        return ended(false) ? Served::Fine : Served::Broken;
    }
}

}  // namespace

int main() {
    // The worker never outlives the program that started it.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    // The cancel signal waits, blocked, until a child has its handler in place.
    sigset_t cancel;
    sigemptyset(&cancel);
    sigaddset(&cancel, kCancelSignal);
    ::sigprocmask(SIG_BLOCK, &cancel, nullptr);
    Channel channel{UniqueFd(kSocket)};

    std::shared_ptr<Synthesizer> synthesizer;
    try {
        synthesizer = makeEspeakSynthesizer();
    } catch (const Error& error) {
        (void)channel.send(engine::encodeDone(Fault{error.code(), error.description()}), kNoLimit);
        return 1;
    }
    if (channel.send(engine::encodeReady({synthesizer->sampleRate(), synthesizer->voices()}), kNoLimit) !=
        Channel::Status::Ok) {
        return 0;
    }
    std::optional<engine::Frame> next;
    for (;;) {
        engine::Frame frame;
        if (next) frame = std::move(*std::exchange(next, std::nullopt));
        else if (channel.receive(frame, kNoLimit) != Channel::Status::Ok) return 0;
        if (frame.type == MessageType::Cancel) continue;  // it came after its segment had ended
        if (frame.type != MessageType::Synthesize) return 2;
        const auto request = engine::decodeSynthesize(frame.payload);
        if (!request) return 2;
        // The voice is loaded here, once, so that the children start with it.
        if (auto prepared = prepareEspeakVoice(request->voiceId); !prepared) {
            if (channel.send(engine::encodeDone(prepared.fault()), kNoLimit) != Channel::Status::Ok) return 0;
            continue;
        }
        switch (serve(channel, *synthesizer, *request, next)) {
            case Served::Fine: break;
            case Served::PlatformGone: return 0;
            case Served::Broken: return 3;
        }
    }
}
