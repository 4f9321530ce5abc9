// SPDX-License-Identifier: GPL-3.0-or-later
#include "speech/pipeline/pipe_bytes.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>

#include "base/files.h"
#include "documents/document.h"

namespace speech::pipeline {

namespace {

// How often a wait for input asks whether it is cancelled.
constexpr std::chrono::milliseconds kSlice{50};

// A file without a name in the temporary folder (a named one, removed at once, where the file system
// has no files without names).
base::UniqueFd fileWithoutName() {
    std::error_code ec;
    const std::string folder = std::filesystem::temp_directory_path(ec).string();
    base::UniqueFd fd(::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
    if (fd.get() >= 0) return fd;
    std::string name = folder + "/tallamo-input-XXXXXX";
    fd.reset(::mkostemp(name.data(), O_CLOEXEC));
    if (fd.get() >= 0) ::unlink(name.c_str());
    return fd;
}

}  // namespace

PipeBytes::PipeBytes(base::UniqueFd fd, std::function<bool()> cancelled)
    : fd_(std::move(fd)), cancelledCheck_(std::move(cancelled)), kept_(fileWithoutName()) {}

size_t PipeBytes::read(std::span<uint8_t> out, bool mayPause) {
    paused_ = false;
    if (replayed_ < total_ && kept_.get() >= 0) {
        const size_t want = static_cast<size_t>(std::min<uint64_t>(out.size(), total_ - replayed_));
        const ssize_t n = ::pread(kept_.get(), out.data(), want, static_cast<off_t>(replayed_));
        if (n <= 0) {
            failed_ = true;
            return 0;
        }
        replayed_ += static_cast<uint64_t>(n);
        return static_cast<size_t>(n);
    }
    if (ended_ || failed_ || cancelled_) return 0;
    const size_t got = fromPipe(out, mayPause ? base::deadlineAfter(kPause) : std::nullopt);
    paused_ = got == 0 && !ended_ && !failed_ && !cancelled_;
    return got;
}

bool PipeBytes::paused() const {
    if (!paused_) return false;
    pollfd p{fd_.get(), POLLIN, 0};
    return ::poll(&p, 1, 0) == 0;
}

size_t PipeBytes::fromPipe(std::span<uint8_t> out, std::optional<base::SteadyTime> deadline) {
    for (;;) {
        if (cancelledCheck_ && cancelledCheck_()) {
            cancelled_ = true;
            return 0;
        }
        const base::SteadyTime slice = std::chrono::steady_clock::now() + kSlice;
        if (!base::waitForFd(fd_.get(), POLLIN, deadline ? std::min(*deadline, slice) : slice)) {
            if (deadline && std::chrono::steady_clock::now() >= *deadline) return 0;
            continue;
        }
        const ssize_t n = ::read(fd_.get(), out.data(), out.size());
        if (n > 0) {
            const auto bytes = std::span<const uint8_t>(out.data(), static_cast<size_t>(n));
            if (kept_.get() >= 0 && base::pwriteAll(kept_.get(), bytes, total_) != 0) kept_.reset();
            total_ += static_cast<uint64_t>(n);
            replayed_ = total_;
            return static_cast<size_t>(n);
        }
        if (n == 0) {
            ended_ = true;
            return 0;
        }
        if (errno == EINTR || errno == EAGAIN) continue;
        failed_ = true;
        return 0;
    }
}

std::vector<uint8_t> PipeBytes::head(size_t most) {
    std::vector<uint8_t> out(most);
    size_t got = 0;
    // The first bytes are waited for as long as they take; the rest only until the writer pauses.
    while (got < most) {
        const size_t n = read(std::span(out).subspan(got), got > 0);
        if (n == 0) break;
        got += n;
    }
    out.resize(got);
    paused_ = false;
    return out;
}

base::Result<std::string> PipeBytes::rest(uint64_t limit, const std::string& name) {
    std::string all;
    std::vector<uint8_t> buffer(size_t{1} << 16);
    restart();
    for (size_t n; (n = read(buffer, false)) > 0;) {
        if (all.size() + n > limit) {
            return base::Fault{documents::errc::kTooLarge, "The file \"" + name +
                                                               "\" is too large to read: it holds more than " +
                                                               std::to_string(limit >> 20) + " MB."};
        }
        all.append(reinterpret_cast<const char*>(buffer.data()), n);
    }
    if (cancelled_)
        return base::Fault{base::errc::kCancelled, "The file \"" + name + "\" was not read: reading it was stopped."};
    if (failed_) return base::Fault{base::errc::kAccessDenied, "The file \"" + name + "\" cannot be read."};
    return all;
}

}  // namespace speech::pipeline
