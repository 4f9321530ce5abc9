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

ChapterMarker::ChapterMarker(std::vector<documents::Chapter> chapters, int bytesPerFrame, std::string title,
                             uint64_t offset)
    : chapters_(std::move(chapters)),
      bytesPerFrame_(static_cast<uint64_t>(std::max(1, bytesPerFrame))),
      title_(std::move(title)),
      offset_(offset) {}

ChapterMarker ChapterMarker::fromBookmarks(int bytesPerFrame, std::string title) {
    ChapterMarker marker({}, bytesPerFrame, std::move(title));
    marker.byBookmarks_ = true;
    return marker;
}

void ChapterMarker::add(const speech::VoiceEvent& event) {
    if (byBookmarks_) {
        if (event.kind == speech::EventKind::Bookmark) {
            waiting_.push_back(event.bookmark);
            sawBookmark_ = true;
        } else if (event.kind == speech::EventKind::Word) {
            for (auto& title : waiting_) marks_.push_back({std::move(title), event.streamPosition / bytesPerFrame_});
            waiting_.clear();
        }
        return;
    }
    if (event.kind != speech::EventKind::Word || event.characterPosition < 0) return;
    const uint64_t at = offset_ + static_cast<uint64_t>(event.characterPosition);
    // Every chapter this word is at or past starts here: a chapter without words gives way (in the
    // file's marks) to the one that has them.
    while (next_ < chapters_.size() && chapters_[next_].position <= at) {
        marks_.push_back({chapters_[next_].title, event.streamPosition / bytesPerFrame_});
        ++next_;
    }
}

std::vector<speech::ChapterMark> ChapterMarker::marks() const {
    if (byBookmarks_ ? !sawBookmark_ : chapters_.empty()) return {{title_, 0}};
    return marks_;
}

std::optional<uint64_t> ChapterMarker::firstStart() const {
    if (marks_.empty()) return std::nullopt;
    return marks_.front().startFrame;
}

std::vector<Unit> cutUnits(std::u16string_view text, const std::vector<documents::Chapter>& chapters, size_t size) {
    std::vector<Unit> units;
    // One stretch of text a chapter (and one for the text before the first), each cut at the first line
    // break after every `size` units.
    const auto cut = [&](size_t begin, size_t end, std::optional<size_t> chapter) {
        for (size_t from = begin + size; from < end;) {
            const size_t lineEnd = text.find(u'\n', from);
            if (lineEnd == std::u16string_view::npos || lineEnd + 1 >= end) break;
            units.push_back({begin, lineEnd + 1, chapter});
            chapter.reset();
            begin = lineEnd + 1;
            from = begin + size;
        }
        units.push_back({begin, end, chapter});
    };
    const auto startOf = [&](size_t i) {
        return std::min<size_t>(static_cast<size_t>(chapters[i].position), text.size());
    };
    const size_t first = chapters.empty() ? text.size() : startOf(0);
    if (first > 0) cut(0, first, std::nullopt);
    for (size_t i = 0; i < chapters.size(); ++i)
        cut(startOf(i), i + 1 < chapters.size() ? startOf(i + 1) : text.size(), i);
    return units;
}

std::string spokenInput(std::u16string_view text, const Book& book) {
    std::string input(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(char16_t));
    for (const auto& chapter : book.chapters)
        input += "\nchapter " + std::to_string(chapter.position) + ' ' + chapter.title;
    return input;
}

}  // namespace say
