// SPDX-License-Identifier: GPL-3.0-or-later
#include "speech/audio/media/ffmpeg_io.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <span>

#include "base/files.h"

extern "C" {
#include <libavutil/mem.h>
}

namespace speech::audio::media {

namespace {

// The buffer of each of FFmpeg's I/O contexts.
constexpr int kIoBuffer = 1 << 16;

int writeIo(void* opaque, uint8_t* data, int size) {
    auto* io = static_cast<FdIo*>(opaque);
    if (io->error != 0) return AVERROR(io->error);
    if (const int err = base::pwriteAll(io->fd, std::span<const uint8_t>(data, static_cast<size_t>(size)),
                                        static_cast<uint64_t>(io->position));
        err != 0) {
        io->error = err;
        return AVERROR(err);
    }
    io->position += size;
    return size;
}

int readIo(void* opaque, uint8_t* data, int size) {
    auto* io = static_cast<FdIo*>(opaque);
    for (;;) {
        const ssize_t n = ::pread(io->fd, data, static_cast<size_t>(size), io->position);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            io->error = errno;
            return AVERROR(io->error);
        }
        if (n == 0) return AVERROR_EOF;
        io->position += n;
        return static_cast<int>(n);
    }
}

int64_t seekIo(void* opaque, int64_t offset, int whence) {
    auto* io = static_cast<FdIo*>(opaque);
    struct stat st {};
    const int how = whence & ~AVSEEK_FORCE;
    if (how == AVSEEK_SIZE || how == SEEK_END) {
        if (::fstat(io->fd, &st) != 0) return AVERROR(errno);
        if (how == AVSEEK_SIZE) return st.st_size;
    }
    switch (how) {
        case SEEK_SET:
            io->position = offset;
            break;
        case SEEK_CUR:
            io->position += offset;
            break;
        case SEEK_END:
            io->position = st.st_size + offset;
            break;
        default:
            return AVERROR(EINVAL);
    }
    return io->position;
}

}  // namespace

base::Result<ff::IoContext> makeIoContext(FdIo& io, bool write) {
    auto* buffer = static_cast<unsigned char*>(av_malloc(kIoBuffer));
    if (buffer == nullptr) return base::outOfMemory();
    AVIOContext* context = avio_alloc_context(buffer, kIoBuffer, write ? 1 : 0, &io, write ? nullptr : readIo,
                                              write ? writeIo : nullptr, seekIo);
    if (context == nullptr) {
        av_free(buffer);
        return base::outOfMemory();
    }
    return ff::IoContext(context);
}

}  // namespace speech::audio::media
