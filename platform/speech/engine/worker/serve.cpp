// SPDX-License-Identifier: GPL-3.0-or-later
#include "speech/engine/worker/serve.h"

#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <deque>
#include <optional>
#include <vector>

#include "speech/engine/espeak/espeak_synthesizer.h"
#include "speech/engine/protocol.h"
#include "speech/engine/worker_process.h"

namespace speech::engine::worker {

namespace {

constexpr int exitStatus(WorkerExit e) {
    return static_cast<int>(e);
}

constexpr int kSocket = 3;
constexpr std::chrono::milliseconds kNoLimit{-1};
// The signal with which this process tells its child to stop the segment in progress.
constexpr int kCancelSignal = SIGUSR1;

volatile sig_atomic_t g_cancelled = 0;
extern "C" void onCancel(int) {
    g_cancelled = 1;
}

// Streams one segment's output to the platform. The first audio goes at once (a device is waiting for
// it); after that, audio is gathered into pieces that double in size, which costs the platform far
// fewer wake-ups while the engine stays well ahead of any device. A bulk request (a render into a
// file) is sent in the largest pieces from the start: most segments then cost the platform one
// wake-up. Events go with the audio that follows them.
class ReplySink final : public SynthSink {
public:
    // Buffers kept from one request to the next, so that their memory is taken once per run.
    struct Buffers {
        // The Audio frame being gathered: room for its header, then the samples' bytes, sent from
        // where they were gathered.
        std::vector<uint8_t> audio;
        std::vector<uint8_t> pending;  // whole frames not yet sent
    };

    ReplySink(Channel& channel, Buffers& buffers, bool bulk)
        : channel_(channel), audio_(buffers.audio), pending_(buffers.pending), piece_(bulk ? kBulkPiece : 0) {
        audio_.clear();
        pending_.clear();
        if (bulk) audio_.reserve(kHeaderSize + (kBulkPiece + kBulkPiece / 8) * sizeof(int16_t));
    }

    bool audio(std::span<const int16_t> samples) override {
        if (audio_.empty()) audio_.resize(kHeaderSize);
        const auto* bytes = reinterpret_cast<const uint8_t*>(samples.data());
        audio_.insert(audio_.end(), bytes, bytes + samples.size_bytes());
        if (audio_.size() - kHeaderSize < piece_ * sizeof(int16_t)) return g_cancelled == 0;
        piece_ = std::max(piece_, std::min(piece_ == 0 ? kFirstPiece : 2 * piece_, kLargestPiece));
        return flush() && g_cancelled == 0;
    }
    bool event(const SynthEvent& event) override {
        const auto frame = encodeEvent(event);
        pending_.insert(pending_.end(), frame.begin(), frame.end());
        return g_cancelled == 0;
    }
    // Sends the events, then the audio gathered, then `last` (the request's end), in one write; false
    // when the platform is gone.
    bool flush(std::span<const uint8_t> last = {}) {
        std::span<const uint8_t> audio;
        if (audio_.size() > kHeaderSize) {
            closeAudio(audio_);
            audio = audio_;
        }
        const bool sent = channel_.send({pending_, audio, last}, kNoLimit) == Channel::Status::Ok;
        pending_.clear();
        audio_.clear();
        return sent;
    }

private:
    // Samples of the second piece, and of the largest (about 1.5 s of audio, some 30 ms of the
    // engine's time).
    static constexpr size_t kFirstPiece = 2048;
    static constexpr size_t kLargestPiece = 32768;
    // Samples of a bulk request's pieces (about 6 s of audio: most sentences are one piece, and the
    // buffers stay small enough that a fresh child fills them quickly).
    static constexpr size_t kBulkPiece = size_t{1} << 17;

    Channel& channel_;
    std::vector<uint8_t>& audio_;
    std::vector<uint8_t>& pending_;
    size_t piece_ = 0;  // samples the next piece gathers
};

// Forks a child joined to this process by a socket pair. In this process: the child's pid (negative
// when it cannot) and this end; in the child: 0 and the child's end. Each side closes the other's
// end (the child's copy of this end would keep it from seeing this end close).
struct Forked {
    pid_t pid = -1;
    base::UniqueFd socket;
};
Forked forkWithSocket() {
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return {};
    base::UniqueFd ours(pair[0]);
    base::UniqueFd theirs(pair[1]);
    const pid_t child = ::fork();
    if (child < 0) return {};
    return child == 0 ? Forked{0, std::move(theirs)} : Forked{child, std::move(ours)};
}

// Waits for a child to end; its wait status.
int reap(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
}

// This process ends as its child did (killed by the same signal, say), so that the platform can tell
// how the engine failed.
[[noreturn]] void endAs(int status) {
    if (WIFSIGNALED(status)) {
        ::signal(WTERMSIG(status), SIG_DFL);
        ::raise(WTERMSIG(status));
    }
    ::_exit(WIFEXITED(status) && WEXITSTATUS(status) != 0 ? WEXITSTATUS(status) : exitStatus(WorkerExit::CannotGoOn));
}

// Synthesizes `request` and sends its output and its end to the platform; false when the platform is
// gone.
bool answer(Channel& platform, Synthesizer& synthesizer, const SynthRequest& request, ReplySink::Buffers& buffers) {
    ReplySink sink(platform, buffers, request.bulk);
    const base::Result<void> result = synthesizer.synthesize(request, sink);
    std::optional<base::Fault> fault;
    if (!result) fault = result.fault();
    return sink.flush(encodeDone(fault));
}

// The request in `frame`. This process exits when it is anything else (status 2).
SynthRequest requestIn(const Frame& frame) {
    auto request = decodeSynthesize(frame.payload);
    if (frame.type != MessageType::Synthesize || !request) ::_exit(exitStatus(WorkerExit::BadRequest));
    return std::move(*request);
}

// The next request from `from`, its frame in `frame`. This process exits when `from` ends (status 0)
// or sends anything else (status 2).
SynthRequest nextRequest(Channel& from, Frame& frame) {
    if (from.receive(frame, kNoLimit) != Channel::Status::Ok) ::_exit(exitStatus(WorkerExit::Done));
    return requestIn(frame);
}

// The child of one run: reads the run's requests from this process (`requests`) and answers each on
// the platform's socket, telling this process of each answer with a byte on `requests`, until this
// process closes `requests`. It exits without running exit handlers (the engine is never shut down).
[[noreturn]] void readRun(Channel& platform, Channel& requests, Synthesizer& synthesizer, pid_t parent) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(exitStatus(WorkerExit::CannotStart));
    struct sigaction action {};
    action.sa_handler = onCancel;
    ::sigaction(kCancelSignal, &action, nullptr);
    sigset_t cancel;
    sigemptyset(&cancel);
    sigaddset(&cancel, kCancelSignal);
    ::sigprocmask(SIG_UNBLOCK, &cancel, nullptr);
    ReplySink::Buffers buffers;
    for (;;) {
        Frame frame;
        const SynthRequest request = nextRequest(requests, frame);
        g_cancelled = 0;
        if (!answer(platform, synthesizer, request, buffers)) ::_exit(exitStatus(WorkerExit::Done));
        const uint8_t answered = 1;
        if (requests.send(std::span(&answered, 1), kNoLimit) != Channel::Status::Ok)
            ::_exit(exitStatus(WorkerExit::Done));
    }
}

// The child reading the current run, seen from this process.
struct Run {
    pid_t pid = -1;
    base::UniqueFd pidfd;  // readable once the child has ended
    std::optional<Channel> requests;
    size_t unanswered = 0;  // requests sent to the child that it has not told it answered
};

// Ends an idle child (it reads the end of its requests and exits) or reaps one that has ended;
// returns its wait status.
int endRun(Run& run) {
    run.requests.reset();
    const int status = reap(run.pid);
    run.pid = -1;
    run.pidfd.reset();
    return status;
}

bool endedWell(int status) {
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Forks a child to read a run, with the voice now loaded. False when it cannot.
bool startRun(Run& run, Channel& platform, Synthesizer& synthesizer) {
    const pid_t parent = ::getpid();
    Forked forked = forkWithSocket();
    if (forked.pid < 0) return false;
    if (forked.pid == 0) {
        // The child keeps the platform's socket and its own, nothing else: a copy of another child's
        // socket would keep that child from seeing its end.
        constexpr int kRequests = kSocket + 1;
        if (::dup2(forked.socket.get(), kRequests) < 0) ::_exit(exitStatus(WorkerExit::CannotStart));
        ::close_range(kRequests + 1, ~0U, 0);
        Channel requests{base::UniqueFd(kRequests)};
        readRun(platform, requests, synthesizer, parent);
    }
    run.pid = forked.pid;
    run.pidfd.reset(static_cast<int>(::syscall(SYS_pidfd_open, forked.pid, 0)));
    run.requests.emplace(std::move(forked.socket));
    return true;
}

// The child reading the current run, one forked ahead for the next run (a fork takes a few
// milliseconds, which would otherwise come before the first sample of every run), and those told to
// end. A child takes a millisecond or more to exit (its memory is torn down, on a processor the
// other runs keep busy); the next run does not wait for that: the ended child is reaped when its
// pidfd says it has gone.
struct Runs {
    Run current;
    Run spare;
    std::vector<Run> ending;
    // Messages kept until a child told to end has gone: a fresh run while kMaxEnding are ending, and
    // every message after it, in order.
    std::deque<Frame> waiting;
    // When the spare is forked after a run has taken the last one: a little later, so that the fork
    // does not hold up the run's first audio on the processor they share.
    std::optional<std::chrono::steady_clock::time_point> spareDue;
};

// How long after a run starts its spare is forked: enough for the run's first audio to be on its way.
constexpr std::chrono::milliseconds kSpareDelay{5};
// Children told to end take a moment to go; at most this many may be on their way, a fresh run past
// them waits until one has gone. With the wait for the current child's answers (mustWait) that bounds
// the children of a worker, whatever the platform sends at once.
constexpr size_t kMaxEnding = 2;
// At most this many messages wait so; past them the platform's socket is not read (its sends then
// wait, and time out as a hung worker's do).
constexpr size_t kMaxWaiting = 64;

// Tells an idle child to end, and reaps it once it has (at once when there is no pidfd to watch). A
// child that ends badly ends this process the same way.
void retire(Runs& runs, Run& run) {
    if (run.pidfd.get() < 0) {
        if (const int status = endRun(run); !endedWell(status)) endAs(status);
        return;
    }
    run.requests.reset();
    runs.ending.push_back(std::move(run));
    run = Run{};
}

enum class Outcome { Serving, PlatformGone, Unreadable, Broken };

// How the worker ends after `outcome`, once it must.
std::optional<WorkerExit> endAfter(Outcome outcome) {
    switch (outcome) {
        case Outcome::Serving:
            return std::nullopt;
        case Outcome::PlatformGone:
            return WorkerExit::Done;
        case Outcome::Unreadable:
            return WorkerExit::BadRequest;
        case Outcome::Broken:
            return WorkerExit::CannotGoOn;
    }
    return WorkerExit::CannotGoOn;
}

// Whether `frame` must wait before it is handled: it starts a run, which tells the current child to
// end, while that child still answers requests of its run (both would write to the platform's socket
// at once, mixing their messages, and each run sent at once would be a process), or while kMaxEnding
// children are on their way. The platform waits for a run's end before it starts the next, so
// neither holds it up but for the moment the child takes to say it answered.
bool mustWait(const Frame& frame, const Runs& runs) {
    if (frame.type != MessageType::Synthesize || (runs.current.unanswered == 0 && runs.ending.size() < kMaxEnding))
        return false;
    const auto request = decodeSynthesize(frame.payload);
    return request && (request->fresh || runs.current.pid <= 0);
}

// Takes the current child's word of the requests it answered.
void readAnswered(Runs& runs) {
    uint8_t answered[256];
    for (;;) {
        const ssize_t n = ::recv(runs.current.requests->fd(), answered, sizeof answered, MSG_DONTWAIT);
        if (n <= 0 && errno == EINTR) continue;
        if (n <= 0) return;
        runs.current.unanswered -= std::min(runs.current.unanswered, static_cast<size_t>(n));
    }
}

// Handles one message from the platform.
Outcome handle(const Frame& frame, Channel& platform, Synthesizer& synthesizer, Runs& runs) {
    Run& run = runs.current;
    if (frame.type == MessageType::Cancel) {
        if (run.pid > 0) ::kill(run.pid, kCancelSignal);
        return Outcome::Serving;
    }
    if (frame.type != MessageType::Synthesize) return Outcome::Unreadable;
    const auto request = decodeSynthesize(frame.payload);
    if (!request) return Outcome::Unreadable;
    if (request->fresh || run.pid <= 0) {
        if (run.pid > 0) retire(runs, run);
        // The voice is loaded here, once, so that the run's child starts with it; a spare forked with
        // another voice is no use. A run that starts with a word of another script loads the voice of
        // the text around it, which reads the rest of the run (the engine's second copy reads the
        // word): loading the word's voice would cost this process a dictionary load, and another to
        // come back (1.6 MB for Mandarin).
        auto changed = espeak::prepareEspeakVoice(request->runVoiceId.empty() ? request->voiceId : request->runVoiceId);
        if (!changed && !request->runVoiceId.empty()) changed = espeak::prepareEspeakVoice(request->voiceId);
        if (!changed) {
            return platform.send(encodeDone(changed.fault()), kNoLimit) == Channel::Status::Ok ? Outcome::Serving
                                                                                               : Outcome::PlatformGone;
        }
        if (changed.value() && runs.spare.pid > 0) retire(runs, runs.spare);
        if (runs.spare.pid > 0) {
            run = std::move(runs.spare);
            runs.spare = Run{};
        } else if (!startRun(run, platform, synthesizer)) {
            return Outcome::Broken;
        }
    }
    // A child's socket closes as it exits, before its pidfd says it has ended: a request that cannot be
    // sent finds a child that crashed or was killed, and the worker ends as it did.
    if (run.requests->send(encodeFrame(frame), kNoLimit) != Channel::Status::Ok) endAs(endRun(run));
    ++run.unanswered;
    // The voice of a run of another script is loaded here too, so that the next runs start with it.
    if (!request->runVoiceId.empty()) espeak::prepareEspeakSideVoice(request->voiceId);
    if (request->fresh && runs.spare.pid <= 0 && !runs.spareDue)
        runs.spareDue = std::chrono::steady_clock::now() + kSpareDelay;
    return Outcome::Serving;
}

void prepareSignals() {
    // The worker ends when the program's end of the socket closes, as it does when the program ends. A
    // parent-death signal would not do: it follows the thread that started the worker, and a lane
    // thread of the program that started one ends long before the program, with the worker still in
    // its pool.
    // The worker writes no file of its own: under a file-size limit (ulimit -f) set for the program, a
    // library's write past it fails instead of SIGXFSZ killing the worker.
    ::signal(SIGXFSZ, SIG_IGN);
    // The cancel signal waits, blocked, until a child has its handler in place.
    sigset_t cancel;
    sigemptyset(&cancel);
    sigaddset(&cancel, kCancelSignal);
    ::sigprocmask(SIG_BLOCK, &cancel, nullptr);
}

void killChildren(Runs& runs) {
    for (Run* r : {&runs.current, &runs.spare})
        if (r->pid > 0) ::kill(r->pid, SIGKILL);
    for (const Run& r : runs.ending) ::kill(r.pid, SIGKILL);
}

// How long a wait may last: until the spare child is due, or without limit (-1).
int pollTimeout(const Runs& runs) {
    if (!runs.spareDue) return -1;
    using std::chrono::milliseconds;
    const auto left = std::chrono::ceil<milliseconds>(*runs.spareDue - std::chrono::steady_clock::now());
    return static_cast<int>(std::max<milliseconds::rep>(0, left.count()));
}

// Reaps the children whose end `watched` reports: one that ended while this process did not end it
// crashed or was killed, and one told to end that ended badly, and either ends this process so.
void reapEnded(const std::vector<pollfd>& watched, Runs& runs) {
    if (watched[1].revents != 0) endAs(endRun(runs.current));
    if (watched[2].revents != 0) endAs(endRun(runs.spare));
    for (size_t i = runs.ending.size(); i-- > 0;) {
        if (watched[4 + i].revents == 0) continue;
        if (const int status = endRun(runs.ending[i]); !endedWell(status)) endAs(status);
        runs.ending.erase(runs.ending.begin() + static_cast<std::ptrdiff_t>(i));
    }
}

// Handles the messages that waited, as far as the children that have gone allow.
std::optional<WorkerExit> serveWaiting(Channel& platform, Synthesizer& synthesizer, Runs& runs) {
    while (!runs.waiting.empty() && !mustWait(runs.waiting.front(), runs)) {
        const Frame frame = std::move(runs.waiting.front());
        runs.waiting.pop_front();
        if (const auto end = endAfter(handle(frame, platform, synthesizer, runs))) return end;
    }
    return std::nullopt;
}

// Handles every message that has arrived (or keeps it waiting), without waiting for more; how the
// worker ends, once it must.
std::optional<WorkerExit> serveArrived(Channel& platform, Synthesizer& synthesizer, Runs& runs) {
    while (runs.waiting.size() < kMaxWaiting) {
        Frame frame;
        const auto status = platform.receive(frame, std::chrono::milliseconds(0));
        if (status == Channel::Status::Timeout) return std::nullopt;
        if (status == Channel::Status::Closed) return platform.broken() ? WorkerExit::BadRequest : WorkerExit::Done;
        if (!runs.waiting.empty() || mustWait(frame, runs)) {
            runs.waiting.push_back(std::move(frame));
            continue;
        }
        if (const auto end = endAfter(handle(frame, platform, synthesizer, runs))) return end;
    }
    return std::nullopt;
}

// Serves the platform's messages and watches the children until the worker must end.
WorkerExit serveUntilEnd(Channel& platform, Synthesizer& synthesizer, Runs& runs) {
    std::vector<pollfd> watched;
    for (;;) {
        // The platform's socket is not read while kMaxWaiting messages wait (poll passes over -1).
        const int reading = runs.waiting.size() < kMaxWaiting ? platform.fd() : -1;
        const int answers = runs.current.requests ? runs.current.requests->fd() : -1;
        watched.assign({{reading, POLLIN, 0},
                        {runs.current.pidfd.get(), POLLIN, 0},
                        {runs.spare.pidfd.get(), POLLIN, 0},
                        {answers, POLLIN, 0}});
        for (const Run& r : runs.ending) watched.push_back({r.pidfd.get(), POLLIN, 0});
        if (::poll(watched.data(), watched.size(), pollTimeout(runs)) < 0 && errno != EINTR)
            return WorkerExit::CannotGoOn;
        if (runs.spareDue && std::chrono::steady_clock::now() >= *runs.spareDue) {
            runs.spareDue.reset();
            if (runs.spare.pid <= 0 && !startRun(runs.spare, platform, synthesizer)) return WorkerExit::CannotGoOn;
        }
        reapEnded(watched, runs);
        if (watched[3].revents != 0) readAnswered(runs);
        const bool full = runs.waiting.size() >= kMaxWaiting;
        if (const auto end = serveWaiting(platform, synthesizer, runs)) return *end;
        // Once there is room again, messages read earlier into the channel's buffer (which poll does
        // not see) are taken.
        if (watched[0].revents == 0 && !(full && runs.waiting.size() < kMaxWaiting)) continue;
        if (const auto end = serveArrived(platform, synthesizer, runs)) return *end;
    }
}

}  // namespace

int serveEngine(const std::function<std::shared_ptr<Synthesizer>()>& startEngine) {
    prepareSignals();
    Channel platform{base::UniqueFd(kSocket)};
    std::shared_ptr<Synthesizer> synthesizer;
    try {
        synthesizer = startEngine();
    } catch (const base::Error& error) {
        (void)platform.send(encodeDone(base::Fault{error.code(), error.description()}), kNoLimit);
        return exitStatus(WorkerExit::CannotStart);
    }
    if (platform.send(encodeReady({synthesizer->sampleRate(), synthesizer->voices(), synthesizer->data()}), kNoLimit) !=
        Channel::Status::Ok) {
        return exitStatus(WorkerExit::Done);
    }
    Runs runs;
    // The locale's voice is the platform's first: a child is ready for it before the first request.
    if (espeak::prepareEspeakVoice("").ok() && !startRun(runs.spare, platform, *synthesizer))
        return exitStatus(WorkerExit::CannotGoOn);
    const WorkerExit end = serveUntilEnd(platform, *synthesizer, runs);
    killChildren(runs);
    return exitStatus(end);
}

}  // namespace speech::engine::worker
