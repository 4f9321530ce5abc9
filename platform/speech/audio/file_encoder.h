// SPDX-License-Identifier: GPL-3.0-or-later
// Internal to the file stream: encoders that turn interleaved samples in a WaveFormat into a file on an
// open descriptor. libsndfile does every container it can write to a seekable file (WAV, RF64, FLAC,
// Ogg Vorbis, Ogg Opus, MP3); a WAV stream to a pipe, which libsndfile refuses, is written here.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "base/error.h"
#include "base/files.h"
#include "speech/core/formats.h"

namespace speech::audio {

class SoundFileEncoder {
public:
    virtual ~SoundFileEncoder() = default;
    // Whole frames in the encoder's format.
    virtual base::Result<void> write(std::span<const uint8_t> frames) = 0;
    // Finishes the file (trailing header fields, the codec's last packets); the descriptor stays open.
    virtual base::Result<void> finish() = 0;
};

struct EncoderChoice {
    core::FileCodec codec = core::FileCodec::Wav;
    std::optional<double> quality;  // 0 (smallest) .. 1 (best), lossy codecs only
    bool rf64 = false;              // WAV as RF64 (for audio past 4 GB)
};

using WriteCall = int (*)(int fd, std::span<const uint8_t> bytes, uint64_t offset);

// A libsndfile encoder on `fd`, which must be seekable, from where the descriptor is. `name` is the
// user's file name, for messages. Every byte libsndfile writes goes through `write` (tests put a
// full disk in its place), and a failed one fails the write or the finish that made it, whatever
// the codec: a full disk is never a success.
base::Result<std::unique_ptr<SoundFileEncoder>> openSndfileEncoder(int fd, const std::string& name,
                                                                   const core::WaveFormat& format,
                                                                   const EncoderChoice& choice,
                                                                   WriteCall write = base::pwriteAll);

// A WAV stream on a descriptor that cannot seek: the header's sizes say "unknown length" (all ones, as
// readers of piped WAV take it), the samples follow as they come.
base::Result<std::unique_ptr<SoundFileEncoder>> openStreamedWave(int fd, const std::string& name,
                                                                 const core::WaveFormat& format);

// The canonical 44-byte PCM WAV header, its RIFF and data sizes those of `dataBytes` of samples (an
// odd data chunk is followed by a pad byte, which the RIFF size counts; all ones: an unknown length).
std::array<uint8_t, 44> waveHeader(const core::WaveFormat& format, uint32_t dataBytes);

// Sets or clears the descriptor's O_DIRECT flag; false where that is refused.
bool setDirectFlag(int fd, bool on);

// The calls through which a direct WAV reaches its file. A file system that refuses direct writes is
// made in tests by putting others in their place.
struct DirectFileCalls {
    int (*write)(int fd, std::span<const uint8_t> bytes, uint64_t offset) = base::pwriteAll;
    bool (*setDirect)(int fd, bool on) = setDirectFlag;
};

// A plain WAV (under 4 GB) in a regular file that `fd` holds alone, written from its start. Its samples
// go to the disk with O_DIRECT, past the page cache, in aligned blocks: on a fast disk that costs a small
// part of what copying them through the page cache costs (a second of the processor's time for a
// gigabyte here), and the flush before the file is put in place has little left to do. Where the file
// system refuses O_DIRECT, when the flag is set or at a block's write, the file is written the ordinary
// way, to the same bytes. The samples start at byte 44, where the descriptor is left; once the file is
// finished, the descriptor is without O_DIRECT again.
base::Result<std::unique_ptr<SoundFileEncoder>> openDirectWave(int fd, const std::string& name,
                                                               const core::WaveFormat& format,
                                                               const DirectFileCalls& calls = {});

}  // namespace speech::audio
