// SPDX-License-Identifier: GPL-3.0-or-later
// The module's one loop: lines from speech-dispatcher on one descriptor, the voice's wake-ups on
// another (an eventfd), and the stop signals on a third, all on one thread, so that the protocol's
// replies and the voice's events are written in the order they happen.
#pragma once

#include <mutex>
#include <string_view>

#include "tools/sd_tallamo/protocol.h"
#include "tools/sd_tallamo/voice_backend.h"

namespace sd_tallamo {

// An owned file descriptor.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept;
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd();
    int get() const { return fd_; }
    int release();
    explicit operator bool() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

// Writes each block whole to a descriptor (a pipe to speech-dispatcher), under one lock.
class FdOutput final : public Output {
public:
    explicit FdOutput(int fd) : fd_(fd) {}
    void write(std::string_view block) override;
    // Whether a write failed (speech-dispatcher closed its end).
    bool broken() const;

private:
    int fd_;
    mutable std::mutex mutex_;
    bool broken_ = false;
};

// A wake-up that any thread may raise without blocking: an eventfd.
class Wakeup {
public:
    Wakeup();  // throws std::system_error when no eventfd can be made
    void raise() const;
    void clear() const;
    int fd() const { return fd_.get(); }

private:
    UniqueFd fd_;
};

// Serves speech-dispatcher until it sends QUIT, closes `input` or the output, or `signals` (a
// signalfd, or -1) becomes readable. Returns the exit status.
int serveModule(int input, const Wakeup& wakeup, int signals, Protocol& protocol, VoiceBackend& backend,
                const FdOutput& output);

}  // namespace sd_tallamo
