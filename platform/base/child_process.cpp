// SPDX-License-Identifier: GPL-3.0-or-later
#include "base/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

extern char** environ;

namespace base {

namespace {

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

}  // namespace

int UniqueFd::reset(int fd) {
    const int closed = fd_ >= 0 ? ::close(fd_) : 0;
    fd_ = fd;
    return closed;
}

std::optional<SteadyTime> deadlineAfter(std::chrono::milliseconds timeout) {
    if (timeout.count() < 0) return std::nullopt;
    return std::chrono::steady_clock::now() + timeout;
}

bool waitForFd(int fd, short events, std::optional<SteadyTime> deadline) {
    for (;;) {
        int timeoutMs = -1;
        if (deadline) {
            const auto left =
                std::chrono::ceil<std::chrono::milliseconds>(*deadline - std::chrono::steady_clock::now()).count();
            timeoutMs = static_cast<int>(std::max<long long>(0, left));
        }
        pollfd p{fd, events, 0};
        const int n = ::poll(&p, 1, timeoutMs);
        if (n > 0) return true;
        if (n == 0) return false;
        if (errno != EINTR) return true;  // the next read or write reports the error
    }
}

std::string describeWaitStatus(int status) {
    if (WIFSIGNALED(status)) {
        const int sig = WTERMSIG(status);
        const char* name = ::strsignal(sig);
        return "killed by signal " + std::to_string(sig) + (name != nullptr ? " (" + std::string(name) + ")" : "");
    }
    if (WIFEXITED(status)) return "exited with status " + std::to_string(WEXITSTATUS(status));
    return "ended";
}

Result<ChildProcess::Started> ChildProcess::start(const std::string& path, int32_t errorCode, std::string_view what,
                                                  std::span<const int> handed) {
    auto failed = [&](int err) {
        return Fault{errorCode,
                     std::string(what) + " \"" + path + "\" could not be started: " + std::strerror(err) + "."};
    };
    int sockets[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sockets) != 0) return failed(errno);
    UniqueFd ours(sockets[0]);
    // Every descriptor the child gets is first copied above the numbers it gets them as, so that no
    // move onto its number (3, 4, ...) overwrites one still to be moved.
    const int firstFree = 4 + static_cast<int>(handed.size());
    UniqueFd theirs(::fcntl(sockets[1], F_DUPFD_CLOEXEC, firstFree));
    ::close(sockets[1]);
    if (theirs.get() < 0) return failed(errno);
    std::vector<UniqueFd> copies;
    for (const int fd : handed) {
        copies.emplace_back(::fcntl(fd, F_DUPFD_CLOEXEC, firstFree));
        if (copies.back().get() < 0) return failed(errno);
    }

    SpawnSetup setup;
    posix_spawn_file_actions_adddup2(&setup.actions, theirs.get(), 3);
    for (size_t i = 0; i < copies.size(); ++i)
        posix_spawn_file_actions_adddup2(&setup.actions, copies[i].get(), 4 + static_cast<int>(i));
    for (int fd = 0; fd <= 2; ++fd)
        posix_spawn_file_actions_addopen(&setup.actions, fd, "/dev/null", fd == 0 ? O_RDONLY : O_WRONLY, 0);
    posix_spawn_file_actions_addclosefrom_np(&setup.actions, firstFree);
    sigset_t none;
    sigset_t all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&setup.attributes, &none);
    posix_spawnattr_setsigdefault(&setup.attributes, &all);
    posix_spawnattr_setpgroup(&setup.attributes, 0);
    posix_spawnattr_setflags(&setup.attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    std::string program = path;
    std::array<char*, 2> argv{program.data(), nullptr};
    pid_t pid = 0;
    if (const int err = ::posix_spawn(&pid, path.c_str(), &setup.actions, &setup.attributes, argv.data(), environ);
        err != 0) {
        return failed(err);
    }
    theirs.reset();
    // Opened before anything can reap it, so the number still names our child.
    // (glibc's pidfd_open wrapper lacks C linkage in its header, hence the system call.)
    UniqueFd pidfd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
    return Started{std::unique_ptr<ChildProcess>(new ChildProcess(pid, std::move(pidfd))), std::move(ours)};
}

ChildProcess::~ChildProcess() {
    kill();
}

void ChildProcess::kill() {
    if (reaped_) return;
    // The whole process group: whatever the child started (a helper program of its own, a child of
    // its own stopped with it) goes with it instead of being left behind. Until the child is reaped
    // its number names this group alone.
    if (::kill(-pid_, SIGKILL) != 0) ::kill(pid_, SIGKILL);
    reap(std::chrono::milliseconds(-1));
}

std::string ChildProcess::endDescription(std::chrono::milliseconds timeout) {
    if (!reap(timeout)) return "stopped answering";
    return describeWaitStatus(status_);
}

uint64_t ChildProcess::residentBytes() const {
    if (reaped_) return 0;
    // The second number of statm: resident pages.
    const std::string statm = "/proc/" + std::to_string(pid_) + "/statm";
    std::unique_ptr<std::FILE, decltype(&std::fclose)> file(std::fopen(statm.c_str(), "re"), &std::fclose);
    unsigned long long size = 0;
    unsigned long long resident = 0;
    if (!file || std::fscanf(file.get(), "%llu %llu", &size, &resident) != 2) return 0;
    return resident * static_cast<uint64_t>(::sysconf(_SC_PAGESIZE));
}

bool ChildProcess::reap(std::chrono::milliseconds timeout) {
    if (reaped_) return true;
    if (pidfd_.get() >= 0) {
        if (!waitForFd(pidfd_.get(), POLLIN, deadlineAfter(timeout))) return false;
    } else if (timeout.count() >= 0) {
        // Without a process descriptor (an old kernel) only a look is possible.
        if (::waitpid(pid_, &status_, WNOHANG) != pid_) return false;
        reaped_ = true;
        return true;
    }
    while (::waitpid(pid_, &status_, 0) < 0 && errno == EINTR) {
    }
    reaped_ = true;
    return true;
}

}  // namespace base
