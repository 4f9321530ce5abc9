// SPDX-License-Identifier: GPL-3.0-or-later
// Internal to the audio folder: owning handles for FFmpeg's objects. Each frees its object with the
// library's own call when it goes, so every early return of the code using them releases what it made.
#pragma once

#include <memory>
#include <mutex>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
#include <libavutil/log.h>
}

namespace speech::audio::media::ff {

struct FormatContextFree {
    // An output context only: its I/O is the caller's (a custom AVIOContext), freed by its own handle.
    void operator()(AVFormatContext* p) const { avformat_free_context(p); }
};
struct CodecContextFree {
    void operator()(AVCodecContext* p) const { avcodec_free_context(&p); }
};
struct FrameFree {
    void operator()(AVFrame* p) const { av_frame_free(&p); }
};
struct PacketFree {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct IoContextFree {
    // The context's buffer may have been replaced by the library; the one it holds now is freed.
    void operator()(AVIOContext* p) const {
        if (p == nullptr) return;
        av_freep(&p->buffer);
        avio_context_free(&p);
    }
};

using OutputContext = std::unique_ptr<AVFormatContext, FormatContextFree>;
using CodecContext = std::unique_ptr<AVCodecContext, CodecContextFree>;
using Frame = std::unique_ptr<AVFrame, FrameFree>;
using Packet = std::unique_ptr<AVPacket, PacketFree>;
using IoContext = std::unique_ptr<AVIOContext, IoContextFree>;

// An option or metadata dictionary, freed when it goes; the library may replace it through address().
class Dictionary {
public:
    Dictionary() = default;
    ~Dictionary() { av_dict_free(&dictionary_); }
    Dictionary(const Dictionary&) = delete;
    Dictionary& operator=(const Dictionary&) = delete;
    AVDictionary** address() { return &dictionary_; }
    int count() const { return av_dict_count(dictionary_); }

private:
    AVDictionary* dictionary_ = nullptr;
};

// FFmpeg's own messages on standard error silenced: every failure of a call is reported by its caller,
// and the encoder's and muxer's notes ("Qavg", the fast start's second pass) are for their developers.
inline void quietLibrary() {
    static std::once_flag once;
    std::call_once(once, [] { av_log_set_level(AV_LOG_QUIET); });
}

// A library error number as words ("No space left on device").
inline std::string errorText(int err) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(err, text, sizeof text);
    return text;
}

}  // namespace speech::audio::media::ff
