// SPDX-License-Identifier: GPL-3.0-or-later
#include "tools/say/input.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "base/error.h"
#include "speech/names.h"

namespace say {

namespace {

// How long the writer may say nothing before the first bytes count as all that is there to look at.
constexpr int kPauseMs = 200;

// Waits for `fd` to be readable, for `timeoutMs` (-1: without limit); false on timeout.
bool readable(int fd, int timeoutMs) {
    pollfd p{fd, POLLIN, 0};
    for (;;) {
        const int n = ::poll(&p, 1, timeoutMs);
        if (n >= 0) return n > 0;
        if (errno != EINTR) return true;  // the read reports it
    }
}

}  // namespace

std::string readHead(int fd, size_t most, bool& ended) {
    std::string head(most, '\0');
    size_t got = 0;
    ended = false;
    // The first bytes are waited for as long as they take, the rest until the writer pauses.
    while (got < most && readable(fd, got == 0 ? -1 : kPauseMs)) {
        const ssize_t n = ::read(fd, head.data() + got, most - got);
        if (n < 0 && errno == EINTR) break;  // a stop signal: the caller looks
        if (n <= 0) {
            ended = true;
            break;
        }
        got += static_cast<size_t>(n);
    }
    head.resize(got);
    return head;
}

std::string readRest(int fd, std::string head, uint64_t limit, const std::string& name) {
    char buffer[65536];
    for (;;) {
        if (head.size() > limit) {
            throw speech::Error(speech::errc::kFile, "The " + name +
                                                         " is too large to read whole: it holds more than " +
                                                         std::to_string(limit >> 20) + " MB.");
        }
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n == 0) return head;
        if (n < 0 && errno != EINTR)
            throw speech::Error(speech::errc::kFile, "Cannot read the text from the " + name + ".");
        if (n < 0) return head;  // a stop signal: the caller looks
        head.append(buffer, static_cast<size_t>(n));
    }
}

InputRelay::InputRelay(int fd, std::string head) : fd_(fd), head_(std::move(head)) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) throw speech::Error(speech::errc::kUnexpected, "No pipe for the input.");
    readEnd_.reset(ends[0]);
    writeEnd_.reset(ends[1]);
    // Written only when the pipe has room, so that a stop is never held up by a full pipe.
    ::fcntl(writeEnd_.get(), F_SETFL, O_NONBLOCK);
    stop_.reset(::eventfd(0, EFD_CLOEXEC));
    if (stop_.get() < 0) throw speech::Error(speech::errc::kUnexpected, "No event for the input relay.");
    thread_ = std::thread([this] { run(); });
}

InputRelay::~InputRelay() {
    const uint64_t one = 1;
    (void)!::write(stop_.get(), &one, sizeof one);
    thread_.join();
}

std::string InputRelay::path() const {
    return "/proc/self/fd/" + std::to_string(readEnd_.get());
}

bool InputRelay::pass(const char* bytes, size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(writeEnd_.get(), bytes, size);
        if (n > 0) {
            bytes += n;
            size -= static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
        pollfd waits[] = {{writeEnd_.get(), POLLOUT, 0}, {stop_.get(), POLLIN, 0}};
        if (::poll(waits, 2, -1) < 0 && errno != EINTR) return false;
        if (waits[1].revents != 0) return false;
    }
    return true;
}

void InputRelay::run() {
    if (pass(head_.data(), head_.size())) {
        char buffer[65536];
        for (;;) {
            pollfd waits[] = {{fd_, POLLIN, 0}, {stop_.get(), POLLIN, 0}};
            if (::poll(waits, 2, -1) < 0 && errno != EINTR) break;
            if (waits[1].revents != 0) break;
            if (waits[0].revents == 0) continue;
            const ssize_t n = ::read(fd_, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0 || !pass(buffer, static_cast<size_t>(n))) break;
        }
    }
    // The end of the input, for the reader.
    writeEnd_.reset();
}

}  // namespace say
