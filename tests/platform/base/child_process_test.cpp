// SPDX-License-Identifier: GPL-3.0-or-later
// Helper programs on a socket pair: a child that never answers is given up at its deadline, killed and
// reaped (no zombie is left, whichever way its owner lets go of it), and a child's end is told as it
// happened (a signal, an exit status).
#include "base/child_process.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>

#include "tests/support/test_files.h"

namespace base {
namespace {

using namespace std::chrono_literals;

// A program of one shell command, made in `dir`.
std::string script(const testing_support::TempDir& dir, const std::string& name, const std::string& command) {
    const std::string path = dir.file(name);
    std::ofstream(path) << "#!/bin/sh\n" << command << "\n";
    chmod(path.c_str(), 0755);
    return path;
}

ChildProcess::Started start(const std::string& path) {
    auto started = ChildProcess::start(path, errc::kEngine, "The helper");
    if (!started) throw std::runtime_error(started.fault().message);
    return std::move(started.value());
}

// Whether `pid` is still a process of ours, running or a zombie: a reaped child is neither.
bool stillOurs(pid_t pid) {
    siginfo_t info{};
    return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0;
}

TEST(ChildProcess, AChildThatNeverAnswersIsGivenUpAtItsDeadlineKilledAndReaped) {
    testing_support::TempDir dir;
    auto started = start(script(dir, "silent", "exec sleep 60"));
    const pid_t pid = started.process->pid();

    const auto before = std::chrono::steady_clock::now();
    EXPECT_FALSE(waitForFd(started.socket.get(), POLLIN, deadlineAfter(200ms)));
    const auto waited = std::chrono::steady_clock::now() - before;
    EXPECT_GE(waited, 200ms);
    EXPECT_LT(waited, 5s);
    EXPECT_FALSE(started.process->reap(0ms)) << "it is still running";

    started.process->kill();
    ASSERT_TRUE(started.process->reap(0ms));
    EXPECT_TRUE(WIFSIGNALED(started.process->waitStatus()));
    EXPECT_EQ(WTERMSIG(started.process->waitStatus()), SIGKILL);
    EXPECT_FALSE(stillOurs(pid));
}

TEST(ChildProcess, AChildLetGoOfWhileRunningIsKilledAndReaped) {
    testing_support::TempDir dir;
    pid_t pid = 0;
    {
        auto started = start(script(dir, "silent", "exec sleep 60"));
        pid = started.process->pid();
        ASSERT_TRUE(stillOurs(pid));
    }
    EXPECT_FALSE(stillOurs(pid));
    EXPECT_EQ(::kill(pid, 0), -1);
    EXPECT_EQ(errno, ESRCH);
}

TEST(ChildProcess, HowAChildEndedIsToldAsItHappened) {
    const struct {
        const char* command;
        std::chrono::milliseconds wait;  // how long the end is waited for (a child that ends is not waited on)
        std::string told;
    } cases[] = {
        {"kill -KILL $$", 10s, "killed by signal 9 (Killed)"},
        {"kill -SEGV $$", 10s, "killed by signal 11 (Segmentation fault)"},
        {"exit 3", 10s, "exited with status 3"},
        {"exec sleep 60", 100ms, "stopped answering"},
    };
    testing_support::TempDir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.command);
        auto started = start(script(dir, "child", c.command));
        EXPECT_EQ(started.process->endDescription(c.wait), c.told);
    }
}

TEST(ChildProcess, AProgramThatCannotBeStartedIsAFaultNamingIt) {
    testing_support::TempDir dir;
    const std::string missing = dir.file("no-such-helper");
    auto started = ChildProcess::start(missing, errc::kEngine, "The helper");
    ASSERT_FALSE(started);
    EXPECT_EQ(started.fault().code, errc::kEngine);
    EXPECT_NE(started.fault().message.find("The helper \"" + missing + "\" could not be started"), std::string::npos)
        << started.fault().message;
}

}  // namespace
}  // namespace base
