// SPDX-License-Identifier: GPL-3.0-or-later
#include "speech/audio/media/cover_image.h"

#include <climits>
#include <cstdint>
#include <cstring>

#include "speech/audio/media/ffmpeg_handles.h"

namespace speech::audio::media {

base::Result<CoverImage> checkCover(const std::string& bytes) {
    ff::quietLibrary();
    CoverImage cover;
    cover.kind = core::imageKind(bytes);
    if (cover.kind == core::ImageKind::Unknown)
        return base::Fault{base::errc::kFile, "it is neither a JPEG nor a PNG image"};
    const AVCodec* codec =
        avcodec_find_decoder(cover.kind == core::ImageKind::Jpeg ? AV_CODEC_ID_MJPEG : AV_CODEC_ID_PNG);
    if (codec == nullptr) return base::Fault{base::errc::kFile, "this FFmpeg cannot decode it"};
    if (bytes.size() > INT_MAX / 2) return base::Fault{base::errc::kFile, "it is too large"};
    ff::CodecContext decoder(avcodec_alloc_context3(codec));
    ff::Packet packet(av_packet_alloc());
    ff::Frame frame(av_frame_alloc());
    if (!decoder || !packet || !frame || av_new_packet(packet.get(), static_cast<int>(bytes.size())) < 0)
        return base::outOfMemory();
    std::memcpy(packet->data, bytes.data(), bytes.size());
    // A damaged image is an error, not a picture with grey blocks.
    decoder->err_recognition = AV_EF_EXPLODE | AV_EF_CRCCHECK | AV_EF_BITSTREAM;
    int ret = avcodec_open2(decoder.get(), codec, nullptr);
    if (ret >= 0) ret = avcodec_send_packet(decoder.get(), packet.get());
    if (ret >= 0) ret = avcodec_send_packet(decoder.get(), nullptr);
    if (ret >= 0) ret = avcodec_receive_frame(decoder.get(), frame.get());
    if (ret < 0) return base::Fault{base::errc::kFile, "it does not decode (" + ff::errorText(ret) + ")"};
    if (frame->decode_error_flags != 0 || (frame->flags & AV_FRAME_FLAG_CORRUPT) != 0)
        return base::Fault{base::errc::kFile, "it is damaged"};
    cover.width = frame->width;
    cover.height = frame->height;
    return cover;
}

std::string coverWarning(const std::string& name, const base::Fault& why) {
    return "The cover image is left out of \"" + name + "\": " + why.message + ".";
}

}  // namespace speech::audio::media
