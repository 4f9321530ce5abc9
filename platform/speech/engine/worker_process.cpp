// SPDX-License-Identifier: GPL-3.0-or-later
#include "speech/engine/worker_process.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <stdexcept>

namespace speech::engine {

Channel::Status Channel::send(std::span<const uint8_t> frame, std::chrono::milliseconds timeout) {
    return send({frame}, timeout);
}

Channel::Status Channel::send(std::initializer_list<std::span<const uint8_t>> parts,
                              std::chrono::milliseconds timeout) {
    const auto deadline = base::deadlineAfter(timeout);
    std::array<iovec, 4> io{};
    if (parts.size() > io.size()) throw std::invalid_argument("Channel::send takes at most four parts");
    size_t count = 0;
    for (const auto& part : parts) {
        if (!part.empty()) io[count++] = {const_cast<uint8_t*>(part.data()), part.size()};
    }
    size_t first = 0;  // the first part not wholly sent
    while (first < count) {
        msghdr message{};
        message.msg_iov = &io[first];
        message.msg_iovlen = count - first;
        const ssize_t n = ::sendmsg(socket_.get(), &message, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            for (auto sent = static_cast<size_t>(n); sent > 0;) {
                const size_t taken = std::min(sent, io[first].iov_len);
                io[first].iov_base = static_cast<uint8_t*>(io[first].iov_base) + taken;
                io[first].iov_len -= taken;
                sent -= taken;
                if (io[first].iov_len == 0) ++first;
            }
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!base::waitForFd(socket_.get(), POLLOUT, deadline)) return Status::Timeout;
            continue;
        }
        return Status::Closed;
    }
    return Status::Ok;
}

Channel::Status Channel::receive(Frame& frame, std::chrono::milliseconds timeout) {
    const auto deadline = base::deadlineAfter(timeout);
    for (;;) {
        if (splitter_.next(frame)) return Status::Ok;
        if (splitter_.broken()) return Status::Closed;
        const auto space = splitter_.space();
        const ssize_t n = ::recv(socket_.get(), space.data(), space.size(), MSG_DONTWAIT);
        if (n > 0) {
            splitter_.filled(static_cast<size_t>(n));
            continue;
        }
        if (n == 0) return Status::Closed;
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return Status::Closed;
        if (!base::waitForFd(socket_.get(), POLLIN, deadline)) return Status::Timeout;
    }
}

base::Result<std::unique_ptr<EngineProcess>> EngineProcess::start(const std::string& path) {
    auto started = base::ChildProcess::start(path, base::errc::kEngine, "The speech engine helper");
    if (!started) return started.fault();
    auto& [child, socket] = started.value();
    return std::unique_ptr<EngineProcess>(new EngineProcess(std::move(child), std::move(socket)));
}

EngineProcess::~EngineProcess() {
    // An idle worker reads the end of its socket and exits at once; anything else is killed.
    channel_ = Channel(base::UniqueFd());
    if (!child_->reap(std::chrono::milliseconds(100))) child_->kill();
}

}  // namespace speech::engine
