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

namespace speech::audio {

// What the module gives: its functions, made with the same compiler and headers as the program.
struct MediaFunctions {
    base::Result<std::unique_ptr<Mp4Writer>> (*openMp4)(int fd, const std::string& name, const core::WaveFormat& format,
                                                        const Mp4Choice& choice, const core::FileTags& tags,
                                                        int64_t firstPart);
    base::Result<std::unique_ptr<AacPartEncoder>> (*openAacParts)(const core::WaveFormat& format,
                                                                  const Mp4Choice& choice, int64_t firstPart);
    base::Result<std::vector<std::string>> (*writeFileTags)(int fd, const std::string& name, core::FileCodec codec,
                                                            const core::FileTags& tags,
                                                            std::span<const core::ChapterMark> chapters, int sampleRate,
                                                            uint64_t totalFrames);
};

inline constexpr const char* kMediaModule = "tallamo-media.so";
// The module's one exported symbol: `const MediaFunctions* tallamo_media_functions()`.
inline constexpr const char* kMediaEntry = "tallamo_media_functions";

// The module's functions, loaded the first time; a fault saying why it cannot be loaded.
base::Result<const MediaFunctions*> mediaFunctions();

// An MP4 writer and a part encoder (media/mp4_writer.h) from the module.
base::Result<std::unique_ptr<Mp4Writer>> openMp4Writer(int fd, const std::string& name, const core::WaveFormat& format,
                                                       const Mp4Choice& choice, const core::FileTags& tags,
                                                       int64_t firstPart = 0);
base::Result<std::unique_ptr<AacPartEncoder>> openAacPartEncoder(const core::WaveFormat& format,
                                                                 const Mp4Choice& choice, int64_t firstPart);

// The tags and marks of a finished file of any codec a file stream writes, on `fd`: WAV's cue points,
// labels and INFO list after its audio (wave_markers.h, no module needed), TagLib's tags for MP3, Ogg and
// FLAC through the module; nothing for MP4, whose writer took them. `format` and `totalFrames` are the
// audio's. Warnings, or a fault naming the file.
base::Result<std::vector<std::string>> markFinishedFile(int fd, const std::string& name, core::FileCodec codec,
                                                        const core::WaveFormat& format, uint64_t totalFrames,
                                                        const core::FileTags& tags,
                                                        std::span<const core::ChapterMark> chapters);

}  // namespace speech::audio
