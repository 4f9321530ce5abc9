// SPDX-License-Identifier: GPL-3.0-or-later
// The module's MP4 writer and AAC part encoder (the interfaces are ../mp4_writer.h): AAC from FFmpeg's
// own encoder, in parts encoded side by side, muxed with chapters, tags and a cover by FFmpeg's MP4
// muxer. The platform reaches them through the media module (../media_module.h); the tests and the
// benchmarks call them directly.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "base/error.h"
#include "speech/audio/mp4_writer.h"
#include "speech/core/book_tags.h"
#include "speech/core/formats.h"

namespace speech::audio::media {

// The bit rate the encoder is asked for at a quality, a channel: what gives about 24 to 128 kbit/s of
// speech in eleven steps (the command line's 0..10), about 64 at the middle and without a quality; at
// most what the encoder can put in a frame at the rate.
int64_t aacBitRate(std::optional<double> quality, const core::WaveFormat& format);

// Starts the file on `fd`, which must be seekable, readable and empty; it stays the caller's. `name` is
// the user's file name, for messages. `format` is the samples' (8- or 16-bit, mono or stereo, any
// rate). A cover that is not a JPEG or PNG image that decodes is left out, with a warning (see
// Mp4Writer::warnings()); every other failure is a fault. With `firstPart`, the parts before it are
// given encoded (writeStoredPart) and the samples start at that part's context (at
// max(0, firstPart * kAacPartSamples - kAacPartContext)).
base::Result<std::unique_ptr<Mp4Writer>> makeMp4Writer(int fd, const std::string& name, const core::WaveFormat& format,
                                                       const Mp4Choice& choice, const core::FileTags& tags,
                                                       int64_t firstPart = 0);

// An encoder of the whole parts of a stream from part `firstPart` on, as makeMp4Writer's would encode
// them (see AacPartEncoder).
base::Result<std::unique_ptr<AacPartEncoder>> makeAacPartEncoder(const core::WaveFormat& format,
                                                                 const Mp4Choice& choice, int64_t firstPart);

}  // namespace speech::audio::media
