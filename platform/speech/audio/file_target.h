// SPDX-License-Identifier: GPL-3.0-or-later
// Where a render into a file puts its converted bytes, as the file writer sees it. The file stream of
// the platform's API is one; the writer needs no more of it than this.
#pragma once

#include <cstdint>
#include <span>

#include "base/error.h"

namespace speech::audio {

class FileTarget {
public:
    // Appends interleaved samples already in the file's format. A failed write is kept for the file's
    // owner to report; nothing is written after it.
    virtual base::Result<void> writeBytes(std::span<const uint8_t> bytes) = 0;
    // The file's byte count so far (a second render into the same file goes on from there).
    virtual uint64_t bytesWritten() const = 0;
    // The render into the file was stopped or failed before its end: the file is not put in place.
    virtual void failRender(base::Fault fault) = 0;

protected:
    ~FileTarget() = default;
};

}  // namespace speech::audio
