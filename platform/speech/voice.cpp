// SPDX-License-Identifier: GPL-3.0-or-later
// The voice's queue, worker and public calls. Speak turns its text into a request (the text front end
// runs here, so bad markup is raised by Speak itself) and queues it; the worker thread takes requests
// one at a time and runs a StreamJob for each (stream_job.cpp). Which lock guards what, and their
// order, is written in pipeline/voice_state.h.
#include "speech/voice.h"

#include <malloc.h>

#include <algorithm>
#include <cctype>
#include <thread>
#include <variant>

#include "base/memory_reserve.h"
#include "base/utf8.h"
#include "speech/pipeline/named_file.h"
#include "speech/pipeline/sinks.h"
#include "speech/pipeline/stream_job.h"
#include "speech/text/frontend.h"
#include "speech/text/mandarin/lexicon.h"
#include "speech/text/user_lexicon.h"
#include "speech/voice_p.h"

namespace speech {
namespace {

SpObjectTokens filterTokens(std::vector<SpObjectToken> tokens, std::string_view required, std::string_view optional) {
    std::erase_if(tokens, [&](const SpObjectToken& t) { return !t.matches(required); });
    if (!optional.empty()) {
        std::stable_sort(tokens.begin(), tokens.end(), [&](const SpObjectToken& a, const SpObjectToken& b) {
            return a.matchCount(optional) > b.matchCount(optional);
        });
    }
    return SpObjectTokens(std::move(tokens));
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

// Purges the queue when `flags` ask for it. A stream into a device that failed since the last call
// (the device was lost, the engine kept failing) is raised once, by the next Speak that goes to a
// device (the one after it reconnects), unless the owner took it at the stream's end.
void purgeAndReport(SpVoice::Impl& d, int32_t flags) {
    bool toDevice = false;
    {
        std::lock_guard lock(d.settingsMutex);
        toDevice = d.outputStream->kind() == SpStream::Kind::Device;
    }
    std::lock_guard lock(d.mutex);
    if (flags & SVSFPurgeBeforeSpeak) d.purgeLocked();
    if (d.streamFault && toDevice) {
        Fault fault = std::move(*d.streamFault);
        d.streamFault.reset();
        throw Error(fault.code, fault.message);
    }
}

// What Speak copies from the voice's settings.
struct SpeakSettings {
    text::FrontEndContext context;
    documents::Options documents;
    std::shared_ptr<SpStream> output;
    std::optional<SpObjectToken> outputToken;
};

SpeakSettings takeSettings(SpVoice::Impl& d, pipeline::Request& request) {
    SpeakSettings s;
    std::lock_guard lock(d.settingsMutex);
    request.voice = d.voice;
    s.context.voice = d.voice;
    s.context.rate = static_cast<int>(d.rate);
    s.context.volume = static_cast<int>(d.volume);
    s.context.mixedScript = d.mixedScript;
    // SSML goes through the front end like any text, so its Chinese has the Mandarin reader.
    s.context.ssmlToEngine = false;
    s.context.persisted = d.persisted;
    s.context.userLexicon = d.userLexicon;
    s.context.mandarinLexicon = text::mandarin::installedMandarinLexicon();
    s.documents = d.documentOptions;
    s.output = d.outputStream;
    s.outputToken = d.output;
    return s;
}

// Where the audio goes: an open file stream (armed to fail when the text is refused), or a device
// that exists now; and in which format.
void chooseOutput(SpVoice::Impl& d, pipeline::Request& request, const SpeakSettings& s,
                  std::optional<RefusedIntoFile>& refusal) {
    if (s.output->kind() == SpStream::Kind::File) {
        auto file = std::static_pointer_cast<SpFileStream>(s.output);
        if (!file->isOpen()) {
            throw Error(errc::kAccessDenied, "The output file stream is not open.");
        }
        refusal.emplace(file);
        request.file = std::move(file);
    } else {
        request.deviceId = static_cast<SpDeviceStream&>(*s.output).deviceId();
        const auto devices = d.audioHost ? d.audioHost->devices() : std::vector<audio::AudioDeviceInfo>{};
        if (devices.empty()) {
            throw Error(errc::kNoAudioDevice,
                        "No audio output device is available (no sound server is running or it has no outputs).");
        }
        if (!request.deviceId.empty() &&
            std::none_of(devices.begin(), devices.end(), [&](const auto& dev) { return dev.id == request.deviceId; })) {
            throw Error(errc::kNoAudioDevice, "The audio output device \"" +
                                                  (s.outputToken ? s.outputToken->GetDescription() : request.deviceId) +
                                                  "\" is not available.");
        }
    }
    auto wave = waveFormatOf(s.output->formatType());
    if (!wave) throw Error(errc::kUnsupportedFormat, "The output stream's format is not supported.");
    request.format = *wave;
}

// The owner's document options, with a cancel check that a purge (or the voice's end) sets too:
// a document being read for a request stops then, on Speak's thread or the worker's.
documents::Options cancelledByPurge(SpVoice::Impl& d, documents::Options options) {
    options.cancelled = [&d, at = d.purges.load(), asked = std::move(options.cancelled)] {
        return d.purges.load() != at || (asked && asked());
    };
    return options;
}

// The text: the string given, a text file or a document. A plain text file and a document are
// spoken as they are read; a text file that holds markup is read whole first, since markup is
// checked whole before anything is spoken. A document's text is never markup. A sound file is played.
void openRequestText(SpVoice::Impl& d, pipeline::Request& request, std::u16string&& text, int32_t flags,
                     SpeakSettings& settings) {
    text::FrontEndContext& context = settings.context;
    std::shared_ptr<const std::u16string> source;
    std::unique_ptr<text::TextStream> stream;
    if (flags & SVSFIsFilename) {
        auto file = pipeline::openNamedFile(base::toUtf8(text), cancelledByPurge(d, std::move(settings.documents)));
        if (!file) throw Error(file.fault().code, file.fault().message);
        auto& content = file.value().content;
        if (auto* sound = std::get_if<std::unique_ptr<pipeline::SoundFileReader>>(&content)) {
            request.sound = std::move(*sound);
        } else if (auto* document = std::get_if<std::unique_ptr<pipeline::DocumentReader>>(&content)) {
            stream = std::move(*document);
            flags = (flags & ~SVSFIsXML) | SVSFIsNotXML;
        } else {
            auto& reader = std::get<std::unique_ptr<pipeline::TextFileReader>>(content);
            if (text::readsAsMarkup(flags, reader->firstUnit())) {
                source = std::make_shared<const std::u16string>(reader->readAll().orThrow());
            } else {
                stream = std::move(reader);
            }
        }
    } else {
        source = std::make_shared<const std::u16string>(std::move(text));
    }
    if (!source && !stream) return;
    context.voices = d.synthesizer->voices();
    text::MarkupState after;
    const bool persist = (flags & SVSFPersistXML) != 0;
    request.source =
        source ? text::openText(source, flags & ~SVSFIsFilename, context, persist ? &after : nullptr)
               : text::openTextStream(std::move(stream), flags & ~SVSFIsFilename, context, persist ? &after : nullptr);
    if (persist) {
        std::lock_guard lock(d.settingsMutex);
        d.persisted = after;
    }
}

// Numbers the request and queues it for the worker; without the asynchronous flag, waits for its end.
uint32_t enqueue(SpVoice::Impl& d, std::unique_ptr<pipeline::Request> request, int32_t flags) {
    uint32_t number = 0;
    {
        std::lock_guard lock(d.settingsMutex);
        number = d.nextStreamNumber++;
    }
    request->number = number;
    std::unique_lock lock(d.mutex);
    d.queue.push_back(std::move(request));
    d.wake.notify_all();
    if (!(flags & SVSFlagsAsync)) {
        d.idle.wait(lock, [&] { return d.doneThrough >= number || d.shutdown; });
    }
    return number;
}

}  // namespace

// ---- the queue and the worker ----------------------------------------------------------------------

SpVoice::Impl::Impl(Backends b) : pipeline::VoiceState(std::move(b.synthesizer), std::move(b.audioHost)) {
    if (!synthesizer) throw Error(errc::kEngine, "No speech synthesizer is available.");
    auto voices = synthesizer->voices();
    if (voices.empty()) throw Error(errc::kNoVoice, "No voice is installed for the speech engine.");
    voice = voices.front();
    deviceStream = std::make_shared<SpDeviceStream>("");
    outputStream = deviceStream;
    renderJobs = SpVoice::defaultRenderJobs();
    worker = std::thread([this] { run(); });
}

SpVoice::Impl::~Impl() {
    {
        std::lock_guard lock(mutex);
        shutdown = true;
        ++controlSerial;
        epoch.fetch_add(1, std::memory_order_acq_rel);
        purges.fetch_add(1, std::memory_order_acq_rel);
        interruptSinkLocked();
    }
    wake.notify_all();
    idle.notify_all();
    if (worker.joinable()) worker.join();
}

void SpVoice::Impl::run() {
    // Made on this thread, so that freeing it serves this thread's arena (see MemoryReserve).
    base::MemoryReserve reserve;
    for (;;) {
        std::unique_ptr<pipeline::Request> request;
        {
            std::unique_lock lock(mutex);
            wake.wait(lock, [&] { return shutdown || !queue.empty(); });
            if (shutdown) break;
            request = std::move(queue.front());
            queue.pop_front();
            request->purgeGeneration = purgeGeneration;
            active = true;
        }
        pipeline::StreamJob(*this, *request).run(reserve);
        reserve.renew();
        // The job's buffers are freed by now. glibc keeps freed pages inside its per-thread arenas
        // (the lanes') for reuse, so a long render would leave its peak behind: give them back.
        ::malloc_trim(0);
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
        (void)device->flush();  // the sound stops at once; a failure here changes nothing
        device.reset();
    }
}

// ---- the public object ---------------------------------------------------------------------------

SpVoice::SpVoice() : SpVoice(Backends::defaults()) {}

SpVoice::SpVoice(Backends backends) : impl_(std::make_unique<Impl>(std::move(backends))) {}

SpVoice::~SpVoice() = default;

SpObjectTokens SpVoice::GetVoices(std::string_view requiredAttributes, std::string_view optionalAttributes) const {
    return filterTokens(impl_->synthesizer->voices(), requiredAttributes, optionalAttributes);
}

std::pair<std::string, std::string> SpVoice::engineData() const {
    const engine::EngineData data = impl_->synthesizer->data();
    return {data.version, data.folder};
}

SpObjectTokens SpVoice::GetAudioOutputs(std::string_view requiredAttributes,
                                        std::string_view optionalAttributes) const {
    std::vector<SpObjectToken> tokens;
    if (impl_->audioHost) {
        for (const auto& d : impl_->audioHost->devices()) {
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
                                    : std::optional<SpObjectToken>(SpObjectToken(
                                          TokenKind::AudioOutput, device->deviceId(), device->deviceId()));
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

void SpVoice::addLexicon(const std::string& path) {
    std::shared_ptr<const text::UserLexicon> current;
    {
        std::lock_guard lock(impl_->settingsMutex);
        current = impl_->userLexicon;
    }
    auto merged = text::withLexiconFiles(std::move(current), {path}).orThrow();
    std::lock_guard lock(impl_->settingsMutex);
    impl_->userLexicon = std::move(merged);
}

void SpVoice::readSsmlLexicons(const std::u16string& ssml) {
    text::withLexiconFiles(nullptr, text::lexiconPaths(text::ssmlLexicons(ssml)).orThrow()).orThrow();
}

void SpVoice::prepareSsmlLexicons(const std::u16string& ssml) const {
    std::shared_ptr<const text::UserLexicon> base;
    {
        std::lock_guard lock(impl_->settingsMutex);
        base = impl_->userLexicon;
    }
    auto merged = text::withLexiconFiles(std::move(base), text::lexiconPaths(text::ssmlLexicons(ssml)).orThrow());
    if (const auto& lexicon = merged.orThrow()) (void)lexicon->aliases();
}

void SpVoice::clearLexicons() {
    std::lock_guard lock(impl_->settingsMutex);
    impl_->userLexicon.reset();
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

void SpVoice::setDocumentOptions(documents::Options options) {
    std::lock_guard lock(impl_->settingsMutex);
    impl_->documentOptions = std::move(options);
}

int32_t SpVoice::EventInterests() const {
    return impl_->interests.load();
}

void SpVoice::SetEventInterests(int32_t interests) {
    impl_->interests.store(interests & SVEAllEvents);
}

uint32_t SpVoice::Speak(std::u16string_view text, int32_t flags) {
    return Speak(std::u16string(text), flags);
}

uint32_t SpVoice::Speak(std::u16string&& text, int32_t flags) {
    Impl& d = *impl_;
    purgeAndReport(d, flags);
    if (text.empty() && (flags & SVSFPurgeBeforeSpeak)) return 0;

    auto request = std::make_unique<pipeline::Request>();
    SpeakSettings settings = takeSettings(d, *request);
    std::optional<RefusedIntoFile> refusal;
    chooseOutput(d, *request, settings, refusal);
    openRequestText(d, *request, std::move(text), flags, settings);
    if (refusal) refusal->accepted();
    return enqueue(d, std::move(request), flags);
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

void SpVoice::setRenderJobs(int jobs) {
    impl_->renderJobs = std::max(1, jobs);
}

int SpVoice::defaultRenderJobs() {
    return static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
}

int SpVoice::renderJobs() const {
    return impl_->renderJobs.load();
}

std::optional<Error> SpVoice::takeStreamError() {
    std::lock_guard lock(impl_->mutex);
    if (!impl_->streamFault) return std::nullopt;
    Error error(impl_->streamFault->code, impl_->streamFault->message);
    impl_->streamFault.reset();
    return error;
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
