// SPDX-License-Identifier: GPL-3.0-or-later
#include "speech/audio/media/mp4_writer.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

#include "base/batch_thread.h"
#include "speech/audio/file_encoder.h"
#include "speech/audio/media/cover_image.h"
#include "speech/audio/media/ffmpeg_handles.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/mem.h>
#include <libavutil/opt.h>
}

namespace speech::audio::media {

namespace {

// The buffer of each of FFmpeg's I/O contexts.
constexpr int kIoBuffer = 1 << 16;
// AAC-LC codes 1024 samples a frame.
constexpr int64_t kAacFrame = 1024;
constexpr int64_t kPartSamples = kAacPartSamples;
constexpr int64_t kPartContext = kAacPartContext;
// Parts given to the encoders and not yet written, a thread: writing waits while there are more.
constexpr size_t kPartsAThread = 2;

// The bit rates a channel the encoder is asked for, for the command line's qualities 0..10: on the
// engine's speech it gives about a quarter more than it is asked (measured at 22.05 kHz: 52 kbit/s
// asked, 65.7 given; 20 gave 24.1, 91 gave 101.7), so these give about 24, 32, 40, 48, 56, 64, 72, 80,
// 96, 112 and 128 kbit/s (past some 100 the encoder gives no more at 22.05 kHz).
constexpr std::array<int64_t, 11> kBitRates{20000, 26000, 32000, 39000, 45000, 52000,
                                            58000, 65000, 78000, 91000, 104000};
constexpr int64_t kDefaultBitRate = 52000;

base::Fault writeFault(const std::string& name, const std::string& reason) {
    return base::Fault{base::errc::kAccessDenied, "Cannot write to the file \"" + name + "\": " + reason + "."};
}

// A descriptor as FFmpeg's I/O: positioned reads and writes at a position of its own, so that the
// second pass of a fast start (reading the file while the muxer writes it) needs no second descriptor.
// The first failure's errno is kept: the muxer does not check every write it makes.
struct FdIo {
    int fd = -1;
    int64_t position = 0;
    int error = 0;
};

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

struct AacSettings {
    int sampleRate = 22050;
    int channels = 1;
    int64_t bitRate = kDefaultBitRate;
    AacSearch search = AacSearch::Fast;
};

// An AAC-LC encoder of planar floats; every part's is made alike, so their packets form one stream.
base::Result<ff::CodecContext> openAacEncoder(const AacSettings& s, bool globalHeader) {
    const AVCodec* codec = avcodec_find_encoder_by_name("aac");
    if (codec == nullptr) return base::Fault{base::errc::kUnsupportedFormat, "This FFmpeg has no AAC encoder."};
    ff::CodecContext encoder(avcodec_alloc_context3(codec));
    if (!encoder) return base::outOfMemory();
    encoder->sample_fmt = AV_SAMPLE_FMT_FLTP;
    encoder->sample_rate = s.sampleRate;
    av_channel_layout_default(&encoder->ch_layout, s.channels);
    encoder->bit_rate = s.bitRate;
    encoder->profile = FF_PROFILE_AAC_LOW;
    encoder->time_base = AVRational{1, s.sampleRate};
    // The same audio gives the same bytes.
    encoder->flags |= AV_CODEC_FLAG_BITEXACT;
    if (globalHeader) encoder->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    ff::Dictionary options;
    av_dict_set(options.address(), "aac_coder", s.search == AacSearch::Fast ? "fast" : "twoloop", 0);
    if (const int ret = avcodec_open2(encoder.get(), codec, options.address()); ret < 0)
        return base::Fault{base::errc::kUnsupportedFormat,
                           "The AAC encoder refused the format: " + ff::errorText(ret) + "."};
    return encoder;
}

// One part's input: planar samples from stream position `start` (kPartContext before the part, or 0).
struct PartInput {
    int64_t index = 0;
    int64_t start = 0;
    std::vector<std::vector<float>> planes;
    bool last = false;
};

// Encodes a part and keeps the packets whose time lies in it: from the part's start (the first part
// keeps its encoder's priming packet too) to the next part's, and for the last part every packet left.
base::Result<AacPart> encodePart(const AacSettings& settings, const PartInput& in) {
    auto opened = openAacEncoder(settings, true);
    if (!opened) return opened.fault();
    AVCodecContext* encoder = opened.value().get();
    const int64_t keepFrom = in.index == 0 ? INT64_MIN : in.index * kPartSamples;
    const int64_t keepTo = in.last ? INT64_MAX : (in.index + 1) * kPartSamples;
    ff::Frame frame(av_frame_alloc());
    ff::Packet packet(av_packet_alloc());
    if (!frame || !packet) return base::outOfMemory();
    frame->format = AV_SAMPLE_FMT_FLTP;
    frame->sample_rate = settings.sampleRate;
    frame->nb_samples = encoder->frame_size;
    if (av_channel_layout_copy(&frame->ch_layout, &encoder->ch_layout) < 0 || av_frame_get_buffer(frame.get(), 0) < 0)
        return base::outOfMemory();
    AacPart out;
    out.index = in.index;
    const auto drain = [&]() -> base::Result<void> {
        for (;;) {
            const int ret = avcodec_receive_packet(encoder, packet.get());
            if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) return {};
            if (ret < 0)
                return base::Fault{base::errc::kUnexpected, "The AAC encoder failed: " + ff::errorText(ret) + "."};
            if (packet->pts >= keepFrom && packet->pts < keepTo) {
                out.packets.push_back({static_cast<uint32_t>(out.bytes.size()), static_cast<uint32_t>(packet->size),
                                       packet->pts, packet->duration});
                out.bytes.insert(out.bytes.end(), packet->data, packet->data + packet->size);
            }
            av_packet_unref(packet.get());
        }
    };
    const size_t total = in.planes.front().size();
    for (size_t at = 0; at < total; at += static_cast<size_t>(encoder->frame_size)) {
        const size_t n = std::min(total - at, static_cast<size_t>(encoder->frame_size));
        if (av_frame_make_writable(frame.get()) < 0) return base::outOfMemory();
        frame->nb_samples = static_cast<int>(n);
        for (size_t c = 0; c < in.planes.size(); ++c)
            std::memcpy(frame->data[c], in.planes[c].data() + at, n * sizeof(float));
        frame->pts = in.start + static_cast<int64_t>(at);
        if (const int ret = avcodec_send_frame(encoder, frame.get()); ret < 0)
            return base::Fault{base::errc::kUnexpected, "The AAC encoder failed: " + ff::errorText(ret) + "."};
        if (auto r = drain(); !r) return r.fault();
    }
    if (const int ret = avcodec_send_frame(encoder, nullptr); ret < 0)
        return base::Fault{base::errc::kUnexpected, "The AAC encoder failed: " + ff::errorText(ret) + "."};
    if (auto r = drain(); !r) return r.fault();
    return out;
}

// The encoders of the parts: threads of their own taking parts in order, or none, when a part is
// encoded on the thread that gives it.
class PartEncoders {
public:
    PartEncoders(const AacSettings& settings, int threads) : settings_(settings) {
        for (int i = 0; i < threads; ++i) threads_.emplace_back([this] { run(); });
    }
    ~PartEncoders() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        changed_.notify_all();
        for (auto& t : threads_) t.join();
    }
    PartEncoders(const PartEncoders&) = delete;
    PartEncoders& operator=(const PartEncoders&) = delete;

    void submit(PartInput input) {
        if (threads_.empty()) {
            const int64_t index = input.index;
            done_.emplace(index, encodePart(settings_, input));
            return;
        }
        {
            std::lock_guard lock(mutex_);
            queue_.push_back(std::move(input));
            ++given_;
        }
        changed_.notify_all();
    }

    // Waits for part `index` and hands over its packets.
    base::Result<AacPart> take(int64_t index) {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return done_.contains(index); });
        auto node = done_.extract(index);
        if (!threads_.empty()) --given_;
        return std::move(node.mapped());
    }

    // Whether part `index` is encoded.
    bool ready(int64_t index) const {
        std::lock_guard lock(mutex_);
        return done_.contains(index);
    }

    // Parts given and not yet taken.
    size_t pending() const {
        std::lock_guard lock(mutex_);
        return threads_.empty() ? done_.size() : given_;
    }
    size_t threads() const { return threads_.size(); }

private:
    void run() {
        const base::BatchThread batch;  // render work: it waits its turn on a busy processor
        std::unique_lock lock(mutex_);
        for (;;) {
            changed_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
            if (stopping_) return;
            PartInput input = std::move(queue_.front());
            queue_.pop_front();
            lock.unlock();
            const int64_t index = input.index;
            base::Result<AacPart> encoded = base::outOfMemory();
            try {
                encoded = encodePart(settings_, input);
            } catch (const std::bad_alloc&) {
                encoded = base::outOfMemory();
            }
            input = {};  // its samples are freed before the next part is taken
            lock.lock();
            done_.emplace(index, std::move(encoded));
            changed_.notify_all();
        }
    }

    AacSettings settings_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;  // a part given, a part done, or stopping
    std::deque<PartInput> queue_;
    std::map<int64_t, base::Result<AacPart>> done_;
    size_t given_ = 0;
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};

// The audio cut into parts at fixed places, from part `firstPart` on (its samples starting at its
// context), each given to the encoders as soon as its samples and the context after it are in.
class PartCutter {
public:
    PartCutter(const core::WaveFormat& format, const AacSettings& settings, int threads, int64_t firstPart)
        : format_(format),
          encoders_(settings, threads),
          buffer_(static_cast<size_t>(format.channels)),
          bufferStart_(std::max<int64_t>(0, firstPart * kPartSamples - kPartContext)),
          nextPart_(firstPart),
          nextTaken_(firstPart) {
        for (auto& plane : buffer_) plane.reserve(static_cast<size_t>(kPartSamples + 2 * kPartContext));
    }

    // Takes whole frames, into the encoder's planar floats as FFmpeg's resampler converts them (16-bit
    // samples over 32768, unsigned 8-bit ones less 128 over 128); `partDone` is called after each part
    // given to the encoders.
    template <class PartDone>
    base::Result<void> write(std::span<const uint8_t> bytes, PartDone partDone) {
        const auto frameBytes = static_cast<size_t>(format_.bytesPerFrame());
        const auto sampleBytes = static_cast<size_t>(format_.bitsPerSample / 8);
        const size_t frames = bytes.size() / frameBytes;
        for (size_t at = 0; at < frames;) {
            const int64_t partEnd = (nextPart_ + 1) * kPartSamples + kPartContext;
            const size_t take = std::min(frames - at, static_cast<size_t>(partEnd - end()));
            for (size_t c = 0; c < buffer_.size(); ++c) {
                auto& plane = buffer_[c];
                for (size_t i = at; i < at + take; ++i) {
                    const uint8_t* sample = bytes.data() + i * frameBytes + c * sampleBytes;
                    plane.push_back(sampleBytes == 1
                                        ? static_cast<float>(sample[0] - 128) / 128.0f
                                        : static_cast<float>(static_cast<int16_t>(sample[0] | sample[1] << 8)) /
                                              32768.0f);
                }
            }
            at += take;
            if (end() == partEnd) {
                submit(false);
                if (auto r = partDone(); !r) return r;
            }
        }
        return {};
    }

    // Gives the encoders the last part: whatever was taken from the next part's start on.
    void submitLast() {
        if (end() > nextPart_ * kPartSamples || (nextPart_ == 0 && end() > 0)) submit(true);
    }

    // The next part in order, waiting for it; nothing when every part given was taken.
    std::optional<base::Result<AacPart>> takeNext(bool wait) {
        if (nextTaken_ == nextPart_ || (!wait && !encoders_.ready(nextTaken_))) return std::nullopt;
        return encoders_.take(nextTaken_++);
    }
    // Parts given and not yet taken, and the most there should be.
    size_t pending() const { return encoders_.pending(); }
    size_t mostPending() const { return kPartsAThread * std::max<size_t>(1, encoders_.threads()); }
    // The stream position after the last sample taken.
    int64_t end() const { return bufferStart_ + static_cast<int64_t>(buffer_.front().size()); }

private:
    void submit(bool last) {
        const int64_t start = std::max<int64_t>(0, nextPart_ * kPartSamples - kPartContext);
        const int64_t stop = last ? end() : (nextPart_ + 1) * kPartSamples + kPartContext;
        PartInput input{nextPart_, start, {}, last};
        for (const auto& plane : buffer_) {
            const auto from = plane.begin() + (start - bufferStart_);
            input.planes.emplace_back(from, from + (stop - start));
        }
        ++nextPart_;
        // What the next part needs starts kPartContext before it; after the last, nothing.
        const int64_t keep = last ? stop : std::max<int64_t>(0, nextPart_ * kPartSamples - kPartContext);
        for (auto& plane : buffer_) plane.erase(plane.begin(), plane.begin() + (keep - bufferStart_));
        bufferStart_ = keep;
        encoders_.submit(std::move(input));
    }

    core::WaveFormat format_;
    PartEncoders encoders_;
    // The samples not yet given to a part's encoder, as planar floats; the first is stream sample
    // bufferStart_.
    std::vector<std::vector<float>> buffer_;
    int64_t bufferStart_;
    int64_t nextPart_;   // the next part to give to the encoders
    int64_t nextTaken_;  // the next part to take from them
};

// A render's whole parts encoded as they come, for its journal.
class AacPartEncoderImpl final : public AacPartEncoder {
public:
    AacPartEncoderImpl(const core::WaveFormat& format, const AacSettings& settings, int threads, int64_t firstPart)
        : cutter_(format, settings, threads, firstPart) {}

    base::Result<void> write(std::span<const uint8_t> frames) override {
        if (failed_) return *failed_;
        auto r = cutter_.write(frames, [&]() -> base::Result<void> {
            // Waits while the encoders are behind, keeping what they finish.
            while (cutter_.pending() > cutter_.mostPending()) {
                if (auto r = keep(true); !r) return r;
            }
            return keep(false);
        });
        if (!r && !failed_) failed_ = r.fault();
        return r;
    }

    base::Result<std::vector<AacPart>> take(bool all) override {
        if (failed_) return *failed_;
        if (auto r = keep(all, all); !r) return r.fault();
        return std::exchange(done_, {});
    }

private:
    // Takes the parts finished; with `wait`, the next one given at least, waiting for it; with `all`,
    // every one given, waiting for each.
    base::Result<void> keep(bool wait, bool all = false) {
        for (bool first = true;; first = false) {
            auto part = cutter_.takeNext(all || (wait && first));
            if (!part) return {};
            if (!*part) return part->fault();
            done_.push_back(std::move(part->value()));
        }
    }

    PartCutter cutter_;
    std::vector<AacPart> done_;
    std::optional<base::Fault> failed_;
};

}  // namespace

base::Result<std::unique_ptr<AacPartEncoder>> makeAacPartEncoder(const core::WaveFormat& format,
                                                                 const Mp4Choice& choice, int64_t firstPart) {
    ff::quietLibrary();
    const AacSettings settings{format.sampleRate, format.channels, aacBitRate(choice.quality, format), choice.search};
    // An encoder is opened once here, so that a format it refuses is a fault now.
    if (auto encoder = openAacEncoder(settings, true); !encoder) return encoder.fault();
    return std::unique_ptr<AacPartEncoder>(
        std::make_unique<AacPartEncoderImpl>(format, settings, std::max(0, choice.threads), firstPart));
}

int64_t aacBitRate(std::optional<double> quality, const core::WaveFormat& format) {
    int64_t perChannel = kDefaultBitRate;
    if (quality) {
        const double step = std::clamp(*quality, 0.0, 1.0) * static_cast<double>(kBitRates.size() - 1);
        perChannel = kBitRates[static_cast<size_t>(std::lround(step))];
    }
    // An AAC frame of 1024 samples holds at most 6144 bits a channel.
    const int64_t most = int64_t{6144} * format.sampleRate / kAacFrame;
    return std::min(perChannel, most) * format.channels;
}

namespace {

struct Mp4Impl {
    std::string name;
    core::WaveFormat format;
    core::FileTags tags;
    AacSettings settings;
    FdIo io;
    ff::IoContext ioContext;
    // The fast start's reading pass, while it runs.
    FdIo reader;
    ff::IoContext readerContext;
    ff::OutputContext muxer;
    ff::Packet packet;
    AVStream* audio = nullptr;
    std::unique_ptr<PartCutter> cutter;
    int64_t storedParts = 0;  // parts given encoded (a journal's) before the samples
    uint64_t frames = 0;      // the stream's frames, from its start
    std::vector<std::string> warnings;
    std::optional<base::Fault> failed;
    bool finished = false;

    // A library call's failure as a fault naming the file; an I/O error that the descriptor reported
    // takes precedence, as the library's own code for it is often a generic one.
    base::Fault fault(int ret, const char* what) const {
        if (io.error != 0) return writeFault(name, base::fileErrorReason(io.error));
        if (reader.error != 0)
            return writeFault(name, "it cannot be read back (" + base::fileErrorReason(reader.error) + ")");
        if (ret == AVERROR(ENOMEM)) return base::outOfMemory();
        return writeFault(name, std::string(what) + ": " + ff::errorText(ret));
    }

    base::Result<void> fail(base::Fault f) {
        if (!failed) failed = std::move(f);
        return *failed;
    }

    base::Result<void> ioCheck() {
        if (io.error != 0 || ioContext->error < 0) return fail(fault(ioContext->error, "writing"));
        return {};
    }

    static int openForShift(AVFormatContext* s, AVIOContext** pb, const char* /*url*/, int flags,
                            AVDictionary** /*options*/) {
        auto* self = static_cast<Mp4Impl*>(s->opaque);
        if ((flags & AVIO_FLAG_WRITE) != 0 || self->readerContext) return AVERROR(EINVAL);
        self->reader = FdIo{self->io.fd, 0, 0};
        auto context = makeIoContext(self->reader, false);
        if (!context) return AVERROR(ENOMEM);
        self->readerContext = std::move(context.value());
        *pb = self->readerContext.get();
        return 0;
    }

    static int closeShift(AVFormatContext* s, AVIOContext* pb) {
        auto* self = static_cast<Mp4Impl*>(s->opaque);
        if (pb != self->readerContext.get()) return AVERROR(EINVAL);
        self->readerContext.reset();
        return self->reader.error != 0 ? AVERROR(self->reader.error) : 0;
    }

    base::Result<void> addCover() {
        auto cover = checkCover(tags.cover);
        if (!cover) {
            warnings.push_back(coverWarning(name, cover.fault()));
            tags.cover.clear();
            return {};
        }
        AVStream* stream = avformat_new_stream(muxer.get(), nullptr);
        if (stream == nullptr) return base::outOfMemory();
        // The muxer stores a stream that is exactly an attached picture as the file's cover art.
        stream->disposition = AV_DISPOSITION_ATTACHED_PIC;
        stream->time_base = AVRational{1, 90000};
        stream->codecpar->codec_type = AVMEDIA_TYPE_VIDEO;
        stream->codecpar->codec_id = cover.value().kind == core::ImageKind::Jpeg ? AV_CODEC_ID_MJPEG : AV_CODEC_ID_PNG;
        stream->codecpar->width = cover.value().width;
        stream->codecpar->height = cover.value().height;
        return {};
    }

    base::Result<void> writeCover() {
        for (unsigned i = 0; i < muxer->nb_streams; ++i) {
            AVStream* stream = muxer->streams[i];
            if (stream->disposition != AV_DISPOSITION_ATTACHED_PIC) continue;
            ff::Packet picture(av_packet_alloc());
            if (!picture || av_new_packet(picture.get(), static_cast<int>(tags.cover.size())) < 0)
                return base::outOfMemory();
            std::memcpy(picture->data, tags.cover.data(), tags.cover.size());
            picture->stream_index = stream->index;
            picture->flags |= AV_PKT_FLAG_KEY;
            picture->pts = picture->dts = 0;
            if (const int ret = av_write_frame(muxer.get(), picture.get()); ret < 0)
                return fail(fault(ret, "writing the cover failed"));
        }
        return ioCheck();
    }

    void setTags(const Mp4Choice& choice) {
        const auto set = [&](const char* key, const std::string& value) {
            if (!value.empty()) av_dict_set(&muxer->metadata, key, value.c_str(), 0);
        };
        set("title", tags.title);
        set("artist", tags.artist);
        set("album_artist", tags.albumArtist);
        set("album", tags.album);
        set("genre", tags.genre);
        set("date", tags.year);
        if (tags.track > 0)
            set("track",
                std::to_string(tags.track) + (tags.trackTotal > 0 ? "/" + std::to_string(tags.trackTotal) : ""));
        // iTunes' media kind: 2 is an audiobook (remembers its place, listed under Books).
        if (choice.audiobook) set("media_type", "2");
        set("encoding_tool", "Tallamo");
    }

    base::Result<void> openMuxer(int fd, const Mp4Choice& choice) {
        io.fd = fd;
        auto context = makeIoContext(io, true);
        if (!context) return context.fault();
        ioContext = std::move(context.value());
        AVFormatContext* raw = nullptr;
        // "ipod" is the muxer FFmpeg gives .m4a and .m4b: MP4 with iTunes' metadata.
        int ret = avformat_alloc_output_context2(&raw, nullptr, "ipod", nullptr);
        if (ret < 0 || raw == nullptr) return fault(ret, "the MP4 muxer is missing");
        muxer.reset(raw);
        muxer->pb = ioContext.get();
        muxer->opaque = this;
        muxer->io_open = openForShift;
        muxer->io_close2 = closeShift;
        // The same audio gives the same bytes: no library versions or dates in the file.
        muxer->flags |= AVFMT_FLAG_BITEXACT;

        // The stream's parameters (and the decoder's configuration) from an encoder made as the parts' are.
        auto encoder = openAacEncoder(settings, (muxer->oformat->flags & AVFMT_GLOBALHEADER) != 0);
        if (!encoder) return encoder.fault();
        audio = avformat_new_stream(muxer.get(), nullptr);
        if (audio == nullptr) return base::outOfMemory();
        audio->time_base = encoder.value()->time_base;
        ret = avcodec_parameters_from_context(audio->codecpar, encoder.value().get());
        if (ret < 0) return fault(ret, "setting up the audio");
        if (!tags.cover.empty()) {
            if (auto r = addCover(); !r) return r;
        }
        setTags(choice);
        packet.reset(av_packet_alloc());
        if (!packet) return base::outOfMemory();

        ff::Dictionary options;
        if (choice.audiobook) av_dict_set(options.address(), "brand", "M4B ", 0);
        if (choice.fastStart) av_dict_set(options.address(), "movflags", "+faststart", 0);
        ret = avformat_write_header(muxer.get(), options.address());
        if (ret < 0) return fault(ret, "starting the file failed");
        if (options.count() != 0)
            return base::Fault{base::errc::kUnexpected, "The MP4 muxer took not every option given."};
        if (!tags.cover.empty()) return writeCover();
        return ioCheck();
    }

    base::Result<void> writePacketsOf(const AacPart& part) {
        for (const auto& p : part.packets) {
            if (p.offset + static_cast<uint64_t>(p.size) > part.bytes.size())
                return fail(
                    base::Fault{base::errc::kUnexpected, "A part of the audio of \"" + name + "\" is damaged."});
            // The packet's bytes stay the part's; the muxer writes them before it returns.
            packet->data = const_cast<uint8_t*>(part.bytes.data()) + p.offset;
            packet->size = static_cast<int>(p.size);
            packet->pts = packet->dts = p.pts;
            packet->duration = p.duration;
            packet->flags = AV_PKT_FLAG_KEY;
            packet->stream_index = audio->index;
            const int ret = av_write_frame(muxer.get(), packet.get());
            packet->data = nullptr;
            packet->size = 0;
            if (ret < 0) return fail(fault(ret, "writing the audio failed"));
        }
        return ioCheck();
    }

    // Writes the packets of the parts done, in order; waits for the oldest while more than `most`
    // parts are pending (none: every part given).
    base::Result<void> writeParts(std::optional<size_t> most) {
        for (;;) {
            const bool wait = !most || cutter->pending() > *most;
            auto part = cutter->takeNext(wait);
            if (!part) return {};
            if (!*part) return fail(part->fault());
            if (auto r = writePacketsOf(part->value()); !r) return r;
        }
    }

    base::Result<void> addChapters(std::span<const core::ChapterMark> marks) {
        const std::string& lead = tags.album.empty() ? tags.title : tags.album;
        const auto chapters = fileChapters(marks, lead, frames);
        for (size_t i = 0; i < chapters.size(); ++i) {
            auto* chapter = static_cast<AVChapter*>(av_mallocz(sizeof(AVChapter)));
            if (chapter == nullptr) return base::outOfMemory();
            chapter->id = static_cast<int64_t>(i) + 1;
            // In whole milliseconds, rounded down as in every other format: the QuickTime chapter track
            // counts them, and a start rounded up would cut into the chapter's first word.
            chapter->time_base = AVRational{1, 1000};
            chapter->start = static_cast<int64_t>(core::frameToMs(chapters[i].startFrame, format.sampleRate));
            chapter->end = static_cast<int64_t>(
                core::frameToMs(i + 1 < chapters.size() ? chapters[i + 1].startFrame : frames, format.sampleRate));
            int count = static_cast<int>(muxer->nb_chapters);
            if (av_dict_set(&chapter->metadata, "title", chapters[i].title.c_str(), 0) < 0 ||
                av_dynarray_add_nofree(&muxer->chapters, &count, chapter) < 0) {
                av_dict_free(&chapter->metadata);
                av_free(chapter);
                return base::outOfMemory();
            }
            muxer->nb_chapters = static_cast<unsigned>(count);
        }
        return {};
    }
};

class Mp4WriterImpl final : public Mp4Writer {
public:
    explicit Mp4WriterImpl(std::unique_ptr<Mp4Impl> impl) : impl_(std::move(impl)) {}
    base::Result<void> writeStoredPart(const AacPart& part) override;
    base::Result<void> write(std::span<const uint8_t> frames) override;
    base::Result<void> finish(std::span<const core::ChapterMark> chapters) override;
    uint64_t framesWritten() const override { return impl_->frames; }
    const std::vector<std::string>& warnings() const override { return impl_->warnings; }

private:
    std::unique_ptr<Mp4Impl> impl_;
};

}  // namespace

base::Result<std::unique_ptr<Mp4Writer>> makeMp4Writer(int fd, const std::string& name, const core::WaveFormat& format,
                                                       const Mp4Choice& choice, const core::FileTags& tags,
                                                       int64_t firstPart) {
    if (format.sampleRate <= 0 || format.channels < 1 || format.channels > 2 ||
        (format.bitsPerSample != 8 && format.bitsPerSample != 16))
        return base::Fault{base::errc::kUnsupportedFormat,
                           "MP4 audio is written from 8- or 16-bit mono or stereo samples."};
    ff::quietLibrary();
    auto impl = std::make_unique<Mp4Impl>();
    impl->name = name;
    impl->format = format;
    impl->tags = fitForTags(tags);
    impl->settings = AacSettings{format.sampleRate, format.channels, aacBitRate(choice.quality, format), choice.search};
    if (auto r = impl->openMuxer(fd, choice); !r) return r.fault();
    impl->cutter = std::make_unique<PartCutter>(format, impl->settings, std::max(0, choice.threads), firstPart);
    impl->storedParts = firstPart;
    impl->frames = static_cast<uint64_t>(impl->cutter->end());
    return std::unique_ptr<Mp4Writer>(std::make_unique<Mp4WriterImpl>(std::move(impl)));
}

base::Result<void> Mp4WriterImpl::writeStoredPart(const AacPart& part) {
    Mp4Impl& d = *impl_;
    if (d.failed) return *d.failed;
    return d.writePacketsOf(part);
}

base::Result<void> Mp4WriterImpl::write(std::span<const uint8_t> bytes) {
    Mp4Impl& d = *impl_;
    if (d.failed) return *d.failed;
    if (d.finished) return writeFault(d.name, "it is finished");
    auto r = d.cutter->write(bytes, [&] { return d.writeParts(d.cutter->mostPending()); });
    d.frames = static_cast<uint64_t>(d.cutter->end());
    return r;
}

base::Result<void> Mp4WriterImpl::finish(std::span<const core::ChapterMark> chapters) {
    Mp4Impl& d = *impl_;
    if (d.failed) return *d.failed;
    if (d.finished) return {};
    d.finished = true;
    d.cutter->submitLast();
    if (auto r = d.writeParts(std::nullopt); !r) return r;
    if (auto r = d.addChapters(chapters); !r) return d.fail(r.fault());
    if (const int ret = av_write_trailer(d.muxer.get()); ret < 0)
        return d.fail(d.fault(ret, "finishing the file failed"));
    avio_flush(d.ioContext.get());
    return d.ioCheck();
}

}  // namespace speech::audio::media
