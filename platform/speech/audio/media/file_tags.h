// SPDX-License-Identifier: GPL-3.0-or-later
// Tags and chapter marks for the compressed files libsndfile writes (MP3, Ogg Vorbis, Ogg Opus, FLAC),
// written with TagLib into the finished file, before it is put in place:
//   MP3: an ID3v2.3 tag with title, artist, album artist, album, genre, year, track, the cover (APIC),
//        a CHAP frame per chapter (start and end in ms, its title as an embedded TIT2) and a CTOC
//        frame listing them in order;
//   Ogg Vorbis, Ogg Opus, FLAC: TITLE, ARTIST, ALBUMARTIST, ALBUM, GENRE, DATE, TRACKNUMBER,
//        TRACKTOTAL, CHAPTERnnn=HH:MM:SS.mmm and CHAPTERnnnNAME (nnn from 001; the scheme has three
//        digits, so 999 chapters at most), and the cover as a picture (a FLAC PICTURE block, or
//        METADATA_BLOCK_PICTURE in Ogg).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "base/error.h"
#include "speech/core/book_tags.h"
#include "speech/core/formats.h"

namespace speech::audio::media {

// Writes `tags` and `chapters` (normalized with fileChapters(), the album or title leading) into the
// finished file on `fd`, which stays the caller's; `codec` is one of Mp3, OggVorbis, OggOpus, Flac;
// `totalFrames` and `sampleRate` are the audio's (a chapter start is a frame at that rate). Every read
// and write is the descriptor's own, checked: a failed one is a fault naming the file `name`. Returns
// warnings (chapters past what the format holds, a cover that is no JPEG or PNG).
base::Result<std::vector<std::string>> writeFileTags(int fd, const std::string& name, core::FileCodec codec,
                                                     const core::FileTags& tags,
                                                     std::span<const core::ChapterMark> chapters, int sampleRate,
                                                     uint64_t totalFrames);

// "01:02:03.004" for a time in milliseconds (hours take more digits past 99).
std::string chapterTime(uint64_t ms);

}  // namespace speech::audio::media
