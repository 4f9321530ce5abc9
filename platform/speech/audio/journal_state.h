// SPDX-License-Identifier: GPL-3.0-or-later
// The state file of a render's journal (render_journal.h): what the journal's audio was rendered from
// (its key), the finished units with their lengths, chapter starts and checksums, and how much of the
// encoded audio is kept. It is text, a line an item, ending with a checksum of its lines, so that a
// state cut short or damaged is seen when it is read. Also the checksums and block reads the journal's
// files share.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.h"
#include "speech/core/chapter_marker.h"
#include "speech/core/formats.h"

// xxHash's streaming state (xxhash.h), kept out of this header.
struct XXH3_state_s;

namespace speech::audio {

// What the journal's audio was rendered from: a render whose key differs cannot use it.
struct JournalKey {
    std::string inputDigest;    // fileChecksum of the input
    std::string optionsDigest;  // textChecksum of every option that changes the audio
    std::string dataDigest;     // of the contents of the data the audio is made from (contentChecksum)
    core::WaveFormat format;    // of the journaled samples
    std::string version;        // the program's
};

// A run of the render's audio, from one start of a synthesis chain to the next.
struct JournalUnit {
    uint64_t frames = 0;
    uint64_t segments = 0;  // of the text, from its start to the unit's end: where a resume goes on
    friend bool operator==(const JournalUnit&, const JournalUnit&) = default;
};

// What a state lists: the finished units with the checksums of their audio, the kept AAC parts (how
// many, their bytes in the journal's file of them, and the checksum of those bytes), and the chapter
// marks found before the last unit's end.
struct JournalState {
    struct Listed {
        JournalUnit unit;
        uint64_t sum = 0;  // AudioChecksum of its audio
    };
    std::vector<Listed> units;
    int64_t aacParts = 0;
    uint64_t aacBytes = 0;
    uint32_t aacCrc = 0;
    core::MarkerState marks;
};

// The state's text for `key`.
std::string journalStateText(const JournalKey& key, const JournalState& state);
// The state `text` lists, when it was written for `key`; else why it cannot be used, for the user
// ("the input has changed since").
std::optional<std::string> parseJournalState(const std::string& text, const JournalKey& key, JournalState& out);

// zlib's CRC-32, continued from `crc`, over any length.
uint32_t checksum32(uint32_t crc, std::span<const uint8_t> bytes);
std::string hex32(uint32_t value);

// A checksum of a file's bytes, or of a text, with its length (zlib's CRC-32): what tells a journal's
// input or options from others.
base::Result<std::string> fileChecksum(const std::string& path);
std::string textChecksum(std::string_view text);
// A checksum of what is at `path`: a file's bytes, a folder's files (their names and bytes, all the way
// down), or that there is nothing there or something else (a pipe, a device: never opened for reading,
// so that it cannot block). What tells the data a journal's audio was made from (lexicons, the
// engine's data) from other data.
std::string contentChecksum(const std::string& path);

// The checksum of `size` bytes of `fd` from `at`, continued from `crc`; 0 or an errno, as readBlocks.
int checksumBlocks(int fd, uint64_t at, uint64_t size, uint32_t& crc);

// The checksum of a unit's audio as it is written: xxHash's XXH3 (64 bits), streamed. zlib's CRC-32
// reads some 0.7 GB/s, which cost a two-hour FLAC render with --resume 7% of its time on two cores;
// XXH3 reads at about the speed of memory.
class AudioChecksum {
public:
    AudioChecksum();
    ~AudioChecksum();
    AudioChecksum(const AudioChecksum&) = delete;
    AudioChecksum& operator=(const AudioChecksum&) = delete;
    void add(std::span<const uint8_t> bytes);
    uint64_t value() const;
    // Starts again, as for a new unit.
    void reset();

private:
    struct Deleter {
        void operator()(::XXH3_state_s* state) const;
    };
    std::unique_ptr<::XXH3_state_s, Deleter> state_;
};

// The AudioChecksum of `size` bytes of `fd` from `at`; 0 or an errno, as readBlocks.
int audioChecksumBlocks(int fd, uint64_t at, uint64_t size, uint64_t& sum);

// A fault of the journal in `folder`: what was being done and the system's reason.
base::Fault journalFault(const std::string& folder, const std::string& what, int err);

// Bytes read at a time when the journal's files are checked or encoded.
inline constexpr size_t kJournalBlock = size_t{1} << 20;

// Reads `size` bytes at `at` in blocks, giving each to `take` (which returns a base::Result<void>);
// 0 or an errno (EIO at an early end, or when `take` fails).
template <class Take>
int readBlocks(int fd, uint64_t at, uint64_t size, Take take) {
    std::vector<uint8_t> buffer(static_cast<size_t>(std::min<uint64_t>(kJournalBlock, size)));
    while (size > 0) {
        const ssize_t n = ::pread(fd, buffer.data(), static_cast<size_t>(std::min<uint64_t>(buffer.size(), size)),
                                  static_cast<off_t>(at));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno;
        if (n == 0) return EIO;
        if (auto r = take(std::span<const uint8_t>(buffer.data(), static_cast<size_t>(n))); !r) return EIO;
        at += static_cast<uint64_t>(n);
        size -= static_cast<uint64_t>(n);
    }
    return 0;
}

}  // namespace speech::audio
