// tallamo-say: speaks a text (or a file) to an audio device in real time or renders it into a WAV file,
// optionally printing every voice event as one JSON object per line when it is released.
#include <atomic>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/speech/error.h"
#include "platform/speech/formats.h"
#include "platform/speech/streams.h"
#include "platform/speech/utf8.h"
#include "platform/speech/voice.h"

namespace {

using namespace speech;

std::atomic<bool> interrupted{false};

extern "C" void onSigint(int) { interrupted.store(true); }

const char* kUsage =
    "usage: tallamo-say [--voice N|DESCRIPTION] [--rate R] [--volume V] [--format SAFT...] [--flags N]\n"
    "                   [--output FILE.wav] [--device N|default] [--events] [--no-mixed-script]\n"
    "                   [--list-voices] [--list-formats] [--list-outputs] [TEXT | --file PATH]\n"
    "  --no-mixed-script  read English words in Chinese text, and Chinese in other text, with the voice itself\n";

struct Options {
    std::optional<std::string> voice;
    std::optional<long> rate;
    std::optional<long> volume;
    std::optional<int32_t> format;
    int32_t flags = SVSFDefault;
    std::optional<std::string> output;
    std::optional<std::string> device;
    bool events = false;
    bool mixedScript = true;
    bool listVoices = false;
    bool listFormats = false;
    bool listOutputs = false;
    std::optional<std::string> text;
    std::optional<std::string> file;
};

struct UsageError {
    std::string message;
};

long toNumber(const std::string& option, const std::string& value) {
    try {
        size_t used = 0;
        long n = std::stol(value, &used, 0);
        if (used == value.size()) return n;
    } catch (const std::exception&) {
    }
    throw UsageError{option + " needs a number, not \"" + value + "\""};
}

Options parse(int argc, char** argv) {
    Options o;
    auto value = [&](int& i, const std::string& name) -> std::string {
        if (i + 1 >= argc) throw UsageError{name + " needs a value"};
        return argv[++i];
    };
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--voice") o.voice = value(i, a);
        else if (a == "--rate") o.rate = toNumber(a, value(i, a));
        else if (a == "--volume") o.volume = toNumber(a, value(i, a));
        else if (a == "--format") {
            const std::string f = value(i, a);
            if (auto t = formatTypeByName(f)) o.format = *t;
            else o.format = static_cast<int32_t>(toNumber(a, f));
        } else if (a == "--flags") o.flags = static_cast<int32_t>(toNumber(a, value(i, a)));
        else if (a == "--output") o.output = value(i, a);
        else if (a == "--device") o.device = value(i, a);
        else if (a == "--events") o.events = true;
        else if (a == "--no-mixed-script") o.mixedScript = false;
        else if (a == "--list-voices") o.listVoices = true;
        else if (a == "--list-formats") o.listFormats = true;
        else if (a == "--list-outputs") o.listOutputs = true;
        else if (a == "--file") o.file = value(i, a);
        else if (a == "--help" || a == "-h") throw UsageError{};
        else if (a.size() > 1 && a.starts_with("--")) throw UsageError{"unknown option " + a};
        else if (o.text) throw UsageError{"give one text only (quote it)"};
        else o.text = a;
    }
    if (o.text && o.file) throw UsageError{"give a TEXT or --file, not both"};
    return o;
}

std::string jsonString(const std::string& s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c < 0x20) {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\u%04x", c);
                    out += buf;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out + "\"";
}

std::string toJson(const VoiceEvent& e) {
    std::string j = "{\"event\":" + jsonString(eventTitle(e.kind)) + ",\"stream\":" + std::to_string(e.streamNumber) +
                    ",\"position\":" + std::to_string(e.streamPosition) + ",\"ms\":" + std::to_string(e.audioTimeMs);
    switch (e.kind) {
        case EventKind::Word:
        case EventKind::Sentence:
            j += ",\"pos\":" + std::to_string(e.characterPosition) + ",\"length\":" + std::to_string(e.length);
            break;
        case EventKind::Bookmark:
            j += ",\"bookmark\":" + jsonString(e.bookmark) + ",\"id\":" + std::to_string(e.bookmarkId);
            break;
        case EventKind::Phoneme:
        case EventKind::Viseme:
            j += ",\"duration\":" + std::to_string(e.duration) + ",\"next\":" + std::to_string(e.next) +
                 ",\"feature\":" + std::to_string(e.feature) + ",\"current\":" + std::to_string(e.current);
            break;
        case EventKind::AudioLevel: j += ",\"level\":" + std::to_string(e.audioLevel); break;
        case EventKind::VoiceChange:
            j += ",\"token\":" + jsonString(e.token ? e.token->GetDescription(0) : std::string());
            break;
        case EventKind::EnginePrivate: j += ",\"data\":" + std::to_string(e.engineData); break;
        case EventKind::StartStream:
        case EventKind::EndStream: break;
    }
    return j + "}";
}

SpObjectToken pickVoice(SpVoice& voice, const std::string& wanted) {
    const auto voices = voice.GetVoices("", "");
    bool numeric = !wanted.empty() && wanted.find_first_not_of("0123456789") == std::string::npos;
    if (numeric) return voices.Item(std::stol(wanted));
    for (const auto& t : voices) {
        if (t.GetDescription(0) == wanted || t.Id() == wanted) return t;
    }
    throw Error(errc::kNotFound, "No voice is called \"" + wanted + "\" (see --list-voices).");
}

int run(const Options& o) {
    if (o.listFormats) {
        for (const auto& f : formatTable()) std::cout << f.name << '\t' << f.type << '\n';
        return 0;
    }
    SpVoice voice;
    if (o.listVoices || o.listOutputs) {
        const auto tokens = o.listVoices ? voice.GetVoices("", "") : voice.GetAudioOutputs("", "");
        for (long i = 0; i < tokens.Count(); ++i) std::cout << i << '\t' << tokens.Item(i).GetDescription(0) << '\n';
        return 0;
    }
    if (!o.text && !o.file) throw UsageError{"nothing to say: give a TEXT or --file PATH"};

    if (o.voice) voice.SetVoice(pickVoice(voice, *o.voice));
    if (o.rate) voice.SetRate(*o.rate);
    if (o.volume) voice.SetVolume(*o.volume);
    voice.setMixedScript(o.mixedScript);
    const int32_t format = o.format.value_or(kDefaultFormatType);
    if (!waveFormatOf(format)) throw Error(errc::kUnsupportedFormat, "Unknown format " + std::to_string(format) + " (see --list-formats).");

    std::shared_ptr<SpFileStream> file;
    voice.SetAllowAudioOutputFormatChangesOnNextSet(false);
    if (o.output) {
        file = std::make_shared<SpFileStream>();
        file->Format().SetType(format);
        file->Open(*o.output, SSFMCreateForWrite, false);
        voice.SetAudioOutputStream(file);
    } else {
        if (o.device && *o.device != "default") {
            voice.SetAudioOutput(voice.GetAudioOutputs("", "").Item(toNumber("--device", *o.device)));
        }
        auto stream = voice.AudioOutputStream();
        stream->Format().SetType(format);
        voice.SetAudioOutputStream(stream);
    }

    std::mutex mutex;
    std::condition_variable released;
    bool pending = false;
    voice.SetNotify([&] {
        std::lock_guard lock(mutex);
        pending = true;
        released.notify_one();
    });
    auto printEvents = [&] {
        for (const auto& e : voice.TakeEvents()) {
            if (o.events) std::cout << toJson(e) << '\n';
        }
        std::cout.flush();
    };

    // --events prints every kind, audio levels and the engine's own events included. Without it only
    // the end matters, and events nobody prints are not made.
    voice.SetEventInterests(o.events ? SVEAllEvents : SVEStartInputStream | SVEEndInputStream);
    std::signal(SIGINT, onSigint);
    int32_t flags = o.flags | SVSFlagsAsync;
    if (o.file) flags |= SVSFIsFilename;
    voice.Speak(speech::fromUtf8(o.file ? *o.file : *o.text), flags);

    bool stopped = false;
    while (!voice.WaitUntilDone(0)) {
        if (interrupted.load() && !stopped) {
            voice.Speak(u"", SVSFPurgeBeforeSpeak);
            voice.Resume();
            stopped = true;
        }
        {
            std::unique_lock lock(mutex);
            released.wait_for(lock, std::chrono::milliseconds(5), [&] { return pending; });
            pending = false;
        }
        printEvents();
    }
    printEvents();
    voice.SetNotify({});
    if (file) file->Close();
    return stopped ? 130 : 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return run(parse(argc, argv));
    } catch (const UsageError& e) {
        if (!e.message.empty()) std::cerr << "tallamo-say: " << e.message << '\n';
        std::cerr << kUsage;
        return 2;
    } catch (const Error& e) {
        std::cerr << "tallamo-say: " << e.description() << '\n';
        return 1;
    } catch (const std::exception& e) {
        std::cerr << "tallamo-say: " << e.what() << '\n';
        return 1;
    }
}
