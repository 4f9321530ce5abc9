// SPDX-License-Identifier: GPL-3.0-or-later
#include "speech/audio/converter.h"

#include <soxr.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <string>

#include "speech/audio/simd.h"
#include "speech/audio/upsampler.h"

namespace speech::audio {

namespace {

struct SoxrDeleter {
    void operator()(soxr_t s) const { soxr_delete(s); }
};
using SoxrHandle = std::unique_ptr<std::remove_pointer_t<soxr_t>, SoxrDeleter>;

// Rounds half away from zero; std::nearbyint is a library call per sample, and this runs for every
// sample of every channel.
inline int16_t toInt16(float v) {
    const float scaled = std::clamp(v * 32768.0f, -32768.0f, 32767.0f);
    return static_cast<int16_t>(scaled < 0.0f ? scaled - 0.5f : scaled + 0.5f);
}

// Full-scale floats into 16-bit samples, rounded and clipped as toInt16 does, each written to
// `channels` (1 or 2) channels of little-endian output: the last step of every resampled render, eight
// samples at a time.
TALLAMO_SIMD_CLONES
void floatsToSixteen(const float* in, size_t count, int channels, uint8_t* dst) {
    using simd::V8;
    using simd::V8i;
    const size_t stride = 2 * static_cast<size_t>(channels);
    size_t i = 0;
    for (; i + 8 <= count; i += 8, dst += 8 * stride) {
        V8 v = TALLAMO_LOAD8(in + i) * 32768.0f;
        v = v < -32768.0f ? V8{} - 32768.0f : v;
        v = v > 32767.0f ? V8{} + 32767.0f : v;
        v += v < 0.0f ? V8{} - 0.5f : V8{} + 0.5f;
        const V8i s = __builtin_convertvector(v, V8i);
        if (channels == 1) {
            const simd::V8s narrow = __builtin_convertvector(s, simd::V8s);
            std::memcpy(dst, &narrow, sizeof narrow);
        } else {
            const V8i pairs = (s & 0xFFFF) | (s << 16);
            std::memcpy(dst, &pairs, sizeof pairs);
        }
    }
    for (; i < count; ++i, dst += stride) {
        const int16_t s = toInt16(in[i]);
        for (int c = 0; c < channels; ++c) std::memcpy(dst + 2 * c, &s, sizeof s);
    }
}

}  // namespace

struct Converter::State {
    SoxrHandle soxr;               // null when the rates are equal
    int workChannels = 1;          // channels while resampling: min(in, out)
    uint64_t inputFrames = 0;      // frames pushed since the last reset
    uint64_t outputFrames = 0;     // frames produced since the last reset
    std::vector<float> mixed;      // input mapped to workChannels
    std::vector<float> resampled;  // soxr output
    // 16-bit output without a mix-down: soxr reads and writes 16-bit samples itself, which saves a
    // quarter of the conversion's time against a pass through floats.
    bool sixteen = false;
    std::vector<int16_t> resampled16;
    // Mono raised to at most four times its rate (the engine's speech into the faster formats), in
    // place of soxr.
    std::unique_ptr<Upsampler> upsampler;
};

Converter::Converter(int inRate, int inChannels, const core::WaveFormat& out)
    : state_(std::make_unique<State>()), inRate_(inRate), inChannels_(std::max(1, inChannels)), out_(out) {
    state_->workChannels = std::min(inChannels_, out_.channels);
    if (inChannels_ == 1 && Upsampler::handles(inRate_, out_.sampleRate)) {
        state_->upsampler = std::make_unique<Upsampler>(inRate_, out_.sampleRate);
    } else if (inRate_ != out_.sampleRate) {
        soxr_error_t err = nullptr;
        state_->sixteen = out_.bitsPerSample == 16 && inChannels_ <= out_.channels;
        soxr_io_spec_t io =
            state_->sixteen ? soxr_io_spec(SOXR_INT16_I, SOXR_INT16_I) : soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
        if (state_->sixteen) io.flags |= SOXR_NO_DITHER;
        const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
        soxr_t s = soxr_create(inRate_, out_.sampleRate, static_cast<unsigned>(state_->workChannels), &err, &io,
                               &quality, nullptr);
        if (s == nullptr || err != nullptr) {
            if (s != nullptr) soxr_delete(s);
            throw base::Error(base::errc::kUnsupportedFormat, "Cannot convert audio from " + std::to_string(inRate_) +
                                                                  " Hz to " + std::to_string(out_.sampleRate) +
                                                                  " Hz: " + (err != nullptr ? err : "unknown error") +
                                                                  ".");
        }
        state_->soxr.reset(s);
    }
}

Converter::~Converter() = default;

size_t inputFramesFor(size_t outputFrames, int inRate, int outRate) {
    if (inRate <= 0 || outRate <= 0 || inRate >= outRate) return outputFrames;
    const uint64_t frames = uint64_t{outputFrames} * static_cast<uint64_t>(inRate) / static_cast<uint64_t>(outRate);
    return std::max<size_t>(1, static_cast<size_t>(frames));
}

uint64_t Converter::outputFramesFor(uint64_t inputFrames) const {
    if (inRate_ == out_.sampleRate) return inputFrames;
    const auto in = static_cast<uint64_t>(inRate_);
    return (inputFrames * static_cast<uint64_t>(out_.sampleRate) + in / 2) / in;
}

// Encodes `frames` frames of workChannels-interleaved floats into the output format.
static void encode(const float* data, size_t frames, int workChannels, const core::WaveFormat& out,
                   std::vector<uint8_t>& bytes) {
    if (frames == 0) return;
    const size_t start = bytes.size();
    bytes.resize(start + frames * static_cast<size_t>(out.bytesPerFrame()));
    uint8_t* dst = bytes.data() + start;
    const auto work = static_cast<size_t>(workChannels);
    const bool eightBit = out.bitsPerSample == 8;
    if constexpr (std::endian::native == std::endian::little) {
        // 16-bit output on a little-endian host is the native int16 layout, a mono source copied
        // to both channels of stereo.
        if (!eightBit && (static_cast<size_t>(out.channels) == work || (out.channels == 2 && work == 1))) {
            floatsToSixteen(data, frames * work, out.channels / static_cast<int>(work), dst);
            return;
        }
    }
    for (size_t f = 0; f < frames; ++f) {
        const float* frame = data + f * work;
        for (int c = 0; c < out.channels; ++c) {
            // A mono source feeds every output channel.
            const int16_t s = toInt16(frame[std::min(static_cast<size_t>(c), work - 1)]);
            if (eightBit) {
                *dst++ = static_cast<uint8_t>((s >> 8) + 128);
            } else {
                const auto u = static_cast<uint16_t>(s);
                *dst++ = static_cast<uint8_t>(u & 0xff);
                *dst++ = static_cast<uint8_t>(u >> 8);
            }
        }
    }
}

// Encodes `frames` frames of workChannels-interleaved 16-bit samples into 16-bit output (a mono
// source feeds every output channel).
static void encode16(const int16_t* data, size_t frames, int workChannels, const core::WaveFormat& out,
                     std::vector<uint8_t>& bytes) {
    const size_t start = bytes.size();
    bytes.resize(start + frames * static_cast<size_t>(out.bytesPerFrame()));
    uint8_t* dst = bytes.data() + start;
    const auto work = static_cast<size_t>(workChannels);
    if constexpr (std::endian::native == std::endian::little) {
        if (static_cast<size_t>(out.channels) == work) {
            if (frames > 0) std::memcpy(dst, data, frames * work * sizeof(int16_t));
            return;
        }
        if (out.channels == 2 && work == 1) {
            for (size_t f = 0; f < frames; ++f) {
                const auto u = static_cast<uint32_t>(static_cast<uint16_t>(data[f]));
                const uint32_t pair = u | (u << 16);
                std::memcpy(dst + 4 * f, &pair, sizeof pair);
            }
            return;
        }
    }
    for (size_t f = 0; f < frames; ++f) {
        for (int c = 0; c < out.channels; ++c) {
            const auto u = static_cast<uint16_t>(data[f * work + std::min(static_cast<size_t>(c), work - 1)]);
            *dst++ = static_cast<uint8_t>(u & 0xff);
            *dst++ = static_cast<uint8_t>(u >> 8);
        }
    }
}

template <class Sample>
static void mixInto(std::span<const Sample> frames, int inChannels, int workChannels, float scale,
                    std::vector<float>& mixed) {
    const size_t count = frames.size() / static_cast<size_t>(inChannels);
    mixed.resize(count * static_cast<size_t>(workChannels));
    for (size_t f = 0; f < count; ++f) {
        const Sample* in = frames.data() + f * static_cast<size_t>(inChannels);
        float* out = mixed.data() + f * static_cast<size_t>(workChannels);
        if (workChannels == 1 && inChannels > 1) {
            float sum = 0;
            for (int c = 0; c < inChannels; ++c) sum += static_cast<float>(in[c]);
            out[0] = sum * scale / static_cast<float>(inChannels);
        } else {
            for (int c = 0; c < workChannels; ++c) out[c] = static_cast<float>(in[c]) * scale;
        }
    }
}

// Passes `count` frames of `ch`-interleaved samples through soxr (its soxr_io_spec_t set up for Sample), into
// `buffer`, and hands each block it makes to `encodeBlock(samples, frames)`. `room(frames)` is the
// number of output frames that many input frames make. Returns the output frames made.
template <class Sample, class Room, class Encode>
static uint64_t resample(soxr_t soxr, const Sample* data, size_t count, size_t ch, std::vector<Sample>& buffer,
                         Room room, Encode encodeBlock) {
    uint64_t made = 0;
    size_t consumed = 0;
    while (consumed < count) {
        const size_t space = room(count - consumed) + 64;
        buffer.resize(space * ch);
        size_t idone = 0;
        size_t odone = 0;
        soxr_process(soxr, data + consumed * ch, count - consumed, &idone, buffer.data(), space, &odone);
        encodeBlock(buffer.data(), odone);
        made += odone;
        consumed += idone;
        if (idone == 0 && odone == 0) break;  // cannot happen with room to spare; never spin
    }
    return made;
}

void Converter::push(std::span<const int16_t> frames, std::vector<uint8_t>& out) {
    const size_t piece = kPieceFrames * static_cast<size_t>(inChannels_);
    if (passesThrough() || frames.size() <= piece) {
        pushPiece(frames, out);
        return;
    }
    for (size_t at = 0; at < frames.size(); at += piece)
        pushPiece(frames.subspan(at, std::min(piece, frames.size() - at)), out);
}

std::optional<std::span<const uint8_t>> Converter::passThrough(std::span<const int16_t> frames) {
    if (std::endian::native != std::endian::little || !passesThrough()) return std::nullopt;
    const size_t count = frames.size() / static_cast<size_t>(inChannels_);
    state_->inputFrames += count;
    state_->outputFrames += count;
    return std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(frames.data()), frames.size_bytes());
}

bool Converter::passesThrough() const {
    return !state_->soxr && !state_->upsampler && inChannels_ == out_.channels && out_.bitsPerSample == 16;
}

void Converter::pushPiece(std::span<const int16_t> frames, std::vector<uint8_t>& out) {
    if (passesThrough()) {
        // Already the output format (the engine's own 22.05 kHz 16-bit mono, say): the samples only
        // need their little-endian bytes.
        if (const auto bytes = passThrough(frames)) {
            out.insert(out.end(), bytes->begin(), bytes->end());
            return;
        }
        const size_t start = out.size();
        out.resize(start + frames.size() * 2);
        for (size_t i = 0; i < frames.size(); ++i) {
            const auto u = static_cast<uint16_t>(frames[i]);
            out[start + 2 * i] = static_cast<uint8_t>(u & 0xFF);
            out[start + 2 * i + 1] = static_cast<uint8_t>(u >> 8);
        }
        const size_t count = frames.size() / static_cast<size_t>(inChannels_);
        state_->inputFrames += count;
        state_->outputFrames += count;
        return;
    }
    const auto room = [this](uint64_t in) { return static_cast<size_t>(outputFramesFor(in)); };
    if (state_->sixteen) {
        const size_t ch = static_cast<size_t>(state_->workChannels);
        const size_t count = frames.size() / ch;
        state_->inputFrames += count;
        state_->outputFrames += resample(
            state_->soxr.get(), frames.data(), count, ch, state_->resampled16, room,
            [&](const int16_t* block, size_t made) { encode16(block, made, state_->workChannels, out_, out); });
        return;
    }
    if (state_->upsampler) {
        state_->inputFrames += frames.size();
        const std::span<const float> made = state_->upsampler->push(frames);
        encode(made.data(), made.size(), 1, out_, out);
        state_->outputFrames += made.size();
        return;
    }
    mixInto(frames, inChannels_, state_->workChannels, 1.0f / 32768.0f, state_->mixed);
    std::span<const float> mixed(state_->mixed);
    // Reuse the float path; mixed is already in workChannels.
    const size_t count = mixed.size() / static_cast<size_t>(state_->workChannels);
    state_->inputFrames += count;
    if (!state_->soxr) {
        encode(mixed.data(), count, state_->workChannels, out_, out);
        state_->outputFrames += count;
        return;
    }
    state_->outputFrames +=
        resample(state_->soxr.get(), mixed.data(), count, static_cast<size_t>(state_->workChannels), state_->resampled,
                 room, [&](const float* block, size_t made) { encode(block, made, state_->workChannels, out_, out); });
}

void Converter::push(std::span<const float> frames, std::vector<uint8_t>& out) {
    // Convert to 16-bit first so both paths clip the same way.
    const size_t piece = kPieceFrames * static_cast<size_t>(inChannels_);
    std::vector<int16_t> tmp;
    for (size_t at = 0; at < frames.size(); at += piece) {
        const auto part = frames.subspan(at, std::min(piece, frames.size() - at));
        tmp.resize(part.size());
        std::transform(part.begin(), part.end(), tmp.begin(), toInt16);
        pushPiece(std::span<const int16_t>(tmp), out);
    }
}

void Converter::finish(std::vector<uint8_t>& out) {
    const uint64_t target = outputFramesFor(state_->inputFrames);
    if (state_->upsampler) {
        const std::span<const float> made = state_->upsampler->finish();
        encode(made.data(), made.size(), 1, out_, out);
        state_->outputFrames += made.size();
    }
    if (state_->soxr) {
        const size_t ch = static_cast<size_t>(state_->workChannels);
        const size_t room = 4096;
        state_->resampled.resize(room * ch);
        state_->resampled16.resize(room * ch);
        void* buffer = state_->sixteen ? static_cast<void*>(state_->resampled16.data())
                                       : static_cast<void*>(state_->resampled.data());
        for (;;) {
            size_t odone = 0;
            soxr_process(state_->soxr.get(), nullptr, 0, nullptr, buffer, room, &odone);
            if (odone == 0) break;
            const size_t keep = static_cast<size_t>(
                std::min<uint64_t>(odone, target > state_->outputFrames ? target - state_->outputFrames : 0));
            if (state_->sixteen)
                encode16(state_->resampled16.data(), keep, state_->workChannels, out_, out);
            else
                encode(state_->resampled.data(), keep, state_->workChannels, out_, out);
            state_->outputFrames += keep;
        }
    }
    // The stream's length is exactly the input's length at the output rate; pad the rounding gap.
    if (state_->outputFrames < target) {
        const size_t missing = static_cast<size_t>(target - state_->outputFrames);
        std::vector<float> silence(missing * static_cast<size_t>(state_->workChannels), 0.0f);
        encode(silence.data(), missing, state_->workChannels, out_, out);
    }
    // Ready for the next stream.
    reset();
}

void Converter::reset() {
    if (state_->soxr) soxr_clear(state_->soxr.get());
    if (state_->upsampler) state_->upsampler->reset();
    state_->inputFrames = 0;
    state_->outputFrames = 0;
}

}  // namespace speech::audio
