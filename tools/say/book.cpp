// SPDX-License-Identifier: GPL-3.0-or-later
#include "tools/say/book.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>

#include "base/error.h"
#include "encoding/decoder.h"
#include "speech/names.h"

namespace say {

namespace {

std::string readFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) throw speech::Error(speech::errc::kFile, "Cannot read the file \"" + path + "\".");
    return bytes;
}

}  // namespace

namespace {

// A document's facts, chapters and (with `text`) text, into `book`.
void readDocument(documents::Document& document, const std::string& name, Book& book, std::u16string* text) {
    book.document = true;
    if (!document.title().empty()) book.info.title = document.title();
    book.info.author = document.metadata().author;
    book.info.date = document.metadata().date;
    book.language = document.metadata().language;
    auto cover = document.cover();
    if (!cover) {
        book.warnings.push_back("The cover image of " + name + " is left out: " + cover.fault().message);
    } else if (cover.value()) {
        book.info.cover = std::move(*cover.value());
    }
    if (!text) return;
    std::u16string read;
    while (document.read(read, book.chapters)) {
        text->append(read);
        read.clear();
    }
    if (const auto& failure = document.failure()) throw speech::Error(failure->code, failure->message);
}

}  // namespace

Book readBook(const std::string& path, std::u16string* text, const documents::Options& options) {
    Book book;
    book.info.title = std::filesystem::path(path).stem().string();
    if (!documents::looksLikeDocument(path)) {
        if (text) {
            const std::string bytes = readFileBytes(path);
            *text = encoding::decodeText(std::span(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
        }
        return book;
    }
    auto opened = documents::Document::open(path, options);
    if (!opened) throw speech::Error(opened.fault().code, opened.fault().message);
    readDocument(*opened.value(), "\"" + path + "\"", book, text);
    return book;
}

Book readDocumentBytes(std::string bytes, const std::string& name, std::u16string& text,
                       const documents::Options& options) {
    auto opened = documents::Document::openBytes(std::make_shared<const std::string>(std::move(bytes)), name, options);
    if (!opened) throw speech::Error(opened.fault().code, opened.fault().message);
    Book book;
    readDocument(*opened.value(), name, book, &text);
    return book;
}

void markChapters(speech::SpFileStream& file, const Book& book, bool byBookmarks) {
    if (byBookmarks) {
        file.markChaptersByBookmarks(book.info.title);
        return;
    }
    std::vector<speech::core::ChapterStart> starts;
    for (const auto& c : book.chapters) starts.push_back({c.title, c.position});
    file.markChapters(std::move(starts), book.info.title);
}

std::string spokenInput(std::u16string_view text, const Book& book) {
    std::string input(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(char16_t));
    for (const auto& chapter : book.chapters)
        input += "\nchapter " + std::to_string(chapter.position) + ' ' + chapter.title;
    return input;
}

}  // namespace say
