// SPDX-License-Identifier: GPL-3.0-or-later
// Converts synthesizer or WAV-file audio into an output format: the sample rate (our own Upsampler for
// mono raised to a faster format, soxr for every other change), then the channel count (mono is copied
// to both channels, stereo is mixed down) and the sample size (8-bit unsigned or 16-bit signed,
// little-endian).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "base/error.h"
#include "speech/core/formats.h"

namespace speech::audio {

// The frames of input at `inRate` to take at a time so that they make no more than about
// `outputFrames` frames at `outRate`: `outputFrames` when the rate is not raised, fewer (at least one)
// when it is, so that input of a very low rate (a WAV file of 1 Hz) never makes hours of audio at once.
size_t inputFramesFor(size_t outputFrames, int inRate, int outRate);

class Converter {
public:
    // `inRate` Hz with `inChannels` interleaved channels, into `out`.
    Converter(int inRate, int inChannels, const core::WaveFormat& out);
    ~Converter();
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;

    // Appends the converted bytes of `frames` (interleaved) to `out`.
    void push(std::span<const int16_t> frames, std::vector<uint8_t>& out);
    void push(std::span<const float> frames, std::vector<uint8_t>& out);
    // The bytes `frames` convert to, when they are those of the samples themselves (the output is the
    // input's format, on a little-endian machine): counted as pushed, and written from where they are
    // instead of being copied out. Nothing otherwise.
    std::optional<std::span<const uint8_t>> passThrough(std::span<const int16_t> frames);
    // Appends what the resampler still holds at the end of the input.
    void finish(std::vector<uint8_t>& out);
    // Forgets buffered input (after a purge or skip).
    void reset();

    const core::WaveFormat& outputFormat() const { return out_; }
    // Output frames produced for `inputFrames` frames of input, for placing events.
    uint64_t outputFramesFor(uint64_t inputFrames) const;

private:
    // Input is converted this many frames at a time, so that the float and resampled buffers stay
    // small however large a pushed block is.
    static constexpr size_t kPieceFrames = 16384;
    void pushPiece(std::span<const int16_t> frames, std::vector<uint8_t>& out);
    // The input is already in the output format: no resampling, mixing or sample conversion.
    bool passesThrough() const;

    struct State;
    std::unique_ptr<State> state_;
    int inRate_;
    int inChannels_;
    core::WaveFormat out_;
};

}  // namespace speech::audio
