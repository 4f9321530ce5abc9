// SPDX-License-Identifier: GPL-3.0-or-later
#include "speech/audio/file_encoder.h"

#include <fcntl.h>
#include <sndfile.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <vector>

namespace speech::audio {

namespace {

base::Fault writeFault(const std::string& name, const std::string& reason) {
    return base::Fault{base::errc::kAccessDenied, "Cannot write to the file \"" + name + "\": " + reason + "."};
}

int sndfileFormat(const core::WaveFormat& format, const EncoderChoice& choice) {
    const bool eight = format.bitsPerSample == 8;
    switch (choice.codec) {
        case core::FileCodec::Wav:
            return (choice.rf64 ? SF_FORMAT_RF64 : SF_FORMAT_WAV) | (eight ? SF_FORMAT_PCM_U8 : SF_FORMAT_PCM_16);
        case core::FileCodec::Flac:
            return SF_FORMAT_FLAC | (eight ? SF_FORMAT_PCM_S8 : SF_FORMAT_PCM_16);
        case core::FileCodec::OggVorbis:
            return SF_FORMAT_OGG | SF_FORMAT_VORBIS;
        case core::FileCodec::OggOpus:
            return SF_FORMAT_OGG | SF_FORMAT_OPUS;
        case core::FileCodec::Mp3:
            return SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III;
        case core::FileCodec::M4b:
        case core::FileCodec::M4a:
            break;  // written through FFmpeg (mp4_writer.h)
    }
    return 0;
}

// libsndfile's reads and writes go through these calls on the descriptor, and every write's result is
// kept: libsndfile's MP3 encoder passes over a short write, and what any encoder writes while it is
// closed (the codec's last packets, trailing headers) never reaches its caller. A write after a
// failed one is refused, so the first failure is the one reported.
struct SndfileIo {
    int fd = -1;
    off_t base = 0;     // where the file starts in the descriptor
    sf_count_t at = 0;  // the position, counted from base
    WriteCall write = base::pwriteAll;
    int error = 0;  // the errno of the first failed write

    static SF_VIRTUAL_IO calls() {
        SF_VIRTUAL_IO io{};
        io.get_filelen = [](void* self) { return static_cast<SndfileIo*>(self)->length(); };
        io.seek = [](sf_count_t offset, int whence, void* self) {
            auto& io = *static_cast<SndfileIo*>(self);
            const sf_count_t from = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? io.at : io.length();
            io.at = std::max<sf_count_t>(0, from + offset);
            return io.at;
        };
        io.read = [](void* out, sf_count_t count, void* self) {
            auto& io = *static_cast<SndfileIo*>(self);
            const ssize_t n = ::pread(io.fd, out, static_cast<size_t>(count), io.base + io.at);
            if (n <= 0) return sf_count_t{0};
            io.at += n;
            return static_cast<sf_count_t>(n);
        };
        io.write = [](const void* bytes, sf_count_t count, void* self) {
            auto& io = *static_cast<SndfileIo*>(self);
            if (io.error != 0) return sf_count_t{0};
            io.error = io.write(io.fd, {static_cast<const uint8_t*>(bytes), static_cast<size_t>(count)},
                                static_cast<uint64_t>(io.base + io.at));
            if (io.error != 0) return sf_count_t{0};
            io.at += count;
            return count;
        };
        io.tell = [](void* self) { return static_cast<SndfileIo*>(self)->at; };
        return io;
    }

    sf_count_t length() const {
        struct stat st {};
        if (::fstat(fd, &st) != 0) return 0;
        return std::max<sf_count_t>(0, st.st_size - base);
    }
};

// How the samples reach libsndfile: as bytes (PCM WAV, written as they are), as 16-bit integers, or
// as floats (MP3: libsndfile 1.2.0's integer path for stereo MP3 copies half of each block from the
// wrong place, its float path is sound).
enum class SampleWay { Raw, Shorts, Floats };

class SndfileEncoder final : public SoundFileEncoder {
public:
    SndfileEncoder(std::unique_ptr<SndfileIo> io, SNDFILE* handle, std::string name, const core::WaveFormat& format,
                   SampleWay way)
        : io_(std::move(io)), handle_(handle), name_(std::move(name)), format_(format), way_(way) {}
    ~SndfileEncoder() override {
        if (handle_ != nullptr) sf_close(handle_);
    }
    SndfileEncoder(const SndfileEncoder&) = delete;
    SndfileEncoder& operator=(const SndfileEncoder&) = delete;

    base::Result<void> write(std::span<const uint8_t> frames) override {
        if (handle_ == nullptr) return writeFault(name_, "it is closed");
        bool ok = false;
        if (way_ == SampleWay::Raw) {
            const auto size = static_cast<sf_count_t>(frames.size());
            ok = sf_write_raw(handle_, frames.data(), size) == size;
        } else {
            toShorts(frames);
            const auto count = static_cast<sf_count_t>(samples_.size());
            if (way_ == SampleWay::Floats) {
                floats_.assign(samples_.begin(), samples_.end());
                for (float& f : floats_) f /= 32768.0f;
                ok = sf_write_float(handle_, floats_.data(), count) == count;
            } else {
                ok = sf_write_short(handle_, samples_.data(), count) == count;
            }
        }
        if (ok && io_->error == 0) return {};
        return writeFault(name_,
                          io_->error != 0 ? base::fileErrorReason(io_->error) : std::string(sf_strerror(handle_)));
    }

    base::Result<void> finish() override {
        if (handle_ == nullptr) return {};
        const int closed = sf_close(handle_);
        handle_ = nullptr;
        if (io_->error != 0) return writeFault(name_, base::fileErrorReason(io_->error));
        if (closed != 0) return writeFault(name_, sf_error_number(closed));
        return {};
    }

private:
    // The codecs take samples, not bytes: 16-bit little-endian as they are, unsigned 8-bit moved to
    // the signed range and scaled up (libsndfile scales back down for 8-bit FLAC).
    void toShorts(std::span<const uint8_t> frames) {
        samples_.clear();
        if (format_.bitsPerSample == 8) {
            for (uint8_t b : frames) samples_.push_back(static_cast<short>((b - 128) * 256));
        } else {
            for (size_t i = 0; i + 1 < frames.size(); i += 2)
                samples_.push_back(static_cast<short>(frames[i] | (frames[i + 1] << 8)));
        }
    }

    std::unique_ptr<SndfileIo> io_;  // libsndfile's user data: its address stays while the handle lives
    SNDFILE* handle_;
    std::string name_;
    core::WaveFormat format_;
    SampleWay way_;
    std::vector<short> samples_;
    std::vector<float> floats_;
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
    base::Result<void> write(std::span<const uint8_t> frames) override {
        if (writeAll(fd_, frames)) return {};
        return writeFault(name_, base::fileErrorReason(errno));
    }
    base::Result<void> finish() override { return {}; }

private:
    int fd_;
    std::string name_;
};

void putLe(uint8_t* out, uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

}  // namespace

std::array<uint8_t, 44> waveHeader(const core::WaveFormat& format, uint32_t dataBytes) {
    std::array<uint8_t, 44> header{'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E', 'f', 'm', 't', ' '};
    putLe(&header[4], dataBytes == 0xFFFFFFFFu ? dataBytes : dataBytes + 36 + (dataBytes & 1), 4);
    putLe(&header[16], 16, 4);  // fmt chunk size
    putLe(&header[20], 1, 2);   // PCM
    putLe(&header[22], static_cast<uint32_t>(format.channels), 2);
    putLe(&header[24], static_cast<uint32_t>(format.sampleRate), 4);
    putLe(&header[28], static_cast<uint32_t>(format.bytesPerSecond()), 4);
    putLe(&header[32], static_cast<uint32_t>(format.bytesPerFrame()), 2);
    putLe(&header[34], static_cast<uint32_t>(format.bitsPerSample), 2);
    putLe(&header[36], 0x61746164u, 4);  // "data"
    putLe(&header[40], dataBytes, 4);
    return header;
}

namespace {

// Bytes gathered for one direct write: a multiple of every block size a disk uses, and one huge page.
// A direct write pins the pages it writes from; one huge page pins at a quarter of the cost of 512
// small ones (measured: 8 against 30 ms of processor time for 320 MB).
constexpr size_t kDirectStage = size_t{2} << 20;
constexpr size_t kWaveHeader = 44;

struct StageDeleter {
    void operator()(uint8_t* p) const { ::munmap(p, kDirectStage); }
};
using Stage = std::unique_ptr<uint8_t, StageDeleter>;

// The stage: a mapping of its own, aligned to its size so that it can be one huge page. (From the
// heap, the padding an alignment of 2 MB takes, and the huge pages around it, cost some 9 MB.)
Stage mapStage() {
    void* mapped = ::mmap(nullptr, 2 * kDirectStage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) return nullptr;
    auto* start = static_cast<uint8_t*>(mapped);
    const size_t lead = (kDirectStage - reinterpret_cast<uintptr_t>(start) % kDirectStage) % kDirectStage;
    if (lead > 0) ::munmap(start, lead);
    ::munmap(start + lead + kDirectStage, kDirectStage - lead);
    // Where huge pages are only for those who ask (or not at all), the stage works as well without.
    (void)::madvise(start + lead, kDirectStage, MADV_HUGEPAGE);
    return Stage(start + lead);
}

class DirectWave final : public SoundFileEncoder {
public:
    DirectWave(int fd, std::string name, const core::WaveFormat& format, Stage stage, const DirectFileCalls& calls)
        : fd_(fd), name_(std::move(name)), format_(format), stage_(std::move(stage)), calls_(calls) {
        // The header leads the first block; its sizes are filled in at the end.
        const auto header = waveHeader(format_, 0);
        std::memcpy(stage_.get(), header.data(), header.size());
        staged_ = header.size();
        direct_ = calls_.setDirect(fd_, true);
    }

    base::Result<void> write(std::span<const uint8_t> frames) override {
        while (!frames.empty()) {
            const size_t take = std::min(frames.size(), kDirectStage - staged_);
            std::memcpy(stage_.get() + staged_, frames.data(), take);
            staged_ += take;
            frames = frames.subspan(take);
            if (staged_ == kDirectStage) {
                if (auto r = flushStage(); !r) return r;
            }
        }
        return {};
    }

    base::Result<void> finish() override {
        if (finished_) return {};
        finished_ = true;
        // The last part is not a whole block: it goes through the page cache, like the header's sizes.
        if (direct_) setDirect(false);
        const uint64_t dataBytes = offset_ + staged_ - kWaveHeader;
        if (dataBytes > 0xFFFFFFFFu - 36) return writeFault(name_, "the audio is too long for a WAV file");
        const auto header = waveHeader(format_, static_cast<uint32_t>(dataBytes));
        const bool headerStaged = offset_ == 0;
        if (headerStaged) std::memcpy(stage_.get(), header.data(), header.size());
        if (dataBytes % 2 != 0) stage_.get()[staged_++] = 0;  // the stage is never full here
        const std::span<const uint8_t> last(stage_.get(), staged_);
        if (const int err = calls_.write(fd_, last, offset_); err != 0)
            return writeFault(name_, base::fileErrorReason(err));
        offset_ += staged_;
        staged_ = 0;
        if (!headerStaged) {
            if (const int err = calls_.write(fd_, header, 0); err != 0)
                return writeFault(name_, base::fileErrorReason(err));
        }
        return {};
    }

private:
    void setDirect(bool on) {
        (void)calls_.setDirect(fd_, on);
        direct_ = on;
    }

    base::Result<void> flushStage() {
        const std::span<const uint8_t> stage(stage_.get(), kDirectStage);
        int err = calls_.write(fd_, stage, offset_);
        if (err == EINVAL && direct_) {
            // The file system takes no direct writes after all: write it the ordinary way from now on.
            setDirect(false);
            err = calls_.write(fd_, stage, offset_);
        }
        if (err != 0) return writeFault(name_, base::fileErrorReason(err));
        offset_ += kDirectStage;
        staged_ = 0;
        return {};
    }

    int fd_;
    std::string name_;
    core::WaveFormat format_;
    Stage stage_;  // aligned for O_DIRECT
    DirectFileCalls calls_;
    size_t staged_ = 0;    // bytes in the stage
    uint64_t offset_ = 0;  // where the stage goes in the file
    bool direct_ = false;
    bool finished_ = false;
};

}  // namespace

bool setDirectFlag(int fd, bool on) {
    const int flags = ::fcntl(fd, F_GETFL);
    return flags >= 0 && ::fcntl(fd, F_SETFL, on ? (flags | O_DIRECT) : (flags & ~O_DIRECT)) == 0;
}

base::Result<std::unique_ptr<SoundFileEncoder>> openDirectWave(int fd, const std::string& name,
                                                               const core::WaveFormat& format,
                                                               const DirectFileCalls& calls) {
    Stage owned = mapStage();
    if (!owned) return writeFault(name, base::fileErrorReason(ENOMEM));
    // The samples start after the header; the descriptor is left there, as a caller may ask it.
    if (::lseek(fd, kWaveHeader, SEEK_SET) < 0) return writeFault(name, base::fileErrorReason(errno));
    return std::unique_ptr<SoundFileEncoder>(std::make_unique<DirectWave>(fd, name, format, std::move(owned), calls));
}

base::Result<std::unique_ptr<SoundFileEncoder>> openSndfileEncoder(int fd, const std::string& name,
                                                                   const core::WaveFormat& format,
                                                                   const EncoderChoice& choice, WriteCall write) {
    SF_INFO info{};
    info.samplerate = format.sampleRate;
    info.channels = format.channels;
    info.format = sndfileFormat(format, choice);
    // The file starts where the descriptor is (as it would for libsndfile's own I/O on it); the
    // descriptor stays the caller's.
    auto io = std::make_unique<SndfileIo>();
    io->fd = fd;
    io->base = std::max<off_t>(0, ::lseek(fd, 0, SEEK_CUR));
    io->write = write;
    SF_VIRTUAL_IO calls = SndfileIo::calls();
    SNDFILE* handle = sf_open_virtual(&calls, SFM_WRITE, &info, io.get());
    if (handle == nullptr) {
        const std::string reason =
            io->error != 0 ? base::fileErrorReason(io->error) : std::string(sf_strerror(nullptr));
        return base::Fault{base::errc::kAccessDenied, "Cannot write the file \"" + name + "\": " + reason + "."};
    }
    if (choice.quality && choice.codec != core::FileCodec::Wav && choice.codec != core::FileCodec::Flac) {
        double level = 1.0 - *choice.quality;  // libsndfile counts compression, 0 being the best quality
        sf_command(handle, SFC_SET_COMPRESSION_LEVEL, &level, sizeof level);
    }
    const SampleWay way = choice.codec == core::FileCodec::Wav   ? SampleWay::Raw
                          : choice.codec == core::FileCodec::Mp3 ? SampleWay::Floats
                                                                 : SampleWay::Shorts;
    return std::unique_ptr<SoundFileEncoder>(
        std::make_unique<SndfileEncoder>(std::move(io), handle, name, format, way));
}

base::Result<std::unique_ptr<SoundFileEncoder>> openStreamedWave(int fd, const std::string& name,
                                                                 const core::WaveFormat& format) {
    // libsndfile writes no WAV to a pipe (it would seek back to finish the header), so the canonical
    // 44-byte PCM header is written here, with the sizes of an unknown length.
    const auto header = waveHeader(format, 0xFFFFFFFFu);
    if (!writeAll(fd, header)) return writeFault(name, base::fileErrorReason(errno));
    return std::unique_ptr<SoundFileEncoder>(std::make_unique<StreamedWave>(fd, name));
}

}  // namespace speech::audio
