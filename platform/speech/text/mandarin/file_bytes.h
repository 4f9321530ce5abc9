// SPDX-License-Identifier: GPL-3.0-or-later
// Internal to the Mandarin reader: a data file (the lexicon, the polyphone model) read whole into
// memory. Not mapped: a file truncated and rewritten in place under a mapping (a copy over it, an
// install over the old one) raises SIGBUS in every program that has it mapped; a copy in memory stays
// as it was read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace speech::text::mandarin {

class FileBytes {
public:
    // Reads the regular file at `path`, at most `maxSize` bytes. Nothing, with `error` naming the
    // file, when it cannot be opened, is not a regular file (a FIFO or a device is never waited on),
    // is larger, or changes size while being read.
    static std::optional<FileBytes> read(const std::string& path, size_t maxSize, std::string& error);

    // 8-byte aligned, so the file's records may be used in place.
    const char* data() const { return reinterpret_cast<const char*>(words_.get()); }
    size_t size() const { return size_; }

private:
    std::unique_ptr<uint64_t[]> words_;
    size_t size_ = 0;
};

}  // namespace speech::text::mandarin
