// SPDX-License-Identifier: GPL-3.0-or-later
#include "speech/audio/media/cover_image.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <optional>
#include <string_view>

#include "speech/audio/media/ffmpeg_handles.h"

namespace speech::audio::media {

namespace {

uint32_t bigEndian(std::string_view b, size_t at, size_t n) {
    uint32_t v = 0;
    for (size_t i = 0; i < n; ++i) v = v << 8 | static_cast<uint8_t>(b[at + i]);
    return v;
}

// The size of a PNG's pixels once decoded, from its header (IHDR, which must come first): width,
// height, channels of its colour type and bytes a sample.
std::optional<uint64_t> pngDecodedBytes(std::string_view b) {
    if (b.size() < 26 || b.substr(12, 4) != "IHDR") return std::nullopt;
    const uint64_t width = bigEndian(b, 16, 4);
    const uint64_t height = bigEndian(b, 20, 4);
    const int depth = static_cast<uint8_t>(b[24]);
    const int colour = static_cast<uint8_t>(b[25]);
    const uint64_t channels = colour == 2 ? 3 : colour == 4 ? 2 : colour == 6 ? 4 : 1;
    return width * height * channels * (depth > 8 ? 2 : 1);
}

// The size of a JPEG's pixels once decoded, from its frame header (the SOF marker before the scan):
// width, height, components and bytes a sample. Nothing when there is none, or its height is left to
// a later marker.
std::optional<uint64_t> jpegDecodedBytes(std::string_view b) {
    size_t at = 2;  // after SOI
    while (at + 4 <= b.size()) {
        if (static_cast<uint8_t>(b[at]) != 0xFF) return std::nullopt;
        const int marker = static_cast<uint8_t>(b[at + 1]);
        if (marker == 0xFF) {  // fill byte
            ++at;
            continue;
        }
        if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) {  // no length
            at += 2;
            continue;
        }
        if (marker == 0xDA || marker == 0xD9) return std::nullopt;  // the scan, or the end, with no frame
        const size_t length = bigEndian(b, at + 2, 2);
        const bool frame = marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
        if (frame) {
            if (length < 8 || at + 10 > b.size()) return std::nullopt;
            const int precision = static_cast<uint8_t>(b[at + 4]);
            const uint64_t height = bigEndian(b, at + 5, 2);
            const uint64_t width = bigEndian(b, at + 7, 2);
            const uint64_t components = static_cast<uint8_t>(b[at + 9]);
            if (height == 0) return std::nullopt;
            return width * height * std::max<uint64_t>(components, 1) * (precision > 8 ? 2 : 1);
        }
        at += 2 + length;
    }
    return std::nullopt;
}

// The last cover checked and what was found: the files of one book (a file a chapter) carry the same
// cover, which is then decoded once, not once a file.
struct LastCover {
    std::mutex mutex;
    std::string bytes;
    std::optional<base::Result<CoverImage>> result;
};

LastCover& lastCover() {
    static LastCover last;
    return last;
}

base::Result<CoverImage> decodeCover(const std::string& bytes) {
    ff::quietLibrary();
    CoverImage cover;
    cover.kind = core::imageKind(bytes);
    if (cover.kind == core::ImageKind::Unknown)
        return base::Fault{base::errc::kFile, "it is neither a JPEG nor a PNG image"};
    // FFmpeg tells an image's size only by decoding it, which is what a hostile image makes costly:
    // the size is read from the header first.
    const auto decoded = cover.kind == core::ImageKind::Png ? pngDecodedBytes(bytes) : jpegDecodedBytes(bytes);
    if (!decoded) return base::Fault{base::errc::kFile, "its size cannot be read from its header"};
    if (*decoded > kMaxCoverDecodedBytes) {
        return base::Fault{base::errc::kFile, "it would take more than " + std::to_string(kMaxCoverDecodedBytes >> 20) +
                                                  " MB once decoded"};
    }
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
    // A second guard, should a header and the image disagree: at least a byte a pixel.
    decoder->max_pixels = static_cast<int64_t>(kMaxCoverDecodedBytes);
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

}  // namespace

base::Result<CoverImage> checkCover(const std::string& bytes) {
    LastCover& last = lastCover();
    std::lock_guard lock(last.mutex);
    if (!last.result || last.bytes != bytes) {
        last.result = decodeCover(bytes);
        last.bytes = bytes;
    }
    return *last.result;
}

std::string coverWarning(const std::string& name, const base::Fault& why) {
    return "The cover image is left out of \"" + name + "\": " + why.message + ".";
}

}  // namespace speech::audio::media
