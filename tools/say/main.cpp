// SPDX-License-Identifier: GPL-3.0-or-later
// tallamo-say: speaks a text (or a file) to an audio device in real time or renders it into an audio
// file (WAV, FLAC, Ogg Vorbis, Ogg Opus or MP3, or a WAV stream on standard output), optionally printing
// every voice event as one JSON object per line when it is released, and writing the words' and
// sentences' times beside the audio. A document can be split into a file per chapter, or made a DAISY
// talking book. Without a TEXT or a file the text comes from standard input.

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
#include "tools/say/chapters.h"
#include "tools/say/daisy.h"
#include "tools/say/epub.h"
#include "tools/say/input.h"
#include "tools/say/options.h"
#include "tools/say/progress.h"
#include "tools/say/render.h"
#include "tools/say/resume.h"
#include "tools/say/stop_signals.h"
#include "tools/say/timings.h"

#ifndef TALLAMO_VERSION
#define TALLAMO_VERSION "unknown"
#endif

namespace {

using namespace speech;
using say::interrupted;
using say::interruptedStatus;
using say::Options;
using say::Render;
using say::UsageError;

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
    if (o.readsStandardInput() || (o.file && say::namesAPipe(o))) {
        const base::UniqueFd pipe(o.readsStandardInput() ? -1 : ::open(o.file->c_str(), O_RDONLY | O_CLOEXEC));
        if (!o.readsStandardInput() && pipe.get() < 0)
            throw Error(errc::kAccessDenied,
                        "The file \"" + *o.file + "\" cannot be read: " + std::strerror(errno) + ".");
        say::readInput(render, o, pipe.get() >= 0 ? pipe.get() : STDIN_FILENO,
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
    say::readImageAltText(o.speakAlt);
    voice.setDocumentOptions(say::documentOptions());
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
    const bool toFile = o.output && *o.output != "-" && !o.chapters && !o.daisy && !o.epub;
    const bool marked = toFile && (o.readsStandardInput() || (o.file && !say::namesAPipe(o)));
    int32_t interests = SVEStartInputStream | SVEEndInputStream;
    if (o.timings) interests |= SVEWordBoundary | SVESentenceBoundary;
    if (o.daisy || o.epub) interests |= SVESentenceBoundary;
    if (o.epub && o.overlay == Options::Overlay::Word) interests |= SVEWordBoundary;
    if (marked) interests |= SVEWordBoundary | SVEBookmark;
    voice.SetEventInterests(o.events ? SVEAllEvents : interests);
    voice.SetAllowAudioOutputFormatChangesOnNextSet(false);
    if (o.daisy) return say::speakDaisy(voice, o, format);
    if (o.epub) return say::speakEpub(voice, o, format);
    if (o.chapters) return say::speakChapters(voice, o, format);
    if (o.resume) return say::speakResumable(voice, o, format);

    std::optional<say::InputRelay> relay;
    Render render;
    if (o.readsStandardInput() || (o.timings && say::namesAPipe(o))) {
        // The timings need the text before it is spoken, and a pipe cannot be read a second time.
        if (o.readsStandardInput()) {
            say::readInput(render, o, STDIN_FILENO, "standard input", o.timings ? nullptr : &relay);
        } else {
            const base::UniqueFd pipe(::open(o.file->c_str(), O_RDONLY | O_CLOEXEC));
            if (pipe.get() < 0)
                throw Error(errc::kAccessDenied,
                            "The file \"" + *o.file + "\" cannot be read: " + std::strerror(errno) + ".");
            say::readInput(render, o, pipe.get(), "file \"" + *o.file + "\"", o.timings ? nullptr : &relay);
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
    if (o.timings) render.timings.emplace(say::timingRecorder(o, render));
    if (marked && (render.book || !o.readsStandardInput())) {
        // A document the voice reads from its file is read here for its facts only: its chapters come
        // as the voice's Bookmark events, so its text is read once.
        const bool fromFile = !render.book;
        say::Book book = fromFile ? say::readBook(*o.file, nullptr, say::documentOptions()) : std::move(*render.book);
        say::printWarnings(book.warnings);
        render.file = say::openOutput(voice, o, *o.output, format, bookFileTags(book.info));
        say::markChapters(*render.file, book, fromFile && book.document);
    } else if (o.output) {
        render.file = say::openOutput(voice, o, *o.output, format);
    } else {
        if (o.device) voice.SetAudioOutput(voice.GetAudioOutputs("", "").Item(*o.device));
        auto stream = voice.AudioOutputStream();
        stream->Format().SetType(format);
        voice.SetAudioOutputStream(stream);
    }
    // A render into a file shows its progress on a terminal; only then is the text's length found (a
    // text streamed from standard input has none).
    std::optional<say::Progress> progress;
    if (o.output && say::Progress::wanted()) {
        std::optional<uint64_t> total;
        if (!(render.flags & SVSFIsFilename)) {
            total = render.text.size();
        } else if (!relay) {
            try {
                if (auto spoken = speech::spokenTextOfFile(*o.file, render.flags, say::documentOptions()))
                    total = spoken->text.size();
            } catch (const Error&) {
                // The render says what is wrong with the file.
            }
        }
        progress.emplace(total);
        if (render.file) progress->setDetail([&] { return say::audioMade(*render.file); });
        render.progress = &*progress;
    }
    return say::speakToEnd(voice, render, o) ? interruptedStatus() : say::kExitSuccess;
}

}  // namespace

int main(int argc, char** argv) {
    // Before any descriptor is made: one that took a closed standard number would get what is written
    // there (the audio of --output -, the events).
    const base::ClosedStandardStreams closed = base::reopenClosedStandardStreams();
    // Under a file-size limit (ulimit -f), a write past it fails with "File too large" and the render
    // ends with that reason, instead of the signal killing the program half way through a file.
    std::signal(SIGXFSZ, SIG_IGN);
    say::catchStopSignals();
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
