#include "platform/speech/engine_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <optional>
#include <stdexcept>

extern char** environ;

namespace speech::engine {

namespace {

using Clock = std::chrono::steady_clock;

// Waits for `events` on `fd` until `deadline` (none when it is nullopt); false on timeout.
bool waitFor(int fd, short events, std::optional<Clock::time_point> deadline) {
    for (;;) {
        int timeoutMs = -1;
        if (deadline) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now()).count();
            timeoutMs = static_cast<int>(std::max<long long>(0, left));
        }
        pollfd p{fd, events, 0};
        const int n = ::poll(&p, 1, timeoutMs);
        if (n > 0)
            return true;
        if (n == 0)
            return false;
        if (errno != EINTR)
            return true;  // the next read or write reports the error
    }
}

std::optional<Clock::time_point> deadlineAfter(std::chrono::milliseconds timeout) {
    if (timeout.count() < 0)
        return std::nullopt;
    return Clock::now() + timeout;
}

// posix_spawn's attribute and file-action objects, released on every path.
struct SpawnSetup {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    SpawnSetup() {
        posix_spawn_file_actions_init(&actions);
        posix_spawnattr_init(&attributes);
    }
    ~SpawnSetup() {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;
};

std::string describeStatus(int status) {
    if (WIFSIGNALED(status)) {
        const int sig = WTERMSIG(status);
        const char* name = ::strsignal(sig);
        return "killed by signal " + std::to_string(sig) +
               (name != nullptr ? " (" + std::string(name) + ")" : "");
    }
    if (WIFEXITED(status))
        return "exited with status " + std::to_string(WEXITSTATUS(status));
    return "ended";
}

}  // namespace

void UniqueFd::reset(int fd) {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = fd;
}

Channel::Status Channel::send(std::span<const uint8_t> frame, std::chrono::milliseconds timeout) {
    return send({frame}, timeout);
}

Channel::Status Channel::send(std::initializer_list<std::span<const uint8_t>> parts,
                              std::chrono::milliseconds timeout) {
    const auto deadline = deadlineAfter(timeout);
    std::array<iovec, 4> io{};
    if (parts.size() > io.size())
        throw std::invalid_argument("Channel::send takes at most four parts");
    size_t count = 0;
    for (const auto& part : parts) {
        if (!part.empty())
            io[count++] = {const_cast<uint8_t*>(part.data()), part.size()};
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
                if (io[first].iov_len == 0)
                    ++first;
            }
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!waitFor(socket_.get(), POLLOUT, deadline))
                return Status::Timeout;
            continue;
        }
        return Status::Closed;
    }
    return Status::Ok;
}

Channel::Status Channel::receive(Frame& frame, std::chrono::milliseconds timeout) {
    const auto deadline = deadlineAfter(timeout);
    for (;;) {
        if (splitter_.next(frame))
            return Status::Ok;
        if (splitter_.broken())
            return Status::Closed;
        const auto space = splitter_.space();
        const ssize_t n = ::recv(socket_.get(), space.data(), space.size(), MSG_DONTWAIT);
        if (n > 0) {
            splitter_.filled(static_cast<size_t>(n));
            continue;
        }
        if (n == 0)
            return Status::Closed;
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            return Status::Closed;
        if (!waitFor(socket_.get(), POLLIN, deadline))
            return Status::Timeout;
    }
}

Result<std::unique_ptr<EngineProcess>> EngineProcess::start(const std::string& path) {
    auto failed = [&](int err) {
        return Fault{errc::kEngine, "The speech engine helper \"" + path +
                                        "\" could not be started: " + std::strerror(err) + "."};
    };
    int sockets[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sockets) != 0)
        return failed(errno);
    UniqueFd ours(sockets[0]);
    UniqueFd theirs(sockets[1]);

    SpawnSetup setup;
    // The socket goes to descriptor 3 first, in case it took one of the standard numbers.
    posix_spawn_file_actions_adddup2(&setup.actions, theirs.get(), 3);
    for (int fd = 0; fd <= 2; ++fd)
        posix_spawn_file_actions_addopen(&setup.actions, fd, "/dev/null", fd == 0 ? O_RDONLY : O_WRONLY, 0);
    posix_spawn_file_actions_addclosefrom_np(&setup.actions, 4);
    sigset_t none;
    sigset_t all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&setup.attributes, &none);
    posix_spawnattr_setsigdefault(&setup.attributes, &all);
    posix_spawnattr_setpgroup(&setup.attributes, 0);
    posix_spawnattr_setflags(&setup.attributes,
                             POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    std::string program = path;
    std::array<char*, 2> argv{program.data(), nullptr};
    pid_t pid = 0;
    if (const int err =
            ::posix_spawn(&pid, path.c_str(), &setup.actions, &setup.attributes, argv.data(), environ);
        err != 0) {
        return failed(err);
    }
    theirs.reset();
    // Opened before anything can reap it, so the number still names our child.
    // (glibc's pidfd_open wrapper lacks C linkage in its header, hence the system call.)
    UniqueFd pidfd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
    return std::unique_ptr<EngineProcess>(new EngineProcess(pid, std::move(pidfd), std::move(ours)));
}

EngineProcess::EngineProcess(pid_t pid, UniqueFd pidfd, UniqueFd socket)
    : pid_(pid), pidfd_(std::move(pidfd)), channel_(std::move(socket)) {}

EngineProcess::~EngineProcess() {
    // An idle worker reads the end of its socket and exits at once; anything else is killed.
    channel_ = Channel(UniqueFd());
    if (!reap(std::chrono::milliseconds(100)))
        kill();
}

void EngineProcess::kill() {
    if (reaped_)
        return;
    // The whole process group: whatever the worker started (a helper program of a stand-in engine, a
    // child of its own stopped with it) goes with it instead of being left behind. Until the worker is
    // reaped its number names this group alone.
    if (::kill(-pid_, SIGKILL) != 0)
        ::kill(pid_, SIGKILL);
    reap(std::chrono::milliseconds(-1));
}

std::string EngineProcess::endDescription() {
    if (!reap(std::chrono::milliseconds(1000)))
        return "stopped answering";
    return describeStatus(status_);
}

bool EngineProcess::reap(std::chrono::milliseconds timeout) {
    if (reaped_)
        return true;
    if (pidfd_.get() >= 0) {
        if (!waitFor(pidfd_.get(), POLLIN, deadlineAfter(timeout)))
            return false;
    } else if (timeout.count() >= 0) {
        // Without a process descriptor (an old kernel) only a look is possible.
        if (::waitpid(pid_, &status_, WNOHANG) != pid_)
            return false;
        reaped_ = true;
        return true;
    }
    while (::waitpid(pid_, &status_, 0) < 0 && errno == EINTR) {
    }
    reaped_ = true;
    return true;
}

}  // namespace speech::engine
