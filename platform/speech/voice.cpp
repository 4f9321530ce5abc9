// The voice: a request queue served by one worker thread. The worker turns each request into segments
// (text front end), synthesizes a bounded few segments ahead of the output, and feeds a sink: an audio
// device stream, whose audio the worker converts into the output format itself, or a WAV file stream,
// whose audio a FileWriter converts and writes on a second thread while synthesis goes on. Every event
// carries the absolute byte at which it happens in the sink and is released into the event queue once
// the sink has written (file) or played (device) that byte.
#include "platform/speech/voice.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <variant>

#include "platform/speech/audio_host.h"
#include "platform/speech/converter.h"
#include "platform/speech/file_source.h"
#include "platform/speech/file_writer.h"
#include "platform/speech/frontend.h"
#include "platform/speech/synthesizer.h"
#include "platform/speech/utf8.h"

namespace speech {
namespace {

using std::chrono::milliseconds;

// How long the worker waits at most between looks at the device clock and the controls.
constexpr milliseconds kPoll{4};
// Segments synthesized ahead of the output: enough to cover the next segment's synthesis time.
constexpr size_t kSegmentsAhead = 2;
// Frames read from a sound file per step.
constexpr size_t kSoundFrames = 4096;
// Samples gathered from the engine before they are converted and fed to the sink (about 46 ms).
constexpr size_t kFeedSamples = 1024;
constexpr size_t kFileFeedSamples = 32768;
// Audio level events are computed over blocks of this many milliseconds.
constexpr int kLevelBlockMs = 50;

int32_t interestOf(EventKind kind) {
    switch (kind) {
        case EventKind::StartStream: return SVEStartInputStream;
        case EventKind::EndStream: return SVEEndInputStream;
        case EventKind::VoiceChange: return SVEVoiceChange;
        case EventKind::Bookmark: return SVEBookmark;
        case EventKind::Word: return SVEWordBoundary;
        case EventKind::Sentence: return SVESentenceBoundary;
        case EventKind::Phoneme: return SVEPhoneme;
        case EventKind::Viseme: return SVEViseme;
        case EventKind::AudioLevel: return SVEAudioLevel;
        case EventKind::EnginePrivate: return SVEPrivate;
    }
    return 0;
}

SpObjectTokens filterTokens(std::vector<SpObjectToken> tokens, std::string_view required,
                            std::string_view optional) {
    std::erase_if(tokens, [&](const SpObjectToken& t) { return !t.matches(required); });
    if (!optional.empty()) {
        std::stable_sort(tokens.begin(), tokens.end(), [&](const SpObjectToken& a, const SpObjectToken& b) {
            return a.matchCount(optional) > b.matchCount(optional);
        });
    }
    return SpObjectTokens(std::move(tokens));
}

// ---- sinks ---------------------------------------------------------------------------------------

// Where a request's audio goes. Positions are absolute bytes in the sink's own coordinates.
class Sink {
public:
    virtual ~Sink() = default;
    // Bytes written so far, and the part of them that has been heard.
    virtual uint64_t written() const = 0;
    virtual Result<uint64_t> played() = 0;
    // Drops what has been written but not played.
    virtual Result<void> flush() = 0;
    virtual Result<void> setPaused(bool paused) = 0;
    // A device holds its sound on a pause; a file is rendered regardless.
    virtual bool followsPause() const = 0;
};

// A WAV file: the audio is converted and written by a FileWriter on its own thread; an event is
// "heard" once its byte is in the file.
class FileSink final : public Sink {
public:
    FileSink(std::shared_ptr<SpFileStream> file, int inRate, int inChannels, const WaveFormat& out,
             std::function<void()> onProgress)
        : writer_(std::move(file), inRate, inChannels, out, std::move(onProgress)) {}
    FileWriter& writer() { return writer_; }
    uint64_t written() const override { return writer_.written(); }
    Result<uint64_t> played() override {
        if (auto fault = writer_.fault()) return *fault;
        return writer_.written();
    }
    // What is queued but not yet in the file is dropped; what is in the file stays.
    Result<void> flush() override {
        writer_.drop();
        return {};
    }
    Result<void> setPaused(bool) override { return {}; }
    bool followsPause() const override { return false; }

private:
    FileWriter writer_;
};

class DeviceSink final : public Sink {
public:
    DeviceSink(AudioDeviceStream& device, uint64_t written) : device_(device), written_(written) {}
    // Writes what the device takes now, waiting at most `maxWait` for room; returns the bytes taken.
    Result<size_t> write(std::span<const uint8_t> bytes, milliseconds maxWait) {
        auto r = device_.write(bytes, maxWait);
        if (!r) return r.fault();
        written_ += r.value();
        return r.value();
    }
    uint64_t written() const override { return written_; }
    Result<uint64_t> played() override {
        auto s = device_.state();
        if (!s) return s.fault();
        return std::min(s.value().playedBytes, written_);
    }
    Result<void> flush() override { return device_.flush(); }
    Result<void> setPaused(bool paused) override { return device_.setPaused(paused); }
    bool followsPause() const override { return true; }

private:
    AudioDeviceStream& device_;
    uint64_t written_;
};

// Forwards one synthesizer call's output; aborts the call when the voice's control epoch moves on or
// when the receiver says so.
class ForwardingSink final : public SynthSink {
public:
    ForwardingSink(const std::atomic<uint64_t>& epoch, std::function<bool(std::span<const int16_t>)> onAudio,
                   std::function<bool(const SynthEvent&)> onEvent)
        : epoch_(epoch), start_(epoch.load(std::memory_order_acquire)), onAudio_(std::move(onAudio)),
          onEvent_(std::move(onEvent)) {}
    bool audio(std::span<const int16_t> samples) override { return !aborted() && onAudio_(samples); }
    bool event(const SynthEvent& event) override { return !aborted() && onEvent_(event); }
    bool aborted() const { return epoch_.load(std::memory_order_acquire) != start_; }

private:
    const std::atomic<uint64_t>& epoch_;
    uint64_t start_;
    std::function<bool(std::span<const int16_t>)> onAudio_;
    std::function<bool(const SynthEvent&)> onEvent_;
};

}  // namespace

// ---- the request ---------------------------------------------------------------------------------

struct Request {
    uint32_t number = 0;
    std::unique_ptr<SegmentSource> source;       // text to speak, or
    std::unique_ptr<SoundFileReader> sound;      // a sound file to play
    SpObjectToken voice;                         // the voice at the time of Speak
    std::shared_ptr<SpFileStream> file;          // the output file, or null for a device
    std::string deviceId;                        // the device ("" default) when file is null
    WaveFormat format;                           // the output format
    uint64_t purgeGeneration = 0;                // set when the worker takes the request
};

// A render into a file that did not reach its end: its file stream keeps the reason, and closing it
// then leaves no file.
void renderCutShort(Request& request, int32_t code, const std::string& why) {
    if (request.file) request.file->failRender(Fault{code, why});
}
void renderStopped(Request& request) {
    renderCutShort(request, errc::kCancelled, "The speech was stopped before its end, so the file was not saved.");
}

// A text refused by Speak is a render cut short too: the file would lack it. Armed while Speak checks a
// text going into a file; a throw that leaves Speak meanwhile marks the file.
class RefusedIntoFile {
public:
    explicit RefusedIntoFile(std::shared_ptr<SpFileStream> file) : file_(std::move(file)) {}
    ~RefusedIntoFile() {
        if (file_)
            file_->failRender(Fault{errc::kInvalidArg, "A text for the file was refused, so the file was not saved."});
    }
    RefusedIntoFile(const RefusedIntoFile&) = delete;
    RefusedIntoFile& operator=(const RefusedIntoFile&) = delete;
    void accepted() { file_.reset(); }

private:
    std::shared_ptr<SpFileStream> file_;
};

struct SpVoice::Impl {
    explicit Impl(Backends b);
    ~Impl();

    void run();
    void process(Request& request);
    void purgeLocked();
    void publish(std::vector<VoiceEvent> events);
    // Wakes the worker's blocking waits on its sink, so that it sees a control change at once.
    void interruptSinkLocked();
    std::unique_ptr<AudioDeviceStream> takeDevice();

    Backends backends;

    // Settings, changed by the owner and read by Speak.
    mutable std::mutex settingsMutex;
    SpObjectToken voice;
    std::optional<SpObjectToken> output;
    std::shared_ptr<SpDeviceStream> deviceStream;
    std::shared_ptr<SpStream> outputStream;
    bool allowFormatChanges = true;
    long rate = 0;
    long volume = 100;
    bool mixedScript = true;
    MarkupState persisted;
    uint32_t nextStreamNumber = 1;
    std::atomic<int32_t> interests{kDefaultEventInterests};

    // The queue and the worker's controls.
    mutable std::mutex mutex;
    std::condition_variable wake;  // the worker waits here
    std::condition_variable idle;  // Speak, WaitUntilDone and Skip wait here
    std::deque<std::unique_ptr<Request>> queue;
    bool active = false;           // the worker is serving a request
    uint32_t doneThrough = 0;      // the highest stream number finished or dropped
    uint64_t purgeGeneration = 0;
    uint64_t controlSerial = 0;    // moves on with every control change
    bool paused = false;
    bool shutdown = false;
    bool skipPending = false;
    long skipCount = 0;
    uint64_t skipSerial = 0;
    uint64_t skipAnswered = 0;
    long skipResult = 0;
    std::optional<Fault> deviceFault;          // reported by the next Speak
    AudioDeviceStream* interruptible = nullptr;  // the open device, for waking blocked calls
    FileWriter* activeFileWriter = nullptr;      // the file being written, likewise
    uint64_t sinkProgress = 0;                   // moves on when the file writer has written a block
    // Moves on with every purge, skip and shutdown; a running synthesis stops when it changes.
    std::atomic<uint64_t> epoch{0};

    // Worker-owned device.
    std::unique_ptr<AudioDeviceStream> device;
    std::string deviceIdOpen;
    bool deviceCorked = false;

    // Released events, and the status they make.
    mutable std::mutex eventsMutex;
    std::vector<VoiceEvent> events;
    SpVoiceStatus status;
    std::mutex notifyMutex;
    std::function<void()> notify;

    std::thread worker;
};

SpVoice::Impl::Impl(Backends b) : backends(std::move(b)) {
    if (!backends.synthesizer) throw Error(errc::kEngine, "No speech synthesizer is available.");
    auto voices = backends.synthesizer->voices();
    if (voices.empty()) throw Error(errc::kNoVoice, "No voice is installed for the speech engine.");
    voice = voices.front();
    deviceStream = std::make_shared<SpDeviceStream>("");
    outputStream = deviceStream;
    worker = std::thread([this] { run(); });
}

SpVoice::Impl::~Impl() {
    {
        std::lock_guard lock(mutex);
        shutdown = true;
        ++controlSerial;
        epoch.fetch_add(1, std::memory_order_acq_rel);
        interruptSinkLocked();
    }
    wake.notify_all();
    idle.notify_all();
    if (worker.joinable()) worker.join();
}

void SpVoice::Impl::purgeLocked() {
    while (!queue.empty()) {
        doneThrough = std::max(doneThrough, queue.front()->number);
        renderStopped(*queue.front());
        queue.pop_front();
    }
    ++purgeGeneration;
    ++controlSerial;
    epoch.fetch_add(1, std::memory_order_acq_rel);
    interruptSinkLocked();
    wake.notify_all();
    idle.notify_all();
}

void SpVoice::Impl::interruptSinkLocked() {
    if (interruptible) interruptible->interrupt();
    if (activeFileWriter) activeFileWriter->interrupt();
}

void SpVoice::Impl::publish(std::vector<VoiceEvent> released) {
    const int32_t wanted = interests.load(std::memory_order_relaxed);
    {
        std::lock_guard lock(eventsMutex);
        bool any = false;
        for (auto& e : released) {
            if (e.kind == EventKind::StartStream) status = SpVoiceStatus{};
            status.currentStreamNumber = e.streamNumber;
            if (e.kind == EventKind::Word) {
                status.inputWordPosition = e.characterPosition;
                status.inputWordLength = e.length;
            } else if (e.kind == EventKind::Sentence) {
                status.inputSentencePosition = e.characterPosition;
                status.inputSentenceLength = e.length;
            }
            if ((interestOf(e.kind) & wanted) == 0) continue;
            events.push_back(std::move(e));
            any = true;
        }
        if (!any) return;
    }
    // Called without the event queue's lock (the callback may take the events at once); SetNotify waits
    // for a running call, so a replaced function is never called afterwards.
    std::lock_guard lock(notifyMutex);
    if (notify) notify();
}

std::unique_ptr<AudioDeviceStream> SpVoice::Impl::takeDevice() {
    std::lock_guard lock(mutex);
    interruptible = nullptr;
    deviceIdOpen.clear();
    deviceCorked = false;
    return std::move(device);
}

void SpVoice::Impl::run() {
    for (;;) {
        std::unique_ptr<Request> request;
        {
            std::unique_lock lock(mutex);
            wake.wait(lock, [&] { return shutdown || !queue.empty(); });
            if (shutdown) break;
            request = std::move(queue.front());
            queue.pop_front();
            request->purgeGeneration = purgeGeneration;
            active = true;
        }
        process(*request);
        {
            std::lock_guard lock(mutex);
            active = false;
            doneThrough = std::max(doneThrough, request->number);
            if (skipPending) {
                skipPending = false;
                skipResult = 0;
                skipAnswered = skipSerial;
            }
        }
        idle.notify_all();
    }
    if (device) {
        device->flush();
        takeDevice().reset();
    }
}

// ---- one request, from StartStream to EndStream ----------------------------------------------------

namespace {

struct PendingEvent {
    uint64_t at;  // absolute byte in the sink
    VoiceEvent event;
    long sentence = -1;  // Sentence: its index in the text, for skipping relative to what is heard
};

}  // namespace

void SpVoice::Impl::process(Request& request) {
    const WaveFormat& format = request.format;
    const uint64_t bytesPerFrame = static_cast<uint64_t>(format.bytesPerFrame());
    const int synthRate = backends.synthesizer->sampleRate();
    // The audio before conversion: the engine's, or the sound file's.
    const int inRate = request.sound ? request.sound->sampleRate() : synthRate;
    const int inChannels = request.sound ? request.sound->channels() : 1;
    std::unique_ptr<Sink> sink;
    DeviceSink* deviceSink = nullptr;  // one of these two is the sink
    FileWriter* fileWriter = nullptr;
    uint64_t base = 0;

    auto makeEvent = [&](EventKind kind, uint64_t at) {
        VoiceEvent e;
        e.kind = kind;
        e.streamNumber = request.number;
        e.streamPosition = at >= base ? at - base : 0;
        e.audioTimeMs = e.streamPosition * 1000 / static_cast<uint64_t>(format.bytesPerSecond());
        return e;
    };
    auto endStreamNow = [&](uint64_t at) { publish({makeEvent(EventKind::EndStream, at)}); };
    auto deviceLost = [&](const Fault& fault) {
        takeDevice().reset();
        std::lock_guard lock(mutex);
        deviceFault = Fault{errc::kDeviceLost, "The audio output device stopped working: " + fault.message};
    };
    // A sink that failed ends the stream. A lost device is reported by the next Speak; a file stream
    // keeps its write failure and reports it when it is closed.
    auto sinkFailed = [&](const Fault& fault) {
        if (!request.file) deviceLost(fault);
    };
    // The file writer is reachable for interrupts only while it exists.
    struct WriterRegistration {
        explicit WriterRegistration(Impl& owner) : impl(owner) {}  // emplace() needs it with clang 14
        Impl& impl;
        ~WriterRegistration() {
            std::lock_guard lock(impl.mutex);
            impl.activeFileWriter = nullptr;
        }
    };
    std::optional<WriterRegistration> registration;

    // Open the sink.
    if (request.file) {
        try {
            auto file = std::make_unique<FileSink>(request.file, inRate, inChannels, format, [this] {
                {
                    std::lock_guard lock(mutex);
                    ++sinkProgress;
                }
                wake.notify_all();
            });
            fileWriter = &file->writer();
            sink = std::move(file);
        } catch (const Error& e) {
            // No conversion into this format.
            renderCutShort(request, e.code(), e.description());
            base = request.file->bytesWritten();
            publish({makeEvent(EventKind::StartStream, base), makeEvent(EventKind::EndStream, base)});
            return;
        }
        registration.emplace(*this);
        std::lock_guard lock(mutex);
        activeFileWriter = fileWriter;
    } else {
        if (device && (deviceIdOpen != request.deviceId || device->format() != format)) takeDevice().reset();
        if (!device) {
            auto opened = backends.audioHost
                              ? backends.audioHost->open(request.deviceId, format)
                              : Result<std::unique_ptr<AudioDeviceStream>>(
                                    Fault{errc::kNoAudioDevice, "No audio output device is available."});
            if (!opened) {
                publish({makeEvent(EventKind::StartStream, 0), makeEvent(EventKind::EndStream, 0)});
                std::lock_guard lock(mutex);
                deviceFault = opened.fault();
                return;
            }
            std::lock_guard lock(mutex);
            device = std::move(opened.value());
            deviceIdOpen = request.deviceId;
            deviceCorked = false;
            interruptible = device.get();
        }
        auto state = device->state();
        if (!state) {
            publish({makeEvent(EventKind::StartStream, 0), makeEvent(EventKind::EndStream, 0)});
            deviceLost(state.fault());
            return;
        }
        auto out = std::make_unique<DeviceSink>(*device, state.value().writtenBytes);
        deviceSink = out.get();
        sink = std::move(out);
    }
    base = sink->written();

    std::deque<std::vector<uint8_t>> chunks;  // converted audio not yet written, one per segment
    size_t chunkOffset = 0;                   // bytes of chunks.front() already written
    std::deque<PendingEvent> pending;
    uint64_t produced = base;                 // the absolute byte after the last converted byte
    uint64_t convBase = base;                 // where the converter's output started
    uint64_t convInput = 0;                   // input frames pushed since then
    bool moreInput = true;
    bool finished = false;                    // the converter has been flushed
    long heardSentence = -1;
    SpObjectToken currentVoice = request.voice;
    uint64_t seenControl = ~uint64_t{0};
    uint64_t seenProgress = 0;

    // A device's audio is converted here, a file's by its writer.
    std::unique_ptr<Converter> converter;
    if (deviceSink) {
        try {
            converter = std::make_unique<Converter>(inRate, inChannels, format);
        } catch (const Error&) {
            publish({makeEvent(EventKind::StartStream, base), makeEvent(EventKind::EndStream, base)});
            return;
        }
    }

    pending.push_back({base, makeEvent(EventKind::StartStream, base)});

    auto outputFramesFor = [&](uint64_t inputFrames) {
        return fileWriter ? fileWriter->outputFramesFor(inputFrames) : converter->outputFramesFor(inputFrames);
    };
    auto atInput = [&](uint64_t inputFrame) { return convBase + outputFramesFor(inputFrame) * bytesPerFrame; };

    // Hands input samples to the file writer; the bytes they become are counted ahead of the writing.
    // False when a purge or skip stopped the wait for room, or the file failed.
    auto toFile = [&](auto samples, size_t frames, uint64_t startEpoch) {
        const bool taken = fileWriter->push(std::move(samples), [&] {
            return epoch.load(std::memory_order_acquire) != startEpoch;
        });
        if (!taken) return false;
        convInput += frames;
        produced = atInput(convInput);
        return true;
    };

    auto pushAudio = [&](std::vector<uint8_t> bytes) {
        if (bytes.empty()) return;
        produced += bytes.size();
        chunks.push_back(std::move(bytes));
    };

    // Keeps the pending events in byte order (audio levels are computed after the words they follow).
    auto insertPending = [&](PendingEvent p) {
        auto it = pending.end();
        while (it != pending.begin() && std::prev(it)->at > p.at) --it;
        pending.insert(it, std::move(p));
    };

    auto release = [&](uint64_t played) {
        std::vector<VoiceEvent> out;
        while (!pending.empty() && pending.front().at <= played) {
            if (pending.front().sentence >= 0) heardSentence = pending.front().sentence;
            out.push_back(std::move(pending.front().event));
            pending.pop_front();
        }
        if (!out.empty()) publish(std::move(out));
    };

    std::optional<Fault> sinkFault;  // the device failed while being fed during synthesis
    bool wroteAny = false;
    bool wantPausedNow = false;

    // Feeds the sink without blocking while a segment is being synthesized, so that the first audio is
    // out within milliseconds and a long segment never starves the device. False to abort.
    auto feed = [&]() -> bool {
        {
            std::lock_guard lock(mutex);
            wantPausedNow = paused;
        }
        if (sink->followsPause() && wantPausedNow != deviceCorked) {
            auto r = sink->setPaused(wantPausedNow);
            if (!r) {
                sinkFault = r.fault();
                return false;
            }
            deviceCorked = wantPausedNow;
        }
        if (sink->followsPause() && wantPausedNow) return true;
        while (!chunks.empty()) {
            auto& front = chunks.front();
            auto wrote = deviceSink->write(std::span<const uint8_t>(front).subspan(chunkOffset), milliseconds(0));
            if (!wrote) {
                sinkFault = wrote.fault();
                return false;
            }
            chunkOffset += wrote.value();
            if (chunkOffset < front.size()) break;
            chunks.pop_front();
            chunkOffset = 0;
        }
        auto played = sink->played();
        if (!played) {
            sinkFault = played.fault();
            return false;
        }
        release(played.value());
        return true;
    };

    // Synthesizes the next segment, converting and feeding its audio as it comes. False at the end of
    // the input or when the engine failed.
    auto produceSegment = [&]() -> bool {
        const uint64_t startEpoch = epoch.load(std::memory_order_acquire);
        if (request.sound) {
            std::vector<float> frames(kSoundFrames * static_cast<size_t>(request.sound->channels()));
            size_t got = request.sound->read(frames);
            if (got == 0) return false;
            frames.resize(got * static_cast<size_t>(request.sound->channels()));
            if (fileWriter) {
                toFile(std::move(frames), got, startEpoch);
                return true;
            }
            std::vector<uint8_t> bytes;
            converter->push(std::span<const float>(frames), bytes);
            convInput += got;
            pushAudio(std::move(bytes));
            return true;
        }
        auto segment = request.source->next();
        if (!segment) return false;

        const uint64_t segStart = convInput;  // input frame of the segment's first sample
        const size_t silence = static_cast<size_t>(segment->silenceMs) * static_cast<size_t>(synthRate) / 1000;
        uint64_t segSamples = 0;               // samples of this segment so far, silence included
        std::vector<int16_t> unconverted;
        std::deque<SynthEvent> raw;            // engine events not yet placed
        int32_t lastWordEnd = -1;
        // Events nobody listens to are not made (phonemes come by the hundred thousand in a long text).
        const int32_t wanted = interests.load(std::memory_order_relaxed);
        const bool wantLevels = (wanted & SVEAudioLevel) != 0;
        const bool wantWords = (wanted & SVEWordBoundary) != 0;
        const bool wantPhonemes = (wanted & SVEPhoneme) != 0;
        const bool wantVisemes = (wanted & SVEViseme) != 0;
        const bool wantPrivate = (wanted & SVEPrivate) != 0;
        const int32_t textSize = static_cast<int32_t>(segment->text.size());
        const auto& offsets = segment->sourceOffsets;
        auto sourceAt = [&](int32_t cp) {
            cp = std::clamp(cp, 0, textSize);
            return static_cast<size_t>(cp) < offsets.size() ? offsets[static_cast<size_t>(cp)] : 0;
        };
        auto add = [&](EventKind kind, uint64_t sample) -> PendingEvent {
            const uint64_t at = atInput(segStart + sample);
            return PendingEvent{at, makeEvent(kind, at)};
        };

        if (!(segment->voice == currentVoice)) {
            currentVoice = segment->voice;
            auto p = add(EventKind::VoiceChange, 0);
            p.event.token = std::make_shared<const SpObjectToken>(segment->voice);
            insertPending(std::move(p));
        }
        for (const auto& mark : segment->marks) {
            auto p = add(EventKind::Bookmark, 0);
            p.event.bookmark = mark.text;
            p.event.bookmarkId = mark.id;
            insertPending(std::move(p));
        }
        if (segment->startsSentence) {
            auto p = add(EventKind::Sentence, silence);
            p.event.characterPosition = segment->sentencePosition;
            p.event.length = segment->sentenceLength;
            p.sentence = segment->sentenceIndex;
            insertPending(std::move(p));
        }

        // Places the engine events whose successors are known (a word needs the next word, a phoneme
        // the next phoneme); at the end of the segment, all of them.
        auto placeEvents = [&](bool atEnd) {
            while (!raw.empty()) {
                const SynthEvent ev = raw.front();
                auto following = std::find_if(raw.begin() + 1, raw.end(), [&](const SynthEvent& e) { return e.kind == ev.kind; });
                const bool needsNext = ev.kind == SynthEvent::Kind::Word || ev.kind == SynthEvent::Kind::Phoneme;
                if (following == raw.end() && !atEnd && needsNext) return;
                raw.pop_front();
                const uint64_t sample = std::min<uint64_t>(silence + ev.sample, segSamples);
                if (ev.kind == SynthEvent::Kind::Word) {
                    // Snap the engine's word to the front end's spans; the engine's own boundaries are
                    // unreliable for numbers, abbreviations, long tokens and characters it cannot read.
                    const int32_t nextEngineWord = following != raw.end() ? following->textPosition : textSize;
                    const auto& words = segment->words;
                    auto it = std::find_if(words.begin(), words.end(),
                                           [&](const auto& w) { return w.second > ev.textPosition; });
                    if (it == words.end()) continue;
                    // A word reported between spans stands for the next span when the engine reports
                    // nothing else before it (it merged the span into what it read there).
                    if (it->first >= ev.textPosition + std::max(ev.length, 1) && it->first >= nextEngineWord) continue;
                    if (it->first < lastWordEnd) continue;  // a repeat or a step back
                    const int32_t from = sourceAt(it->first);
                    const int32_t to = sourceAt(it->second);
                    if (to <= from) continue;
                    lastWordEnd = it->second;
                    auto p = add(EventKind::Word, sample);
                    p.event.characterPosition = from;
                    p.event.length = to - from;
                    insertPending(std::move(p));
                } else if (ev.kind == SynthEvent::Kind::Phoneme) {
                    const uint64_t nextSample =
                        following != raw.end() ? std::min<uint64_t>(silence + following->sample, segSamples) : segSamples;
                    const uint64_t rate = static_cast<uint64_t>(synthRate);
                    const auto duration =
                        static_cast<int32_t>(((std::max(nextSample, sample) - sample) * 1000 + rate / 2) / rate);
                    const int32_t feature =
                        (ev.stressed ? SVF_Stressed : SVF_None) | (segment->emphasis ? SVF_Emphasis : SVF_None);
                    if (wantPhonemes) {
                        auto ph = add(EventKind::Phoneme, sample);
                        ph.event.duration = duration;
                        ph.event.current = ev.phoneId;
                        ph.event.next = following != raw.end() ? following->phoneId : 0;
                        ph.event.feature = feature;
                        insertPending(std::move(ph));
                    }
                    if (wantVisemes) {
                        auto vi = add(EventKind::Viseme, sample);
                        vi.event.duration = duration;
                        vi.event.current = ev.viseme;
                        vi.event.next = following != raw.end() ? following->viseme : 0;
                        vi.event.feature = feature;
                        insertPending(std::move(vi));
                    }
                } else if (ev.kind == SynthEvent::Kind::Mark) {
                    auto p = add(EventKind::Bookmark, sample);
                    p.event.bookmark = ev.name;
                    p.event.bookmarkId = std::atoi(ev.name.c_str());
                    insertPending(std::move(p));
                } else if (ev.kind == SynthEvent::Kind::Clause) {
                    // The engine's own clause ends: its data is where the clause ended in the text.
                    auto p = add(EventKind::EnginePrivate, sample);
                    p.event.engineData = sourceAt(ev.textPosition);
                    insertPending(std::move(p));
                }
            }
        };

        // Converts the samples gathered so far and queues them, with their audio levels when wanted.
        auto convertGathered = [&]() {
            if (unconverted.empty()) return true;
            if (wantLevels) {
                const size_t block = static_cast<size_t>(synthRate * kLevelBlockMs / 1000);
                const uint64_t first = segSamples - unconverted.size();
                for (size_t from = 0; from < unconverted.size(); from += block) {
                    const size_t to = std::min(unconverted.size(), from + block);
                    double sum = 0;
                    for (size_t i = from; i < to; ++i) sum += double(unconverted[i]) * unconverted[i];
                    auto p = add(EventKind::AudioLevel, first + from);
                    p.event.audioLevel = static_cast<int32_t>(std::min(100.0, std::round(std::sqrt(sum / double(to - from)) * 100.0 / 8192.0)));
                    insertPending(std::move(p));
                }
            }
            if (fileWriter) {
                const size_t frames = unconverted.size();
                const bool taken = toFile(std::move(unconverted), frames, startEpoch);
                unconverted = {};
                return taken;
            }
            std::vector<uint8_t> bytes;
            converter->push(std::span<const int16_t>(unconverted), bytes);
            convInput += unconverted.size();
            unconverted.clear();
            pushAudio(std::move(bytes));
            return true;
        };

        unconverted.assign(silence, 0);
        segSamples = silence;
        bool engineFailed = false;
        if (!segment->text.empty()) {
            SynthRequest sr;
            sr.text = segment->text;
            sr.voiceId = segment->engineVoiceId.empty() ? segment->voice.Id() : segment->engineVoiceId;
            sr.rate = segment->rate;
            sr.volume = segment->volume;
            sr.pitch = segment->pitch;
            sr.emphasis = segment->emphasis;
            sr.speakPunctuation = segment->speakPunctuation;
            sr.phonemes = segment->phonemes;
            sr.ssml = segment->ssml;
            // A sentence cut by markup reads on without a sentence pause at the cut.
            sr.endPause = segment->endsSentence;
            ForwardingSink forward(
                epoch,
                [&](std::span<const int16_t> samples) {
                    unconverted.insert(unconverted.end(), samples.begin(), samples.end());
                    segSamples += samples.size();
                    // A file takes larger pieces once the first audio is out: fewer writes and header updates.
                    const size_t feedAt = sink->followsPause() || !wroteAny ? kFeedSamples : kFileFeedSamples;
                    if (unconverted.size() < feedAt) return true;
                    wroteAny = true;
                    placeEvents(false);
                    return convertGathered() && feed();
                },
                [&](const SynthEvent& ev) {
                    if ((ev.kind == SynthEvent::Kind::Word && wantWords) ||
                        (ev.kind == SynthEvent::Kind::Phoneme && (wantPhonemes || wantVisemes)) ||
                        (ev.kind == SynthEvent::Kind::Clause && wantPrivate) || ev.kind == SynthEvent::Kind::Mark) {
                        raw.push_back(ev);
                    }
                    return true;
                });
            auto result = backends.synthesizer->synthesize(sr, forward);
            if (forward.aborted() || sinkFault) return true;  // the main loop handles what stopped it
            engineFailed = !result;
            if (engineFailed) {
                renderCutShort(request, errc::kEngine, "The speech engine failed: " + result.fault().message);
            }
        }
        placeEvents(true);
        convertGathered();
        return !engineFailed;
    };

    // Drops everything converted or written but not yet heard.
    auto dropBuffered = [&]() -> Result<void> {
        auto r = sink->flush();
        chunks.clear();
        chunkOffset = 0;
        pending.clear();
        if (converter) converter->reset();
        produced = sink->written();
        convBase = produced;
        convInput = 0;
        finished = false;
        return r;
    };

    // Repositions the text `count` sentences from the one being heard; returns the number skipped.
    auto skipSentences = [&](long count) -> long {
        if (!request.source) return 0;
        const long current = std::max(heardSentence, 0L);
        const long target = std::max(current + count, 0L);
        if (!dropBuffered()) return 0;
        moreInput = true;
        if (target <= current) {
            request.source->seekSentence(target);
            return target - current;
        }
        // Forward one sentence at a time, so that running past the end tells where the text ended
        // (and leaves it there).
        long reached = current;
        while (reached < target && request.source->seekSentence(reached + 1)) ++reached;
        if (reached == target) return target - current;
        moreInput = false;
        return reached + 1 - current;
    };

    auto finishWith = [&](uint64_t at) {
        std::vector<VoiceEvent> out;
        for (auto& p : pending) out.push_back(std::move(p.event));
        pending.clear();
        out.push_back(makeEvent(EventKind::EndStream, at));
        publish(std::move(out));
    };

    for (;;) {
        // Controls.
        bool wantPaused = false;
        bool purged = false;
        std::optional<long> skip;
        {
            std::lock_guard lock(mutex);
            if (shutdown) {
                renderStopped(request);
                return;
            }
            purged = purgeGeneration != request.purgeGeneration;
            wantPaused = paused;
            if (skipPending) skip = skipCount;
            seenControl = controlSerial;
            seenProgress = sinkProgress;
        }
        if (sinkFault) {
            sinkFailed(*sinkFault);
            pending.clear();
            endStreamNow(sink->written());
            return;
        }
        if (purged) {
            renderStopped(request);
            auto r = dropBuffered();
            if (!r) sinkFailed(r.fault());
            pending.clear();
            endStreamNow(sink->written());
            return;
        }
        if (skip) {
            long skipped = skipSentences(*skip);
            {
                std::lock_guard lock(mutex);
                skipPending = false;
                skipResult = skipped;
                skipAnswered = skipSerial;
            }
            idle.notify_all();
            continue;
        }
        if (sink->followsPause() && wantPaused != deviceCorked) {
            auto r = sink->setPaused(wantPaused);
            if (!r) {
                deviceLost(r.fault());
                finishWith(produced);
                return;
            }
            deviceCorked = wantPaused;
        }
        const bool holding = sink->followsPause() && wantPaused;

        auto played = sink->played();
        if (!played) {
            sinkFailed(played.fault());
            pending.clear();
            endStreamNow(sink->written());
            return;
        }
        release(played.value());

        if (!holding) {
            if (!chunks.empty()) {
                auto& front = chunks.front();
                auto wrote = deviceSink->write(std::span<const uint8_t>(front).subspan(chunkOffset), kPoll);
                if (!wrote) {
                    deviceLost(wrote.fault());
                    pending.clear();
                    endStreamNow(sink->written());
                    return;
                }
                chunkOffset += wrote.value();
                if (chunkOffset >= front.size()) {
                    chunks.pop_front();
                    chunkOffset = 0;
                    continue;
                }
                // The device is full: use the time to synthesize ahead.
                if (moreInput && chunks.size() < kSegmentsAhead) moreInput = produceSegment();
                continue;
            }
            if (moreInput) {
                moreInput = produceSegment();
                continue;
            }
            if (!finished) {
                if (fileWriter) {
                    fileWriter->finish();
                    produced = atInput(convInput);
                } else {
                    std::vector<uint8_t> tail;
                    converter->finish(tail);
                    pushAudio(std::move(tail));
                }
                finished = true;
                continue;
            }
            if (played.value() >= produced) {
                release(produced);
                finishWith(produced);
                return;
            }
        }
        // Wait for the device clock or a control change.
        std::unique_lock lock(mutex);
        wake.wait_for(lock, kPoll,
                      [&] { return controlSerial != seenControl || sinkProgress != seenProgress || shutdown; });
    }
}

// ---- the public object ---------------------------------------------------------------------------

SpVoice::SpVoice() : SpVoice(Backends::defaults()) {}

SpVoice::SpVoice(Backends backends) : impl_(std::make_unique<Impl>(std::move(backends))) {}

SpVoice::~SpVoice() = default;

SpObjectTokens SpVoice::GetVoices(std::string_view requiredAttributes, std::string_view optionalAttributes) const {
    return filterTokens(impl_->backends.synthesizer->voices(), requiredAttributes, optionalAttributes);
}

SpObjectTokens SpVoice::GetAudioOutputs(std::string_view requiredAttributes,
                                        std::string_view optionalAttributes) const {
    std::vector<SpObjectToken> tokens;
    if (impl_->backends.audioHost) {
        for (const auto& d : impl_->backends.audioHost->devices()) {
            tokens.emplace_back(TokenKind::AudioOutput, d.id, d.description);
        }
    }
    return filterTokens(std::move(tokens), requiredAttributes, optionalAttributes);
}

SpObjectToken SpVoice::Voice() const {
    std::lock_guard lock(impl_->settingsMutex);
    return impl_->voice;
}

void SpVoice::SetVoice(const SpObjectToken& voice) {
    if (voice.kind() != TokenKind::Voice || voice.Id().empty()) {
        throw Error(errc::kInvalidArg, "The token given as the voice is not a voice.");
    }
    std::lock_guard lock(impl_->settingsMutex);
    impl_->voice = voice;
}

std::optional<SpObjectToken> SpVoice::AudioOutput() const {
    std::lock_guard lock(impl_->settingsMutex);
    return impl_->output;
}

void SpVoice::SetAudioOutput(const std::optional<SpObjectToken>& output) {
    if (output && output->kind() != TokenKind::AudioOutput) {
        throw Error(errc::kInvalidArg, "The token given as the audio output is not an audio output.");
    }
    std::lock_guard lock(impl_->settingsMutex);
    impl_->output = output;
    impl_->deviceStream = std::make_shared<SpDeviceStream>(output ? output->Id() : std::string());
    impl_->outputStream = impl_->deviceStream;
}

std::shared_ptr<SpStream> SpVoice::AudioOutputStream() const {
    std::lock_guard lock(impl_->settingsMutex);
    return impl_->outputStream;
}

void SpVoice::SetAudioOutputStream(std::shared_ptr<SpStream> stream) {
    if (!stream) throw Error(errc::kInvalidArg, "No audio output stream was given.");
    std::lock_guard lock(impl_->settingsMutex);
    if (stream->kind() == SpStream::Kind::Device) {
        auto device = std::dynamic_pointer_cast<SpDeviceStream>(stream);
        if (!device) throw Error(errc::kInvalidArg, "The audio output stream is not usable by this voice.");
        if (device != impl_->deviceStream) {
            impl_->deviceStream = device;
            if (!impl_->output || impl_->output->Id() != device->deviceId()) {
                impl_->output = device->deviceId().empty()
                                    ? std::nullopt
                                    : std::optional<SpObjectToken>(
                                          SpObjectToken(TokenKind::AudioOutput, device->deviceId(), device->deviceId()));
            }
        }
        if (impl_->allowFormatChanges) device->Format().SetType(kDefaultFormatType);
    } else if (!std::dynamic_pointer_cast<SpFileStream>(stream)) {
        throw Error(errc::kInvalidArg, "The audio output stream is not usable by this voice.");
    }
    impl_->outputStream = std::move(stream);
}

bool SpVoice::AllowAudioOutputFormatChangesOnNextSet() const {
    std::lock_guard lock(impl_->settingsMutex);
    return impl_->allowFormatChanges;
}

void SpVoice::SetAllowAudioOutputFormatChangesOnNextSet(bool allow) {
    std::lock_guard lock(impl_->settingsMutex);
    impl_->allowFormatChanges = allow;
}

long SpVoice::Rate() const {
    std::lock_guard lock(impl_->settingsMutex);
    return impl_->rate;
}

void SpVoice::SetRate(long rate) {
    if (rate < -10 || rate > 10) {
        throw Error(errc::kInvalidArg, "The rate " + std::to_string(rate) + " is outside -10 to 10.");
    }
    std::lock_guard lock(impl_->settingsMutex);
    impl_->rate = rate;
}

bool SpVoice::mixedScript() const {
    std::lock_guard lock(impl_->settingsMutex);
    return impl_->mixedScript;
}

void SpVoice::setMixedScript(bool on) {
    std::lock_guard lock(impl_->settingsMutex);
    impl_->mixedScript = on;
}

long SpVoice::Volume() const {
    std::lock_guard lock(impl_->settingsMutex);
    return impl_->volume;
}

void SpVoice::SetVolume(long volume) {
    if (volume < 0 || volume > 100) {
        throw Error(errc::kInvalidArg, "The volume " + std::to_string(volume) + " is outside 0 to 100.");
    }
    std::lock_guard lock(impl_->settingsMutex);
    impl_->volume = volume;
}

int32_t SpVoice::EventInterests() const { return impl_->interests.load(); }

void SpVoice::SetEventInterests(int32_t interests) { impl_->interests.store(interests & SVEAllEvents); }

uint32_t SpVoice::Speak(std::u16string_view text, int32_t flags) {
    return Speak(std::u16string(text), flags);
}

uint32_t SpVoice::Speak(std::u16string&& text, int32_t flags) {
    Impl& d = *impl_;
    bool toDevice = false;
    {
        std::lock_guard lock(d.settingsMutex);
        toDevice = d.outputStream->kind() == SpStream::Kind::Device;
    }
    {
        // A purge always happens; a device that failed since the last call is reported once, by the
        // next Speak that goes to a device (the one after it reconnects).
        std::lock_guard lock(d.mutex);
        if (flags & SVSFPurgeBeforeSpeak) d.purgeLocked();
        if (d.deviceFault && toDevice) {
            Fault fault = std::move(*d.deviceFault);
            d.deviceFault.reset();
            throw Error(fault.code, fault.message);
        }
    }
    if (text.empty() && (flags & SVSFPurgeBeforeSpeak)) return 0;

    auto request = std::make_unique<Request>();
    FrontEndContext context;
    std::shared_ptr<SpStream> output;
    std::optional<SpObjectToken> outputToken;
    {
        std::lock_guard lock(d.settingsMutex);
        request->voice = d.voice;
        context.voice = d.voice;
        context.rate = static_cast<int>(d.rate);
        context.volume = static_cast<int>(d.volume);
        context.mixedScript = d.mixedScript;
        context.persisted = d.persisted;
        output = d.outputStream;
        outputToken = d.output;
    }

    // Where the audio goes: an open file stream, or a device that exists now.
    std::optional<RefusedIntoFile> refusal;
    if (output->kind() == SpStream::Kind::File) {
        request->file = std::static_pointer_cast<SpFileStream>(output);
        if (!request->file->isOpen()) {
            throw Error(errc::kAccessDenied, "The output file stream is not open.");
        }
        refusal.emplace(request->file);
    } else {
        request->deviceId = static_cast<SpDeviceStream&>(*output).deviceId();
        const auto devices = d.backends.audioHost ? d.backends.audioHost->devices() : std::vector<AudioDeviceInfo>{};
        if (devices.empty()) {
            throw Error(errc::kNoAudioDevice,
                        "No audio output device is available (no sound server is running or it has no outputs).");
        }
        if (!request->deviceId.empty() &&
            std::none_of(devices.begin(), devices.end(), [&](const auto& dev) { return dev.id == request->deviceId; })) {
            throw Error(errc::kNoAudioDevice, "The audio output device \"" +
                                                  (outputToken ? outputToken->GetDescription() : request->deviceId) +
                                                  "\" is not available.");
        }
    }
    auto wave = waveFormatOf(output->formatType());
    if (!wave) throw Error(errc::kUnsupportedFormat, "The output stream's format is not supported.");
    request->format = *wave;

    // The text: the string given, a text file or a document. A plain text file and a document are
    // spoken as they are read; a text file that holds markup is read whole first, since markup is
    // checked whole before anything is spoken. A document's text is never markup.
    std::shared_ptr<const std::u16string> source;
    std::unique_ptr<TextStream> stream;
    if (flags & SVSFIsFilename) {
        auto file = openNamedFile(toUtf8(text));
        if (!file) throw Error(file.fault().code, file.fault().message);
        auto& content = file.value().content;
        if (auto* sound = std::get_if<std::unique_ptr<SoundFileReader>>(&content)) {
            request->sound = std::move(*sound);
        } else if (auto* document = std::get_if<std::unique_ptr<DocumentReader>>(&content)) {
            stream = std::move(*document);
            flags = (flags & ~SVSFIsXML) | SVSFIsNotXML;
        } else {
            auto& reader = std::get<std::unique_ptr<TextFileReader>>(content);
            if (readsAsMarkup(flags, reader->firstUnit())) {
                source = std::make_shared<const std::u16string>(reader->readAll().orThrow());
            } else {
                stream = std::move(reader);
            }
        }
    } else {
        source = std::make_shared<const std::u16string>(std::move(text));
    }
    if (source || stream) {
        context.voices = d.backends.synthesizer->voices();
        MarkupState after;
        const bool persist = (flags & SVSFPersistXML) != 0;
        request->source = source ? openText(source, flags & ~SVSFIsFilename, context, persist ? &after : nullptr)
                                 : openTextStream(std::move(stream), flags & ~SVSFIsFilename, context,
                                                  persist ? &after : nullptr);
        if (persist) {
            std::lock_guard lock(d.settingsMutex);
            d.persisted = after;
        }
    }

    if (refusal) refusal->accepted();
    uint32_t number = 0;
    {
        std::lock_guard lock(d.settingsMutex);
        number = d.nextStreamNumber++;
    }
    request->number = number;
    {
        std::unique_lock lock(d.mutex);
        d.queue.push_back(std::move(request));
        d.wake.notify_all();
        if (!(flags & SVSFlagsAsync)) {
            d.idle.wait(lock, [&] { return d.doneThrough >= number || d.shutdown; });
        }
    }
    return number;
}

void SpVoice::Pause() {
    std::lock_guard lock(impl_->mutex);
    impl_->paused = true;
    ++impl_->controlSerial;
    impl_->interruptSinkLocked();
    impl_->wake.notify_all();
}

void SpVoice::Resume() {
    std::lock_guard lock(impl_->mutex);
    impl_->paused = false;
    ++impl_->controlSerial;
    impl_->interruptSinkLocked();
    impl_->wake.notify_all();
}

bool SpVoice::isPaused() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->paused;
}

long SpVoice::Skip(std::string_view type, long count) {
    std::string lowered(type);
    std::transform(lowered.begin(), lowered.end(), lowered.begin(), [](unsigned char c) { return std::tolower(c); });
    if (lowered != "sentence") {
        throw Error(errc::kInvalidArg, "Only sentences can be skipped, not \"" + std::string(type) + "\".");
    }
    Impl& d = *impl_;
    std::unique_lock lock(d.mutex);
    if (!d.active && d.queue.empty()) return 0;
    const uint64_t serial = ++d.skipSerial;
    d.skipPending = true;
    d.skipCount = count;
    ++d.controlSerial;
    d.epoch.fetch_add(1, std::memory_order_acq_rel);
    d.interruptSinkLocked();
    d.wake.notify_all();
    d.idle.wait(lock, [&] { return d.skipAnswered >= serial || d.shutdown; });
    return d.skipAnswered >= serial ? d.skipResult : 0;
}

bool SpVoice::WaitUntilDone(long milliseconds) {
    Impl& d = *impl_;
    std::unique_lock lock(d.mutex);
    auto done = [&] { return (d.queue.empty() && !d.active) || d.shutdown; };
    if (milliseconds < 0) {
        d.idle.wait(lock, done);
        return true;
    }
    return d.idle.wait_for(lock, std::chrono::milliseconds(milliseconds), done);
}

bool SpVoice::isBusy() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->active || !impl_->queue.empty();
}

SpVoiceStatus SpVoice::Status() const {
    std::lock_guard lock(impl_->eventsMutex);
    return impl_->status;
}

void SpVoice::SetNotify(std::function<void()> notify) {
    std::lock_guard lock(impl_->notifyMutex);
    impl_->notify = std::move(notify);
}

std::vector<VoiceEvent> SpVoice::TakeEvents() {
    std::lock_guard lock(impl_->eventsMutex);
    std::vector<VoiceEvent> out;
    out.swap(impl_->events);
    return out;
}

}  // namespace speech
