// SPDX-License-Identifier: GPL-3.0-or-later
// Raises the sample rate of a mono signal by a factor above 1 and at most 4: the engine's 22.05 kHz
// speech into 24, 32, 44.1 or 48 kHz.
//
// soxr does every other rate change in the converter. Here it cost 5-6 ns per output sample, a fifth
// of all the processor time of a 48 kHz render, more than all the rest of the program's own work.
// Raising the rate allows two short fixed filters laid out for SIMD: a half-band filter doubles the
// rate, then a 12-tap polyphase filter takes the doubled rate to the output rate. That costs 2.2-2.5 ns
// per output sample (bench/bench_convert). Tones up to 0.44 of the input rate pass within 0.001 dB,
// and what else comes out (images, aliases, rounding) stays more than 85 dB below them. Above that,
// the response falls to -6 dB at half the input rate and below -90 dB from 0.56 of it, where soxr's
// longer filter is already below -90 dB at half the input rate. Speech holds little that high.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "base/uninitialized_vector.h"

namespace speech::audio {

using Samples = base::UninitializedVector<float>;

class Upsampler {
public:
    // Whether a rate change from `inRate` to `outRate` is one this class makes.
    static bool handles(int inRate, int outRate);

    Upsampler(int inRate, int outRate);

    // The output samples made from `in`, at full scale 1.0, valid until the next call. Output sample n
    // lies at input time n * inRate / outRate; the filter's delay is taken out, so output lags input
    // by some 30 input samples until finish().
    std::span<const float> push(std::span<const int16_t> in);
    // The rest of the output, as if the input went on in silence, up to the number of samples
    // the input's duration makes (rounded to nearest), and starts again from silence.
    std::span<const float> finish();
    // Forgets all input and starts again from silence.
    void reset();

private:
    void produce();
    void doubleRate();
    void dropConsumed();
    // Group `group`'s place in the pattern, and where its period starts at the doubled rate.
    std::pair<size_t, int64_t> placeOf(uint64_t group) const;

    int inRate_;
    int outRate_;
    // The second stage, from twice the input rate to the output rate: up by l_, down by m_. Output
    // comes in groups of eight, and groups_ groups make one period of the pattern, after which
    // the next group starts periodIn_ doubled-rate samples further on.
    uint64_t l_ = 1;
    uint64_t m_ = 1;
    bool direct_ = false;  // the output rate is twice the input rate: no second stage
    size_t groups_ = 0;
    size_t width_ = 0;  // doubled-rate samples that one group of eight reads
    int64_t periodIn_ = 0;
    std::vector<int64_t> groupStart_;  // first doubled-rate sample each group reads, within its period
    std::vector<float> taps_;          // groups_ x width_ x 8: each group's taps, one lane per output

    // Input samples from absolute index xBase_ (negative indices are the silence before the start).
    Samples x_;
    int64_t xBase_ = 0;
    uint64_t inputCount_ = 0;
    // Doubled-rate samples from absolute index yBase_; yEnd_ is the index after the last one made.
    Samples y_;
    int64_t yBase_ = 0;
    int64_t yEnd_ = 0;
    uint64_t made_ = 0;  // output samples made since the start
    Samples out_;        // what the last call made
};

}  // namespace speech::audio
