// SPDX-License-Identifier: GPL-3.0-or-later
// Audiobooks and audio files in MP4 (.m4b, .m4a): AAC from FFmpeg's own encoder, chapters, iTunes-style
// tags and a cover picture, written by FFmpeg's MP4 muxer onto a descriptor the caller owns (the
// temporary file that is put in place when the render is complete).
//
// The AAC encoder costs some thirty times the rest of a render, so the audio is cut into parts that
// are encoded side by side, one encoder a part, on threads of the writer's own, and their packets are
// written in order into one track. A part's encoder starts two frames before the part and runs two
// frames past it, so that the encoders on both sides of a cut see the same sound around it and their
// frames overlap as one encoder's would; the packets outside the part are dropped. The cuts lie at
// fixed places, so the file is the same for any number of threads.
//
// The chapters go in twice, as the muxer writes them: a QuickTime chapter track (a disabled text track
// that the audio track names in its 'chap' reference; what Apple's players and most others read) and
// a Nero chapter list ('chpl' in the movie's user data, which holds at most 255 chapters of at most 255
// bytes a title; read by players built on older MP4 libraries). They are given when the file is
// finished, as a streamed render learns where each chapter starts only when it gets there.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/error.h"
#include "speech/core/book_tags.h"
#include "speech/core/formats.h"

namespace speech {

// The AAC encoder's search for its quantizers. Fast costs about a sixth of TwoLoop's time (measured:
// 170 against 30 seconds of 22 kHz speech a second of one core).
enum class AacSearch { Fast, TwoLoop };

struct Mp4Choice {
    std::optional<double> quality;  // 0 (smallest) .. 1 (best); nothing: about 64 kbit/s a channel
    bool audiobook = true;          // .m4b: brand "M4B ", media kind Audiobook; false: .m4a
    bool fastStart = true;          // the index before the audio (one more pass over the file at the end)
    AacSearch search = AacSearch::Fast;
    // Encoder threads; 0 encodes on the writing thread. The file is the same for every count.
    int threads = 2;
};

// The writer cuts the audio into parts of this many samples (at the stream's rate: 12 s at 22.05 kHz;
// each costs an encoder's start and four frames encoded twice, 1.6%), each encoded by an encoder of its
// own that starts kAacPartContext samples before the part and runs as far past it.
inline constexpr int64_t kAacPartSamples = 256 * 1024;
inline constexpr int64_t kAacPartContext = 2 * 1024;

// One part's AAC packets, as the writer writes them into the file: what a journal keeps of them.
struct AacPart {
    struct Packet {
        uint32_t offset = 0;  // in bytes
        uint32_t size = 0;
        int64_t pts = 0;  // in samples of the stream
        int64_t duration = 0;
    };
    int64_t index = 0;
    std::vector<uint8_t> bytes;
    std::vector<Packet> packets;
};

// The bit rate the encoder is asked for at a quality, a channel: what gives about 24 to 128 kbit/s of
// speech in eleven steps (the command line's 0..10), about 64 at the middle and without a quality; at
// most what the encoder can put in a frame at the rate.
int64_t aacBitRate(std::optional<double> quality, const WaveFormat& format);

class Mp4Writer {
public:
    // Starts the file on `fd`, which must be seekable, readable and empty; it stays the caller's.
    // `name` is the user's file name, for messages. `format` is the samples' (8- or 16-bit, mono or
    // stereo, any rate). A cover that is not a JPEG or PNG image that decodes is left out, with a
    // warning (see warnings()); every other failure is a fault. (The platform reaches it through the
    // media module, media_module.h.)
    // With `firstPart`, the parts before it are given encoded (writeStoredPart) and the samples start
    // at that part's context (at max(0, firstPart * kAacPartSamples - kAacPartContext)).
    static Result<std::unique_ptr<Mp4Writer>> open(int fd, const std::string& name, const WaveFormat& format,
                                                   const Mp4Choice& choice, const FileTags& tags,
                                                   int64_t firstPart = 0);
    // Stops and joins the encoder threads; an unfinished file is left as it is, for its owner to drop.
    virtual ~Mp4Writer() = default;

    // A part encoded before (an AacPartEncoder's), the parts in order, before any samples.
    virtual Result<void> writeStoredPart(const AacPart& part) = 0;
    // Whole frames of interleaved samples in the format given to open(). Memory stays bounded whatever
    // the size of the pieces: this waits while the encoders are a few parts behind.
    virtual Result<void> write(std::span<const uint8_t> frames) = 0;
    // Encodes what is left, writes the chapters (normalized with fileChapters(), the book's title
    // leading; starts in frames of the samples' rate) and the index, and flushes. A failed write
    // anywhere, reported by any part, is a fault naming the file. The descriptor is not synced: that is
    // the caller's, before it puts the file in place.
    virtual Result<void> finish(std::span<const ChapterMark> chapters) = 0;

    virtual uint64_t framesWritten() const = 0;
    virtual const std::vector<std::string>& warnings() const = 0;
};

// The whole parts of a stream encoded as the writer cuts and encodes them, from part `firstPart` on (the
// samples given from its context on), the last part left out: what a render that can resume keeps in
// its journal as it goes, so that the file is made at the end from packets, not from samples.
class AacPartEncoder {
public:
    static Result<std::unique_ptr<AacPartEncoder>> open(const WaveFormat& format, const Mp4Choice& choice,
                                                        int64_t firstPart);
    // Stops and joins the encoder threads.
    virtual ~AacPartEncoder() = default;
    // Whole frames; waits while the encoders are a few parts behind.
    virtual Result<void> write(std::span<const uint8_t> frames) = 0;
    // The parts finished since the last call, in order; with `all`, every part given, waiting for them.
    virtual Result<std::vector<AacPart>> take(bool all) = 0;
};

}  // namespace speech
