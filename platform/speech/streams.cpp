#include "platform/speech/streams.h"

#include <fcntl.h>
#include <sndfile.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <system_error>
#include <vector>

#include "platform/speech/constants.h"

namespace speech {

int32_t SpAudioFormat::Type() const {
    std::lock_guard lock(owner_->mutex_);
    return owner_->type_;
}

void SpAudioFormat::SetType(int32_t type) {
    if (!waveFormatOf(type))
        throw Error(errc::kUnsupportedFormat,
                    "The audio format " + std::to_string(type) +
                        " is not supported; formats are numbered 4 to 39.");
    std::lock_guard lock(owner_->mutex_);
    if (owner_->type_ == type) return;
    owner_->canChangeFormat().orThrow();
    owner_->type_ = type;
}

WaveFormat SpAudioFormat::wave() const { return *waveFormatOf(Type()); }

int32_t SpStream::formatType() const { return format_.Type(); }

namespace {

std::string errnoReason(int err) {
    switch (err) {
        case ENOENT: return "the folder does not exist";
        case ENOTDIR: return "a part of the path is not a folder";
        case EACCES:
        case EPERM: return "permission denied";
        case EROFS: return "the file system is read-only";
        case EISDIR: return "it is a folder";
        case ENOSPC: return "the disk is full";
        case EDQUOT: return "the disk quota is exhausted";
        default: return std::generic_category().message(err);
    }
}

}  // namespace

// Owns one libsndfile handle writing a PCM WAV file. The header is rewritten after every write, so a
// file cut short by a crash or a failure still opens with the right length.
class WavWriter {
public:
    static Result<std::unique_ptr<WavWriter>> create(const std::string& path, const WaveFormat& format) {
        const bool existed = ::access(path.c_str(), F_OK) == 0;
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (fd < 0) {
            const int err = errno;
            const int32_t code = (err == ENOENT || err == ENOTDIR) ? errc::kNotFound : errc::kAccessDenied;
            return Fault{code, "Cannot create the file \"" + path + "\": " + errnoReason(err) + "."};
        }
        SF_INFO info{};
        info.samplerate = format.sampleRate;
        info.channels = format.channels;
        info.format = SF_FORMAT_WAV | (format.bitsPerSample == 8 ? SF_FORMAT_PCM_U8 : SF_FORMAT_PCM_16);
        // The descriptor stays ours (closed after sf_close), so no failure path can close it twice.
        errno = 0;
        SNDFILE* handle = sf_open_fd(fd, SFM_WRITE, &info, SF_FALSE);
        if (handle == nullptr) {
            const int err = errno;
            const std::string reason = err != 0 ? errnoReason(err) : std::string(sf_strerror(nullptr));
            ::close(fd);
            // Leave no empty, headerless file behind.
            if (!existed) ::unlink(path.c_str());
            return Fault{errc::kAccessDenied, "Cannot write the file \"" + path + "\": " + reason + "."};
        }
        sf_command(handle, SFC_SET_UPDATE_HEADER_AUTO, nullptr, SF_TRUE);
        return std::unique_ptr<WavWriter>(new WavWriter(handle, fd, path, format));
    }

    ~WavWriter() { (void)close(); }  // Close reports what closing finds; a writer dropped unclosed cannot
    WavWriter(const WavWriter&) = delete;
    WavWriter& operator=(const WavWriter&) = delete;

    Result<void> write(std::span<const uint8_t> bytes) {
        if (handle_ == nullptr) return Fault{errc::kUnexpected, "The file \"" + path_ + "\" is closed."};
        // libsndfile only takes whole frames; a partial frame waits for the rest.
        const size_t frameBytes = static_cast<size_t>(format_.bytesPerFrame());
        pending_.insert(pending_.end(), bytes.begin(), bytes.end());
        const size_t whole = pending_.size() - pending_.size() % frameBytes;
        if (whole == 0) return {};
        errno = 0;
        const sf_count_t written = sf_write_raw(handle_, pending_.data(), static_cast<sf_count_t>(whole));
        if (written != static_cast<sf_count_t>(whole)) {
            const int err = errno;
            std::string reason = err != 0 ? errnoReason(err) : std::string(sf_strerror(handle_));
            return Fault{errc::kAccessDenied, "Cannot write to the file \"" + path_ + "\": " + reason + "."};
        }
        written_ += whole;
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(whole));
        return {};
    }

    // Writes the final header and closes the file; a failure of either is reported.
    [[nodiscard]] Result<void> close() {
        if (handle_ == nullptr) return {};
        errno = 0;
        const int error = sf_close(handle_);
        const int err = errno;
        handle_ = nullptr;
        const bool closed = ::close(fd_) == 0;
        const int closeErr = errno;
        fd_ = -1;
        if (error != 0) {
            const std::string reason = err != 0 ? errnoReason(err) : std::string(sf_error_number(error));
            return Fault{errc::kAccessDenied, "Cannot finish the file \"" + path_ + "\": " + reason + "."};
        }
        if (!closed) {
            return Fault{errc::kAccessDenied, "Cannot finish the file \"" + path_ + "\": " + errnoReason(closeErr) + "."};
        }
        return {};
    }

    uint64_t bytesWritten() const { return written_; }

private:
    WavWriter(SNDFILE* handle, int fd, std::string path, const WaveFormat& format)
        : handle_(handle), fd_(fd), path_(std::move(path)), format_(format) {}

    SNDFILE* handle_;
    int fd_;
    std::string path_;
    WaveFormat format_;
    std::vector<uint8_t> pending_;
    uint64_t written_ = 0;
};

SpFileStream::SpFileStream() = default;

SpFileStream::~SpFileStream() {
    std::lock_guard lock(fileMutex_);
    writer_.reset();
}

void SpFileStream::Open(const std::string& path, int32_t mode, bool /*doEvents*/) {
    if (mode != SSFMCreateForWrite)
        throw Error(errc::kInvalidArg, "Files can only be opened for writing (mode 3), not in mode " +
                                           std::to_string(mode) + ".");
    if (path.empty()) throw Error(errc::kInvalidArg, "No file name was given.");
    std::lock_guard lock(fileMutex_);
    if (writer_) {
        (void)writer_->close();  // the file left open before is given up for the new one
        writer_.reset();
    }
    writeFault_.reset();
    // The file is marked open before the format is read: a concurrent format change either lands
    // before that read or is refused.
    open_.store(true);
    auto created = WavWriter::create(path, Format().wave());
    if (!created) {
        open_.store(false);
        created.orThrow();
    }
    writer_ = std::move(created.value());
    path_ = path;
}

void SpFileStream::Close() {
    std::optional<Fault> fault;
    {
        std::lock_guard lock(fileMutex_);
        if (writer_) {
            auto closed = writer_->close();
            if (!closed && !writeFault_) writeFault_ = closed.fault();
            writer_.reset();
        }
        open_.store(false);
        fault.swap(writeFault_);
    }
    if (fault) throw Error(fault->code, fault->message);
}

bool SpFileStream::isOpen() const { return open_.load(); }

Result<void> SpFileStream::writeBytes(std::span<const uint8_t> bytes) {
    std::lock_guard lock(fileMutex_);
    if (!writer_) return Fault{errc::kUnexpected, "The file stream is not open."};
    auto written = writer_->write(bytes);
    if (!written && !writeFault_) writeFault_ = written.fault();
    return written;
}

void SpFileStream::fail(const Fault& fault) {
    std::lock_guard lock(fileMutex_);
    if (!writeFault_) writeFault_ = fault;
}

uint64_t SpFileStream::bytesWritten() const {
    std::lock_guard lock(fileMutex_);
    return writer_ ? writer_->bytesWritten() : 0;
}

Result<void> SpFileStream::canChangeFormat() const {
    if (open_.load())
        return Fault{errc::kUnsupportedFormat,
                     "The format of a file stream cannot change while its file is open; close it first."};
    return {};
}

}  // namespace speech
