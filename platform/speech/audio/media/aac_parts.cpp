// SPDX-License-Identifier: GPL-3.0-or-later
#include "speech/audio/media/aac_parts.h"

#include <array>
#include <cmath>
#include <cstring>
#include <utility>

#include "speech/audio/media/mp4_writer.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
}

namespace speech::audio::media {

namespace {

// The bit rates a channel the encoder is asked for, for the command line's qualities 0..10: on the
// engine's speech it gives about a quarter more than it is asked (measured at 22.05 kHz: 52 kbit/s
// asked, 65.7 given; 20 gave 24.1, 91 gave 101.7), so these give about 24, 32, 40, 48, 56, 64, 72, 80,
// 96, 112 and 128 kbit/s (past some 100 the encoder gives no more at 22.05 kHz).
constexpr std::array<int64_t, 11> kBitRates{20000, 26000, 32000, 39000, 45000, 52000,
                                            58000, 65000, 78000, 91000, 104000};

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

}  // namespace speech::audio::media
