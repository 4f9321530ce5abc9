// SPDX-License-Identifier: GPL-3.0-or-later
// Where a render into a file puts its converted bytes, as the file writer sees it. The file stream of
// the platform's API is one; the writer needs no more of it than this.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "base/error.h"
#include "speech/core/chapter_marker.h"
#include "speech/core/events.h"

namespace speech::audio {

// Where a chain of synthesis starts in a render into a file (the engine and the converter start fresh
// there, so the audio after it does not depend on what came before): the segments of the text before
// it, and the chapter marks found before it.
struct ChainStart {
    uint64_t segments = 0;
    core::MarkerState marks;
};

class FileTarget {
public:
    // Appends interleaved samples already in the file's format. A failed write is kept for the file's
    // owner to report; nothing is written after it.
    virtual base::Result<void> writeBytes(std::span<const uint8_t> bytes) = 0;
    // The file's byte count so far (a second render into the same file goes on from there).
    virtual uint64_t bytesWritten() const = 0;
    // The render into the file was stopped or failed before its end: the file is not put in place.
    virtual void failRender(base::Fault fault) = 0;

    // The render's thread, as it goes: a Sentence, Word or Bookmark event placed at `byte` of the file (before
    // the audio it falls in is written), and a chain starting after the audio handed on so far. A file
    // that keeps what a render did so far (a render that can resume) answers a chain's start with what
    // to keep with the audio before it; others with nothing.
    virtual void eventPlaced(const core::VoiceEvent& event, uint64_t byte) {
        (void)event;
        (void)byte;
    }
    virtual std::optional<ChainStart> chainStarting(uint64_t segments) {
        (void)segments;
        return std::nullopt;
    }
    // The writer's thread, once all the audio before the chain is written: keeps it for a resume.
    virtual base::Result<void> commitChain(const ChainStart& start) {
        (void)start;
        return {};
    }
    // The segments of the text an earlier render already put in the file, once: the first render into
    // the file goes on after them.
    virtual uint64_t takeSegmentsDone() { return 0; }

protected:
    ~FileTarget() = default;
};

}  // namespace speech::audio
