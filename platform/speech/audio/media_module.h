// SPDX-License-Identifier: GPL-3.0-or-later
// The parts of a book's files that need FFmpeg and TagLib: the MP4 writer (mp4_writer.h), the tags and
// chapter marks of MP3, Ogg and FLAC files (chapter_tags.h) and the check of cover images. FFmpeg's
// libraries bring some hundred more libraries, which would otherwise be loaded and relocated by every
// start of every program (four times the start of tallamo-say, three times its memory); so these
// parts are a module of their own, tallamo-media.so, loaded the first time a file needs them. It lies
// beside the running program or under <its folder>/../libexec/tallamo, as the engine helper does.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "base/error.h"
#include "speech/audio/mp4_writer.h"
#include "speech/core/book_tags.h"
#include "speech/core/formats.h"

namespace speech {

// What the module gives: its functions, made with the same compiler and headers as the program.
struct MediaFunctions {
    Result<std::unique_ptr<Mp4Writer>> (*openMp4)(int fd, const std::string& name, const WaveFormat& format,
                                                  const Mp4Choice& choice, const FileTags& tags, int64_t firstPart);
    Result<std::unique_ptr<AacPartEncoder>> (*openAacParts)(const WaveFormat& format, const Mp4Choice& choice,
                                                            int64_t firstPart);
    Result<std::vector<std::string>> (*writeChapterTags)(int fd, const std::string& name, FileCodec codec,
                                                         const FileTags& tags, std::span<const ChapterMark> chapters,
                                                         int sampleRate, uint64_t totalFrames);
};

inline constexpr const char* kMediaModule = "tallamo-media.so";
// The module's one exported symbol: `const MediaFunctions* tallamo_media_functions()`.
inline constexpr const char* kMediaEntry = "tallamo_media_functions";

// The module's functions, loaded the first time; a fault saying why it cannot be loaded.
Result<const MediaFunctions*> mediaFunctions();

// An MP4 writer (Mp4Writer::open) and a part encoder (AacPartEncoder::open) from the module.
Result<std::unique_ptr<Mp4Writer>> openMp4Writer(int fd, const std::string& name, const WaveFormat& format,
                                                 const Mp4Choice& choice, const FileTags& tags, int64_t firstPart = 0);
Result<std::unique_ptr<AacPartEncoder>> openAacPartEncoder(const WaveFormat& format, const Mp4Choice& choice,
                                                           int64_t firstPart);

// The tags and marks of a finished file of any codec a file stream writes, on `fd`: WAV's cue points,
// labels and INFO list after its audio (wave_markers.h, no module needed), TagLib's tags for MP3, Ogg and
// FLAC through the module; nothing for MP4, whose writer took them. `format` and `totalFrames` are the
// audio's. Warnings, or a fault naming the file.
Result<std::vector<std::string>> markFinishedFile(int fd, const std::string& name, FileCodec codec,
                                                  const WaveFormat& format, uint64_t totalFrames, const FileTags& tags,
                                                  std::span<const ChapterMark> chapters);

}  // namespace speech
