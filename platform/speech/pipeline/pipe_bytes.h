// SPDX-License-Identifier: GPL-3.0-or-later
// The bytes of a file that can be read once only (a pipe, standard input, a terminal, a device), as
// they come. A text read from one is spoken as it arrives, so input that never ends is never held
// whole: each read takes what the pipe holds, waiting for it in slices so that a cancel ends the wait,
// and a writer that pauses at a line end (a log being followed) has what it wrote so far spoken at
// once. Every byte read is also kept in a file without a name, so that reading again (a skip back)
// starts from the first byte, as it does for any file.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "base/child_process.h"
#include "base/error.h"

namespace speech::pipeline {

class PipeBytes {
public:
    // How long the writer may say nothing before what it wrote counts as complete for now.
    static constexpr std::chrono::milliseconds kPause{200};

    // Reads `fd` (which it takes); `cancelled`, when given, is asked at every slice of a wait.
    PipeBytes(base::UniqueFd fd, std::function<bool()> cancelled);

    // Up to out.size() bytes: those read before (after a restart), else what the pipe holds, waiting
    // for them. 0 at the end of the input, when cancelled, after a read error, or (with `mayPause`)
    // when nothing came for kPause: then paused() tells so, and the next read waits again.
    size_t read(std::span<uint8_t> out, bool mayPause);
    // The input's first bytes: what comes until the writer pauses, the input ends, or `most` bytes.
    std::vector<uint8_t> head(size_t most);
    // The rest of the input, whole, after what was read; a fault naming `name` past `limit` bytes in
    // all or when the input cannot be read.
    base::Result<std::string> rest(uint64_t limit, const std::string& name);
    // Starts again from the first byte.
    void restart() { replayed_ = 0; }

    // Whether the last read stopped at a pause, and nothing has come since (the pipe is looked at).
    bool paused() const;
    bool ended() const { return ended_; }
    bool failed() const { return failed_; }
    bool cancelled() const { return cancelled_; }
    // Bytes read from the pipe so far.
    uint64_t total() const { return total_; }

private:
    // Reads what the pipe holds into `out`, waiting for it until `deadline` (none: without limit).
    size_t fromPipe(std::span<uint8_t> out, std::optional<base::SteadyTime> deadline);

    base::UniqueFd fd_;
    std::function<bool()> cancelledCheck_;
    base::UniqueFd kept_;  // every byte read, in a file without a name
    uint64_t total_ = 0;
    uint64_t replayed_ = 0;  // the bytes of kept_ read again since the last restart
    bool paused_ = false;
    bool ended_ = false;
    bool failed_ = false;
    bool cancelled_ = false;
};

}  // namespace speech::pipeline
