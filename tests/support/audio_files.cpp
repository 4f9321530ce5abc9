// SPDX-License-Identifier: GPL-3.0-or-later
#include "tests/support/audio_files.h"

#include <sndfile.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <numbers>
#include <stdexcept>
#include <tuple>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
}

namespace testing_support {

namespace {

// The libraries' notes (the encoder's statistics, the muxer's passes) stay out of the tests' output.
[[maybe_unused]] const bool quiet = [] {
    av_log_set_level(AV_LOG_ERROR);
    return true;
}();

struct CodecFree {
    void operator()(AVCodecContext* p) const { avcodec_free_context(&p); }
};
struct FrameFree {
    void operator()(AVFrame* p) const { av_frame_free(&p); }
};
struct PacketFree {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct InputClose {
    void operator()(AVFormatContext* p) const { avformat_close_input(&p); }
};
using Codec = std::unique_ptr<AVCodecContext, CodecFree>;
using Frame = std::unique_ptr<AVFrame, FrameFree>;
using Packet = std::unique_ptr<AVPacket, PacketFree>;
using Input = std::unique_ptr<AVFormatContext, InputClose>;

Input openInput(const std::string& path) {
    AVFormatContext* raw = nullptr;
    if (avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0) return nullptr;
    Input input(raw);
    if (avformat_find_stream_info(input.get(), nullptr) < 0) return nullptr;
    return input;
}

std::string encodeImage(AVCodecID id, AVPixelFormat pixels, int width, int height) {
    const AVCodec* codec = avcodec_find_encoder(id);
    Codec encoder(avcodec_alloc_context3(codec));
    encoder->width = width;
    encoder->height = height;
    encoder->pix_fmt = pixels;
    encoder->time_base = AVRational{1, 25};
    if (avcodec_open2(encoder.get(), codec, nullptr) < 0) throw std::runtime_error("cannot open an image encoder");
    Frame frame(av_frame_alloc());
    frame->format = pixels;
    frame->width = width;
    frame->height = height;
    if (av_frame_get_buffer(frame.get(), 0) < 0) throw std::runtime_error("no frame");
    for (int plane = 0; plane < 4 && frame->data[plane]; ++plane) {
        const int rows = plane == 0 || pixels != AV_PIX_FMT_YUVJ420P ? height : (height + 1) / 2;
        for (int y = 0; y < rows; ++y)
            for (int x = 0; x < frame->linesize[plane]; ++x)
                // Noise, so that the image takes room (as a photograph does) and compresses little.
                frame->data[plane][y * frame->linesize[plane] + x] = static_cast<uint8_t>(
                    (static_cast<uint32_t>(x) * 2654435761u ^ static_cast<uint32_t>(y + 97 * plane) * 40503u) >> 11);
    }
    Packet packet(av_packet_alloc());
    if (avcodec_send_frame(encoder.get(), frame.get()) < 0 || avcodec_send_frame(encoder.get(), nullptr) < 0 ||
        avcodec_receive_packet(encoder.get(), packet.get()) < 0)
        throw std::runtime_error("cannot encode an image");
    return std::string(reinterpret_cast<const char*>(packet->data), static_cast<size_t>(packet->size));
}

}  // namespace

std::vector<int16_t> speechLike(uint64_t frames, int sampleRate, uint32_t seed) {
    std::vector<int16_t> out(frames);
    uint32_t state = seed * 2654435761u + 1;
    const auto next = [&] {
        state = state * 1664525u + 1013904223u;
        return state;
    };
    uint64_t at = 0;
    while (at < frames) {
        // A syllable of 80..250 ms at a pitch of 90..250 Hz, then sometimes a pause.
        const uint64_t length = static_cast<uint64_t>(sampleRate) * (80 + next() % 170) / 1000;
        const double pitch = 90.0 + next() % 160;
        for (uint64_t i = 0; i < length && at < frames; ++i, ++at) {
            const double t = static_cast<double>(i) / sampleRate;
            const double envelope = std::sin(std::numbers::pi * static_cast<double>(i) / static_cast<double>(length));
            double v = 0;
            for (int h = 1; h <= 5; ++h) v += std::sin(2 * std::numbers::pi * pitch * h * t) / h;
            v += (static_cast<double>(next() % 2001) - 1000.0) / 4000.0;
            out[at] = static_cast<int16_t>(std::lround(6000.0 * envelope * v));
        }
        if (next() % 4 == 0) at += static_cast<uint64_t>(sampleRate) * (100 + next() % 300) / 1000;
    }
    return out;
}

std::string pngImage(int width, int height) {
    return encodeImage(AV_CODEC_ID_PNG, AV_PIX_FMT_RGB24, width, height);
}

std::string jpegImage(int width, int height) {
    return encodeImage(AV_CODEC_ID_MJPEG, AV_PIX_FMT_YUVJ420P, width, height);
}

void writeSndfile(const std::string& path, int sfFormat, int sampleRate, int channels,
                  const std::vector<int16_t>& samples) {
    SF_INFO info{};
    info.samplerate = sampleRate;
    info.channels = channels;
    info.format = sfFormat;
    std::unique_ptr<SNDFILE, decltype(&sf_close)> file(sf_open(path.c_str(), SFM_WRITE, &info), &sf_close);
    if (!file) throw std::runtime_error(std::string("sf_open: ") + sf_strerror(nullptr));
    const auto count = static_cast<sf_count_t>(samples.size());
    if (sf_write_short(file.get(), samples.data(), count) != count) throw std::runtime_error("sf_write_short");
    if (sf_close(file.release()) != 0) throw std::runtime_error("sf_close");
}

Probe probe(const std::string& path) {
    Probe out;
    Input input = openInput(path);
    if (!input) return out;
    out.opened = true;
    const auto take = [&](const AVDictionary* dictionary) {
        const AVDictionaryEntry* entry = nullptr;
        while ((entry = av_dict_get(dictionary, "", entry, AV_DICT_IGNORE_SUFFIX)) != nullptr) {
            std::string key = entry->key;
            for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            out.tags.emplace(key, entry->value);
        }
    };
    take(input->metadata);
    for (unsigned i = 0; i < input->nb_streams; ++i) {
        const AVStream* stream = input->streams[i];
        if ((stream->disposition & AV_DISPOSITION_ATTACHED_PIC) != 0) {
            ++out.coverPictures;
            out.coverWidth = stream->codecpar->width;
        } else if (stream->codecpar->codec_type == AVMEDIA_TYPE_AUDIO && out.audioCodec.empty()) {
            out.audioCodec = avcodec_get_name(stream->codecpar->codec_id);
            out.bitRate = stream->codecpar->bit_rate;
            take(stream->metadata);
        }
    }
    for (unsigned i = 0; i < input->nb_chapters; ++i) {
        const AVChapter* c = input->chapters[i];
        const AVDictionaryEntry* title = av_dict_get(c->metadata, "title", nullptr, 0);
        out.chapters.push_back(
            {static_cast<double>(c->start) * 1000.0 * av_q2d(c->time_base),
             c->end == AV_NOPTS_VALUE ? -1.0 : static_cast<double>(c->end) * 1000.0 * av_q2d(c->time_base),
             title != nullptr ? title->value : ""});
    }
    if (input->duration != AV_NOPTS_VALUE) out.durationMs = static_cast<double>(input->duration) / 1000.0;
    return out;
}

std::vector<float> decodeAudio(const std::string& path) {
    Input input = openInput(path);
    if (!input) throw std::runtime_error("cannot open " + path);
    const int index = av_find_best_stream(input.get(), AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    if (index < 0) throw std::runtime_error("no audio in " + path);
    const AVCodecParameters* parameters = input->streams[index]->codecpar;
    Codec decoder(avcodec_alloc_context3(avcodec_find_decoder(parameters->codec_id)));
    if (!decoder || avcodec_parameters_to_context(decoder.get(), parameters) < 0 ||
        avcodec_open2(decoder.get(), decoder->codec, nullptr) < 0)
        throw std::runtime_error("cannot decode " + path);
    Packet packet(av_packet_alloc());
    Frame frame(av_frame_alloc());
    std::vector<float> out;
    const auto drain = [&] {
        while (avcodec_receive_frame(decoder.get(), frame.get()) == 0) {
            for (int i = 0; i < frame->nb_samples; ++i) {
                const bool planar = av_sample_fmt_is_planar(static_cast<AVSampleFormat>(frame->format));
                const int stride = planar ? 1 : frame->ch_layout.nb_channels;
                switch (frame->format) {
                    case AV_SAMPLE_FMT_FLTP:
                    case AV_SAMPLE_FMT_FLT:
                        out.push_back(reinterpret_cast<const float*>(frame->data[0])[i * stride]);
                        break;
                    case AV_SAMPLE_FMT_S16P:
                    case AV_SAMPLE_FMT_S16:
                        out.push_back(reinterpret_cast<const int16_t*>(frame->data[0])[i * stride] / 32768.0f);
                        break;
                    default:
                        throw std::runtime_error("an unexpected sample format");
                }
            }
        }
    };
    while (av_read_frame(input.get(), packet.get()) >= 0) {
        if (packet->stream_index == index && avcodec_send_packet(decoder.get(), packet.get()) >= 0) drain();
        av_packet_unref(packet.get());
    }
    avcodec_send_packet(decoder.get(), nullptr);
    drain();
    return out;
}

WaveCues waveCues(const std::string& path) {
    WaveCues out;
    SF_INFO info{};
    std::unique_ptr<SNDFILE, decltype(&sf_close)> file(sf_open(path.c_str(), SFM_READ, &info), &sf_close);
    if (!file) return out;
    uint32_t count = 0;
    if (sf_command(file.get(), SFC_GET_CUE_COUNT, &count, sizeof count) == SF_TRUE && count > 0) {
        std::vector<uint8_t> cues(sizeof(uint32_t) + count * sizeof(SF_CUE_POINT));
        if (sf_command(file.get(), SFC_GET_CUE, cues.data(), static_cast<int>(cues.size())) == SF_TRUE) {
            for (uint32_t i = 0; i < count; ++i) {
                SF_CUE_POINT point{};
                std::memcpy(&point, cues.data() + sizeof(uint32_t) + i * sizeof(SF_CUE_POINT), sizeof point);
                out.points.emplace_back(static_cast<uint32_t>(point.indx), point.sample_offset);
            }
        }
    }
    SF_CHUNK_INFO wanted{};
    std::memcpy(wanted.id, "LIST", 4);
    wanted.id_size = 4;
    for (SF_CHUNK_ITERATOR* it = sf_get_chunk_iterator(file.get(), &wanted); it != nullptr;
         it = sf_next_chunk_iterator(it)) {
        SF_CHUNK_INFO chunk{};
        if (sf_get_chunk_size(it, &chunk) != SF_ERR_NO_ERROR) continue;
        std::vector<uint8_t> body(chunk.datalen);
        chunk.data = body.data();
        if (sf_get_chunk_data(it, &chunk) != SF_ERR_NO_ERROR || body.size() < 4 ||
            std::memcmp(body.data(), "adtl", 4) != 0)
            continue;
        // Sub-chunks: id, size, then for a label its cue point's id and its text.
        for (size_t at = 4; at + 12 <= body.size();) {
            uint32_t size = 0;
            std::memcpy(&size, &body[at + 4], 4);
            if (size < 4 || size > body.size() - at - 8) break;
            if (std::memcmp(&body[at], "labl", 4) == 0) {
                uint32_t id = 0;
                std::memcpy(&id, &body[at + 8], 4);
                const auto* text = reinterpret_cast<const char*>(&body[at + 12]);
                out.labels.emplace_back(id, std::string(text, strnlen(text, size - 4)));
            }
            at += 8 + size + (size & 1);
        }
    }
    return out;
}

// The highest correlation over the window, first of both signals summed over blocks of 8 samples, then
// sample by sample near that.
long bestShift(const std::vector<float>& decoded, const std::vector<float>& reference, long rate, long from) {
    constexpr long kBlock = 8;
    constexpr long kMaxShift = 2560;
    // The correlation over reference[begin, end) with decoded shifted by `shift`.
    const auto correlation = [](const std::vector<float>& a, const std::vector<float>& b, long shift, long begin,
                                long end) {
        double sum = 0;
        for (long i = std::max(begin, -shift); i < std::min(end, static_cast<long>(a.size()) - shift); ++i)
            sum += static_cast<double>(a[static_cast<size_t>(i + shift)]) * b[static_cast<size_t>(i)];
        return sum;
    };
    const auto best = [&](const std::vector<float>& a, const std::vector<float>& b, long lowest, long highest,
                          long begin, long end) {
        long at = lowest;
        double top = correlation(a, b, lowest, begin, end);
        for (long shift = lowest + 1; shift <= highest; ++shift)
            if (const double c = correlation(a, b, shift, begin, end); c > top)
                std::tie(top, at) = std::tuple(c, shift);
        return at;
    };
    const auto summed = [](const std::vector<float>& samples) {
        std::vector<float> blocks(samples.size() / kBlock);
        for (size_t i = 0; i < blocks.size(); ++i)
            for (size_t j = 0; j < kBlock; ++j) blocks[i] += samples[i * kBlock + j];
        return blocks;
    };
    const long end = std::min(from + rate / 2, static_cast<long>(reference.size()));
    const long coarse =
        best(summed(decoded), summed(reference), -kMaxShift / kBlock, kMaxShift / kBlock, from / kBlock, end / kBlock) *
        kBlock;
    return best(decoded, reference, coarse - kBlock, coarse + kBlock, from, end);
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace testing_support
