// SPDX-License-Identifier: GPL-3.0-or-later
#include "speech/audio/device_pulse.h"

#include <pulse/pulseaudio.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace speech::audio {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// How long any call waits for a server that neither answers nor hangs up.
constexpr milliseconds kServerWait{2000};
// The buffer the stream asks for: short enough that pause and purge are heard at once, long enough
// that a busy machine does not starve the device.
constexpr pa_usec_t kTargetLatencyUsec = 50 * PA_USEC_PER_MSEC;
// While waiting for the clock to reach a position, how often it is read.
constexpr milliseconds kClockPoll{5};

base::Fault lostFault(const std::string& what) {
    return base::Fault{base::errc::kDeviceLost, "The audio output device is no longer available (" + what + ")."};
}

base::Fault noAnswerFault() {
    return base::Fault{base::errc::kDeviceLost, "The audio server does not answer."};
}

// ---------------------------------------------------------------------------------------------------
// RAII wrappers for the C handles.

struct MainloopDeleter {
    void operator()(pa_threaded_mainloop* m) const noexcept { pa_threaded_mainloop_free(m); }
};
using MainloopPtr = std::unique_ptr<pa_threaded_mainloop, MainloopDeleter>;

struct ProplistDeleter {
    void operator()(pa_proplist* p) const noexcept { pa_proplist_free(p); }
};
using ProplistPtr = std::unique_ptr<pa_proplist, ProplistDeleter>;

// Must run with the main loop locked or stopped.
struct ContextDeleter {
    void operator()(pa_context* c) const noexcept {
        pa_context_set_state_callback(c, nullptr, nullptr);
        pa_context_disconnect(c);
        pa_context_unref(c);
    }
};
using ContextPtr = std::unique_ptr<pa_context, ContextDeleter>;

// Must run with the main loop locked or stopped. Disconnecting removes the stream from the sink at
// once, so whatever was still buffered is not heard.
struct StreamDeleter {
    void operator()(pa_stream* s) const noexcept {
        pa_stream_set_state_callback(s, nullptr, nullptr);
        pa_stream_set_write_callback(s, nullptr, nullptr);
        if (PA_STREAM_IS_GOOD(pa_stream_get_state(s))) pa_stream_disconnect(s);
        pa_stream_unref(s);
    }
};
using StreamPtr = std::unique_ptr<pa_stream, StreamDeleter>;

// An operation still running when its owner gives up is cancelled, so its callback never runs with
// a pointer to state that is gone. Must run with the main loop locked.
struct OperationDeleter {
    void operator()(pa_operation* o) const noexcept {
        if (pa_operation_get_state(o) == PA_OPERATION_RUNNING) pa_operation_cancel(o);
        pa_operation_unref(o);
    }
};
using OperationPtr = std::unique_ptr<pa_operation, OperationDeleter>;

// Holds the main-loop lock for a scope.
class LoopLock {
public:
    explicit LoopLock(pa_threaded_mainloop* loop) : loop_(loop) { pa_threaded_mainloop_lock(loop_); }
    ~LoopLock() { pa_threaded_mainloop_unlock(loop_); }
    LoopLock(const LoopLock&) = delete;
    LoopLock& operator=(const LoopLock&) = delete;

private:
    pa_threaded_mainloop* loop_;
};

// Every callback only records what it was told and wakes the waiting thread.
void signalLoop(void* loop) noexcept {
    pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(loop), 0);
}

// ---------------------------------------------------------------------------------------------------
// One connection to the server: the main loop with its thread and the context. Shared by the host
// and every stream opened through it, so it outlives them all.

class Connection {
public:
    Connection() = default;
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    ~Connection() {
        // Stop the loop thread first (never with the lock held); then nothing runs concurrently with
        // the teardown of the context.
        if (running_) pa_threaded_mainloop_stop(loop_.get());
        context_.reset();
    }

    static base::Result<std::shared_ptr<Connection>> open() {
        auto conn = std::make_shared<Connection>();
        conn->loop_.reset(pa_threaded_mainloop_new());
        if (!conn->loop_) return base::Fault{base::errc::kUnexpected, "Cannot create the audio main loop."};
        pa_mainloop_api* api = pa_threaded_mainloop_get_api(conn->loop_.get());
        ProplistPtr props(pa_proplist_new());
        pa_proplist_sets(props.get(), PA_PROP_APPLICATION_NAME, "Tallamo");
        pa_proplist_sets(props.get(), PA_PROP_APPLICATION_ID, "org.tallamo.Tallamo");
        conn->context_.reset(pa_context_new_with_proplist(api, "Tallamo", props.get()));
        if (!conn->context_) return base::Fault{base::errc::kUnexpected, "Cannot create the audio context."};
        pa_context_set_state_callback(conn->context_.get(), &Connection::onState, conn->loop_.get());

        if (pa_threaded_mainloop_start(conn->loop_.get()) < 0)
            return base::Fault{base::errc::kUnexpected, "Cannot start the audio main loop."};
        conn->running_ = true;

        LoopLock lock(conn->loop());
        // No autospawn: with no server running, a refused connection fails at once.
        if (pa_context_connect(conn->context(), nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
            return conn->connectFault();
        bool settled = conn->waitUntil(
            [&] {
                pa_context_state_t st = pa_context_get_state(conn->context());
                return st == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(st);
            },
            Clock::now() + kServerWait);
        if (!settled)
            return base::Fault{base::errc::kNoAudioDevice, "No audio output device: the audio server does not answer."};
        if (pa_context_get_state(conn->context()) != PA_CONTEXT_READY) return conn->connectFault();
        return conn;
    }

    pa_threaded_mainloop* loop() const { return loop_.get(); }
    pa_context* context() const { return context_.get(); }

    // Must be called with the main loop locked.
    bool alive() const { return !unresponsive_ && pa_context_get_state(context_.get()) == PA_CONTEXT_READY; }
    bool unresponsive() const { return unresponsive_; }
    // A server that let a request go unanswered for kServerWait is given up on: every later call on
    // this connection fails at once instead of waiting again, and the host connects afresh.
    void markUnresponsive() { unresponsive_ = true; }

    // The one wait helper. Must be called with the main loop locked; sleeps (releasing the lock)
    // until `done()` holds or `deadline` passes, re-checking whenever a callback signals and at
    // least every `poll`. Returns whether `done()` held.
    template <class Done>
    bool waitUntil(Done done, Clock::time_point deadline, milliseconds poll = milliseconds::max()) {
        while (!done()) {
            Clock::time_point now = Clock::now();
            if (now >= deadline) return false;
            Clock::time_point wake = deadline;
            if (poll != milliseconds::max()) wake = std::min(wake, now + poll);
            auto usec = std::chrono::duration_cast<std::chrono::microseconds>(wake - now).count();
            TimeEvent timer(*this, static_cast<pa_usec_t>(usec) + 1);
            if (!timer) return done();  // no timer, no bounded wait: give up rather than hang
            pa_threaded_mainloop_wait(loop_.get());
        }
        return true;
    }

    // Waits for `op` to complete while `keepWaiting()` holds; the operation is released on every path
    // (cancelled if still running). Must be called with the main loop locked.
    enum class OpEnd { kDone, kStopped, kTimedOut };
    template <class KeepWaiting>
    OpEnd finish(pa_operation* rawOp, Clock::time_point deadline, KeepWaiting keepWaiting) {
        OperationPtr op(rawOp);
        if (!op) return OpEnd::kStopped;
        bool settled = waitUntil(
            [&] { return pa_operation_get_state(op.get()) != PA_OPERATION_RUNNING || !keepWaiting(); }, deadline);
        if (pa_operation_get_state(op.get()) == PA_OPERATION_DONE) return OpEnd::kDone;
        return settled ? OpEnd::kStopped : OpEnd::kTimedOut;
    }

private:
    // A one-shot timer on the loop that wakes the waiter; freed when the wait ends.
    class TimeEvent {
    public:
        TimeEvent(Connection& conn, pa_usec_t fromNow)
            : api_(pa_threaded_mainloop_get_api(conn.loop())),
              event_(
                  pa_context_rttime_new(conn.context(), pa_rtclock_now() + fromNow, &TimeEvent::onTime, conn.loop())) {}
        ~TimeEvent() {
            if (event_) api_->time_free(event_);
        }
        TimeEvent(const TimeEvent&) = delete;
        TimeEvent& operator=(const TimeEvent&) = delete;
        explicit operator bool() const { return event_ != nullptr; }

    private:
        static void onTime(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* loop) noexcept {
            signalLoop(loop);
        }
        pa_mainloop_api* api_;
        pa_time_event* event_;
    };

    static void onState(pa_context*, void* loop) noexcept { signalLoop(loop); }

    base::Fault connectFault() const {
        int err = pa_context_errno(context_.get());
        return base::Fault{
            base::errc::kNoAudioDevice,
            std::string("No audio output device: cannot reach the audio server (") + pa_strerror(err) + ")."};
    }

    MainloopPtr loop_;  // declared first: freed last
    ContextPtr context_;
    bool running_ = false;
    bool unresponsive_ = false;  // guarded by the main-loop lock
};

// ---------------------------------------------------------------------------------------------------

pa_sample_spec sampleSpecOf(const core::WaveFormat& format) {
    pa_sample_spec sampleSpec{};
    sampleSpec.format = format.bitsPerSample == 8 ? PA_SAMPLE_U8 : PA_SAMPLE_S16LE;
    sampleSpec.rate = static_cast<uint32_t>(format.sampleRate);
    sampleSpec.channels = static_cast<uint8_t>(format.channels);
    return sampleSpec;
}

class PulseStream final : public AudioDeviceStream {
public:
    PulseStream(std::shared_ptr<Connection> conn, const core::WaveFormat& format)
        : conn_(std::move(conn)), format_(format), spec_(sampleSpecOf(format)) {}

    ~PulseStream() override {
        LoopLock lock(conn_->loop());
        stream_.reset();
    }

    PulseStream(const PulseStream&) = delete;
    PulseStream& operator=(const PulseStream&) = delete;

    // Creates the stream on the server and waits until it is ready.
    base::Result<void> connect(const std::string& deviceId) {
        LoopLock lock(conn_->loop());
        if (!conn_->alive()) return lostFault("the audio server has gone away");
        pa_channel_map map;
        pa_channel_map_init_extend(&map, spec_.channels, PA_CHANNEL_MAP_DEFAULT);
        stream_.reset(pa_stream_new(conn_->context(), "Speech", &spec_, &map));
        if (!stream_) return lostFault(pa_strerror(pa_context_errno(conn_->context())));
        pa_stream_set_state_callback(stream_.get(), &PulseStream::onSignal, conn_->loop());
        pa_stream_set_write_callback(stream_.get(), &PulseStream::onWritable, conn_->loop());

        pa_buffer_attr attr{};
        attr.maxlength = static_cast<uint32_t>(-1);
        attr.tlength = static_cast<uint32_t>(pa_usec_to_bytes(kTargetLatencyUsec, &spec_));
        // Playback begins with the first frame written, and after an underrun with the next one.
        attr.prebuf = static_cast<uint32_t>(pa_frame_size(&spec_));
        attr.minreq = static_cast<uint32_t>(-1);
        attr.fragsize = static_cast<uint32_t>(-1);
        auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_INTERPOLATE_TIMING | PA_STREAM_AUTO_TIMING_UPDATE |
                                                    PA_STREAM_ADJUST_LATENCY);
        // A chosen sink that disappears ends the stream; the default sink may follow the server's
        // default elsewhere.
        if (!deviceId.empty()) flags = static_cast<pa_stream_flags_t>(flags | PA_STREAM_DONT_MOVE);
        if (pa_stream_connect_playback(stream_.get(), deviceId.empty() ? nullptr : deviceId.c_str(), &attr, flags,
                                       nullptr, nullptr) < 0)
            return openFault(deviceId);
        bool settled = conn_->waitUntil(
            [&] {
                pa_stream_state_t st = pa_stream_get_state(stream_.get());
                return st == PA_STREAM_READY || !PA_STREAM_IS_GOOD(st) || !conn_->alive();
            },
            Clock::now() + kServerWait);
        if (!settled) {
            conn_->markUnresponsive();
            return noAnswerFault();
        }
        if (pa_stream_get_state(stream_.get()) != PA_STREAM_READY) return openFault(deviceId);
        return {};
    }

    core::WaveFormat format() const override { return format_; }

    base::Result<size_t> write(std::span<const uint8_t> data, milliseconds maxWait) override {
        LoopLock lock(conn_->loop());
        if (auto lost = checkAlive(); !lost) return lost.fault();
        if (data.empty()) return size_t{0};
        const size_t frame = pa_frame_size(&spec_);
        if (data.size() < frame)
            return base::Fault{base::errc::kInvalidArg, "Audio data must hold whole sample frames."};
        size_t room = 0;
        conn_->waitUntil(
            [&] {
                if (interrupted_ || !aliveLocked()) return true;
                room = pa_stream_writable_size(stream_.get());
                if (room == static_cast<size_t>(-1)) room = 0;
                return room >= frame;
            },
            Clock::now() + maxWait);
        if (auto lost = checkAlive(); !lost) return lost.fault();
        if (interrupted_) {
            interrupted_ = false;
            return size_t{0};
        }
        size_t take = std::min(room, data.size());
        take -= take % frame;
        if (take == 0) return size_t{0};
        // Audio written to an idle stream (new, flushed or run dry) cannot be heard before now,
        // whatever an older timing report would extrapolate to.
        if (playedLocked() >= written_) {
            restartBase_ = written_;
            restartTime_ = Clock::now();
        }
        if (pa_stream_write(stream_.get(), data.data(), take, nullptr, 0, PA_SEEK_RELATIVE) < 0)
            return lostFault(pa_strerror(pa_context_errno(conn_->context())));
        written_ += take;
        return take;
    }

    base::Result<PlaybackState> state() override {
        LoopLock lock(conn_->loop());
        if (auto lost = checkAlive(); !lost) return lost.fault();
        return PlaybackState{written_, playedLocked(), corked_};
    }

    base::Result<void> setPaused(bool paused) override {
        LoopLock lock(conn_->loop());
        if (auto lost = checkAlive(); !lost) return lost;
        if (paused == corked_) return {};
        // The clock freezes as soon as the request is made; the wait makes sure the sound has stopped.
        // A fresh timing report afterwards keeps the clock from counting the paused time.
        if (paused) playedLocked();
        corking_ = true;
        auto alive = [&] { return aliveLocked(); };
        auto end = conn_->finish(pa_stream_cork(stream_.get(), paused ? 1 : 0, &PulseStream::onSuccess, conn_->loop()),
                                 Clock::now() + kServerWait, alive);
        if (end == Connection::OpEnd::kDone)
            end = conn_->finish(pa_stream_update_timing_info(stream_.get(), &PulseStream::onSuccess, conn_->loop()),
                                Clock::now() + kServerWait, alive);
        corking_ = false;
        if (end == Connection::OpEnd::kTimedOut) conn_->markUnresponsive();
        if (auto lost = checkAlive(); !lost) return lost;
        if (end != Connection::OpEnd::kDone) return noAnswerFault();
        corked_ = paused;
        return {};
    }

    base::Result<void> flush() override {
        LoopLock lock(conn_->loop());
        if (auto lost = checkAlive(); !lost) return lost;
        auto alive = [&] { return aliveLocked(); };
        auto end = conn_->finish(pa_stream_flush(stream_.get(), &PulseStream::onSuccess, conn_->loop()),
                                 Clock::now() + kServerWait, alive);
        if (end == Connection::OpEnd::kDone) {
            // Fresh indexes from the server tell where the next byte written will be played.
            end = conn_->finish(pa_stream_update_timing_info(stream_.get(), &PulseStream::onSuccess, conn_->loop()),
                                Clock::now() + kServerWait, alive);
        }
        if (end == Connection::OpEnd::kTimedOut) conn_->markUnresponsive();
        if (auto lost = checkAlive(); !lost) return lost;
        if (end != Connection::OpEnd::kDone) return noAnswerFault();
        const pa_timing_info* timing = pa_stream_get_timing_info(stream_.get());
        int64_t next = 0;
        if (timing) next = timing->write_index_corrupt ? timing->read_index : timing->write_index;
        rebase(std::max<int64_t>(next, 0));
        return {};
    }

    base::Result<bool> drain(milliseconds maxWait) override {
        LoopLock lock(conn_->loop());
        if (auto lost = checkAlive(); !lost) return lost.fault();
        const Clock::time_point deadline = Clock::now() + maxWait;
        // The clock reaches the last byte once it has passed the device's own buffer too.
        bool drained = conn_->waitUntil([&] { return interrupted_ || !aliveLocked() || playedLocked() >= written_; },
                                        deadline, kClockPoll);
        if (auto lost = checkAlive(); !lost) return lost.fault();
        if (interrupted_) {
            interrupted_ = false;
            return false;
        }
        return drained;
    }

    void interrupt() override {
        LoopLock lock(conn_->loop());
        interrupted_ = true;
        pa_threaded_mainloop_signal(conn_->loop(), 0);
    }

private:
    static void onSignal(pa_stream*, void* loop) noexcept { signalLoop(loop); }
    static void onWritable(pa_stream*, size_t, void* loop) noexcept { signalLoop(loop); }
    static void onSuccess(pa_stream*, int, void* loop) noexcept { signalLoop(loop); }

    // All below must be called with the main loop locked.
    bool aliveLocked() const {
        return conn_->alive() && stream_ && pa_stream_get_state(stream_.get()) == PA_STREAM_READY;
    }

    base::Result<void> checkAlive() const {
        if (aliveLocked()) return {};
        if (conn_->unresponsive()) return noAnswerFault();
        if (!conn_->alive()) return lostFault("the audio server has gone away");
        return lostFault("the output was removed");
    }

    base::Fault openFault(const std::string& deviceId) const {
        int err = pa_context_errno(conn_->context());
        if (!conn_->alive()) return lostFault("the audio server has gone away");
        if (err == PA_ERR_NOENTITY && deviceId.empty())
            return base::Fault{base::errc::kNoAudioDevice, "No audio output device: the audio server has no output."};
        if (err == PA_ERR_NOENTITY)
            return base::Fault{base::errc::kNoAudioDevice, "No audio output device named \"" + deviceId + "\"."};
        return base::Fault{base::errc::kNoAudioDevice,
                           std::string("Cannot open the audio output (") + pa_strerror(err) + ")."};
    }

    // What has been heard, in our coordinates, clamped so that it never passes what was written nor
    // goes backwards. Worked out from the server's latest timing report rather than
    // pa_stream_get_time(): the stream's read index, less the audio still queued in the device,
    // plus the time since the report. While the stream is not being read (before the first byte,
    // after an underrun, while corked) the read index stands still but the device's queue still
    // plays out, so the estimate may grow up to the read index and no further.
    uint64_t playedLocked() {
        if (corked_ || corking_) return played_;
        const pa_timing_info* timing = pa_stream_get_timing_info(stream_.get());
        if (!timing) return played_;
        const auto bytesOf = [&](pa_usec_t usec) { return static_cast<int64_t>(pa_usec_to_bytes(usec, &spec_)); };
        const int64_t readIndex = timing->read_index;
        int64_t heard = readIndex + bytesOf(pa_timeval_age(&timing->timestamp)) - bytesOf(timing->sink_usec);
        if (!timing->playing) heard = std::min(heard, readIndex);
        const auto sinceRestart =
            std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - restartTime_).count();
        const int64_t mine =
            std::min(static_cast<int64_t>(base_) + (heard - streamBase_),
                     static_cast<int64_t>(restartBase_) + bytesOf(static_cast<pa_usec_t>(sinceRestart)));
        if (mine > static_cast<int64_t>(played_)) {
            auto frame = static_cast<uint64_t>(pa_frame_size(&spec_));
            uint64_t value = std::min<uint64_t>(static_cast<uint64_t>(mine), written_);
            played_ = std::max(played_, value - value % frame);
        }
        return played_;
    }

    // After a flush: what was written counts as played, and the next byte written will be heard at
    // stream position `nextStreamByte`.
    void rebase(int64_t nextStreamByte) {
        played_ = written_;
        base_ = written_;
        streamBase_ = nextStreamByte;
    }

    std::shared_ptr<Connection> conn_;
    core::WaveFormat format_;
    pa_sample_spec spec_;
    StreamPtr stream_;
    // Guarded by the main-loop lock.
    uint64_t written_ = 0;
    uint64_t played_ = 0;
    uint64_t base_ = 0;              // our coordinate of stream position streamBase_
    int64_t streamBase_ = 0;         // stream byte position of base_
    uint64_t restartBase_ = 0;       // written_ when audio last went into an idle stream
    Clock::time_point restartTime_;  // and when
    bool corked_ = false;
    bool corking_ = false;  // a cork or uncork request is on its way
    bool interrupted_ = false;
};

// ---------------------------------------------------------------------------------------------------

class PulseHost final : public AudioHost {
public:
    std::vector<AudioDeviceInfo> devices() override {
        auto conn = connection();
        if (!conn) return {};
        Connection& c = *conn.value();
        LoopLock lock(c.loop());

        struct Query {
            pa_threaded_mainloop* loop;
            std::string defaultSink;
            std::vector<AudioDeviceInfo> sinks;
        } query{c.loop(), {}, {}};
        auto onServer = [](pa_context*, const pa_server_info* info, void* data) noexcept {
            auto* q = static_cast<Query*>(data);
            if (info && info->default_sink_name) {
                try {
                    q->defaultSink = info->default_sink_name;
                } catch (...) {
                }
            }
            signalLoop(q->loop);
        };
        auto onSink = [](pa_context*, const pa_sink_info* info, int eol, void* data) noexcept {
            auto* q = static_cast<Query*>(data);
            if (!eol && info) {
                try {
                    AudioDeviceInfo d;
                    d.id = info->name ? info->name : "";
                    d.description = info->description ? info->description : d.id;
                    d.index = info->index;
                    q->sinks.push_back(std::move(d));
                } catch (...) {
                }
            }
            signalLoop(q->loop);
        };
        const Clock::time_point deadline = Clock::now() + kServerWait;
        auto alive = [&] { return c.alive(); };
        auto end = c.finish(pa_context_get_server_info(c.context(), onServer, &query), deadline, alive);
        if (end == Connection::OpEnd::kDone)
            end = c.finish(pa_context_get_sink_info_list(c.context(), onSink, &query), deadline, alive);
        if (end == Connection::OpEnd::kTimedOut) c.markUnresponsive();
        if (end != Connection::OpEnd::kDone) return {};

        for (auto& d : query.sinks) d.isDefault = d.id == query.defaultSink;
        std::sort(query.sinks.begin(), query.sinks.end(), [](const AudioDeviceInfo& a, const AudioDeviceInfo& b) {
            if (a.isDefault != b.isDefault) return a.isDefault;
            return a.index < b.index;
        });
        return std::move(query.sinks);
    }

    base::Result<std::unique_ptr<AudioDeviceStream>> open(const std::string& deviceId,
                                                          const core::WaveFormat& format) override {
        if ((format.bitsPerSample != 8 && format.bitsPerSample != 16) || format.channels < 1 || format.channels > 2 ||
            format.sampleRate <= 0 || static_cast<uint32_t>(format.sampleRate) > PA_RATE_MAX)
            return base::Fault{base::errc::kUnsupportedFormat,
                               "The audio format is not supported by the audio output."};
        auto conn = connection();
        if (!conn) return conn.fault();
        auto stream = std::make_unique<PulseStream>(conn.value(), format);
        if (auto r = stream->connect(deviceId); !r) return r.fault();
        return std::unique_ptr<AudioDeviceStream>(std::move(stream));
    }

private:
    // The live connection, or a new one when there is none or the server went away.
    base::Result<std::shared_ptr<Connection>> connection() {
        std::lock_guard guard(mutex_);
        if (conn_) {
            bool alive;
            {
                LoopLock lock(conn_->loop());
                alive = conn_->alive();
            }
            if (alive) return conn_;
            conn_.reset();
        }
        auto fresh = Connection::open();
        if (fresh) conn_ = fresh.value();
        return fresh;
    }

    std::mutex mutex_;
    std::shared_ptr<Connection> conn_;
};

}  // namespace

std::shared_ptr<AudioHost> makePulseAudioHost() {
    return std::make_shared<PulseHost>();
}

}  // namespace speech::audio
