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

namespace speech::audio {

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

// An MP4 file being written (made by the media module: openMp4Writer in media_module.h).
class Mp4Writer {
public:
    // Stops and joins the encoder threads; an unfinished file is left as it is, for its owner to drop.
    virtual ~Mp4Writer() = default;

    // A part encoded before (an AacPartEncoder's), the parts in order, before any samples.
    virtual base::Result<void> writeStoredPart(const AacPart& part) = 0;
    // Whole frames of interleaved samples in the format the writer was opened with. Memory stays bounded whatever
    // the size of the pieces: this waits while the encoders are a few parts behind.
    virtual base::Result<void> write(std::span<const uint8_t> frames) = 0;
    // Encodes what is left, writes the chapters (normalized with fileChapters(), the book's title
    // leading; starts in frames of the samples' rate) and the index, and flushes. A failed write
    // anywhere, reported by any part, is a fault naming the file. The descriptor is not synced: that is
    // the caller's, before it puts the file in place.
    virtual base::Result<void> finish(std::span<const core::ChapterMark> chapters) = 0;

    virtual uint64_t framesWritten() const = 0;
    virtual const std::vector<std::string>& warnings() const = 0;
};

// The whole parts of a stream encoded as the writer cuts and encodes them, from part `firstPart` on (the
// samples given from its context on), the last part left out: what a render that can resume keeps in
// its journal as it goes, so that the file is made at the end from packets, not from samples.
// (Made by the media module: openAacPartEncoder in media_module.h.)
class AacPartEncoder {
public:
    // Stops and joins the encoder threads.
    virtual ~AacPartEncoder() = default;
    // Whole frames; waits while the encoders are a few parts behind.
    virtual base::Result<void> write(std::span<const uint8_t> frames) = 0;
    // The parts finished since the last call, in order; with `all`, every part given, waiting for them.
    virtual base::Result<std::vector<AacPart>> take(bool all) = 0;
};

}  // namespace speech::audio
