#include "platform/speech/sound_file_encoder.h"

#include <sndfile.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <system_error>
#include <vector>

namespace speech {

std::string fileErrorReason(int err) {
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

namespace {

Fault writeFault(const std::string& name, const std::string& reason) {
    return Fault{errc::kAccessDenied, "Cannot write to the file \"" + name + "\": " + reason + "."};
}

int sndfileFormat(const WaveFormat& format, const EncoderChoice& choice) {
    const bool eight = format.bitsPerSample == 8;
    switch (choice.codec) {
        case FileCodec::Wav:
            return (choice.rf64 ? SF_FORMAT_RF64 : SF_FORMAT_WAV) | (eight ? SF_FORMAT_PCM_U8 : SF_FORMAT_PCM_16);
        case FileCodec::Flac: return SF_FORMAT_FLAC | (eight ? SF_FORMAT_PCM_S8 : SF_FORMAT_PCM_16);
        case FileCodec::OggVorbis: return SF_FORMAT_OGG | SF_FORMAT_VORBIS;
        case FileCodec::OggOpus: return SF_FORMAT_OGG | SF_FORMAT_OPUS;
        case FileCodec::Mp3: return SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III;
    }
    return 0;
}

class SndfileEncoder final : public SoundFileEncoder {
public:
    SndfileEncoder(SNDFILE* handle, std::string name, const WaveFormat& format, bool raw)
        : handle_(handle), name_(std::move(name)), format_(format), raw_(raw) {}
    ~SndfileEncoder() override {
        if (handle_ != nullptr) sf_close(handle_);
    }
    SndfileEncoder(const SndfileEncoder&) = delete;
    SndfileEncoder& operator=(const SndfileEncoder&) = delete;

    Result<void> write(std::span<const uint8_t> frames) override {
        if (handle_ == nullptr) return writeFault(name_, "it is closed");
        errno = 0;
        bool ok = false;
        if (raw_) {
            const auto size = static_cast<sf_count_t>(frames.size());
            ok = sf_write_raw(handle_, frames.data(), size) == size;
        } else {
            // The codecs take samples, not bytes: 16-bit little-endian as they are, unsigned 8-bit
            // moved to the signed range and scaled up (libsndfile scales back down for 8-bit FLAC).
            samples_.clear();
            if (format_.bitsPerSample == 8) {
                for (uint8_t b : frames) samples_.push_back(static_cast<short>((b - 128) * 256));
            } else {
                for (size_t i = 0; i + 1 < frames.size(); i += 2)
                    samples_.push_back(static_cast<short>(frames[i] | (frames[i + 1] << 8)));
            }
            const auto count = static_cast<sf_count_t>(samples_.size());
            ok = sf_write_short(handle_, samples_.data(), count) == count;
        }
        if (ok) return {};
        const int err = errno;
        return writeFault(name_, err != 0 ? fileErrorReason(err) : std::string(sf_strerror(handle_)));
    }

    Result<void> finish() override {
        if (handle_ == nullptr) return {};
        errno = 0;
        const int closed = sf_close(handle_);
        handle_ = nullptr;
        if (closed == 0) return {};
        const int err = errno;
        return writeFault(name_, err != 0 ? fileErrorReason(err) : std::string(sf_error_number(closed)));
    }

private:
    SNDFILE* handle_;
    std::string name_;
    WaveFormat format_;
    bool raw_;
    std::vector<short> samples_;
};

// Writes all of `bytes`, through interrupted and partial writes.
bool writeAll(int fd, std::span<const uint8_t> bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes = bytes.subspan(static_cast<size_t>(n));
    }
    return true;
}

class StreamedWave final : public SoundFileEncoder {
public:
    StreamedWave(int fd, std::string name) : fd_(fd), name_(std::move(name)) {}
    Result<void> write(std::span<const uint8_t> frames) override {
        if (writeAll(fd_, frames)) return {};
        return writeFault(name_, fileErrorReason(errno));
    }
    Result<void> finish() override { return {}; }

private:
    int fd_;
    std::string name_;
};

void putLe(std::array<uint8_t, 44>& out, size_t at, uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out[at + static_cast<size_t>(i)] = static_cast<uint8_t>(value >> (8 * i));
}

}  // namespace

Result<std::unique_ptr<SoundFileEncoder>> openSndfileEncoder(int fd, const std::string& name, const WaveFormat& format,
                                                              const EncoderChoice& choice) {
    SF_INFO info{};
    info.samplerate = format.sampleRate;
    info.channels = format.channels;
    info.format = sndfileFormat(format, choice);
    errno = 0;
    // The descriptor stays the caller's (closed after sf_close), so no failure path can close it twice.
    SNDFILE* handle = sf_open_fd(fd, SFM_WRITE, &info, SF_FALSE);
    if (handle == nullptr) {
        const int err = errno;
        const std::string reason = err != 0 ? fileErrorReason(err) : std::string(sf_strerror(nullptr));
        return Fault{errc::kAccessDenied, "Cannot write the file \"" + name + "\": " + reason + "."};
    }
    if (choice.quality && choice.codec != FileCodec::Wav && choice.codec != FileCodec::Flac) {
        double level = 1.0 - *choice.quality;  // libsndfile counts compression, 0 being the best quality
        sf_command(handle, SFC_SET_COMPRESSION_LEVEL, &level, sizeof level);
    }
    const bool raw = choice.codec == FileCodec::Wav;
    return std::unique_ptr<SoundFileEncoder>(std::make_unique<SndfileEncoder>(handle, name, format, raw));
}

Result<std::unique_ptr<SoundFileEncoder>> openStreamedWave(int fd, const std::string& name, const WaveFormat& format) {
    // libsndfile writes no WAV to a pipe (it would seek back to finish the header), so the canonical
    // 44-byte PCM header is written here, with the sizes of an unknown length.
    std::array<uint8_t, 44> header{'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E', 'f', 'm', 't', ' '};
    putLe(header, 4, 0xFFFFFFFFu, 4);
    putLe(header, 16, 16, 4);  // fmt chunk size
    putLe(header, 20, 1, 2);   // PCM
    putLe(header, 22, static_cast<uint32_t>(format.channels), 2);
    putLe(header, 24, static_cast<uint32_t>(format.sampleRate), 4);
    putLe(header, 28, static_cast<uint32_t>(format.bytesPerSecond()), 4);
    putLe(header, 32, static_cast<uint32_t>(format.bytesPerFrame()), 2);
    putLe(header, 34, static_cast<uint32_t>(format.bitsPerSample), 2);
    putLe(header, 36, 0x61746164u, 4);  // "data"
    putLe(header, 40, 0xFFFFFFFFu, 4);
    if (!writeAll(fd, header)) return writeFault(name, fileErrorReason(errno));
    return std::unique_ptr<SoundFileEncoder>(std::make_unique<StreamedWave>(fd, name));
}

}  // namespace speech
