// tallamo-say: speaks a text (or a file) to an audio device in real time or renders it into an audio
// file (WAV, FLAC, Ogg Vorbis, Ogg Opus or MP3, or a WAV stream on standard output), optionally printing
// every voice event as one JSON object per line when it is released, and writing the words' and
// sentences' times beside the audio. A document can be split into a file per chapter.
#include <unicode/utf8.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/documents/document.h"
#include "platform/speech/error.h"
#include "platform/speech/file_source.h"
#include "platform/speech/formats.h"
#include "platform/speech/frontend.h"
#include "platform/speech/streams.h"
#include "platform/speech/utf8.h"
#include "platform/speech/voice.h"
#include "tools/say/timings.h"

namespace {

using namespace speech;

std::atomic<bool> interrupted{false};

extern "C" void onSigint(int) { interrupted.store(true); }

const char* kUsage =
    "usage: tallamo-say [--voice N|DESCRIPTION] [--rate R] [--volume V] [--format SAFT...] [--flags N]\n"
    "                   [--output FILE|-] [--quality Q] [--timings FILE] [--timings-unit word|sentence]\n"
    "                   [--device N|default] [--events] [--no-mixed-script] [--jobs N]\n"
    "                   [--list-voices] [--list-formats] [--list-outputs] [TEXT | --file PATH]\n"
    "                   [--file DOCUMENT --chapters --output DIR/ [--chapters-format EXT] [--timings EXT]]\n"
    "  --output FILE          render into FILE, in the format its extension names (.wav .flac .ogg .oga .opus .mp3)\n"
    "  --output -             write a WAV stream to standard output\n"
    "  --quality Q            quality of .ogg, .oga, .opus and .mp3 output, 0 (smallest) to 10 (best)\n"
    "  --timings FILE         write the words' and sentences' times to FILE (.srt .vtt .lrc .json)\n"
    "  --timings-unit UNIT    one .srt or .vtt cue a sentence (the default) or a word\n"
    "  --no-mixed-script      read English words in Chinese text, and Chinese in other text, with the voice itself\n"
    "  --jobs N               render into a file with N engine workers at once, 1 to 64 (default: one a core)\n"
    "  --chapters             one audio file per chapter of the document, DIR/NN-title.wav\n"
    "  --chapters-format EXT  the chapter files' audio format, e.g. flac (.wav .flac .ogg .oga .opus .mp3)\n"
    "  --timings EXT          with --chapters: a timings file beside each chapter's audio, DIR/NN-title.EXT\n";

struct Options {
    std::optional<std::string> voice;
    std::optional<long> rate;
    std::optional<long> volume;
    std::optional<int32_t> format;
    int32_t flags = SVSFDefault;
    std::optional<std::string> output;
    FileCodec codec = FileCodec::Wav;
    std::optional<double> quality;
    std::optional<std::string> timings;
    tallamo::TimingFormat timingFormat = tallamo::TimingFormat::Srt;
    tallamo::CueUnit cueUnit = tallamo::CueUnit::Sentence;
    std::optional<std::string> device;
    bool events = false;
    std::optional<long> jobs;
    bool mixedScript = true;
    bool listVoices = false;
    bool listFormats = false;
    bool listOutputs = false;
    std::optional<std::string> text;
    std::optional<std::string> file;
    bool chapters = false;
    std::optional<std::string> chaptersFormat;
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

// With --chapters the files are named after the chapters, and --chapters-format and --timings give
// only the extension: "flac", ".flac" (or a name ending in it). In lower case, with its dot.
std::string asExtension(const std::string& value) {
    return lowerExtension(value.find('.') == std::string::npos ? "." + value : value);
}

// The codec and timing format from the file names (or the extensions given with --chapters), and the
// options that go with them.
void checkOutputs(Options& o) {
    const bool toStdout = o.output && *o.output == "-";
    if (o.chapters && (!o.file || !o.output || toStdout))
        throw UsageError{"--chapters needs --file DOCUMENT and --output DIR/"};
    if (o.chaptersFormat && !o.chapters) throw UsageError{"--chapters-format goes with --chapters"};
    // The name whose extension tells the codec; none for standard output, which is WAV.
    const std::optional<std::string> audio = o.chapters ? o.chaptersFormat.value_or("wav")
                                             : toStdout ? std::nullopt
                                                        : o.output;
    if (audio) {
        auto codec = fileCodecForName(o.chapters ? asExtension(*audio) : *audio);
        if (!codec)
            throw UsageError{"cannot tell the audio format of \"" + *audio + "\" from its extension; use one of " +
                             std::string(fileCodecExtensions())};
        o.codec = *codec;
    }
    if (toStdout && o.events) throw UsageError{"--events prints to standard output, which --output - takes"};
    if (o.quality) {
        const bool lossy = o.codec == FileCodec::OggVorbis || o.codec == FileCodec::OggOpus || o.codec == FileCodec::Mp3;
        if (!lossy) throw UsageError{"--quality applies to .ogg, .oga, .opus and .mp3 output only"};
        if (*o.quality < 0 || *o.quality > 10) throw UsageError{"--quality is 0 to 10"};
    }
    if (o.timings) {
        auto format = tallamo::timingFormatForName(o.chapters ? asExtension(*o.timings) : *o.timings);
        if (!format)
            throw UsageError{"cannot tell the timing format of \"" + *o.timings + "\" from its extension; use one of " +
                             std::string(tallamo::timingExtensions())};
        o.timingFormat = *format;
    }
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
        else if (a == "--quality") o.quality = toNumber(a, value(i, a));
        else if (a == "--timings") o.timings = value(i, a);
        else if (a == "--timings-unit") {
            const std::string unit = value(i, a);
            if (unit != "word" && unit != "sentence") throw UsageError{"--timings-unit is word or sentence"};
            o.cueUnit = unit == "word" ? tallamo::CueUnit::Word : tallamo::CueUnit::Sentence;
        }
        else if (a == "--device") o.device = value(i, a);
        else if (a == "--events") o.events = true;
        else if (a == "--jobs") {
            o.jobs = toNumber(a, value(i, a));
            if (*o.jobs < 1 || *o.jobs > 64) throw UsageError{"--jobs needs a number from 1 to 64"};
        }
        else if (a == "--no-mixed-script") o.mixedScript = false;
        else if (a == "--list-voices") o.listVoices = true;
        else if (a == "--list-formats") o.listFormats = true;
        else if (a == "--list-outputs") o.listOutputs = true;
        else if (a == "--file") o.file = value(i, a);
        else if (a == "--chapters") o.chapters = true;
        else if (a == "--chapters-format") o.chaptersFormat = value(i, a);
        else if (a == "--help" || a == "-h") throw UsageError{};
        else if (a.size() > 1 && a.starts_with("--")) throw UsageError{"unknown option " + a};
        else if (o.text) throw UsageError{"give one text only (quote it)"};
        else o.text = a;
    }
    if (o.text && o.file) throw UsageError{"give a TEXT or --file, not both"};
    checkOutputs(o);
    return o;
}

std::string toJson(const VoiceEvent& e) {
    std::string j = "{\"event\":" + tallamo::jsonQuoted(eventTitle(e.kind)) + ",\"stream\":" + std::to_string(e.streamNumber) +
                    ",\"position\":" + std::to_string(e.streamPosition) + ",\"ms\":" + std::to_string(e.audioTimeMs);
    switch (e.kind) {
        case EventKind::Word:
        case EventKind::Sentence:
            j += ",\"pos\":" + std::to_string(e.characterPosition) + ",\"length\":" + std::to_string(e.length);
            break;
        case EventKind::Bookmark:
            j += ",\"bookmark\":" + tallamo::jsonQuoted(e.bookmark) + ",\"id\":" + std::to_string(e.bookmarkId);
            break;
        case EventKind::Phoneme:
        case EventKind::Viseme:
            j += ",\"duration\":" + std::to_string(e.duration) + ",\"next\":" + std::to_string(e.next) +
                 ",\"feature\":" + std::to_string(e.feature) + ",\"current\":" + std::to_string(e.current);
            break;
        case EventKind::AudioLevel: j += ",\"level\":" + std::to_string(e.audioLevel); break;
        case EventKind::VoiceChange:
            j += ",\"token\":" + tallamo::jsonQuoted(e.token ? e.token->GetDescription(0) : std::string());
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

int32_t flagsOf(const Options& o) { return o.flags | SVSFlagsAsync | (o.file ? SVSFIsFilename : 0); }

// The recorder of the render's timings, over the text whose positions the events give: the TEXT, or
// the file's text as the voice reads it (a text file decoded, a document's text, never markup).
tallamo::TimingRecorder timingRecorder(const Options& o) {
    if (!o.file) {
        std::u16string text = speech::fromUtf8(*o.text);
        const bool markup = readsAsMarkup(flagsOf(o), text.empty() ? std::nullopt : std::optional<char16_t>(text[0]));
        return tallamo::TimingRecorder(std::move(text), markup);
    }
    auto opened = openNamedFile(*o.file);
    auto& content = opened.orThrow().content;
    if (auto* document = std::get_if<std::unique_ptr<DocumentReader>>(&content)) {
        std::u16string text;
        while ((*document)->read(text)) {
        }
        return tallamo::TimingRecorder(std::move(text), false);
    }
    auto* reader = std::get_if<std::unique_ptr<TextFileReader>>(&content);
    if (!reader) throw UsageError{"--timings needs a text; \"" + *o.file + "\" is a sound file"};
    const bool markup = readsAsMarkup(flagsOf(o), (*reader)->firstUnit());
    return tallamo::TimingRecorder((*reader)->readAll().orThrow(), markup);
}

// Writes `contents` under a temporary name beside `path`, then renames it into place.
void writeReplacing(const std::string& path, const std::string& contents) {
    const std::string temporary = path + ".part";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << contents;
        out.flush();
        if (!out) {
            std::filesystem::remove(temporary);
            throw Error(errc::kAccessDenied, "Cannot write the file \"" + path + "\".");
        }
    }
    std::error_code failed;
    std::filesystem::rename(temporary, path, failed);
    if (failed) {
        std::filesystem::remove(temporary);
        throw Error(errc::kAccessDenied, "Cannot save the file \"" + path + "\": " + failed.message() + ".");
    }
}

// An audio file stream at `path` ("-": standard output) in `format` and the codec the options name,
// made the voice's output.
std::shared_ptr<SpFileStream> openOutput(SpVoice& voice, const Options& o, const std::string& path, int32_t format) {
    auto file = std::make_shared<SpFileStream>();
    file->Format().SetType(format);
    file->setCodec(o.codec, o.quality ? std::optional<double>(*o.quality / 10.0) : std::nullopt);
    if (path == "-") file->openStandardOutput();
    else file->Open(path, SSFMCreateForWrite, false);
    voice.SetAudioOutputStream(file);
    return file;
}

// One Speak and where its results go: the audio file (none when the voice plays to a device) and the
// timings file, with the recorder of its events.
struct Render {
    std::u16string text;
    int32_t flags = 0;
    std::shared_ptr<SpFileStream> file;
    std::optional<tallamo::TimingRecorder> timings;
    std::string timingsPath;
};

// Speaks and waits for the end, printing the events as they are released (with --events) and recording
// the timings; Ctrl+C purges what is left. A complete render puts its files in place; an interrupted
// one leaves none, and no earlier file is lost. Returns whether it was interrupted.
bool speakToEnd(SpVoice& voice, Render& render, const Options& o) {
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
            if (render.timings) render.timings->add(e);
        }
        if (o.events) std::cout.flush();
    };
    voice.Speak(render.text, render.flags | SVSFlagsAsync);
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
    if (stopped) {
        if (render.file) render.file->discard();
        return true;
    }
    // A render or playback cut short (the audio server went away, the engine kept failing) is a
    // failure: Close raises a file's, the voice keeps a device's.
    if (render.file) render.file->Close();
    if (auto error = voice.takeStreamError()) throw *error;
    if (render.timings) writeReplacing(render.timingsPath, render.timings->render(o.timingFormat, o.cueUnit));
    return false;
}

// NN-title: the number `width` digits wide, the title without path separators or control characters,
// cut to a length file systems take.
std::string chapterFileName(int32_t number, int width, const std::string& title) {
    std::string name;
    for (unsigned char c : title) {
        const bool blank = c < 0x20 || c == 0x7F || c == '/' || c == '\\' || c == ' ';
        if (blank && (name.empty() || name.back() == ' ')) continue;
        name.push_back(blank ? ' ' : static_cast<char>(c));
    }
    constexpr size_t kMaxName = 100;
    if (name.size() > kMaxName) {
        size_t cut = kMaxName;
        while (cut > 0 && U8_IS_TRAIL(static_cast<uint8_t>(name[cut]))) --cut;
        name.resize(cut);
    }
    while (!name.empty() && (name.back() == ' ' || name.back() == '.')) name.pop_back();
    while (!name.empty() && name.front() == '.') name.erase(0, 1);
    if (name.empty()) name = "chapter";
    char digits[16];
    std::snprintf(digits, sizeof digits, "%0*d", width, static_cast<int>(number));
    return std::string(digits) + "-" + name;
}

// --chapters: each chapter of the document into an audio file of its own in the folder --output names,
// NN-title.wav (or the extension --chapters-format gives), where NN is the chapter's number (00 for text
// before the first chapter, titled by the document), and with --timings its timings beside it,
// NN-title.srt, their positions counted in the chapter's text. The document is read twice: for the
// chapter count first, so the numbers have one width.
int speakChapters(SpVoice& voice, const Options& o, int32_t format) {
    const std::filesystem::path folder(*o.output);
    std::error_code made;
    std::filesystem::create_directories(folder, made);
    if (made) throw Error(errc::kAccessDenied, "Cannot make the folder \"" + *o.output + "\": " + made.message() + ".");
    auto opened = documents::Document::open(*o.file);
    if (!opened) throw Error(opened.fault().code, opened.fault().message);
    documents::Document& document = *opened.value();

    std::u16string text;
    std::vector<documents::Chapter> chapters;
    while (document.read(text, chapters)) text.clear();
    const int32_t last = chapters.empty() ? 1 : chapters.back().number;
    const int width = std::max<int>(2, static_cast<int>(std::to_string(last).size()));

    struct Unit {
        int32_t number;
        std::string title;
    } unit{0, document.title().empty() ? std::filesystem::path(*o.file).stem().string() : document.title()};
    const int32_t flags = (o.flags & ~(SVSFIsXML | SVSFIsFilename)) | SVSFIsNotXML;
    const std::string audioExtension = asExtension(o.chaptersFormat.value_or("wav"));
    // Speaks text[0, end) into the current unit's files (none when it is all blank) and drops it.
    auto speakUnit = [&](size_t end) {
        const bool blank = std::all_of(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(end),
                                       [](char16_t c) { return c == u' ' || c == u'\n'; });
        bool stopped = false;
        if (!blank) {
            const std::filesystem::path name = folder / chapterFileName(unit.number, width, unit.title);
            Render render;
            render.text = text.substr(0, end);
            render.flags = flags;
            if (o.timings) {
                render.timings.emplace(render.text, false);
                render.timingsPath = name.string() + asExtension(*o.timings);
            }
            render.file = openOutput(voice, o, name.string() + audioExtension, format);
            stopped = speakToEnd(voice, render, o);
        }
        text.erase(0, end);
        return stopped;
    };

    document.restart();
    text.clear();
    chapters.clear();
    uint64_t base = 0;  // the position of text[0] in the document's text
    while (document.read(text, chapters)) {
        for (const auto& c : chapters) {
            const uint64_t end = c.position - base;
            if (speakUnit(end)) return 130;
            base = c.position;
            unit = {c.number, c.title.empty() ? "chapter" : c.title};
        }
        chapters.clear();
    }
    if (speakUnit(text.size())) return 130;
    if (document.failure()) throw Error(document.failure()->code, document.failure()->message);
    return 0;
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
    if (o.jobs) voice.setRenderJobs(static_cast<int>(*o.jobs));
    voice.setMixedScript(o.mixedScript);
    const int32_t format = o.format.value_or(kDefaultFormatType);
    if (!waveFormatOf(format)) throw Error(errc::kUnsupportedFormat, "Unknown format " + std::to_string(format) + " (see --list-formats).");

    // --events prints every kind, audio levels and the engine's own events included. Without it only
    // the end matters (and the words and sentences for --timings): events nobody uses are not made.
    voice.SetEventInterests(o.events    ? SVEAllEvents
                            : o.timings ? SVEStartInputStream | SVEEndInputStream | SVEWordBoundary | SVESentenceBoundary
                                        : SVEStartInputStream | SVEEndInputStream);
    std::signal(SIGINT, onSigint);
    voice.SetAllowAudioOutputFormatChangesOnNextSet(false);
    if (o.chapters) return speakChapters(voice, o, format);

    Render render;
    render.text = speech::fromUtf8(o.file ? *o.file : *o.text);
    render.flags = flagsOf(o);
    if (o.timings) {
        render.timings.emplace(timingRecorder(o));
        render.timingsPath = *o.timings;
    }
    if (o.output) {
        render.file = openOutput(voice, o, *o.output, format);
    } else {
        if (o.device && *o.device != "default") {
            voice.SetAudioOutput(voice.GetAudioOutputs("", "").Item(toNumber("--device", *o.device)));
        }
        auto stream = voice.AudioOutputStream();
        stream->Format().SetType(format);
        voice.SetAudioOutputStream(stream);
    }
    return speakToEnd(voice, render, o) ? 130 : 0;
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
