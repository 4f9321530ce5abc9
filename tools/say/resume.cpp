// SPDX-License-Identifier: GPL-3.0-or-later
#include "tools/say/resume.h"

#include <algorithm>
#include <iostream>
#include <string>
#include <vector>

#include "tools/say/book.h"
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

int speakResumable(SpVoice& voice, const Options& o, int32_t format) {
    std::u16string text;
    Book book = readBook(*o.file, &text, documentOptions());
    printWarnings(book.warnings);
    const std::vector<Unit> units = cutUnits(text, book.chapters, kResumeUnitText);
    auto file = makeOutput(o, format, bookFileTags(book.info));
    const ResumeState state = file->openResumable(
        *o.output, ResumeKey{*o.file, audioOptions(o, format), TALLAMO_VERSION, spokenInput(text, book),
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
        const Unit& unit = units[i];
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
    return kExitSuccess;
}

// How many engine workers to start before the voice: as many as a render into a file runs at once, or
// one for a text too short to fill a second (a chain of segments is about a thousand letters long).

}  // namespace say
