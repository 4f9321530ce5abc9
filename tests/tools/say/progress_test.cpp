// SPDX-License-Identifier: GPL-3.0-or-later
// The progress line of a long render: on a terminal (a pseudo-terminal here) one line redrawn in place
// that ends at 100% and is cleared; on a pipe nothing at all.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

#include "tests/support/document_fixtures.h"
#include "tests/tools/say/say_process.h"

namespace {

using namespace say_test;

struct Seen {
    int status = -1;
    std::string err;
};

// Runs tallamo-say with `args`, its standard error on a pseudo-terminal (`terminal`) or a pipe, its
// standard input and output on /dev/null; what it wrote there, to its end.
Seen errorOutput(const std::vector<std::string>& args, bool terminal) {
    int reader = -1;
    int pipeEnds[2] = {-1, -1};
    if (!terminal && ::pipe2(pipeEnds, O_CLOEXEC) != 0) return {};
    const pid_t pid = terminal ? ::forkpty(&reader, nullptr, nullptr, nullptr) : ::fork();
    if (pid == 0) {
        const int null = ::open("/dev/null", O_RDWR);
        ::dup2(null, 0);
        ::dup2(null, 1);
        if (!terminal) ::dup2(pipeEnds[1], 2);
        std::vector<const char*> argv{TALLAMO_SAY};
        for (const auto& a : args) argv.push_back(a.c_str());
        argv.push_back(nullptr);
        ::execv(TALLAMO_SAY, const_cast<char* const*>(argv.data()));
        ::_exit(127);
    }
    if (!terminal) {
        ::close(pipeEnds[1]);
        reader = pipeEnds[0];
    }
    Seen seen;
    char buffer[4096];
    // A terminal's reader gets EIO once the program and its children have closed it.
    for (ssize_t n; (n = ::read(reader, buffer, sizeof buffer)) != 0;) {
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) break;
        seen.err.append(buffer, static_cast<size_t>(n));
    }
    ::close(reader);
    int status = 0;
    ::waitpid(pid, &status, 0);
    seen.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return seen;
}

TEST(SayProgress, ATerminalSeesOneLineRedrawnToTheEndAndAPipeNothing) {
    Folder dir;
    std::string text;
    for (int i = 0; i < 60; ++i) text += "This sentence is one of many that make the render last a while. ";
    std::ofstream(dir / "long.txt") << text;
    std::ofstream(dir / "book.epub", std::ios::binary)
        << fixtures::epub({{"One", {text.substr(0, 1500)}}, {"Two", {text.substr(0, 1500)}}});
    const struct {
        std::vector<std::string> args;
        const char* last;  // what the last line drawn says
    } rows[] = {
        {{"--file", dir / "long.txt", "--output", dir / "long.wav"}, "of audio, 100%"},
        {{"--file", dir / "book.epub", "--output", dir / "book.daisy/"}, "part 2 of 2, 100%"},
        {{"--file", dir / "book.epub", "--output", dir / "chapters/", "--chapters"}, "chapter 2 of 2, 100%"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.last);
        const Seen shown = errorOutput(row.args, true);
        ASSERT_EQ(shown.status, 0) << shown.err;
        // Every line starts with a carriage return, none ends with a newline, and the last "\r...\r"
        // is the clearing blank one.
        EXPECT_EQ(shown.err.find('\n'), std::string::npos) << shown.err;
        ASSERT_GE(std::count(shown.err.begin(), shown.err.end(), '\r'), 3) << shown.err;
        ASSERT_TRUE(shown.err.starts_with("\rtallamo-say: ") && shown.err.ends_with("\r")) << shown.err;
        const size_t blank = shown.err.rfind('\r', shown.err.size() - 2);
        const size_t last = shown.err.rfind('\r', blank - 1);
        EXPECT_NE(shown.err.substr(last, blank - last).find(row.last), std::string::npos) << shown.err;
        EXPECT_EQ(shown.err.find_first_not_of(' ', blank + 1), shown.err.size() - 1) << "not cleared";

        const Seen piped = errorOutput(row.args, false);
        EXPECT_EQ(piped.status, 0);
        EXPECT_EQ(piped.err, "");
    }
}

// A message during the render (a PDF page skipped, said from the voice's thread as it reads) clears the
// progress line first and stands on a line of its own.
TEST(SayProgress, AMessageClearsTheLineFirst) {
    Folder dir;
    std::string text;
    for (int i = 0; i < 40; ++i) text += "This sentence is one of many on the page. ";
    const fixtures::PdfPage page{fixtures::PdfPage::Text, text, 0};
    fixtures::writeFile(dir / "pages.pdf",
                        fixtures::handMadePdf({page, {fixtures::PdfPage::Inflating, {}, 2000}, page}));
    const Seen shown = errorOutput({"--file", dir / "pages.pdf", "--output", dir / "pages.wav"}, true);
    ASSERT_EQ(shown.status, 0) << shown.err;
    const std::string message = "tallamo-say: Page 2 of ";
    ASSERT_NE(shown.err.find(message), std::string::npos) << shown.err;
    for (size_t at = shown.err.find(message); at != std::string::npos; at = shown.err.find(message, at + 1)) {
        EXPECT_TRUE(at == 0 || shown.err[at - 1] == '\r' || shown.err[at - 1] == '\n') << shown.err;
        EXPECT_NE(shown.err.find("skipped: it needs more than 256 MB of memory.\r\n", at), std::string::npos)
            << "its line ends: " << shown.err;
    }
}

}  // namespace
