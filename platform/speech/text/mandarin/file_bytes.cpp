// SPDX-License-Identifier: GPL-3.0-or-later
#include "speech/text/mandarin/file_bytes.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/child_process.h"

namespace speech::text::mandarin {

std::optional<FileBytes> FileBytes::read(const std::string& path, size_t maxSize, std::string& error) {
    const base::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    struct stat st {};
    if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0) {
        error = path + ": " + std::strerror(errno);
        return std::nullopt;
    }
    if (!S_ISREG(st.st_mode) || static_cast<uint64_t>(st.st_size) > maxSize) {
        error = path + (S_ISREG(st.st_mode) ? ": too large" : ": not a regular file");
        return std::nullopt;
    }
    FileBytes out;
    out.size_ = static_cast<size_t>(st.st_size);
    out.words_ = std::make_unique_for_overwrite<uint64_t[]>(out.size_ / 8 + 1);
    auto* at = reinterpret_cast<char*>(out.words_.get());
    for (size_t done = 0; done < out.size_;) {
        const ssize_t n = ::pread(fd.get(), at + done, out.size_ - done, static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            error = path + (n < 0 ? ": " + std::string(std::strerror(errno)) : ": changed while being read");
            return std::nullopt;
        }
        done += static_cast<size_t>(n);
    }
    return out;
}

}  // namespace speech::text::mandarin
