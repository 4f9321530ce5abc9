// SPDX-License-Identifier: GPL-3.0-or-later
#include "speech/audio/media/mp4_writer.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "speech/audio/file_encoder.h"
#include "speech/audio/media/aac_parts.h"
#include "speech/audio/media/cover_image.h"
#include "speech/audio/media/ffmpeg_handles.h"
#include "speech/audio/media/ffmpeg_io.h"

namespace speech::audio::media {

namespace {

base::Fault writeFault(const std::string& name, const std::string& reason) {
    return base::Fault{base::errc::kAccessDenied, "Cannot write to the file \"" + name + "\": " + reason + "."};
}

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
        for (const auto& field : core::tagFields(tags, core::TagFormat::Mp4)) set(field.key, field.value);
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
