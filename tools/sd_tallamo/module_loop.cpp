// SPDX-License-Identifier: GPL-3.0-or-later
#include "tools/sd_tallamo/module_loop.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <string>
#include <system_error>

namespace sd_tallamo {

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = other.release();
    }
    return *this;
}

UniqueFd::~UniqueFd() {
    if (fd_ >= 0) ::close(fd_);
}

int UniqueFd::release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
}

void FdOutput::write(std::string_view block) {
    std::lock_guard lock(mutex_);
    while (!block.empty() && !broken_) {
        const ssize_t n = ::write(fd_, block.data(), block.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            broken_ = true;
            break;
        }
        block.remove_prefix(static_cast<size_t>(n));
    }
}

bool FdOutput::broken() const {
    std::lock_guard lock(mutex_);
    return broken_;
}

Wakeup::Wakeup() : fd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
    if (!fd_) throw std::system_error(errno, std::generic_category(), "eventfd");
}

void Wakeup::raise() const {
    const uint64_t one = 1;
    // A full counter already wakes the loop: a failed write loses nothing.
    [[maybe_unused]] const ssize_t n = ::write(fd_.get(), &one, sizeof one);
}

void Wakeup::clear() const {
    uint64_t count = 0;
    [[maybe_unused]] const ssize_t n = ::read(fd_.get(), &count, sizeof count);
}

int serveModule(int input, const Wakeup& wakeup, int signals, Protocol& protocol, VoiceBackend& backend,
                const FdOutput& output) {
    // A line longer than the longest message is cut there (and the message then refused).
    constexpr size_t kMaxLine = Protocol::kMaxMessageBytes + 1;
    std::string pending;      // input after the last complete line
    bool discarding = false;  // dropping the rest of an overlong line
    std::string buffer(1 << 16, '\0');
    for (;;) {
        pollfd fds[3] = {{input, POLLIN, 0}, {wakeup.fd(), POLLIN, 0}, {signals, POLLIN, 0}};
        const nfds_t count = signals >= 0 ? 3 : 2;
        const int ready = ::poll(fds, count, -1);
        if (ready < 0) {
            if (errno == EINTR) continue;
            return 1;
        }
        if (count == 3 && (fds[2].revents & POLLIN)) return 0;
        if (fds[1].revents & POLLIN) wakeup.clear();
        if (fds[1].revents & POLLIN) backend.pump();
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            const ssize_t n = ::read(input, buffer.data(), buffer.size());
            const auto received = Protocol::Clock::now();
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            if (n <= 0) return 0;  // speech-dispatcher closed the pipe
            std::string_view chunk(buffer.data(), static_cast<size_t>(n));
            while (!chunk.empty()) {
                const size_t newline = chunk.find('\n');
                const std::string_view piece = chunk.substr(0, newline);
                if (!discarding) {
                    pending.append(piece.substr(0, kMaxLine - std::min(kMaxLine, pending.size())));
                    discarding = pending.size() >= kMaxLine;
                }
                if (newline == std::string_view::npos) break;
                chunk.remove_prefix(newline + 1);
                discarding = false;
                const bool goOn = protocol.handleLine(pending, received);
                pending.clear();
                if (!goOn) return 0;
            }
        }
        if (output.broken()) return 0;
    }
}

}  // namespace sd_tallamo
