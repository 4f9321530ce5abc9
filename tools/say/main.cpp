// tallamo-say: speaks a text (or a file) to an audio device in real time or renders it into a WAV file,
// optionally printing every voice event as one JSON object per line when it is released.
#include <unistd.h>

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
#include "platform/text/decoder.h"
#include "tools/say/options.h"

#ifndef TALLAMO_VERSION
#define TALLAMO_VERSION "unknown"
#endif

namespace {

using namespace speech;
using say::Options;

std::atomic<bool> interrupted{false};

extern "C" void onSigint(int) { interrupted.store(true); }

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

// Standard input whole, decoded like a text file named in Speak.
std::u16string readStandardInput() {
    if (::isatty(STDIN_FILENO)) std::cerr << "tallamo-say: reading the text to speak; end it with Ctrl+D\n";
    std::vector<uint8_t> bytes;
    uint8_t buffer[65536];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, stdin)) > 0;) {
        bytes.insert(bytes.end(), buffer, buffer + n);
    }
    if (std::ferror(stdin)) throw Error(errc::kFile, "Cannot read the text from standard input.");
    return text::decodeText(bytes);
}

int run(const Options& o) {
    if (o.listFormats) {
        for (const auto& f : formatTable()) std::cout << f.name << '\t' << f.type << '\n';
        return say::kExitSuccess;
    }
    SpVoice voice;
    if (o.listVoices || o.listOutputs) {
        const auto tokens = o.listVoices ? voice.GetVoices("", "") : voice.GetAudioOutputs("", "");
        for (long i = 0; i < tokens.Count(); ++i) std::cout << i << '\t' << tokens.Item(i).GetDescription(0) << '\n';
        return say::kExitSuccess;
    }
    const bool namesFile = !o.readsStandardInput() && o.file;
    const std::u16string text =
        o.readsStandardInput() ? readStandardInput() : fromUtf8(namesFile ? *o.file : *o.text);

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
        if (o.device) voice.SetAudioOutput(voice.GetAudioOutputs("", "").Item(*o.device));
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
    if (namesFile) flags |= SVSFIsFilename;
    voice.Speak(text, flags);

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
    return stopped ? say::kExitInterrupted : say::kExitSuccess;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        const Options options = say::parseCommandLine(argc, argv);
        if (options.help) {
            std::cout << say::helpText();
            return say::kExitSuccess;
        }
        if (options.version) {
            std::cout << "tallamo-say (Tallamo) " TALLAMO_VERSION "\n";
            return say::kExitSuccess;
        }
        return run(options);
    } catch (const say::UsageError& e) {
        std::cerr << "tallamo-say: " << e.message << "\nTry 'tallamo-say --help' for more information.\n";
        return say::kExitUsage;
    } catch (const Error& e) {
        std::cerr << "tallamo-say: " << e.description() << '\n';
        return say::kExitFailure;
    } catch (const std::exception& e) {
        std::cerr << "tallamo-say: " << e.what() << '\n';
        return say::kExitFailure;
    }
}
