// SPDX-License-Identifier: GPL-3.0-or-later
// FFmpeg's I/O over a descriptor: what the MP4 writer's muxer writes the file with, and reads it back
// with for the fast start.
#pragma once

#include <cstdint>

#include "base/error.h"
#include "speech/audio/media/ffmpeg_handles.h"

namespace speech::audio::media {

// A descriptor as FFmpeg's I/O: positioned reads and writes at a position of its own, so that the
// second pass of a fast start (reading the file while the muxer writes it) needs no second descriptor.
// The first failure's errno is kept: the muxer does not check every write it makes.
struct FdIo {
    int fd = -1;
    int64_t position = 0;
    int error = 0;
};

// An I/O context over `io`, for writing or for reading; `io` must outlive it.
base::Result<ff::IoContext> makeIoContext(FdIo& io, bool write);

}  // namespace speech::audio::media
