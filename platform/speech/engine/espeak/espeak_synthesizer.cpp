// SPDX-License-Identifier: GPL-3.0-or-later
#include "speech/engine/espeak/espeak_synthesizer.h"

#include <dlfcn.h>
#include <link.h>
#include <sonic.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <tuple>
#include <unordered_map>

#include <espeak-ng/speak_lib.h>

#include "base/paths.h"
#include "speech/engine/espeak/espeak_voices.h"
#include "speech/engine/espeak/half_thirds.h"
#include "speech/engine/espeak/phonemes.h"

namespace speech::engine::espeak {

namespace {

constexpr int kNormalWpm = 175;

// One copy of espeak-ng: the entry points used once it has started, and the voice it holds.
struct Instance {
    decltype(&espeak_SetVoiceByName) setVoiceByName = espeak_SetVoiceByName;
    decltype(&espeak_SetParameter) setParameter = espeak_SetParameter;
    decltype(&espeak_SetSynthCallback) setSynthCallback = espeak_SetSynthCallback;
    decltype(&espeak_Synth) synth = espeak_Synth;
    decltype(&espeak_TextToPhonemes) textToPhonemes = espeak_TextToPhonemes;
    std::string currentVoice;  // identifier set last
    // The phonemes of half-third syllables, by voice and syllable ("cmn-latn-pinyin zu": "ts'u21").
    std::unordered_map<std::string, std::string> halfThirds;
};

struct DlClose {
    void operator()(void* handle) const { dlclose(handle); }
};
using LibraryHandle = std::unique_ptr<void, DlClose>;

// Everything of espeak-ng's global state, behind one lock.
//
// Besides the library this program links (`main`), a second copy may be loaded in a link namespace of
// its own (dlmopen), with globals of its own (`side`). A request for a voice other than its run's (a
// run of another script, English words inside Chinese) is read by the side copy while the main one
// keeps the run's voice: one copy switching voices back and forth would load a dictionary each way
// (1.6 MB for Mandarin) for every such run. The side copy is loaded when first needed.
struct Engine {
    std::mutex mutex;
    int sampleRate = 22050;
    std::vector<VoiceEntry> voices;  // sorted by description; never changes after start-up
    EngineData data;                 // espeak-ng's version and data folder
    Instance main;
    std::optional<Instance> side;
    bool sideTried = false;
    // The side copy's libraries (the one it needs first, so that it is closed last). They are never
    // unloaded (RTLD_NODELETE): the namespace holds a C library of its own, and unmapping it while the
    // process ends left code that a leak check at exit ran into.
    LibraryHandle sideAudio;
    LibraryHandle sideLibrary;
};

// The call in progress; set and cleared under the engine's lock around espeak_Synth, whose callback
// runs on the same thread.
struct CallContext* g_call = nullptr;

// Loading a voice queues a sample-rate notice; enough of them push the first events of the next text
// out of espeak-ng's event list. Speaking a pause delivers and drops them. A full-width comma is spoken:
// most voices but English's read it with the English dictionary, which espeak-ng loads the first time
// a voice needs it and keeps; loaded here, every process forked afterwards has it instead of loading
// it again. Must hold the engine's lock.
void dropNotices(const Instance& instance) {
    instance.setSynthCallback([](short*, int, espeak_EVENT*) { return 0; });
    constexpr char kComma[] = "\uFF0C";
    instance.synth(kComma, sizeof kComma, 0, POS_CHARACTER, 0, espeakCHARS_UTF8, nullptr, nullptr);
}

// espeak-ng's library, as its package installs it.
constexpr const char* kEspeakLibrary = "libespeak-ng.so.1";
// The stand-in for libpcaudio (engine/no_audio.cpp), loaded first into the side copy's namespace, so
// that espeak-ng's need for libpcaudio is met there by it: libpcaudio would connect to the sound server
// and bring some thirty libraries with it.
constexpr const char* kNoAudioLibrary = "libpcaudio.so.0";

// Loads and starts the side copy of espeak-ng; false when it cannot be had (the main copy then reads
// every voice). Must hold the engine's lock.
bool loadSide(Engine& engine) {
    engine.sideTried = true;
    for (const auto& path : base::installedPartCandidates(kNoAudioLibrary)) {
        engine.sideAudio.reset(dlmopen(LM_ID_NEWLM, path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE));
        if (engine.sideAudio) break;
    }
    Lmid_t space = 0;
    if (!engine.sideAudio || dlinfo(engine.sideAudio.get(), RTLD_DI_LMID, &space) != 0) return false;
    engine.sideLibrary.reset(dlmopen(space, kEspeakLibrary, RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE));
    if (!engine.sideLibrary) return false;
    Instance side;
    auto find = [&](auto& entry, const char* name) {
        entry = reinterpret_cast<std::remove_reference_t<decltype(entry)>>(dlsym(engine.sideLibrary.get(), name));
        return entry != nullptr;
    };
    decltype(&espeak_Initialize) initialize = nullptr;
    if (!find(initialize, "espeak_Initialize") || !find(side.setVoiceByName, "espeak_SetVoiceByName") ||
        !find(side.setParameter, "espeak_SetParameter") || !find(side.setSynthCallback, "espeak_SetSynthCallback") ||
        !find(side.synth, "espeak_Synth") || !find(side.textToPhonemes, "espeak_TextToPhonemes"))
        return false;
    if (initialize(AUDIO_OUTPUT_SYNCHRONOUS, 0, nullptr,
                   espeakINITIALIZE_PHONEME_EVENTS | espeakINITIALIZE_DONT_EXIT) != engine.sampleRate)
        return false;
    dropNotices(side);
    engine.side = std::move(side);
    return true;
}

base::Result<Engine*> engine() {
    static base::Result<Engine*> instance = []() -> base::Result<Engine*> {
        static Engine e;
        std::lock_guard lock(e.mutex);
        const int rate = espeak_Initialize(AUDIO_OUTPUT_SYNCHRONOUS, 0, nullptr,
                                           espeakINITIALIZE_PHONEME_EVENTS | espeakINITIALIZE_DONT_EXIT);
        if (rate <= 0)
            return base::Fault{base::errc::kEngine,
                               "The speech engine (espeak-ng) could not start: its data is missing or "
                               "unreadable."};
        e.sampleRate = rate;
        const char* data = nullptr;
        const char* version = espeak_Info(&data);
        e.voices = listVoices(data != nullptr ? data : "");
        e.data = {std::string("espeak-ng ") + (version != nullptr ? version : "?"), data != nullptr ? data : ""};
        e.main.currentVoice.clear();
        dropNotices(e.main);
        return &e;
    }();
    return instance;
}

// State of one synthesize() call, reached from espeak-ng's callback.
struct CallContext {
    SynthSink* sink = nullptr;
    const SynthRequest* request = nullptr;
    float gain = 1.0f;
    // Time stretch for rates slower than espeak-ng's minimum: output = input / speed.
    double speed = 1.0;
    sonicStream stretch = nullptr;
    uint64_t inputSamples = 0;   // samples espeak-ng has produced so far
    uint64_t outputSamples = 0;  // samples given to the sink
    bool aborted = false;
    std::optional<base::Fault> fault;
    std::vector<int16_t> buffer;
    // The text's phonemes with their stress, in order, to mark stressed phoneme events.
    std::vector<std::pair<std::string, bool>> stress;
    size_t stressAt = 0;
    // Where each code point of the text espeak-ng was given came from in the request's text (and one
    // past its end); empty when it was given the request's text.
    std::vector<int32_t> origin;
};

// Phoneme events carry no stress, but espeak-ng's phoneme transcription of the same text does, in
// the same order ("h|@|l|'oU w|'3:|l|d"). Must hold the engine's lock.
std::vector<std::pair<std::string, bool>> transcribeStress(const Instance& instance, const std::string& text) {
    std::vector<std::pair<std::string, bool>> out;
    const void* rest = text.c_str();
    constexpr int kSeparatedNames = '|' << 8;
    while (rest != nullptr) {
        const char* clause = instance.textToPhonemes(&rest, espeakCHARS_UTF8, kSeparatedNames);
        if (clause == nullptr) break;
        std::string name;
        auto flush = [&] {
            if (name.empty()) return;
            const bool stressed = name.front() == '\'';
            const size_t start = name.find_first_not_of("',");
            if (start != std::string::npos && name[start] != '_') out.emplace_back(name.substr(start), stressed);
            name.clear();
        };
        for (const char* c = clause; *c != 0; ++c) {
            if (*c == '|' || *c == ' ')
                flush();
            else
                name += *c;
        }
        flush();
    }
    return out;
}

// Whether the next phoneme event is a stressed one: it is looked up a few names ahead in the
// transcription, and a name that cannot be found there is taken as unstressed.
bool nextIsStressed(CallContext& c, const std::string& mnemonic) {
    if (mnemonic.empty() || mnemonic.front() == '_') return false;
    constexpr size_t kLookAhead = 4;
    for (size_t k = c.stressAt; k < c.stress.size() && k < c.stressAt + kLookAhead; ++k) {
        const std::string& name = c.stress[k].first;
        // Tones follow the vowel as digits ("i214" is the event's "i").
        const bool same =
            name.starts_with(mnemonic) && name.find_first_not_of("0123456789", mnemonic.size()) == std::string::npos;
        if (same) {
            c.stressAt = k + 1;
            return c.stress[k].second;
        }
    }
    return false;
}

struct SonicDeleter {
    void operator()(sonicStream s) const { sonicDestroyStream(s); }
};
using SonicHandle = std::unique_ptr<std::remove_pointer_t<sonicStream>, SonicDeleter>;

int32_t textIndex(const CallContext& c, int position) {
    // espeak-ng counts 1-based code points.
    if (!c.origin.empty()) {
        const auto at = std::clamp(position - 1, 0, static_cast<int32_t>(c.origin.size()) - 1);
        return c.origin[static_cast<size_t>(at)];
    }
    const auto size = static_cast<int32_t>(c.request->text.size());
    return std::clamp(position - 1, 0, size);
}

// The phonemes of pinyin syllable `letters` (no tone) spoken as a half third, in the voice `instance`
// holds (halfThirdContour of its third tone's transcription); kept by voice and syllable. Must hold
// the engine's lock.
std::string halfThirdPhonemes(Instance& instance, const std::string& letters) {
    const std::string key = instance.currentVoice + ' ' + letters;
    if (auto it = instance.halfThirds.find(key); it != instance.halfThirds.end()) return it->second;
    const std::string syllable = letters + '3';
    const void* rest = syllable.c_str();
    const char* transcribed = instance.textToPhonemes(&rest, espeakCHARS_UTF8, 0);
    std::string phonemes = halfThirdContour(transcribed != nullptr ? transcribed : "");
    instance.halfThirds.emplace(key, phonemes);
    return phonemes;
}

bool deliverAudio(CallContext& c, const int16_t* samples, size_t count) {
    if (count == 0) return true;
    if (c.stretch == nullptr) {
        c.outputSamples += count;
        return c.sink->audio(std::span<const int16_t>(samples, count));
    }
    sonicWriteShortToStream(c.stretch, const_cast<short*>(samples), static_cast<int>(count));
    return true;
}

bool drainStretch(CallContext& c) {
    if (c.stretch == nullptr) return true;
    for (;;) {
        const int available = sonicSamplesAvailable(c.stretch);
        if (available <= 0) return true;
        c.buffer.resize(static_cast<size_t>(available));
        const int got = sonicReadShortFromStream(c.stretch, c.buffer.data(), available);
        if (got <= 0) return true;
        c.outputSamples += static_cast<uint64_t>(got);
        if (!c.sink->audio(std::span<const int16_t>(c.buffer.data(), static_cast<size_t>(got)))) return false;
    }
}

bool handleEvents(CallContext& c, const espeak_EVENT* ev, uint64_t chunkEnd) {
    for (; ev != nullptr && ev->type != espeakEVENT_LIST_TERMINATED; ++ev) {
        SynthEvent out;
        switch (ev->type) {
            case espeakEVENT_WORD:
                out.kind = SynthEvent::Kind::Word;
                out.textPosition = textIndex(c, ev->text_position);
                out.length =
                    c.origin.empty()
                        ? std::max(0, ev->length)
                        : std::max(0, textIndex(c, ev->text_position + std::max(0, ev->length)) - out.textPosition);
                break;
            case espeakEVENT_SENTENCE:
                out.kind = SynthEvent::Kind::Sentence;
                out.textPosition = textIndex(c, ev->text_position);
                break;
            case espeakEVENT_MARK:
                out.kind = SynthEvent::Kind::Mark;
                out.textPosition = textIndex(c, ev->text_position);
                out.name = ev->id.name != nullptr ? ev->id.name : "";
                break;
            case espeakEVENT_PHONEME: {
                if (!c.request->stress) continue;
                out.kind = SynthEvent::Kind::Phoneme;
                out.textPosition = textIndex(c, ev->text_position);
                out.name.assign(ev->id.string, strnlen(ev->id.string, sizeof ev->id.string));
                const PhoneInfo phone = phoneOf(out.name);
                out.phoneId = phone.id;
                out.viseme = phone.viseme;
                out.stressed = nextIsStressed(c, out.name);
                break;
            }
            case espeakEVENT_END:
                out.kind = SynthEvent::Kind::Clause;
                out.textPosition = textIndex(c, ev->text_position);
                break;
            default:
                continue;  // sample rate, play, message ends: not events of ours
        }
        // ev->sample counts from the start of this call; it never lies past the audio delivered
        // with it.
        const uint64_t inSample = std::min<uint64_t>(static_cast<uint64_t>(std::max(0, ev->sample)), chunkEnd);
        out.sample = c.stretch == nullptr ? inSample : static_cast<uint64_t>(std::llround(inSample / c.speed));
        if (!c.sink->event(out)) return false;
    }
    return true;
}

int synthCallback(short* wav, int count, espeak_EVENT* events) {
    CallContext* c = g_call;
    if (c == nullptr) return 1;
    if (c->aborted) return 1;
    try {
        const size_t n = wav != nullptr && count > 0 ? static_cast<size_t>(count) : 0;
        const uint64_t chunkEnd = c->inputSamples + n;
        bool go = handleEvents(*c, events, chunkEnd);
        if (go && n > 0) {
            c->inputSamples = chunkEnd;
            const int16_t* samples = wav;
            if (c->gain != 1.0f) {
                c->buffer.resize(n);
                for (size_t i = 0; i < n; ++i)
                    c->buffer[i] = static_cast<int16_t>(std::clamp(std::lround(wav[i] * c->gain), -32768L, 32767L));
                samples = c->buffer.data();
            }
            go = deliverAudio(*c, samples, n) && drainStretch(*c);
        }
        if (!go) c->aborted = true;
    } catch (const std::exception& ex) {
        c->fault = base::Fault{base::errc::kEngine, std::string("Speech output failed: ") + ex.what()};
        c->aborted = true;
    } catch (...) {
        c->fault = base::Fault{base::errc::kEngine, "Speech output failed."};
        c->aborted = true;
    }
    return c->aborted ? 1 : 0;
}

std::string toUtf8(const std::u32string& text) {
    std::string out;
    out.reserve(text.size() + text.size() / 2);
    for (char32_t cp : text) {
        // NUL would end the text early; invalid code points become the replacement character. Both
        // keep one code point, so positions stay the same.
        if (cp == 0) cp = U' ';
        if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = 0xFFFD;
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }
    return out;
}

// The voice `voiceId` names (empty: the locale's); null when it is not installed.
const VoiceEntry* voiceNamed(const Engine& engine, const std::string& voiceId) {
    if (voiceId.empty()) return &engine.voices.at(bestVoiceFor(engine.voices, userLocale()));
    const VoiceEntry* chosen = nullptr;
    for (const VoiceEntry& v : engine.voices)
        if (v.token.Id() == voiceId || v.identifier == voiceId) chosen = &v;
    return chosen;
}

// Loads the voice `voiceId` names (empty: the locale's) into `instance` unless it holds it already.
// Must hold the engine's lock.
base::Result<void> selectVoice(const Engine& engine, Instance& instance, const std::string& voiceId) {
    const VoiceEntry* chosen = voiceNamed(engine, voiceId);
    if (chosen == nullptr) return base::Fault{base::errc::kNoVoice, "The voice \"" + voiceId + "\" is not installed."};
    if (chosen->identifier == instance.currentVoice) return {};
    if (instance.setVoiceByName(chosen->identifier.c_str()) != EE_OK)
        return base::Fault{base::errc::kNoVoice,
                           "The voice \"" + chosen->token.GetDescription() + "\" could not be loaded."};
    instance.currentVoice = chosen->identifier;
    return {};
}

// The copy of espeak-ng that reads `request`: the side copy for a voice other than its run's while the
// main copy holds the run's voice (and the side copy can be had), else the main copy. Must hold the
// engine's lock.
Instance& instanceFor(Engine& engine, const SynthRequest& request) {
    if (request.runVoiceId.empty()) return engine.main;
    const VoiceEntry* run = voiceNamed(engine, request.runVoiceId);
    if (run == nullptr || run->identifier != engine.main.currentVoice) return engine.main;
    if (!engine.sideTried) loadSide(engine);
    return engine.side ? *engine.side : engine.main;
}

class EspeakSynthesizer final : public Synthesizer {
public:
    explicit EspeakSynthesizer(Engine& engine) : engine_(engine) {}

    // The list is fixed once the engine has started, so this never waits for a synthesis in progress.
    std::vector<core::SpObjectToken> voices() override {
        std::vector<core::SpObjectToken> out;
        if (engine_.voices.empty()) return out;
        const size_t first = bestVoiceFor(engine_.voices, userLocale());
        out.reserve(engine_.voices.size());
        out.push_back(engine_.voices[first].token);
        for (size_t i = 0; i < engine_.voices.size(); ++i)
            if (i != first) out.push_back(engine_.voices[i].token);
        return out;
    }

    int sampleRate() const override { return engine_.sampleRate; }
    EngineData data() const override { return engine_.data; }

    base::Result<void> synthesize(const SynthRequest& request, SynthSink& sink) override {
        std::lock_guard lock(engine_.mutex);
        Instance& espeak = instanceFor(engine_, request);
        if (auto r = selectVoice(engine_, espeak, request.voiceId); !r) return r;

        const double wpm = wordsPerMinute(request.rate);
        const int espeakWpm = std::max(static_cast<int>(std::lround(wpm)), espeakRATE_MINIMUM);
        CallContext call;
        call.sink = &sink;
        call.request = &request;
        call.gain = static_cast<float>(std::clamp(request.volume, 0, 100)) / 100.0f;
        SonicHandle stretch;
        if (wpm < espeakRATE_MINIMUM - 0.5) {
            call.speed = wpm / espeakRATE_MINIMUM;
            stretch.reset(sonicCreateStream(engine_.sampleRate, 1));
            if (!stretch) return base::Fault{base::errc::kEngine, "Cannot slow the speech down: out of memory."};
            sonicSetSpeed(stretch.get(), static_cast<float>(call.speed));
            call.stretch = stretch.get();
        }
        // Emphasis: a little louder and higher.
        const int pitch = std::clamp(50 + std::clamp(request.pitch, -10, 10) * 5 + (request.emphasis ? 10 : 0), 0, 100);
        const int volume = request.emphasis ? 130 : 100;
        if (espeak.setParameter(espeakRATE, espeakWpm, 0) != EE_OK ||
            espeak.setParameter(espeakVOLUME, volume, 0) != EE_OK ||
            espeak.setParameter(espeakPITCH, pitch, 0) != EE_OK)
            return base::Fault{base::errc::kEngine, "The speech engine refused the voice settings."};
        // espeak-ng 1.51 applies the punctuation setting but reports an error for it; its result is
        // not checked.
        espeak.setParameter(espeakPUNCTUATION, request.speakPunctuation ? espeakPUNCT_ALL : espeakPUNCT_NONE, 0);

        const std::string text = toUtf8(withHalfThirds(
            request.text, request.phonemes,
            [&](const std::string& letters) { return halfThirdPhonemes(espeak, letters); }, call.origin));
        unsigned flags = espeakCHARS_UTF8;
        if (request.endPause) flags |= espeakENDPAUSE;
        if (request.ssml) flags |= espeakSSML;
        if (request.phonemes || !call.origin.empty()) flags |= espeakPHONEMES;

        if (request.stress && !request.ssml && !request.phonemes && call.origin.empty())
            call.stress = transcribeStress(espeak, text);

        espeak.setSynthCallback(synthCallback);
        g_call = &call;
        const espeak_ERROR err =
            espeak.synth(text.c_str(), text.size() + 1, 0, POS_CHARACTER, 0, flags, nullptr, nullptr);
        g_call = nullptr;

        if (call.fault) return *call.fault;
        if (call.aborted) return {};
        if (err != EE_OK)
            return base::Fault{base::errc::kEngine, "The speech engine (espeak-ng) failed to speak the text."};
        if (call.stretch != nullptr) {
            sonicFlushStream(call.stretch);
            if (!drainStretch(call)) return {};
        }
        SynthEvent end;
        end.kind = SynthEvent::Kind::End;
        end.sample = call.outputSamples;
        end.textPosition = static_cast<int32_t>(request.text.size());
        sink.event(end);
        return {};
    }

private:
    Engine& engine_;
};

}  // namespace

std::string userLocale() {
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* value = std::getenv(name);
        if (value != nullptr && *value != 0) return value;
    }
    return {};
}

double wordsPerMinute(int rate) {
    return kNormalWpm * std::pow(3.0, std::clamp(rate, -10, 10) / 10.0);
}

base::Result<bool> prepareEspeakVoice(const std::string& voiceId) {
    base::Result<Engine*> e = engine();
    if (!e) return e.fault();
    Engine& engine = *e.value();
    std::lock_guard lock(engine.mutex);
    const std::string before = engine.main.currentVoice;
    if (auto selected = selectVoice(engine, engine.main, voiceId); !selected) return selected.fault();
    if (engine.main.currentVoice == before) return false;
    dropNotices(engine.main);
    return true;
}

void prepareEspeakSideVoice(const std::string& voiceId) {
    base::Result<Engine*> e = engine();
    if (!e) return;
    Engine& engine = *e.value();
    std::lock_guard lock(engine.mutex);
    if (!engine.sideTried) loadSide(engine);
    if (!engine.side) return;
    const std::string before = engine.side->currentVoice;
    if (selectVoice(engine, *engine.side, voiceId).ok() && engine.side->currentVoice != before)
        dropNotices(*engine.side);
}

std::shared_ptr<Synthesizer> makeEspeakSynthesizer() {
    base::Result<Engine*> e = engine();
    if (!e) throw base::Error(e.fault().code, e.fault().message);
    if (e.value()->voices.empty())
        throw base::Error(base::errc::kNoVoice, "The speech engine (espeak-ng) has no voices installed.");
    return std::make_shared<EspeakSynthesizer>(*e.value());
}

}  // namespace speech::engine::espeak
