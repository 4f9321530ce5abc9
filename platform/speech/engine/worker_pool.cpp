// SPDX-License-Identifier: GPL-3.0-or-later
#include "speech/engine/worker_pool.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <deque>
#include <map>
#include <mutex>
#include <vector>

#include "base/paths.h"
#include "speech/engine/protocol.h"
#include "speech/engine/worker_process.h"

namespace speech::engine {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// How long a wait for the worker lasts before the caller looks at its sink's cancel flag again.
constexpr milliseconds kSlice{10};
// How long a cancelled worker has to acknowledge before it is given up (and killed): it answers
// within one piece of audio, a few milliseconds, unless it is hung.
constexpr milliseconds kCancelBound{250};

bool isExecutable(const std::filesystem::path& path) {
    std::error_code ec;
    return std::filesystem::is_regular_file(path, ec) && ::access(path.c_str(), X_OK) == 0;
}

// The engine's sample rate and voices, the same for every worker of one helper program: asked of the
// first worker a process starts, then kept.
std::optional<ReadyInfo> knownInfo(const std::string& path, const std::optional<ReadyInfo>& learned = {}) {
    static std::mutex mutex;
    static std::map<std::string, ReadyInfo> known;
    std::lock_guard lock(mutex);
    if (learned) known.emplace(path, *learned);
    const auto it = known.find(path);
    if (it == known.end()) return std::nullopt;
    return it->second;
}

struct Worker {
    std::unique_ptr<EngineProcess> process;
    bool ready = false;  // its Ready message has been read
    // The last reply and its audio, kept so that their memory serves the next ones.
    Frame reply;
    std::vector<int16_t> samples;
};

base::Result<std::unique_ptr<Worker>> startWorker(const std::string& path) {
    auto process = EngineProcess::start(path);
    if (!process) return process.fault();
    auto worker = std::make_unique<Worker>();
    worker->process = std::move(process.value());
    return worker;
}

// The workers startWorkersEarly started, until a synthesizer for the same helper takes them.
struct EarlyWorkers {
    std::mutex mutex;
    std::string path;
    std::vector<std::unique_ptr<Worker>> workers;

    static EarlyWorkers& instance() {
        static EarlyWorkers early;
        return early;
    }
    std::vector<std::unique_ptr<Worker>> take(const std::string& forPath) {
        std::lock_guard lock(mutex);
        if (path != forPath) return {};
        return std::move(workers);
    }
};

// How much of a segment's output the sink has been given, to be skipped when a fresh worker starts
// the segment again.
struct Delivered {
    uint64_t samples = 0;
    uint64_t events = 0;
};

// What became of one attempt at a segment.
enum class Outcome {
    Finished,   // the worker ended the segment (fine, or with the engine's fault)
    Stopped,    // the sink cancelled, the worker acknowledged it
    Abandoned,  // the sink cancelled and the worker was lost meanwhile: nothing to retry
    Lost,       // the worker died or hung
};
struct Attempt {
    Outcome outcome = Outcome::Finished;
    std::optional<base::Fault> fault;
    std::string loss;  // Lost: how
};

// Takes a segment's output and keeps none of it: a run read again up to where a worker was lost.
class DiscardingSink final : public SynthSink {
public:
    explicit DiscardingSink(const SynthSink& outer) : outer_(outer) {}
    bool audio(std::span<const int16_t>) override { return !outer_.cancelled(); }
    bool event(const SynthEvent&) override { return !outer_.cancelled(); }
    bool cancelled() const override { return outer_.cancelled(); }

private:
    const SynthSink& outer_;
};

class EngineSynthesizer final : public Synthesizer {
public:
    EngineSynthesizer(EngineOptions options, std::string path) : options_(options), path_(std::move(path)) {
        std::vector<std::unique_ptr<Worker>> early = EarlyWorkers::instance().take(path_);
        base::Result<std::unique_ptr<Worker>> first =
            early.empty() ? startWorker(path_) : base::Result<std::unique_ptr<Worker>>(std::move(early.front()));
        first.orThrow();
        // The others read their Ready when first leased.
        for (size_t i = 1; i < early.size(); ++i) idle_.push_back(std::move(early[i]));
        if (auto known = knownInfo(path_)) {
            info_ = *known;
        } else {
            auto ready = awaitReady(*first.value());
            ready.orThrow();
            info_ = *knownInfo(path_, ready.value());
        }
        idle_.push_back(std::move(first.value()));
    }

    std::vector<core::SpObjectToken> voices() override { return info_.voices; }
    int sampleRate() const override { return info_.sampleRate; }
    EngineData data() const override { return info_.data; }
    size_t concurrency() const override { return 64; }
    std::unique_ptr<SynthesisRun> openRun() override;

    base::Result<void> synthesize(const SynthRequest& request, SynthSink& sink) override {
        SynthRequest alone = request;
        alone.fresh = true;
        return openRun()->synthesize(alone, sink);
    }

    base::Result<std::unique_ptr<Worker>> lease() {
        {
            std::lock_guard lock(mutex_);
            if (!idle_.empty()) {
                auto worker = std::move(idle_.back());
                idle_.pop_back();
                return worker;
            }
        }
        return startWorker(path_);
    }

    void giveBack(std::unique_ptr<Worker> worker) {
        std::lock_guard lock(mutex_);
        idle_.push_back(std::move(worker));
    }

    // One attempt at the segment on `worker`, skipping what `delivered` says the sink already has. The
    // request is sent first unless `sent`; the requests in `next` are sent right after it.
    Attempt attempt(Worker& worker, const SynthRequest& request, SynthSink& sink, Delivered& delivered,
                    bool sent = false, std::span<const SynthRequest* const> next = {});

private:
    // The first message of a worker: its engine's information, or why the engine cannot start.
    base::Result<ReadyInfo> awaitReady(Worker& worker) {
        Frame frame;
        const auto status = worker.process->channel().receive(frame, options_.startTimeout);
        if (status == Channel::Status::Ok && frame.type == MessageType::Ready) {
            if (auto info = decodeReady(frame.payload)) {
                worker.ready = true;
                return *info;
            }
        }
        if (status == Channel::Status::Ok && frame.type == MessageType::Done) {
            if (auto done = decodeDone(frame.payload); done && *done) return **done;
        }
        if (status == Channel::Status::Timeout) worker.process->kill();
        return base::Fault{base::errc::kEngine, "The speech engine helper \"" + path_ + "\" did not start (" +
                                                    worker.process->endDescription() + ")."};
    }

    const EngineOptions options_;
    const std::string path_;
    ReadyInfo info_;
    std::mutex mutex_;  // guards idle_
    std::vector<std::unique_ptr<Worker>> idle_;
};

Attempt EngineSynthesizer::attempt(Worker& worker, const SynthRequest& request, SynthSink& sink, Delivered& delivered,
                                   bool sent, std::span<const SynthRequest* const> next) {
    Channel& channel = worker.process->channel();
    auto lost = [&](std::string how) { return Attempt{Outcome::Lost, std::nullopt, std::move(how)}; };
    auto hung = [&] {
        worker.process->kill();
        return lost("it did not answer for " + std::to_string(options_.replyTimeout.count()) + " ms");
    };
    if (!worker.ready) {
        auto ready = awaitReady(worker);
        if (!ready) return lost(ready.fault().message);
    }
    for (size_t i = sent ? 1 : 0; i <= next.size(); ++i) {
        const std::vector<uint8_t> frame = encodeSynthesize(i == 0 ? request : *next[i - 1]);
        // The worker takes a larger frame for a broken stream and ends: the text is refused here.
        if (frame.size() > engine::kHeaderSize + engine::kMaxPayload) {
            return {Outcome::Finished,
                    base::Fault{base::errc::kEngine,
                                "A piece of the text is too long for the speech engine, which takes at most " +
                                    std::to_string(engine::kMaxPayload >> 20) + " MB at once."},
                    {}};
        }
        switch (channel.send(frame, options_.replyTimeout)) {
            case Channel::Status::Ok:
                break;
            case Channel::Status::Timeout:
                return hung();
            case Channel::Status::Closed:
                return lost(worker.process->endDescription());
        }
    }

    Delivered seen;  // of this attempt's output
    bool cancelling = false;
    auto lastHeard = Clock::now();
    auto cancel = [&] {
        cancelling = true;
        lastHeard = Clock::now();
        return channel.send(encodeCancel(), kCancelBound) == Channel::Status::Ok;
    };
    for (;;) {
        if (!cancelling && sink.cancelled() && !cancel()) return {Outcome::Abandoned, {}, {}};
        Frame& reply = worker.reply;
        const auto status = channel.receive(reply, kSlice);
        if (status == Channel::Status::Timeout) {
            const auto silent = Clock::now() - lastHeard;
            if (cancelling && silent >= kCancelBound) {
                worker.process->kill();
                return {Outcome::Abandoned, {}, {}};
            }
            if (silent < options_.replyTimeout) continue;
            return hung();
        }
        if (status == Channel::Status::Closed) {
            if (cancelling) return {Outcome::Abandoned, {}, {}};
            return lost(worker.process->endDescription());
        }
        lastHeard = Clock::now();
        bool wanted = true;
        if (reply.type == MessageType::Audio) {
            if (!decodeAudio(reply.payload, worker.samples)) return lost("it sent a malformed reply");
            std::span<const int16_t> rest(worker.samples);
            const uint64_t skip =
                std::min<uint64_t>(rest.size(), delivered.samples - std::min(delivered.samples, seen.samples));
            seen.samples += rest.size();
            rest = rest.subspan(skip);
            if (!rest.empty() && !cancelling) {
                delivered.samples += rest.size();
                wanted = sink.audio(rest);
            }
        } else if (reply.type == MessageType::Event) {
            auto event = decodeEvent(reply.payload);
            if (!event) return lost("it sent a malformed reply");
            if (seen.events++ >= delivered.events && !cancelling) {
                ++delivered.events;
                wanted = sink.event(*event);
            }
        } else if (reply.type == MessageType::Done) {
            auto done = decodeDone(reply.payload);
            if (!done) return lost("it sent a malformed reply");
            if (cancelling) return {Outcome::Stopped, {}, {}};
            return {Outcome::Finished, *done, {}};
        } else {
            return lost("it sent a malformed reply");
        }
        if (!wanted && !cancelling && !cancel()) return {Outcome::Abandoned, {}, {}};
    }
}

// A lane's run on one worker. Its requests since the last fresh one are kept: when the worker is lost,
// a fresh worker reads them again (their output thrown away) to reach the same state before the
// segment is synthesized once more.
class EngineRun final : public SynthesisRun {
public:
    explicit EngineRun(EngineSynthesizer& owner) : owner_(owner) {}
    ~EngineRun() override {
        // A worker holding requests sent ahead is not given to anyone else.
        if (!sentAhead_.empty()) discardWorker();
        if (worker_) owner_.giveBack(std::move(worker_));
    }

    base::Result<void> synthesize(const SynthRequest& request, SynthSink& sink) override {
        return guarded(request, sink, {});
    }
    // A render into a file sends the run's next requests with this one: the worker then goes on to
    // them as soon as this one ends, instead of after a round trip through the platform.
    base::Result<void> synthesizeThen(const SynthRequest& request, SynthSink& sink,
                                      std::span<const SynthRequest* const> next) override {
        size_t passed = 0;
        while (passed < next.size() && next[passed]->bulk && !next[passed]->fresh && !next[passed]->text.empty())
            ++passed;
        return guarded(request, sink, next.first(passed));
    }

private:
    // An exception (out of memory) may leave the worker half way through its replies: it is ended, so
    // that no later call reads them.
    base::Result<void> guarded(const SynthRequest& request, SynthSink& sink,
                               std::span<const SynthRequest* const> next) {
        try {
            return run(request, sink, next);
        } catch (...) {
            discardWorker();
            inRun_ = false;
            history_.clear();
            throw;
        }
    }

    base::Result<void> run(const SynthRequest& request, SynthSink& sink, std::span<const SynthRequest* const> next) {
        const bool sent = !sentAhead_.empty() && sentAhead_.front() == &request && worker_ && inRun_;
        if (sent) {
            sentAhead_.pop_front();
        } else if (!sentAhead_.empty()) {
            // The worker holds requests that are no longer wanted: it is not used again.
            discardWorker();
            inRun_ = false;
        }
        // The worker holds the first of `next` already; it is sent the rest. When what it holds is not
        // how `next` begins, it is sent nothing more: the call for what it holds ends it.
        std::span<const SynthRequest* const> unsent;
        if (sentAhead_.size() <= next.size() && std::equal(sentAhead_.begin(), sentAhead_.end(), next.begin()))
            unsent = next.subspan(sentAhead_.size());
        if (request.fresh) history_.clear();
        Delivered delivered;
        std::string losses;
        for (int attempt = 0; attempt < 2; ++attempt) {
            Attempt a = attemptOnce(request, sink, delivered, sent && attempt == 0, unsent);
            switch (a.outcome) {
                case Outcome::Finished:
                    if (a.fault) {
                        // The engine refused the segment (or no worker could start): the run ends.
                        inRun_ = false;
                        history_.clear();
                        if (!sentAhead_.empty() || !unsent.empty()) discardWorker();
                        return *a.fault;
                    }
                    inRun_ = true;
                    history_.push_back(request);
                    sentAhead_.insert(sentAhead_.end(), unsent.begin(), unsent.end());
                    return {};
                case Outcome::Stopped:
                case Outcome::Abandoned:
                    // A segment stopped half way leaves the worker where no run can go on from (and
                    // one that holds the next requests would go on to them).
                    inRun_ = false;
                    history_.clear();
                    if (!sentAhead_.empty() || !unsent.empty())
                        discardWorker();
                    else if (a.outcome == Outcome::Abandoned)
                        worker_.reset();
                    return {};
                case Outcome::Lost:
                    // A fresh worker holds nothing: it is sent all of `next`.
                    worker_.reset();
                    sentAhead_.clear();
                    unsent = next;
                    inRun_ = false;
                    if (losses.empty())
                        losses = a.loss;
                    else if (a.loss != losses)
                        losses += ", then " + a.loss;
                    break;
            }
        }
        return base::Fault{base::errc::kEngine, "The speech engine failed twice on the same sentence (" + losses +
                                                    "); the speech was stopped."};
    }

    // Ends the worker at once: it is busy with requests nobody wants any more.
    void discardWorker() {
        if (worker_) worker_->process->kill();
        worker_.reset();
        sentAhead_.clear();
    }

    Attempt attemptOnce(const SynthRequest& request, SynthSink& sink, Delivered& delivered, bool sent,
                        std::span<const SynthRequest* const> next) {
        if (!worker_) {
            auto leased = owner_.lease();
            if (!leased) return {Outcome::Finished, leased.fault(), {}};
            worker_ = std::move(leased.value());
            inRun_ = false;
        }
        if (!inRun_ && !request.fresh) {
            // The run so far, read again on this worker from its start.
            DiscardingSink discard(sink);
            for (size_t i = 0; i < history_.size(); ++i) {
                SynthRequest again = history_[i];
                again.fresh = i == 0;
                Delivered none;
                Attempt a = owner_.attempt(*worker_, again, discard, none);
                if (a.outcome != Outcome::Finished) return a;
            }
            inRun_ = !history_.empty();
        }
        if (sent) return owner_.attempt(*worker_, request, sink, delivered, true, next);
        SynthRequest asked = request;
        asked.fresh = request.fresh || !inRun_;
        return owner_.attempt(*worker_, asked, sink, delivered, false, next);
    }

    EngineSynthesizer& owner_;
    std::unique_ptr<Worker> worker_;
    bool inRun_ = false;                 // the worker's state is the run's, after history_
    std::vector<SynthRequest> history_;  // the run's requests so far
    // The requests sent with earlier ones, which the worker reads next, in order (compared, never read:
    // they may be gone when the run is cancelled).
    std::deque<const SynthRequest*> sentAhead_;
};

std::unique_ptr<SynthesisRun> EngineSynthesizer::openRun() {
    return std::make_unique<EngineRun>(*this);
}

}  // namespace

void startWorkersEarly(size_t workers) {
    const auto path = enginePath();
    if (!path) return;
    EarlyWorkers& early = EarlyWorkers::instance();
    std::lock_guard lock(early.mutex);
    early.path = path.value();
    while (early.workers.size() < workers) {
        auto worker = startWorker(path.value());
        if (!worker) return;
        early.workers.push_back(std::move(worker.value()));
    }
}

base::Result<std::string> enginePath() {
    constexpr const char* kName = "tallamo-engine";
    if (const char* override = std::getenv("TALLAMO_ENGINE"); override != nullptr && *override != 0) {
        return std::string(override);
    }
    for (const auto& candidate : base::installedPartCandidates(kName)) {
        if (isExecutable(candidate)) return candidate.lexically_normal().string();
    }
    return base::Fault{base::errc::kEngine,
                       "The speech engine helper (tallamo-engine) is not installed beside the program "
                       "or under libexec/tallamo."};
}

std::shared_ptr<engine::Synthesizer> makeEngineSynthesizer(EngineOptions options) {
    std::string path = options.path;
    if (path.empty()) path = enginePath().orThrow();
    return std::make_shared<EngineSynthesizer>(options, std::move(path));
}

}  // namespace speech::engine
