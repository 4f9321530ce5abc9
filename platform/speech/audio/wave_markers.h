// SPDX-License-Identifier: GPL-3.0-or-later
// Chapter marks and tags in a WAV file: a `cue ` chunk with a point per chapter at its first frame (exact
// to the sample), a LIST/adtl chunk with a `labl` per point (the chapter's title), and a LIST/INFO
// chunk with the title (INAM), artist (IART), album (IPRD), genre (IGNR), year (ICRD) and track (ITRK).
//
// They are appended to the finished file, after its audio. libsndfile writes cue points only before the
// first frame, when a streamed render does not yet know where its chapters start, and never writes
// labels (it drops the points' names); it reads every chunk, after the audio too, so its SFC_GET_CUE
// gives these points back.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "base/error.h"
#include "speech/core/book_tags.h"

namespace speech::audio {

// The most cue points written: libsndfile skips the whole `cue ` chunk of a file with more, and a
// point counts frames in 32 bits.
inline constexpr size_t kMaxWaveCues = 2500;

// For a finished plain WAV file on `fd` (as the platform's direct WAV writer leaves it, or any RIFF WAVE
// whose chunks are sound): appends the three chunks after its last one and sets the RIFF size, so the
// audio stays where it is. RF64 files, and files that already have cue points, are refused. `name` is
// the user's, for messages. Returns warnings (chapters past what a WAV file holds).
base::Result<std::vector<std::string>> appendWaveMarkers(int fd, const std::string& name, const core::FileTags& tags,
                                                         std::span<const core::ChapterMark> chapters);

}  // namespace speech::audio
