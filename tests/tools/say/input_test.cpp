// SPDX-License-Identifier: GPL-3.0-or-later
// tallamo-say's input from a pipe: what is read whole is read so only up to a limit, and the first
// bytes are what came before the writer paused, without waiting for it to end.
#include "tools/say/input.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <thread>

#include "base/error.h"

namespace {

// Writes `bytes` into a pipe from a thread of its own, then closes it or, with `hold`, keeps it open
// (as a writer that waits for more to say) until the reader's end goes.
struct Writer {
    Writer(std::string bytes, bool hold) {
        int ends[2];
        EXPECT_EQ(::pipe2(ends, O_CLOEXEC), 0);
        read.reset(ends[0]);
        thread = std::thread([fd = base::UniqueFd(ends[1]), bytes = std::move(bytes), hold] {
            // A reader that stops early makes a write fail instead of raising SIGPIPE.
            sigset_t pipe;
            sigemptyset(&pipe);
            sigaddset(&pipe, SIGPIPE);
            ::pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
            for (size_t at = 0; at < bytes.size();) {
                const ssize_t n = ::write(fd.get(), bytes.data() + at, bytes.size() - at);
                if (n <= 0) return;
                at += static_cast<size_t>(n);
            }
            pollfd gone{fd.get(), 0, 0};  // the reader's end closed: POLLERR
            while (hold && ::poll(&gone, 1, -1) < 0) {
            }
        });
    }
    ~Writer() {
        read.reset();
        thread.join();
    }
    base::UniqueFd read;
    std::thread thread;
};

TEST(SayInput, WhatIsReadWholeIsReadOnlyUpToTheLimit) {
    const struct {
        size_t size;
        bool refused;
    } cases[] = {{1000, false}, {1 << 20, false}, {(1 << 20) + 1, true}, {8 << 20, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.size);
        // The first bytes, read already, count in the size.
        Writer writer(std::string(c.size - 4, 'x'), false);
        try {
            const std::string all = say::readRest(writer.read.get(), "head", 1 << 20, "standard input");
            EXPECT_FALSE(c.refused);
            EXPECT_EQ(all.size(), c.size);
        } catch (const base::Error& e) {
            EXPECT_TRUE(c.refused);
            EXPECT_STREQ(e.what(), "The standard input is too large to read whole: it holds more than 1 MB.");
        }
    }
}

TEST(SayInput, TheFirstBytesAreWhatCameBeforeTheWriterPaused) {
    Writer writer("Hello there.\n", true);
    bool ended = true;
    EXPECT_EQ(say::readHead(writer.read.get(), 4096, ended), "Hello there.\n");
    EXPECT_FALSE(ended);
}

}  // namespace
