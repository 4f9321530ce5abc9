// SPDX-License-Identifier: GPL-3.0-or-later
// What an audio file of a book carries besides its samples: the tags (title, author, album, track,
// cover) and the chapter marks, each mark the first frame of its chapter's first word.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace speech::core {

// A book as its document describes it (all UTF-8; empty when the document does not say).
struct BookInfo {
    std::string title;
    std::string author;
    std::string date;   // as the document gives it: "1851", "1851-10-18", "1851-10-18T00:00:00Z"
    std::string cover;  // the cover image file's bytes (JPEG or PNG)
};

// The tags of one file. A whole book in one file is titled after the book; a file per chapter is
// titled after its chapter, with the book as its album and its place as the track.
struct FileTags {
    std::string title;
    std::string artist;
    std::string albumArtist;
    std::string album;
    std::string genre;
    std::string year;  // four digits, or empty
    int track = 0;     // 1-based; 0 for none
    int trackTotal = 0;
    std::string cover;  // image bytes, or empty
    friend bool operator==(const FileTags&, const FileTags&) = default;
};

FileTags bookFileTags(const BookInfo& book);
FileTags chapterFileTags(const BookInfo& book, const std::string& chapterTitle, int number, int total);

// A chapter's title and where it starts, in frames of the file's sample rate.
struct ChapterMark {
    std::string title;
    uint64_t startFrame = 0;
    friend bool operator==(const ChapterMark&, const ChapterMark&) = default;
};

// The longest chapter title written, in bytes: what the MP4 Nero chapter list holds, so that every
// format shows the same title.
inline constexpr size_t kMaxChapterTitleBytes = 255;

// The marks a file gets: none without marks (a file of one chapter of a book); else the titles made
// fit for tags, in the order of their starts, those at or past `totalFrames` dropped, of marks at one
// start only the last (an empty chapter's heading gives way to the chapter that has text), and a first
// mark titled `leadTitle` at frame 0 when the first starts later (the text before the first chapter)
// or when all were past the end. A title left empty becomes "Chapter N", N its place in the list. (A
// book without chapters is given one mark, at 0, titled by the book, by its caller.)
std::vector<ChapterMark> fileChapters(std::span<const ChapterMark> marks, const std::string& leadTitle,
                                      uint64_t totalFrames);

// The marks at another sample rate: each start at the frame that holds the same instant (rounded down).
std::vector<ChapterMark> marksAtRate(std::span<const ChapterMark> marks, int fromRate, int toRate);

// The millisecond a frame falls in (rounded down, so a player seeking there never cuts into the word).
uint64_t frameToMs(uint64_t frame, int sampleRate);

// The year of a document's date ("1851-10-18" -> "1851"); empty when it does not start with one.
std::string yearOf(std::string_view date);

enum class ImageKind { Unknown, Jpeg, Png };
ImageKind imageKind(std::string_view bytes);
std::string_view imageMimeType(ImageKind kind);

// `text` made fit for a tag: control characters (line breaks, tabs, C1 controls, bidirectional
// overrides and isolates) become spaces, runs of spaces one, ends trimmed, invalid UTF-8 replaced by
// U+FFFD, and cut at a character boundary to at most `maxBytes` bytes.
std::string tagText(std::string_view text, size_t maxBytes);

// `tags` with each text made fit for a tag (tagText): names and titles at most 1024 bytes, the genre 256.
// Every file writer takes its tags through this.
FileTags fitForTags(FileTags tags);

// The tag formats a file writer writes: ID3v2 frames (MP3), Vorbis comments (Ogg, FLAC), MP4 (FFmpeg's
// metadata keys) and a WAV file's LIST/INFO chunk.
enum class TagFormat { Id3, Xiph, Mp4, RiffInfo };

// One field of a file's tags as a format names it; an empty value is a field to leave out (or remove).
struct TagField {
    const char* key;
    std::string value;
};

// Every field `format` has for `tags`, in one order for all formats: title, artist, album artist,
// album, genre, year, track. The track is "n/total" in ID3 and MP4, TRACKNUMBER and TRACKTOTAL in
// Vorbis comments, and "n" in INFO, which has no album artist.
std::vector<TagField> tagFields(const FileTags& tags, TagFormat format);

}  // namespace speech::core
