// SPDX-License-Identifier: GPL-3.0-or-later
#include "tools/say/render.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <iostream>
#include <mutex>
#include <span>

#include "base/utf8.h"
#include "documents/document.h"
#include "encoding/decoder.h"
#include "speech/spoken_text.h"
#include "tools/say/event_json.h"
#include "tools/say/stop_signals.h"

namespace say {

using namespace speech;

namespace {

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
        render.file->Close();
        printWarnings(render.file->warnings());
    }
    if (auto error = voice.takeStreamError()) throw *error;
    if (render.timingsFile) render.timingsFile->putInPlace().orThrow();
}

}  // namespace

int32_t plainTextFlags(const Options& o) {
    return (o.flags & ~(SVSFIsXML | SVSFIsFilename)) | SVSFIsNotXML;
}

void printWarnings(const std::vector<std::string>& warnings) {
    for (const auto& w : warnings) Progress::printLine(w);
}

void readInput(Render& render, const Options& o, int fd, const std::string& name, std::optional<InputRelay>* relay) {
    if (::isatty(fd)) std::cerr << "tallamo-say: reading the text to speak; end it with Ctrl+D\n";
    bool ended = false;
    std::string head = readHead(fd, 4096, ended);
    const std::span<const uint8_t> first(reinterpret_cast<const uint8_t*>(head.data()), head.size());
    const bool document = documents::looksLikeDocument(first);
    // Input that starts as neither is not read on: it may never end (/dev/zero).
    if (!document && encoding::looksBinary(first))
        throw Error(errc::kFile, "The " + name + " is neither a text nor a document.");
    const uint64_t limit = documents::Limits{}.maxExpandedBytes;
    if (document) {
        render.book =
            readDocumentBytes(readRest(fd, std::move(head), limit, name), name, render.text, documentOptions());
        render.flags = plainTextFlags(o) | SVSFlagsAsync;
    } else if (!relay) {
        const std::string all = readRest(fd, std::move(head), limit, name);
        render.text = encoding::decodeText(std::span(reinterpret_cast<const uint8_t*>(all.data()), all.size()));
        render.flags = o.flags | SVSFlagsAsync;
    } else {
        relay->emplace(fd, std::move(head));
        render.text = base::fromUtf8((*relay)->path());
        render.flags = o.flags | SVSFlagsAsync | SVSFIsFilename;
    }
}

bool namesAPipe(const Options& o) {
    struct stat st {};
    return o.file && *o.file != "-" && ::stat(o.file->c_str(), &st) == 0 && !S_ISREG(st.st_mode) &&
           !S_ISBLK(st.st_mode) && !S_ISDIR(st.st_mode);
}

TimingRecorder timingRecorder(const Options& o, const Render& render) {
    if (!(render.flags & SVSFIsFilename)) {
        SpokenText spoken = spokenText(render.text, render.flags);
        return TimingRecorder(std::move(spoken.text), spoken.markup);
    }
    auto spoken = spokenTextOfFile(*o.file, render.flags, documentOptions());
    if (!spoken) throw UsageError{"--timings needs a text; \"" + *o.file + "\" is a sound file"};
    return TimingRecorder(std::move(spoken->text), spoken->markup);
}

std::shared_ptr<SpFileStream> makeOutput(const Options& o, int32_t format, std::optional<FileTags> tags) {
    auto file = std::make_shared<SpFileStream>();
    file->Format().SetType(format);
    file->setCodec(o.codec, o.quality ? std::optional<double>(*o.quality / 10.0) : std::nullopt);
    file->setTags(std::move(tags));
    return file;
}

std::shared_ptr<SpFileStream> openOutput(SpVoice& voice, const Options& o, const std::string& path, int32_t format,
                                         std::optional<FileTags> tags, const base::Folder* folder) {
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
            if (o.events) std::cout << eventJson(e) << '\n';
            if (render.timings) render.timings->add(e);
            if (render.onEvent) render.onEvent(e);
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
        // The voice's current sentence, whose events are made for every render whatever it asks for.
        if (render.progress && render.progress->due())
            render.progress->reached(static_cast<uint64_t>(std::max(0, voice.Status().inputSentencePosition)));
    }
    printEvents();
    voice.SetNotify({});
    // A signal may also end the stream itself (a closed standard output fails its writes).
    return stopped || interrupted();
}

// Speaks and waits for the end (speakAndWait). A complete render puts its files in place, its chapters
// marked; an interrupted one leaves none, and no earlier file is lost. Returns whether it was

std::string audioMade(const SpFileStream& file) {
    const uint64_t seconds = file.bytesWritten() / static_cast<uint64_t>(file.Format().wave().bytesPerSecond());
    char text[48];
    std::snprintf(text, sizeof text, "%llu:%02llu of audio", static_cast<unsigned long long>(seconds / 60),
                  static_cast<unsigned long long>(seconds % 60));
    return text;
}

bool speakToEnd(SpVoice& voice, Render& render, const Options& o) {
    if (speakAndWait(voice, render, o)) {
        if (render.file) render.file->discard();
        return true;
    }
    // Drawn while the file still counts its audio.
    if (render.progress) render.progress->partDone();
    saveRender(voice, render, o);
    return false;
}

// What the tags of a document's files say: its title (else the file's name), author, date and cover

}  // namespace say
