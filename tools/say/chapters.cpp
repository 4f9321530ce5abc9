// SPDX-License-Identifier: GPL-3.0-or-later
#include "tools/say/chapters.h"

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "base/files.h"
#include "documents/document.h"
#include "tools/say/file_names.h"
#include "tools/say/progress.h"
#include "tools/say/render.h"
#include "tools/say/stop_signals.h"

namespace say {

using namespace speech;

namespace {

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

}  // namespace

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

    // The progress over the document's text, on a terminal.
    Progress progress(Progress::wanted() ? std::optional<uint64_t>(base) : std::nullopt);

    struct Unit {
        int32_t number;
        std::string title;
    } unit{0, book.title};
    int track = 0;
    const int32_t flags = plainTextFlags(o);
    const std::string audioExtension = asExtension(o.chaptersFormat.value_or("wav"));
    // Speaks text[0, end) into the current unit's files (none when it is all blank) and drops it.
    auto speakUnit = [&](size_t end) {
        bool stopped = false;
        if (!blank(std::u16string_view(text).substr(0, end))) {
            const std::string name = chapterFileName(unit.number, width, unit.title);
            Render render;
            render.text = text.substr(0, end);
            render.flags = flags;
            if (o.timings) {
                render.timings.emplace(render.text, false);
                render.timingsFile = std::move(base::ReplacingFile::create({&folder, name + asExtension(*o.timings),
                                                                            base::ReplacingFile::Link::Replace})
                                                   .orThrow());
            }
            progress.startPart(base, end, "chapter " + std::to_string(track + 1) + " of " + std::to_string(total));
            render.progress = &progress;
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
    progress.finished();
    return kExitSuccess;
}

}  // namespace say
