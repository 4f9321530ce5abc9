// SPDX-License-Identifier: GPL-3.0-or-later
// One engine worker process and the socket to it. The worker is a separate program (tallamo-engine)
// so that a crash or a hang inside the speech engine costs that process, never the program.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <initializer_list>
#include <memory>
#include <span>
#include <string>
#include <utility>

#include "base/child_process.h"
#include "base/error.h"
#include "speech/engine/protocol.h"

namespace speech::engine {

// Frames over a stream socket. Every wait is bounded by its timeout (negative: none), so a caller
// that must stay responsive waits in slices and looks at its own state in between.
class Channel {
public:
    enum class Status { Ok, Timeout, Closed };

    explicit Channel(base::UniqueFd socket) : socket_(std::move(socket)) {}
    // Sends a whole frame; Closed when the other end is gone (no SIGPIPE is raised).
    Status send(std::span<const uint8_t> frame, std::chrono::milliseconds timeout);
    // The same for bytes in several buffers, sent in order in one call (up to four; empty ones are
    // passed over): frames gathered apart are not copied together first.
    Status send(std::initializer_list<std::span<const uint8_t>> parts, std::chrono::milliseconds timeout);
    // The next frame; Closed at the end of the stream or when it is broken.
    Status receive(Frame& frame, std::chrono::milliseconds timeout);
    // Whether the stream held something that is no frame (a header announcing too large a payload).
    bool broken() const { return splitter_.broken(); }
    int fd() const { return socket_.get(); }

private:
    base::UniqueFd socket_;
    FrameSplitter splitter_;  // bytes are read from the socket straight into it
};

// A running worker. Destroying it closes the socket, which ends an idle worker at once; one that does
// not end within a moment (busy or hung) is killed. Either way it is reaped before the destructor
// returns.
class EngineProcess {
public:
    // Starts `path` with the socket as its descriptor 3 and /dev/null as its standard streams (what the
    // engine prints is its own business), in a process group of its own (a Ctrl+C at the terminal is
    // for the program, which decides what to stop).
    static base::Result<std::unique_ptr<EngineProcess>> start(const std::string& path);
    ~EngineProcess();
    EngineProcess(const EngineProcess&) = delete;
    EngineProcess& operator=(const EngineProcess&) = delete;

    Channel& channel() { return channel_; }
    pid_t pid() const { return child_->pid(); }
    // Kills the worker (it is hung) with its process group, and reaps it.
    void kill() { child_->kill(); }
    // How the worker ended (describeWorkerEnd); reaps it, waiting a while for a worker that closed its
    // socket but has not ended yet (its libraries' exit handlers run after the socket closes, and in a
    // sanitizer's build they take seconds).
    std::string endDescription() {
        if (!child_->reap(std::chrono::seconds(5))) return "it stopped answering";
        return describeWorkerEnd(child_->waitStatus());
    }

private:
    EngineProcess(std::unique_ptr<base::ChildProcess> child, base::UniqueFd socket)
        : child_(std::move(child)), channel_(std::move(socket)) {}

    std::unique_ptr<base::ChildProcess> child_;
    Channel channel_;
};

}  // namespace speech::engine
