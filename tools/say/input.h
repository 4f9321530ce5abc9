// SPDX-License-Identifier: GPL-3.0-or-later
// tallamo-say's input from standard input or a pipe, which can be read once only and may never end:
// its first bytes tell what it holds; a document (and a text whose timings are asked for) is read
// whole, up to the size limit of a document; any other text goes on to the voice as it comes,
// through a pipe of the program's own that a relay thread fills at the pace the voice reads.
#pragma once

#include <cstdint>
#include <string>
#include <thread>

#include "base/child_process.h"

namespace say {

// The first bytes of the input on `fd`: what comes until the writer pauses, the input ends, or
// `most` bytes are in. `ended` tells whether the input ended there.
std::string readHead(int fd, size_t most, bool& ended);

// The rest of the input on `fd` after `head`, whole. Throws speech::Error naming `name` ("The
// standard input ...") past `limit` bytes in all, or when it cannot be read.
std::string readRest(int fd, std::string head, uint64_t limit, const std::string& name);

// Hands the input on `fd`, after `head` (read from it already), to a reader of path(): a pipe that a
// thread of its own fills as the reader takes it. Destroying the relay stops the thread at once.
class InputRelay {
public:
    InputRelay(int fd, std::string head);
    ~InputRelay();
    InputRelay(const InputRelay&) = delete;
    InputRelay& operator=(const InputRelay&) = delete;

    // The name by which the reader opens the pipe.
    std::string path() const;

private:
    void run();
    // Writes all of `bytes` into the pipe; false when stopped or the reader went away.
    bool pass(const char* bytes, size_t size);

    int fd_;
    std::string head_;
    base::UniqueFd readEnd_;
    base::UniqueFd writeEnd_;
    base::UniqueFd stop_;  // readable once the relay is to stop
    std::thread thread_;
};

}  // namespace say
