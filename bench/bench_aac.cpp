// SPDX-License-Identifier: GPL-3.0-or-later
// What an .m4b costs, part by part. Prints, for speech at 22.05 kHz mono and the default 64 kbit/s:
//   - FFmpeg's AAC encoder alone, with each of its quantizer searches (fast, two-loop), in seconds of
//     audio a second of one processor (CPU time), and the bit rate it gave;
//   - the whole .m4b writer (encoder parts, muxer, the fast start's pass) with 0, 1 and 2 encoder
//     threads, in wall and CPU time.
// With a folder, it also writes there the input and each search's decoded output as WAV files, for
// comparing them with sox (bench/aac_coders.sh).
//   bench_aac [SPEECH.wav [SECONDS [FOLDER]]]   (a 22.05 kHz mono WAV; else made-up sound)
#include <fcntl.h>
#include <sndfile.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "speech/audio/media/mp4_writer.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
}

namespace {

constexpr int kRate = 22050;

double cpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

double wallSeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

struct Timing {
    double wall = 0;
    double cpu = 0;
};

template <class Work>
Timing timed(Work work) {
    const double w = wallSeconds();
    const double c = cpuSeconds();
    work();
    return {wallSeconds() - w, cpuSeconds() - c};
}

std::vector<int16_t> readWave(const std::string& path, double seconds) {
    SF_INFO info{};
    std::unique_ptr<SNDFILE, decltype(&sf_close)> file(sf_open(path.c_str(), SFM_READ, &info), &sf_close);
    if (!file || info.samplerate != kRate || info.channels != 1) throw std::runtime_error("need a 22.05 kHz mono WAV");
    std::vector<int16_t> samples(
        static_cast<size_t>(std::min<double>(static_cast<double>(info.frames), seconds * kRate)));
    sf_read_short(file.get(), samples.data(), static_cast<sf_count_t>(samples.size()));
    return samples;
}

// Tones and noise in syllables and pauses, when no speech is given.
std::vector<int16_t> madeUp(double seconds) {
    std::vector<int16_t> out(static_cast<size_t>(seconds * kRate));
    uint32_t state = 7;
    for (size_t i = 0; i < out.size(); ++i) {
        state = state * 1664525u + 1013904223u;
        const double envelope = (i / 2000) % 3 == 2 ? 0.0 : 1.0;
        out[i] = static_cast<int16_t>(envelope * (4000.0 * __builtin_sin(static_cast<double>(i) * 0.05) +
                                                  static_cast<double>(state >> 20) - 2048.0));
    }
    return out;
}

void writeWave(const std::string& path, const std::vector<float>& samples) {
    SF_INFO info{};
    info.samplerate = kRate;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    std::unique_ptr<SNDFILE, decltype(&sf_close)> file(sf_open(path.c_str(), SFM_WRITE, &info), &sf_close);
    sf_write_float(file.get(), samples.data(), static_cast<sf_count_t>(samples.size()));
}

struct CodecFree {
    void operator()(AVCodecContext* p) const { avcodec_free_context(&p); }
};
using Codec = std::unique_ptr<AVCodecContext, CodecFree>;

// Encodes the samples with FFmpeg's AAC encoder and `coder`, and decodes them again (the priming
// dropped, so the output lines up with the input). The bits it gave a second.
double encodeAndDecode(const std::vector<int16_t>& samples, const char* coder, Timing& encoding,
                       std::vector<float>& decoded) {
    Codec encoder(avcodec_alloc_context3(avcodec_find_encoder_by_name("aac")));
    encoder->sample_fmt = AV_SAMPLE_FMT_FLTP;
    encoder->sample_rate = kRate;
    av_channel_layout_default(&encoder->ch_layout, 1);
    encoder->bit_rate = 64000;
    encoder->time_base = AVRational{1, kRate};
    av_opt_set(encoder->priv_data, "aac_coder", coder, 0);
    if (avcodec_open2(encoder.get(), encoder->codec, nullptr) < 0) throw std::runtime_error("no AAC encoder");
    Codec decoder(avcodec_alloc_context3(avcodec_find_decoder(AV_CODEC_ID_AAC)));
    decoder->sample_rate = kRate;
    av_channel_layout_default(&decoder->ch_layout, 1);
    if (avcodec_open2(decoder.get(), decoder->codec, nullptr) < 0) throw std::runtime_error("no AAC decoder");
    std::vector<AVPacket*> packets;
    AVFrame* frame = av_frame_alloc();
    frame->format = AV_SAMPLE_FMT_FLTP;
    frame->nb_samples = encoder->frame_size;
    av_channel_layout_default(&frame->ch_layout, 1);
    av_frame_get_buffer(frame, 0);
    const auto drain = [&] {
        for (AVPacket* p = av_packet_alloc(); avcodec_receive_packet(encoder.get(), p) == 0; p = av_packet_alloc())
            packets.push_back(p);
    };
    encoding = timed([&] {
        for (size_t at = 0; at < samples.size(); at += static_cast<size_t>(encoder->frame_size)) {
            const size_t n = std::min(samples.size() - at, static_cast<size_t>(encoder->frame_size));
            av_frame_make_writable(frame);
            frame->nb_samples = static_cast<int>(n);
            auto* plane = reinterpret_cast<float*>(frame->data[0]);
            for (size_t i = 0; i < n; ++i) plane[i] = static_cast<float>(samples[at + i]) / 32768.0f;
            frame->pts = static_cast<int64_t>(at);
            avcodec_send_frame(encoder.get(), frame);
            drain();
        }
        avcodec_send_frame(encoder.get(), nullptr);
        drain();
    });
    size_t bytes = 0;
    for (AVPacket* p : packets) {
        bytes += static_cast<size_t>(p->size);
        avcodec_send_packet(decoder.get(), p);
        while (avcodec_receive_frame(decoder.get(), frame) == 0) {
            const auto* plane = reinterpret_cast<const float*>(frame->data[0]);
            decoded.insert(decoded.end(), plane, plane + frame->nb_samples);
        }
        av_packet_free(&p);
    }
    av_frame_free(&frame);
    decoded.erase(decoded.begin(), decoded.begin() + std::min<size_t>(decoded.size(), encoder->initial_padding));
    decoded.resize(samples.size());
    return static_cast<double>(bytes) * 8 / (static_cast<double>(samples.size()) / kRate);
}

}  // namespace

int main(int argc, char** argv) {
    av_log_set_level(AV_LOG_ERROR);
    const double seconds = argc > 2 ? std::atof(argv[2]) : 300.0;
    const auto samples = argc > 1 ? readWave(argv[1], seconds) : madeUp(seconds);
    const double audio = static_cast<double>(samples.size()) / kRate;
    std::printf("input: %.0f s of %s; load average %.2f\n", audio, argc > 1 ? "speech" : "made-up sound", [] {
        double load = 0;
        getloadavg(&load, 1);
        return load;
    }());
    for (const char* coder : {"fast", "twoloop"}) {
        Timing t;
        std::vector<float> decoded;
        const double rate = encodeAndDecode(samples, coder, t, decoded);
        std::printf("AAC encoder alone, %-8s %7.1fx real time a processor (cpu %6.2f s)  %5.1f kbit/s\n", coder,
                    audio / t.cpu, t.cpu, rate / 1000);
        if (argc > 3) writeWave(std::string(argv[3]) + "/" + coder + ".wav", decoded);
    }
    if (argc > 3) {
        std::vector<float> input(samples.size());
        for (size_t i = 0; i < samples.size(); ++i) input[i] = static_cast<float>(samples[i]) / 32768.0f;
        writeWave(std::string(argv[3]) + "/input.wav", input);
    }
    const auto* bytes = reinterpret_cast<const uint8_t*>(samples.data());
    for (const int threads : {0, 1, 2}) {
        char path[] = "/tmp/bench-aac-XXXXXX";
        const int fd = ::mkstemp(path);
        ::unlink(path);
        speech::audio::Mp4Choice choice;
        choice.threads = threads;
        const Timing t = timed([&] {
            auto writer =
                speech::audio::media::makeMp4Writer(fd, "book.m4b", speech::core::WaveFormat{kRate, 16, 1}, choice, {});
            for (size_t at = 0; at < samples.size(); at += 32768)
                (void)writer.value()->write(
                    std::span(bytes + at * 2, std::min<size_t>(32768, samples.size() - at) * 2));
            (void)writer.value()->finish({});
        });
        ::close(fd);
        std::printf(".m4b writer, %d encoder thread%s  %7.1fx real time (wall %6.2f s, cpu %6.2f s)\n", threads,
                    threads == 1 ? " " : "s", audio / t.wall, t.wall, t.cpu);
    }
    return 0;
}
