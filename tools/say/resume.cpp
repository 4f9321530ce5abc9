// SPDX-License-Identifier: GPL-3.0-or-later
#include "tools/say/resume.h"

#include <iostream>
#include <string>
#include <vector>

#include "base/utf8.h"
#include "tools/say/book.h"
#include "tools/say/progress.h"
#include "tools/say/render.h"
#include "tools/say/stop_signals.h"

#ifndef TALLAMO_VERSION
#define TALLAMO_VERSION "unknown"
#endif

namespace say {

using namespace speech;

namespace {

// The files the voice's audio is made from besides the text: the lexicons in effect and the engine's
// data folder.
std::vector<std::string> dataFiles(const SpVoice& voice, const Options& o) {
    std::vector<std::string> files = lexiconFiles(o);
    if (const std::string folder = voice.engineData().second; !folder.empty()) files.push_back(folder);
    return files;
}

}  // namespace

ResumeKey resumeKey(const SpVoice& voice, const Options& o, int32_t format, std::string input) {
    return ResumeKey{o.file.value_or(""), audioOptions(o, format), TALLAMO_VERSION,
                     std::move(input),    dataFiles(voice, o),     voice.engineData().first};
}

int speakResumable(SpVoice& voice, const Options& o, int32_t format) {
    // The book as the voice reads it, for the journal's key, its tags and its chapters; the voice
    // itself reads the file, as a render without --resume does.
    std::u16string text;
    Book book = readBook(*o.file, &text, documentOptions());
    printWarnings(book.warnings);
    Render render;
    render.file = makeOutput(o, format, bookFileTags(book.info));
    markChapters(*render.file, book, book.document);
    const ResumeState state =
        render.file->openResumable(*o.output, resumeKey(voice, o, format, spokenInput(text, book)));
    if (!state.notice.empty()) printWarnings({state.notice});
    if (state.frames > 0) {
        const uint64_t seconds = state.frames / static_cast<uint64_t>(render.file->Format().wave().sampleRate);
        std::cerr << "tallamo-say: going on after the " << seconds / 60 << ':' << (seconds % 60 < 10 ? "0" : "")
                  << seconds % 60 << " already rendered\n";
    }
    Progress progress(Progress::wanted() ? std::optional<uint64_t>(text.size()) : std::nullopt);
    progress.setDetail([&] { return audioMade(*render.file); });
    render.progress = &progress;
    voice.SetAudioOutputStream(render.file);
    render.text = base::fromUtf8(*o.file);
    render.flags = o.flags | SVSFlagsAsync | SVSFIsFilename;
    return speakToEnd(voice, render, o) ? interruptedStatus() : kExitSuccess;
}

}  // namespace say
