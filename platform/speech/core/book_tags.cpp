// SPDX-License-Identifier: GPL-3.0-or-later
#include "speech/core/book_tags.h"

#include <unicode/utf8.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdint>

namespace speech::core {

namespace {

// Bidirectional embeddings, overrides and isolates, the marks that steer them, and the line and
// paragraph separators: in a title they reorder or break what a player shows around it.
bool isFormatControl(UChar32 c) {
    return (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069) || c == 0x2028 || c == 0x2029 || c == 0x200E ||
           c == 0x200F || c == 0x061C;
}

}  // namespace

std::string tagText(std::string_view text, size_t maxBytes) {
    std::string out;
    out.reserve(std::min(text.size(), maxBytes));
    const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
    const auto length = static_cast<int32_t>(std::min<size_t>(text.size(), INT32_MAX));
    for (int32_t i = 0; i < length;) {
        UChar32 c = 0;
        U8_NEXT(bytes, i, length, c);
        if (c < 0) c = 0xFFFD;
        const bool blank = c < 0x20 || (c >= 0x7F && c < 0xA0) || isFormatControl(c) || c == ' ';
        if (blank) {
            if (!out.empty() && out.back() != ' ') out.push_back(' ');
            continue;
        }
        char encoded[U8_MAX_LENGTH];
        int32_t n = 0;
        U8_APPEND_UNSAFE(encoded, n, c);
        if (out.size() + static_cast<size_t>(n) > maxBytes) break;
        out.append(encoded, static_cast<size_t>(n));
    }
    while (!out.empty() && out.back() == ' ') out.pop_back();
    return out;
}

std::string yearOf(std::string_view date) {
    size_t digits = 0;
    while (digits < date.size() && digits < 4 && std::isdigit(static_cast<unsigned char>(date[digits]))) ++digits;
    const bool more = date.size() > 4 && std::isdigit(static_cast<unsigned char>(date[4]));
    return digits == 4 && !more ? std::string(date.substr(0, 4)) : std::string();
}

uint64_t frameToMs(uint64_t frame, int sampleRate) {
    if (sampleRate <= 0) return 0;
    const auto rate = static_cast<uint64_t>(sampleRate);
    // Split so that no product can overflow, even for a frame count near 2^64.
    return frame / rate * 1000 + frame % rate * 1000 / rate;
}

std::vector<ChapterMark> marksAtRate(std::span<const ChapterMark> marks, int fromRate, int toRate) {
    std::vector<ChapterMark> out(marks.begin(), marks.end());
    if (fromRate <= 0 || toRate <= 0 || fromRate == toRate) return out;
    const auto from = static_cast<uint64_t>(fromRate);
    const auto to = static_cast<uint64_t>(toRate);
    for (auto& mark : out) mark.startFrame = mark.startFrame / from * to + mark.startFrame % from * to / from;
    return out;
}

ImageKind imageKind(std::string_view bytes) {
    if (bytes.starts_with("\xFF\xD8\xFF")) return ImageKind::Jpeg;
    if (bytes.starts_with("\x89PNG\r\n\x1A\n")) return ImageKind::Png;
    return ImageKind::Unknown;
}

std::string_view imageMimeType(ImageKind kind) {
    switch (kind) {
        case ImageKind::Jpeg:
            return "image/jpeg";
        case ImageKind::Png:
            return "image/png";
        case ImageKind::Unknown:
            break;
    }
    return {};
}

std::vector<ChapterMark> fileChapters(std::span<const ChapterMark> marks, const std::string& leadTitle,
                                      uint64_t totalFrames) {
    std::vector<ChapterMark> kept;
    if (marks.empty()) return kept;
    for (const auto& mark : marks) {
        if (mark.startFrame < totalFrames || (totalFrames == 0 && mark.startFrame == 0))
            kept.push_back({tagText(mark.title, kMaxChapterTitleBytes), mark.startFrame});
    }
    std::stable_sort(kept.begin(), kept.end(),
                     [](const ChapterMark& a, const ChapterMark& b) { return a.startFrame < b.startFrame; });
    std::vector<ChapterMark> out;
    for (auto& mark : kept) {
        if (!out.empty() && out.back().startFrame == mark.startFrame) out.pop_back();
        out.push_back(std::move(mark));
    }
    if (out.empty() || out.front().startFrame > 0)
        out.insert(out.begin(), ChapterMark{tagText(leadTitle, kMaxChapterTitleBytes), 0});
    // Some players list a chapter without a title as nothing at all.
    for (size_t i = 0; i < out.size(); ++i) {
        if (out[i].title.empty()) out[i].title = "Chapter " + std::to_string(i + 1);
    }
    return out;
}

FileTags bookFileTags(const BookInfo& book) {
    FileTags tags;
    tags.title = book.title;
    tags.artist = book.author;
    tags.albumArtist = book.author;
    tags.album = book.title;
    tags.genre = "Audiobook";
    tags.year = yearOf(book.date);
    tags.cover = book.cover;
    return tags;
}

FileTags chapterFileTags(const BookInfo& book, const std::string& chapterTitle, int number, int total) {
    FileTags tags = bookFileTags(book);
    tags.title = chapterTitle;
    tags.track = number;
    tags.trackTotal = total;
    return tags;
}

FileTags fitForTags(FileTags tags) {
    for (std::string* text : {&tags.title, &tags.artist, &tags.albumArtist, &tags.album}) *text = tagText(*text, 1024);
    tags.genre = tagText(tags.genre, 256);
    return tags;
}

std::vector<TagField> tagFields(const FileTags& tags, TagFormat format) {
    const std::string track = tags.track > 0 ? std::to_string(tags.track) : std::string();
    const std::string total = tags.trackTotal > 0 ? std::to_string(tags.trackTotal) : std::string();
    const std::string trackOfTotal = track.empty() || total.empty() ? track : track + "/" + total;
    struct Row {
        std::array<const char*, 4> keys;  // by TagFormat; nullptr where the format has no such field
        const std::string& value;
    };
    const Row rows[] = {
        {{"TIT2", "TITLE", "title", "INAM"}, tags.title},
        {{"TPE1", "ARTIST", "artist", "IART"}, tags.artist},
        {{"TPE2", "ALBUMARTIST", "album_artist", nullptr}, tags.albumArtist},
        {{"TALB", "ALBUM", "album", "IPRD"}, tags.album},
        {{"TCON", "GENRE", "genre", "IGNR"}, tags.genre},
        {{"TDRC", "DATE", "date", "ICRD"}, tags.year},
        {{"TRCK", nullptr, "track", nullptr}, trackOfTotal},
        {{nullptr, "TRACKNUMBER", nullptr, "ITRK"}, track},
        {{nullptr, "TRACKTOTAL", nullptr, nullptr}, total},
    };
    std::vector<TagField> fields;
    for (const Row& row : rows) {
        if (const char* key = row.keys[static_cast<size_t>(format)]) fields.push_back({key, row.value});
    }
    return fields;
}

}  // namespace speech::core
