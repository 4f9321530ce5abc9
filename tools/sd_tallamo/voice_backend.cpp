// SPDX-License-Identifier: GPL-3.0-or-later
#include "tools/sd_tallamo/voice_backend.h"

#include <algorithm>
#include <cmath>
#include <sstream>

#include "base/error.h"
#include "base/utf8.h"
#include "speech/core/constants.h"
#include "speech/core/languages.h"
#include "speech/names.h"
#include "tools/sd_tallamo/messages.h"

#ifndef TALLAMO_VERSION
#define TALLAMO_VERSION "unknown"
#endif

namespace sd_tallamo {

using speech::SpObjectToken;

namespace {

std::string lower(std::string_view s) {
    std::string out(s);
    std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return std::tolower(c); });
    return out;
}

// Whether an SSML message may name lexicons: one that does is spoken once they are read. Any mention
// counts (the front end then finds the <lexicon> elements themselves).
bool namesLexicons(std::u16string_view ssml) {
    return ssml.find(u"lexicon") != std::u16string_view::npos;
}

}  // namespace

ModuleConfig parseConfig(std::istream& in, Log& log) {
    ModuleConfig config;
    for (std::string line; std::getline(in, line);) {
        if (const size_t hash = line.find('#'); hash != std::string::npos) line.resize(hash);
        std::istringstream words(line);
        std::string name;
        std::string value;
        words >> name;
        if (name.empty()) continue;
        std::getline(words >> std::ws, value);
        while (!value.empty() && (value.back() == ' ' || value.back() == '\t' || value.back() == '\r'))
            value.pop_back();
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"') value = value.substr(1, value.size() - 2);
        if (name == "TallamoDefaultVoice") {
            config.defaultVoice = value;
        } else if (name == "TallamoMixedScript") {
            const std::string v = lower(value);
            config.mixedScript = !(v == "0" || v == "no" || v == "off" || v == "false");
        } else {
            log.write(3, "tallamo.conf: unknown setting " + name);
        }
    }
    return config;
}

VoiceBackend::VoiceBackend(std::function<std::unique_ptr<speech::SpVoice>()> makeVoice, ModuleConfig config, Log& log,
                           std::function<void()> wake, std::function<void(const std::u16string&)> readLexicons)
    : makeVoice_(std::move(makeVoice)),
      config_(std::move(config)),
      log_(log),
      wake_(std::move(wake)),
      loader_(readLexicons ? std::move(readLexicons)
                           : std::function<void(const std::u16string&)>([this](const std::u16string& ssml) {
                                 // The voice is made at INIT, before any message, and kept.
                                 if (voice_)
                                     voice_->prepareSsmlLexicons(ssml);
                                 else
                                     speech::SpVoice::readSsmlLexicons(ssml);
                             }),
              wake_) {}

VoiceBackend::~VoiceBackend() {
    if (voice_) voice_->SetNotify({});
}

Backend::InitResult VoiceBackend::init() {
    if (voice_) return {true, "already initialized"};
    try {
        voice_ = makeVoice_();
        voices_.clear();
        for (const auto& token : voice_->GetVoices()) voices_.push_back(token);
        // Only what the protocol reports: the stream's start and end, and the marks.
        voice_->SetEventInterests(speech::SVEStartInputStream | speech::SVEEndInputStream | speech::SVEBookmark);
        voice_->setMixedScript(config_.mixedScript);
        const SpObjectToken own = voice_->Voice();
        defaultVoice_ = static_cast<size_t>(std::find(voices_.begin(), voices_.end(), own) - voices_.begin());
        if (!config_.defaultVoice.empty()) {
            if (const SpObjectToken* chosen = findVoice(config_.defaultVoice))
                defaultVoice_ = static_cast<size_t>(chosen - voices_.data());
            else
                log_.write(2, "tallamo.conf: no voice is called " + config_.defaultVoice);
        }
        if (defaultVoice_ >= voices_.size()) return {false, "the speech engine lists no voice"};
        voice_->SetNotify(wake_);
    } catch (const speech::Error& e) {
        voice_.reset();
        return {false, e.description()};
    } catch (const std::exception& e) {
        voice_.reset();
        return {false, e.what()};
    }
    const auto mandarin = speech::voiceForLanguage(voices_, "zh");
    return {true, "Tallamo " TALLAMO_VERSION ": " + std::to_string(voices_.size()) + " voices, Chinese read by " +
                      (mandarin ? voices_[*mandarin].Id() : std::string("no voice"))};
}

std::optional<std::string> VoiceBackend::openAudio(const std::map<std::string, std::string>& settings) {
    if (!voice_) return "the module was not initialized";
    const auto method = settings.find("audio_output_method");
    // speech-dispatcher first offers to play the audio itself ("server": the module would send it its
    // samples). The module plays its own, so it refuses, and speech-dispatcher then sends its audio
    // settings and takes the module's events as they come. Were the offer taken, speech-dispatcher
    // would pass every event through a playback queue of its own, fed no audio: one that drops a
    // STOP arriving while it still finishes the stop before, after which it waits for that message
    // forever and sends no other.
    if (method != settings.end() && method->second == "server") return "the module plays its audio itself";
    try {
        const auto outputs = voice_->GetAudioOutputs();
        // Without a server now (a session whose audio starts after speech-dispatcher) the module still
        // loads: each message looks for the server again, and one spoken while there is none is refused.
        if (outputs.Count() == 0) log_.write(2, "no PulseAudio or PipeWire server can be reached now");
        // speech-dispatcher's methods, in the order it would try them ("pulse,alsa").
        if (method != settings.end() && ("," + method->second + ",").find(",pulse,") == std::string::npos)
            log_.write(3, "audio goes to PulseAudio, not to " + method->second);
        std::optional<SpObjectToken> output;
        if (auto device = settings.find("audio_pulse_device");
            device != settings.end() && !device->second.empty() && device->second != "default") {
            for (const auto& t : outputs) {
                if (t.Id() == device->second) output = t;
            }
            if (!output) log_.write(2, "no audio output " + device->second + "; using the default one");
        }
        voice_->SetAudioOutput(output);
    } catch (const speech::Error& e) {
        return e.description();
    }
    return std::nullopt;
}

const SpObjectToken* VoiceBackend::findVoice(std::string_view name) const {
    for (const auto& t : voices_) {
        if (t.GetDescription() == name || lower(t.Id()) == lower(name)) return &t;
    }
    return nullptr;
}

bool VoiceBackend::hasVoice(std::string_view name) {
    return findVoice(name) != nullptr;
}

std::vector<VoiceListing> VoiceBackend::voices() {
    std::vector<VoiceListing> out;
    for (const auto& t : voices_) out.push_back({t.GetDescription(), speech::languageTag(t), ""});
    return out;
}

size_t VoiceBackend::voiceFor(const Settings& settings) const {
    // A voice named by the client wins; else the language's voice. speech-dispatcher's voice types
    // (MALE1, FEMALE2, ...) pick nothing here: each language has the voice it has.
    if (!settings.synthesisVoice.empty()) {
        if (const SpObjectToken* t = findVoice(settings.synthesisVoice)) return static_cast<size_t>(t - voices_.data());
    }
    if (!settings.language.empty()) {
        if (auto i = speech::voiceForLanguage(voices_, settings.language)) return *i;
        log_.write(3, "no voice reads " + settings.language + "; the default voice speaks");
    }
    return defaultVoice_;
}

bool VoiceBackend::speak(MessageKind kind, const std::string& data, const Settings& settings, Events& events) {
    if (!voice_) return false;
    const SpObjectToken& voice = voices_[voiceFor(settings)];
    const bool chinese = speech::readsLanguage(voice, "zh") || speech::readsLanguage(voice, "yue");
    MessageOptions options;
    options.spelling = settings.spelling;
    options.pitch = settings.pitch;
    std::string ssml;
    switch (kind) {
        case MessageKind::Text:
            ssml = textMessage(data, options);
            break;
        case MessageKind::Char:
            ssml = charMessage(data, chinese, options);
            break;
        case MessageKind::Key:
            ssml = keyMessage(data, chinese, options);
            break;
        case MessageKind::SoundIcon:
            ssml = iconMessage(data, options);
            break;
    }
    int32_t flags = speech::SVSFlagsAsync | speech::SVSFIsXML;
    if (settings.punctuation == Punctuation::All || settings.punctuation == Punctuation::Most)
        flags |= speech::SVSFNLPSpeakPunc;
    try {
        voice_->SetVoice(voice);
        voice_->SetRate(std::lround(settings.rate / 10.0));
        // The voice's loudest is its own volume: speech-dispatcher's louder than normal stays at it.
        voice_->SetVolume(std::clamp(100 + settings.volume, 0, 100));
        events_ = &events;
        pausing_ = false;
        stream_ = 0;
        std::u16string text = base::fromUtf8(ssml);
        if (kind == MessageKind::Text && namesLexicons(text)) {
            // Its lexicons are read off the protocol's thread; it is spoken when they are (pump).
            loading_ = ++loads_;
            loadingFlags_ = flags;
            loader_.start(*loading_, text);
            loadingText_ = std::move(text);
            log_.write(5, "reading the lexicons of: " + ssml);
            return true;
        }
        // The front end reads the SSML (a malformed one is refused here, before anything is spoken).
        stream_ = voice_->Speak(text, flags);
    } catch (const speech::Error& e) {
        stream_ = 0;
        log_.write(2, "cannot speak: " + e.description());
        return false;
    }
    log_.write(5, "speaking stream " + std::to_string(stream_) + " with " + voice.Id() + ": " + ssml);
    return true;
}

void VoiceBackend::purge() {
    try {
        voice_->Speak(u"", speech::SVSFPurgeBeforeSpeak);
    } catch (const speech::Error& e) {
        log_.write(2, "stop: " + e.description());
    }
}

void VoiceBackend::stop(Events& events) {
    if (loading_) {
        // Never spoken: what the loader still reads for it is dropped when it comes.
        loading_.reset();
        events.stopped();
        return;
    }
    if (stream_ == 0) return;
    // The purge drops the device's buffered audio at once and ends the message (or drops it from the
    // queue before it started); what the voice's worker still raises for it carries its stream number,
    // which is no longer the one reported, so the stop is reported now.
    purge();
    stream_ = 0;
    events.stopped();
}

void VoiceBackend::pause(Events&) {
    if (stream_ != 0 || loading_) pausing_ = true;
}

void VoiceBackend::startLoaded() {
    auto result = loader_.take(*loading_);
    if (!result) return;
    loading_.reset();
    const std::u16string text = std::move(loadingText_);
    if (!*result) {
        try {
            // Its lexicons were just read, and are not read again.
            stream_ = voice_->Speak(text, loadingFlags_);
            return;
        } catch (const speech::Error& e) {
            result->emplace(e.description());
        }
    }
    // A lexicon that cannot be read ends the message, as one spoken to its end would.
    log_.write(2, "cannot speak: " + **result);
    events_->end();
}

void VoiceBackend::pump() {
    if (!voice_ || !events_) return;
    if (loading_) startLoaded();
    for (const auto& e : voice_->TakeEvents()) {
        if (stream_ == 0 || e.streamNumber != stream_) continue;  // a message already reported
        switch (e.kind) {
            case speech::EventKind::StartStream:
                events_->begin();
                break;
            case speech::EventKind::Bookmark:
                events_->mark(e.bookmark);
                if (pausing_) {
                    // The message stops here; speech-dispatcher goes on from this mark when resumed.
                    purge();
                    stream_ = 0;
                    events_->paused();
                }
                break;
            case speech::EventKind::EndStream: {
                stream_ = 0;
                const auto failure = voice_->takeStreamError();
                if (failure) log_.write(1, "the speech stopped: " + failure->description());
                if (failure)
                    events_->stopped();
                else
                    events_->end();
                break;
            }
            default:
                break;
        }
    }
}

}  // namespace sd_tallamo
