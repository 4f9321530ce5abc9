// SPDX-License-Identifier: GPL-3.0-or-later
// Helper programs run as child processes on a socket pair: started in a process group of their own,
// waited for with bounds, killed with their group and always reaped. The engine workers are such
// helpers; so can be any reader of untrusted input that must not take the program down.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "base/error.h"

namespace base {

// Owns a file descriptor: closed when its owner goes.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }
    // Closes the descriptor held (and takes `fd`); the close's own result (a late write error on some
    // file systems).
    int reset(int fd = -1);

private:
    int fd_ = -1;
};

using SteadyTime = std::chrono::steady_clock::time_point;

// The deadline `timeout` from now; none for a negative timeout (wait without limit).
std::optional<SteadyTime> deadlineAfter(std::chrono::milliseconds timeout);

// Waits for `events` (poll's POLLIN, POLLOUT) on `fd` until `deadline` (none: without limit); false on
// timeout. An error on the descriptor counts as ready: the next read or write reports it.
bool waitForFd(int fd, short events, std::optional<SteadyTime> deadline);

// How a process ended, from its wait status: "killed by signal 9 (Killed)", "exited with status 2".
std::string describeWaitStatus(int status);

class ChildProcess {
public:
    struct Started;
    // Starts `path` with one end of a new socket pair as its descriptor 3, /dev/null as its standard
    // streams, default signal handling and no blocked signals, in a process group of its own (a Ctrl+C
    // at the terminal is for the program, which decides what to stop). The descriptors in `handed` go
    // to the child as its descriptors 4, 5, ... (a file it is to read); nothing else is inherited. A
    // failure is a fault with `errorCode` whose message reads `what "path" could not be started: <reason>.`
    static Result<Started> start(const std::string& path, int32_t errorCode, std::string_view what,
                                 std::span<const int> handed = {});
    // A child not yet reaped is killed with its group and reaped.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }
    // Kills the child with its process group, and reaps it.
    void kill();
    // Waits up to `timeout` (negative: without limit) for the child to end and reaps it; false when it
    // is still running.
    bool reap(std::chrono::milliseconds timeout);
    // How the child ended (describeWaitStatus); reaps it, waiting up to `timeout`, and says "stopped
    // answering" for a child still running then.
    std::string endDescription(std::chrono::milliseconds timeout);
    // The child's wait status, once reap() has returned true.
    int waitStatus() const { return status_; }
    // The memory the child holds now (its resident set), in bytes; 0 once it has ended or when it
    // cannot be told. Cheap enough to ask every few milliseconds.
    uint64_t residentBytes() const;

private:
    ChildProcess(pid_t pid, UniqueFd pidfd) : pid_(pid), pidfd_(std::move(pidfd)) {}

    pid_t pid_;
    UniqueFd pidfd_;  // readable once the child has ended
    bool reaped_ = false;
    int status_ = 0;
};

struct ChildProcess::Started {
    std::unique_ptr<ChildProcess> process;
    UniqueFd socket;  // this process's end of the pair
};

}  // namespace base
