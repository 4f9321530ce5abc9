// SPDX-License-Identifier: GPL-3.0-or-later
#include "tools/say/progress.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <iostream>
#include <mutex>

namespace say {

namespace {

using Clock = std::chrono::steady_clock;

// The progress being shown, whose line the program's messages clear first. The line and the messages
// are written under one lock: a document reader on the voice's thread says what it skips as the line
// is redrawn.
std::mutex terminal;
Progress* shownNow = nullptr;

constexpr auto kEvery = std::chrono::milliseconds(250);

// "1:05" or "1:02:05".
std::string clock(uint64_t seconds) {
    char text[32];
    if (seconds >= 3600)
        std::snprintf(text, sizeof text, "%llu:%02llu:%02llu", static_cast<unsigned long long>(seconds / 3600),
                      static_cast<unsigned long long>(seconds / 60 % 60),
                      static_cast<unsigned long long>(seconds % 60));
    else
        std::snprintf(text, sizeof text, "%llu:%02llu", static_cast<unsigned long long>(seconds / 60),
                      static_cast<unsigned long long>(seconds % 60));
    return text;
}

// Writes all of `text`; a terminal that went away is not the render's failure.
void writeAll(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t n = ::write(fd, text.data(), text.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        text.remove_prefix(static_cast<size_t>(n));
    }
}

}  // namespace

bool Progress::wanted() {
    return ::isatty(STDERR_FILENO) == 1;
}

Progress::Progress(std::optional<uint64_t> total, int fd) : fd_(fd) {
    shown_ = total && *total > 0 && ::isatty(fd) == 1;
    total_ = total.value_or(0);
    length_ = total_;
    if (shown_) {
        const std::lock_guard lock(terminal);
        shownNow = this;
    }
}

Progress::~Progress() {
    const std::lock_guard lock(terminal);
    clearLine();
    if (shownNow == this) shownNow = nullptr;
}

void Progress::printLine(std::string_view message) {
    const std::lock_guard lock(terminal);
    if (shownNow) shownNow->clearLine();
    std::cerr << "tallamo-say: " << message << '\n' << std::flush;
}

void Progress::startPart(uint64_t offset, uint64_t length, std::string label) {
    offset_ = offset;
    length_ = length;
    label_ = std::move(label);
}

bool Progress::due() const {
    return shown_ && Clock::now() - last_ >= kEvery;
}

void Progress::reached(uint64_t position) {
    if (due()) draw(offset_ + std::min(position, length_));
}

void Progress::partDone() {
    if (shown_) draw(offset_ + length_);
}

void Progress::finished() {
    if (shown_) draw(total_);
}

void Progress::draw(uint64_t done) {
    const auto now = Clock::now();
    last_ = now;
    const double share = std::min(1.0, static_cast<double>(done) / static_cast<double>(total_));
    if (!from_ && done > 0) from_.emplace(now, share);
    std::string line = "tallamo-say: ";
    if (!label_.empty()) line += label_ + ", ";
    if (detail_) {
        const std::string detail = detail_();
        if (!detail.empty()) line += detail + ", ";
    }
    line += std::to_string(static_cast<int>(share * 100)) + "%";
    // The time left, from the pace since the text first moved on, once there is a pace to go by.
    if (from_ && share < 1.0) {
        const double seconds = std::chrono::duration<double>(now - from_->first).count();
        const double gained = share - from_->second;
        if (seconds >= 1.0 && gained > 0)
            line += ", " + clock(static_cast<uint64_t>(seconds / gained * (1.0 - share) + 0.5)) + " left";
    }
    // Kept inside the terminal's width: a line that wraps would not be redrawn in place.
    struct winsize size {};
    if (::ioctl(fd_, TIOCGWINSZ, &size) == 0 && size.ws_col > 1)
        line.resize(std::min<size_t>(line.size(), size.ws_col - 1));
    const std::lock_guard lock(terminal);
    const size_t length = line.size();
    if (length < drawn_) line.append(drawn_ - length, ' ');
    writeAll(fd_, '\r' + line);
    drawn_ = length;
}

void Progress::clear() {
    const std::lock_guard lock(terminal);
    clearLine();
}

void Progress::clearLine() {
    if (drawn_ == 0) return;
    writeAll(fd_, '\r' + std::string(drawn_, ' ') + '\r');
    drawn_ = 0;
}

}  // namespace say
