// SPDX-License-Identifier: GPL-3.0-or-later
// tallamo-say: speaks a text (or a file) to an audio device in real time or renders it into an audio
// file (WAV, FLAC, Ogg Vorbis, Ogg Opus or MP3, or a WAV stream on standard output), optionally printing
// every voice event as one JSON object per line when it is released, and writing the words' and
// sentences' times beside the audio. A document can be split into a file per chapter. Without a TEXT or
// a file the text comes from standard input.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "base/error.h"
#include "base/files.h"
#include "base/paths.h"
#include "base/standard_streams.h"
#include "base/utf8.h"
#include "documents/document.h"
#include "encoding/decoder.h"
#include "speech/backends.h"
#include "speech/core/formats.h"
#include "speech/names.h"
#include "speech/spoken_text.h"
#include "speech/streams.h"
#include "speech/voice.h"
#include "tools/say/book.h"
#include "tools/say/file_names.h"
#include "tools/say/input.h"
#include "tools/say/options.h"
#include "tools/say/timings.h"

#ifndef TALLAMO_VERSION
#define TALLAMO_VERSION "unknown"
#endif

namespace {

using namespace speech;
using say::Options;
using say::UsageError;

// The signal that asked the program to stop (0: none yet).
std::atomic<int> stopSignal{0};

extern "C" void onStopSignal(int signal) {
    stopSignal.store(signal);
}

// Ctrl+C, a closed terminal, a kill and a reader of standard output that went away all stop the
// program the same way: what is left is purged and no unfinished file is left behind. Without
// SA_RESTART, so that a wait for input (a terminal, a named pipe with no writer) ends too.
void catchStopSignals() {
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) ::sigaction(signal, &action, nullptr);
}

bool interrupted() {
    return stopSignal.load() != 0;
}

// The shell's status of a program ended by the signal that stopped it (130 for Ctrl+C).
int interruptedStatus() {
    return 128 + stopSignal.load();
}

// How documents are read: a stop signal stops the reading at once (a PDF's page being read by its
// helper included); a PDF page that could not be read is named on standard error.
documents::Options documentOptions() {
    documents::Options options;
    options.cancelled = interrupted;
    options.skipped = [](const std::string& message) { std::cerr << "tallamo-say: " + message + "\n" << std::flush; };
    return options;
}

std::string toJson(const VoiceEvent& e) {
    std::string j = "{\"event\":" + say::jsonQuoted(eventTitle(e.kind)) +
                    ",\"stream\":" + std::to_string(e.streamNumber) +
                    ",\"position\":" + std::to_string(e.streamPosition) + ",\"ms\":" + std::to_string(e.audioTimeMs);
    switch (e.kind) {
        case EventKind::Word:
        case EventKind::Sentence:
            j += ",\"pos\":" + std::to_string(e.characterPosition) + ",\"length\":" + std::to_string(e.length);
            break;
        case EventKind::Bookmark:
            j += ",\"bookmark\":" + say::jsonQuoted(e.bookmark) + ",\"id\":" + std::to_string(e.bookmarkId);
            break;
        case EventKind::Phoneme:
        case EventKind::Viseme:
            j += ",\"duration\":" + std::to_string(e.duration) + ",\"next\":" + std::to_string(e.next) +
                 ",\"feature\":" + std::to_string(e.feature) + ",\"current\":" + std::to_string(e.current);
            break;
        case EventKind::AudioLevel:
            j += ",\"level\":" + std::to_string(e.audioLevel);
            break;
        case EventKind::VoiceChange:
            j += ",\"token\":" + say::jsonQuoted(e.token ? e.token->GetDescription(0) : std::string());
            break;
        case EventKind::EnginePrivate:
            j += ",\"data\":" + std::to_string(e.engineData);
            break;
        case EventKind::StartStream:
        case EventKind::EndStream:
            break;
    }
    return j + "}";
}

SpObjectToken pickVoice(SpVoice& voice, const std::string& wanted) {
    const auto voices = voice.GetVoices("", "");
    bool numeric = !wanted.empty() && wanted.find_first_not_of("0123456789") == std::string::npos;
    if (numeric) {
        long index = 0;
        if (std::from_chars(wanted.data(), wanted.data() + wanted.size(), index).ec != std::errc())
            throw Error(errc::kNotFound, "There is no voice " + wanted + " (see --list-voices).");
        return voices.Item(index);
    }
    for (const auto& t : voices) {
        if (t.GetDescription(0) == wanted || t.Id() == wanted) return t;
    }
    throw Error(errc::kNotFound, "No voice is called \"" + wanted + "\" (see --list-voices).");
}

// Documents are spoken as plain text: their text is never the voice's markup.
int32_t plainTextFlags(const Options& o) {
    return (o.flags & ~(SVSFIsXML | SVSFIsFilename)) | SVSFIsNotXML;
}

// One Speak and where its results go: the audio file (none when the voice plays to a device) and the
// timings file, with the recorder of its events. Both are open before anything is spoken, and put in
// place together once the render is complete.
struct Render {
    std::u16string text;
    int32_t flags = 0;
    std::shared_ptr<SpFileStream> file;
    std::optional<say::TimingRecorder> timings;
    std::optional<base::ReplacingFile> timingsFile;
    std::optional<say::ChapterMarker> marker;  // the chapters' starts, from the words' events
    std::optional<say::Book> book;             // a document read from standard input
};

void printWarnings(const std::vector<std::string>& warnings) {
    for (const auto& w : warnings) std::cerr << "tallamo-say: " << w << '\n';
}

// Standard input (or the pipe `name`) for `render`. Its first bytes tell what it holds: a document is
// read whole (up to the size limit of one) and its text spoken as plain text; any other text goes on
// to the voice as it comes, through `relay`, so that input that never ends is never held whole, or,
// without a relay (the text is needed before it is spoken: for its timings, its reading), is read
// whole up to the same limit.
void readInput(Render& render, const Options& o, int fd, const std::string& name,
               std::optional<say::InputRelay>* relay) {
    if (::isatty(fd)) std::cerr << "tallamo-say: reading the text to speak; end it with Ctrl+D\n";
    bool ended = false;
    std::string head = say::readHead(fd, 4096, ended);
    const std::span<const uint8_t> first(reinterpret_cast<const uint8_t*>(head.data()), head.size());
    const bool document = documents::looksLikeDocument(first);
    // Input that starts as neither is not read on: it may never end (/dev/zero).
    if (!document && encoding::looksBinary(first))
        throw Error(errc::kFile, "The " + name + " is neither a text nor a document.");
    const uint64_t limit = documents::Limits{}.maxExpandedBytes;
    if (document) {
        render.book = say::readDocumentBytes(say::readRest(fd, std::move(head), limit, name), name, render.text,
                                             documentOptions());
        render.flags = plainTextFlags(o) | SVSFlagsAsync;
    } else if (!relay) {
        const std::string all = say::readRest(fd, std::move(head), limit, name);
        render.text = encoding::decodeText(std::span(reinterpret_cast<const uint8_t*>(all.data()), all.size()));
        render.flags = o.flags | SVSFlagsAsync;
    } else {
        relay->emplace(fd, std::move(head));
        render.text = base::fromUtf8((*relay)->path());
        render.flags = o.flags | SVSFlagsAsync | SVSFIsFilename;
    }
}

// Whether --file names a pipe or a device rather than a file: it can be read once only.
bool namesAPipe(const Options& o) {
    struct stat st {};
    return o.file && *o.file != "-" && ::stat(o.file->c_str(), &st) == 0 && !S_ISREG(st.st_mode) &&
           !S_ISBLK(st.st_mode) && !S_ISDIR(st.st_mode);
}

// The recorder of the render's timings, over the text whose positions the events give: the text
// spoken, or the named file's text as the voice reads it (a text file decoded, a document's text,
// never markup).
say::TimingRecorder timingRecorder(const Options& o, const Render& render) {
    if (!(render.flags & SVSFIsFilename)) {
        SpokenText spoken = spokenText(render.text, render.flags);
        return say::TimingRecorder(std::move(spoken.text), spoken.markup);
    }
    auto spoken = spokenTextOfFile(*o.file, render.flags, documentOptions());
    if (!spoken) throw UsageError{"--timings needs a text; \"" + *o.file + "\" is a sound file"};
    return say::TimingRecorder(std::move(spoken->text), spoken->markup);
}

// An audio file stream in `format` and the codec the options name, with `tags` (none: none), not yet
// open.
std::shared_ptr<SpFileStream> makeOutput(const Options& o, int32_t format, std::optional<FileTags> tags) {
    auto file = std::make_shared<SpFileStream>();
    file->Format().SetType(format);
    file->setCodec(o.codec, o.quality ? std::optional<double>(*o.quality / 10.0) : std::nullopt);
    file->setTags(std::move(tags));
    return file;
}

// An audio file stream at `path` ("-": standard output), or named `path` in `folder` when there is
// one, in `format` and the codec the options name, with `tags`, made the voice's output.
std::shared_ptr<SpFileStream> openOutput(SpVoice& voice, const Options& o, const std::string& path, int32_t format,
                                         std::optional<FileTags> tags = std::nullopt,
                                         const base::Folder* folder = nullptr) {
    auto file = makeOutput(o, format, std::move(tags));
    if (folder)
        file->Open(*folder, path);
    else if (path == "-")
        file->openStandardOutput();
    else
        file->Open(path, SSFMCreateForWrite, false);
    voice.SetAudioOutputStream(file);
    return file;
}

// Puts the render's files in place: the timings are written first, so that when they cannot be
// written the audio is not put in place either.
void saveRender(SpVoice& voice, Render& render, const Options& o) {
    if (render.timingsFile) {
        auto written = render.timingsFile->write(render.timings->render(o.timingFormat, o.cueUnit));
        if (written) written = render.timingsFile->flush();
        if (!written && render.file) render.file->discard();
        written.orThrow();
    }
    // A render or playback cut short (the audio server went away, the engine kept failing) is a
    // failure: Close raises a file's, the voice keeps a device's.
    if (render.file) {
        if (render.marker) render.file->setChapterMarks(render.marker->marks());
        render.file->Close();
        printWarnings(render.file->warnings());
    }
    if (auto error = voice.takeStreamError()) throw *error;
    if (render.timingsFile) render.timingsFile->putInPlace().orThrow();
}

// Speaks and waits for the end, printing the events as they are released (with --events) and recording
// the timings and chapter starts; Ctrl+C purges what is left. Returns whether it was interrupted.
bool speakAndWait(SpVoice& voice, Render& render, const Options& o) {
    std::mutex mutex;
    std::condition_variable released;
    bool pending = false;
    voice.SetNotify([&] {
        std::lock_guard lock(mutex);
        pending = true;
        released.notify_one();
    });
    bool ended = false;  // the stream's end was released
    auto printEvents = [&] {
        for (const auto& e : voice.TakeEvents()) {
            ended = ended || e.kind == speech::EventKind::EndStream;
            if (o.events) std::cout << toJson(e) << '\n';
            if (render.timings) render.timings->add(e);
            if (render.marker) render.marker->add(e);
        }
        if (o.events) std::cout.flush();
    };
    voice.Speak(render.text, render.flags | SVSFlagsAsync);
    bool stopped = false;
    while (!voice.WaitUntilDone(0)) {
        if (interrupted() && !stopped) {
            voice.Speak(u"", SVSFPurgeBeforeSpeak);
            voice.Resume();
            stopped = true;
        }
        if (ended) {
            // No event comes after the end: the voice's own wait returns the moment the voice is done,
            // where waiting for an event would sleep out its whole bound.
            (void)voice.WaitUntilDone(5);
            continue;
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
    // A signal may also end the stream itself (a closed standard output fails its writes).
    return stopped || interrupted();
}

// Speaks and waits for the end (speakAndWait). A complete render puts its files in place, its chapters
// marked; an interrupted one leaves none, and no earlier file is lost. Returns whether it was
// interrupted.
bool speakToEnd(SpVoice& voice, Render& render, const Options& o) {
    if (speakAndWait(voice, render, o)) {
        if (render.file) render.file->discard();
        return true;
    }
    saveRender(voice, render, o);
    return false;
}

// What the tags of a document's files say: its title (else the file's name), author, date and cover
// (one that cannot be read is left out with a warning).
BookInfo bookInfo(documents::Document& document, const std::string& path) {
    BookInfo book;
    book.title = document.title().empty() ? std::filesystem::path(path).stem().string() : document.title();
    book.author = document.metadata().author;
    book.date = document.metadata().date;
    auto cover = document.cover();
    if (!cover) {
        printWarnings({"The cover image of \"" + path + "\" is left out: " + cover.fault().message});
    } else if (cover.value()) {
        book.cover = std::move(*cover.value());
    }
    return book;
}

// --chapters: each chapter of the document into an audio file of its own in the folder --output names,
// NN-title.wav (or the extension --chapters-format gives), where NN is the chapter's number (00 for text
// before the first chapter, titled by the document), and with --timings its timings beside it,
// NN-title.srt, their positions counted in the chapter's text. The document is read twice: for the
// chapter count first, so the numbers have one width.
int speakChapters(SpVoice& voice, const Options& o, int32_t format) {
    std::error_code made;
    std::filesystem::create_directories(*o.output, made);
    if (made) throw Error(errc::kAccessDenied, "Cannot make the folder \"" + *o.output + "\": " + made.message() + ".");
    // Every chapter's files are made in the folder opened here, whatever is renamed meanwhile.
    const base::Folder folder = std::move(base::Folder::open(*o.output).orThrow());
    auto opened = documents::Document::open(*o.file, documentOptions());
    if (!opened) throw Error(opened.fault().code, opened.fault().message);
    documents::Document& document = *opened.value();
    const BookInfo book = bookInfo(document, *o.file);

    // The first reading: which parts (the text before the first chapter, then each chapter) have words,
    // so that their files are numbered as tracks of one total.
    const auto blank = [](std::u16string_view part) {
        return std::all_of(part.begin(), part.end(), [](char16_t c) { return c == u' ' || c == u'\n'; });
    };
    std::u16string text;
    std::vector<documents::Chapter> chapters;
    std::vector<bool> spoken{false};
    int32_t last = 1;
    uint64_t base = 0;  // the position of text[0] in the document's text
    while (document.read(text, chapters)) {
        for (const auto& c : chapters) {
            const size_t end = static_cast<size_t>(c.position - base);
            spoken.back() = spoken.back() || !blank(std::u16string_view(text).substr(0, end));
            text.erase(0, end);
            base = c.position;
            spoken.push_back(false);
            last = c.number;
        }
        spoken.back() = spoken.back() || !blank(text);
        base += text.size();
        text.clear();
        chapters.clear();
    }
    const int width = std::max<int>(2, static_cast<int>(std::to_string(last).size()));
    const int total = static_cast<int>(std::count(spoken.begin(), spoken.end(), true));

    struct Unit {
        int32_t number;
        std::string title;
    } unit{0, book.title};
    int track = 0;
    const int32_t flags = plainTextFlags(o);
    const std::string audioExtension = say::asExtension(o.chaptersFormat.value_or("wav"));
    // Speaks text[0, end) into the current unit's files (none when it is all blank) and drops it.
    auto speakUnit = [&](size_t end) {
        bool stopped = false;
        if (!blank(std::u16string_view(text).substr(0, end))) {
            const std::string name = say::chapterFileName(unit.number, width, unit.title);
            Render render;
            render.text = text.substr(0, end);
            render.flags = flags;
            if (o.timings) {
                render.timings.emplace(render.text, false);
                render.timingsFile =
                    std::move(base::ReplacingFile::create(
                                  {&folder, name + say::asExtension(*o.timings), base::ReplacingFile::Link::Replace})
                                  .orThrow());
            }
            render.file = openOutput(voice, o, name + audioExtension, format,
                                     chapterFileTags(book, unit.title, ++track, total), &folder);
            stopped = speakToEnd(voice, render, o);
        }
        text.erase(0, end);
        return stopped;
    };

    document.restart();
    text.clear();
    base = 0;
    while (document.read(text, chapters)) {
        for (const auto& c : chapters) {
            const uint64_t end = c.position - base;
            if (speakUnit(end)) return interruptedStatus();
            base = c.position;
            unit = {c.number, c.title.empty() ? "chapter" : c.title};
        }
        chapters.clear();
    }
    if (speakUnit(text.size())) return interruptedStatus();
    if (document.failure()) throw Error(document.failure()->code, document.failure()->message);
    return say::kExitSuccess;
}

// The files the voice's audio is made from besides the text: the lexicons in effect and the engine's
// data folder.
std::vector<std::string> dataFiles(const SpVoice& voice, const Options& o) {
    std::vector<std::string> files = lexiconFiles(o);
    if (const std::string folder = voice.engineData().second; !folder.empty()) files.push_back(folder);
    return files;
}

// --resume: the book is cut into units (say::cutUnits), each spoken by a Speak of its own into the
// journal beside the output, which keeps every finished unit. A render stopped part way (Ctrl+C, a
// failure, a kill) leaves the journal; the same command goes on after the last finished unit. The
// finished file is made from the journal and put in place, with its chapters marked.
int speakResumable(SpVoice& voice, const Options& o, int32_t format) {
    std::u16string text;
    say::Book book = say::readBook(*o.file, &text, documentOptions());
    printWarnings(book.warnings);
    const std::vector<say::Unit> units = say::cutUnits(text, book.chapters, say::kResumeUnitText);
    auto file = makeOutput(o, format, bookFileTags(book.info));
    const ResumeState state = file->openResumable(
        *o.output, ResumeKey{*o.file, audioOptions(o, format), TALLAMO_VERSION, say::spokenInput(text, book),
                             dataFiles(voice, o), voice.engineData().first});
    if (!state.notice.empty()) printWarnings({state.notice});
    if (state.units.size() > units.size()) {
        file->discard();
        throw Error(errc::kUnexpected, "The journal of \"" + *o.output + "\" lists more parts than the book has.");
    }
    if (!state.units.empty())
        std::cerr << "tallamo-say: going on with part " << state.units.size() + 1 << " of " << units.size() << '\n';
    voice.SetAudioOutputStream(file);
    const int frameBytes = file->Format().wave().bytesPerFrame();
    std::vector<std::pair<uint64_t, std::optional<uint64_t>>> done = state.units;
    for (size_t i = done.size(); i < units.size(); ++i) {
        const say::Unit& unit = units[i];
        Render render;
        render.text = text.substr(unit.begin, unit.end - unit.begin);
        render.flags = plainTextFlags(o) | SVSFlagsAsync;
        if (unit.chapter) render.marker.emplace(std::vector{book.chapters[*unit.chapter]}, frameBytes, "", unit.begin);
        const bool blank =
            std::all_of(render.text.begin(), render.text.end(), [](char16_t c) { return c == u' ' || c == u'\n'; });
        if (!blank && speakAndWait(voice, render, o)) {
            file->discard();  // the journal stays, and the file that was there
            return interruptedStatus();
        }
        if (auto error = voice.takeStreamError()) {
            file->discard();
            throw *error;
        }
        const std::optional<uint64_t> start = render.marker ? render.marker->firstStart() : std::nullopt;
        done.emplace_back(file->commitUnit(start), start);
    }
    // The marks: each chapter's first word, counted from the file's start.
    std::vector<ChapterMark> marks;
    uint64_t at = 0;
    for (size_t i = 0; i < done.size(); ++i) {
        if (units[i].chapter && done[i].second)
            marks.push_back({book.chapters[*units[i].chapter].title, at + *done[i].second});
        at += done[i].first;
    }
    if (book.chapters.empty()) marks.push_back({book.info.title, 0});
    file->setChapterMarks(std::move(marks));
    file->Close();
    printWarnings(file->warnings());
    return say::kExitSuccess;
}

// How many engine workers to start before the voice: as many as a render into a file runs at once, or
// one for a text too short to fill a second (a chain of segments is about a thousand letters long).
// The length of standard input is not known beforehand: it counts as long.
size_t earlyWorkers(const Options& o) {
    if (!o.output || o.listVoices || o.listOutputs) return 1;
    constexpr uintmax_t kShortText = 1024;  // bytes
    std::error_code unknown;
    const uintmax_t length = o.text                     ? o.text->size()
                             : o.file && *o.file != "-" ? std::filesystem::file_size(*o.file, unknown)
                                                        : kShortText;
    if (!unknown && length < kShortText) return 1;
    return static_cast<size_t>(o.jobs.value_or(SpVoice::defaultRenderJobs()));
}

// The lexicons read into the voice: a malformed one ends the run with its file, line and reason.
void addLexicons(SpVoice& voice, const Options& o) {
    for (const std::string& path : lexiconFiles(o)) voice.addLexicon(path);
}

// --pinyin: the text (as it would be spoken) printed as the Mandarin voice reads it.
int printPinyin(SpVoice& voice, const Options& o) {
    Render render;
    if (o.readsStandardInput() || (o.file && namesAPipe(o))) {
        const base::UniqueFd pipe(o.readsStandardInput() ? -1 : ::open(o.file->c_str(), O_RDONLY | O_CLOEXEC));
        if (!o.readsStandardInput() && pipe.get() < 0)
            throw Error(errc::kAccessDenied,
                        "The file \"" + *o.file + "\" cannot be read: " + std::strerror(errno) + ".");
        readInput(render, o, pipe.get() >= 0 ? pipe.get() : STDIN_FILENO,
                  pipe.get() >= 0 ? "file \"" + *o.file + "\"" : "standard input", nullptr);
    } else if (o.file) {
        auto spoken = speech::spokenTextOfFile(*o.file, o.flags | SVSFIsFilename);
        if (!spoken) throw Error(errc::kFile, "The file \"" + *o.file + "\" is a sound file: it has no text to read.");
        render.text = std::move(spoken->text);
        render.flags = (o.flags & ~SVSFIsXML) | (spoken->markup ? SVSFIsXML : SVSFIsNotXML);
    } else {
        render.text = base::fromUtf8(*o.text);
        render.flags = o.flags;
    }
    char last = '\n';
    voice.pinyinReading(render.text, render.flags & ~SVSFlagsAsync, o.pinyin == Options::Pinyin::Marks,
                        o.pinyin == Options::Pinyin::Spoken, [&](std::string_view piece) {
                            if (piece.empty()) return;
                            std::cout << piece << std::flush;
                            last = piece.back();
                        });
    if (last != '\n') std::cout << '\n' << std::flush;
    // Read with the lexicon, so what is missing is the polyphone model: the reading was the rules' alone.
    if (auto problem = speech::mandarinLexiconProblem()) std::cerr << "tallamo-say: " << *problem << '\n';
    return say::kExitSuccess;
}

int run(const Options& o, const base::ClosedStandardStreams& closed) {
    if (o.output == "-" && closed.output)
        throw Error(errc::kAccessDenied, "Standard output is closed: there is nothing to write the audio to.");
    if (o.listFormats) {
        for (const auto& f : formatTable()) std::cout << f.name << '\t' << f.type << '\n';
        return say::kExitSuccess;
    }
    // The engine's workers start at once, side by side; the voice waits only for the first one's voice
    // list.
    speech::startEngineEarly(earlyWorkers(o));
    SpVoice voice;
    if (o.listVoices || o.listOutputs) {
        const auto tokens = o.listVoices ? voice.GetVoices("", "") : voice.GetAudioOutputs("", "");
        for (long i = 0; i < tokens.Count(); ++i) std::cout << i << '\t' << tokens.Item(i).GetDescription(0) << '\n';
        return say::kExitSuccess;
    }

    if (o.voice) voice.SetVoice(pickVoice(voice, *o.voice));
    if (o.rate) voice.SetRate(*o.rate);
    if (o.volume) voice.SetVolume(*o.volume);
    if (o.jobs) voice.setRenderJobs(static_cast<int>(*o.jobs));
    voice.setDocumentOptions(documentOptions());
    voice.setMixedScript(o.mixedScript);
    addLexicons(voice, o);
    if (o.pinyin != Options::Pinyin::None) return printPinyin(voice, o);
    // A damaged installation still speaks: Chinese is then read by the engine's own rules.
    if (auto problem = speech::mandarinLexiconProblem()) std::cerr << "tallamo-say: " << *problem << '\n';
    const int32_t format = o.format.value_or(kDefaultFormatType);
    if (!waveFormatOf(format))
        throw Error(errc::kUnsupportedFormat, "Unknown format " + std::to_string(format) + " (see --list-formats).");

    // --events prints every kind, audio levels and the engine's own events included. Without it only
    // the end matters (and the words and sentences for --timings): events nobody uses are not made.
    // A book's file gets its chapters' marks where their first words start: a file's, or a document's
    // read from standard input.
    const bool toFile = o.output && *o.output != "-" && !o.chapters;
    const bool marked = toFile && (o.readsStandardInput() || (o.file && !namesAPipe(o)));
    int32_t interests = SVEStartInputStream | SVEEndInputStream;
    if (o.timings) interests |= SVEWordBoundary | SVESentenceBoundary;
    if (marked) interests |= SVEWordBoundary | SVEBookmark;
    voice.SetEventInterests(o.events ? SVEAllEvents : interests);
    voice.SetAllowAudioOutputFormatChangesOnNextSet(false);
    if (o.chapters) return speakChapters(voice, o, format);
    if (o.resume) return speakResumable(voice, o, format);

    std::optional<say::InputRelay> relay;
    Render render;
    if (o.readsStandardInput() || (o.timings && namesAPipe(o))) {
        // The timings need the text before it is spoken, and a pipe cannot be read a second time.
        if (o.readsStandardInput()) {
            readInput(render, o, STDIN_FILENO, "standard input", o.timings ? nullptr : &relay);
        } else {
            const base::UniqueFd pipe(::open(o.file->c_str(), O_RDONLY | O_CLOEXEC));
            if (pipe.get() < 0)
                throw Error(errc::kAccessDenied,
                            "The file \"" + *o.file + "\" cannot be read: " + std::strerror(errno) + ".");
            readInput(render, o, pipe.get(), "file \"" + *o.file + "\"", o.timings ? nullptr : &relay);
        }
        if (interrupted()) return interruptedStatus();
    } else {
        render.text = base::fromUtf8(o.file ? *o.file : *o.text);
        render.flags = o.flags | SVSFlagsAsync | (o.file ? SVSFIsFilename : 0);
    }
    // The timings file is made before the text is read: when it cannot be, nothing is done.
    if (o.timings)
        render.timingsFile =
            std::move(base::ReplacingFile::create({nullptr, *o.timings, base::ReplacingFile::Link::Follow}).orThrow());
    if (o.timings) render.timings.emplace(timingRecorder(o, render));
    if (marked && (render.book || !o.readsStandardInput())) {
        // A document the voice reads from its file is read here for its facts only: its chapters come
        // as the voice's Bookmark events, so its text is read once.
        const bool fromFile = !render.book;
        say::Book book = fromFile ? say::readBook(*o.file, nullptr, documentOptions()) : std::move(*render.book);
        printWarnings(book.warnings);
        render.file = openOutput(voice, o, *o.output, format, bookFileTags(book.info));
        const int frameBytes = render.file->Format().wave().bytesPerFrame();
        if (fromFile && book.document)
            render.marker.emplace(say::ChapterMarker::fromBookmarks(frameBytes, book.info.title));
        else
            render.marker.emplace(std::move(book.chapters), frameBytes, book.info.title);
    } else if (o.output) {
        render.file = openOutput(voice, o, *o.output, format);
    } else {
        if (o.device) voice.SetAudioOutput(voice.GetAudioOutputs("", "").Item(*o.device));
        auto stream = voice.AudioOutputStream();
        stream->Format().SetType(format);
        voice.SetAudioOutputStream(stream);
    }
    return speakToEnd(voice, render, o) ? interruptedStatus() : say::kExitSuccess;
}

}  // namespace

int main(int argc, char** argv) {
    // Before any descriptor is made: one that took a closed standard number would get what is written
    // there (the audio of --output -, the events).
    const base::ClosedStandardStreams closed = base::reopenClosedStandardStreams();
    // Under a file-size limit (ulimit -f), a write past it fails with "File too large" and the render
    // ends with that reason, instead of the signal killing the program half way through a file.
    std::signal(SIGXFSZ, SIG_IGN);
    catchStopSignals();
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
        return run(options, closed);
    } catch (const UsageError& e) {
        std::cerr << "tallamo-say: " << e.message << "\nTry 'tallamo-say --help' for more information.\n";
        return say::kExitUsage;
    } catch (const Error& e) {
        // A wait that a stop signal cut short fails as a matter of course.
        if (interrupted()) return interruptedStatus();
        std::cerr << "tallamo-say: " << e.description() << '\n';
        return say::kExitFailure;
    } catch (const std::bad_alloc&) {
        std::cerr << "tallamo-say: There was not enough memory to go on.\n";
        return say::kExitFailure;
    } catch (const std::exception& e) {
        std::cerr << "tallamo-say: " << e.what() << '\n';
        return say::kExitFailure;
    }
}
