// SPDX-License-Identifier: GPL-3.0-or-later
#include "speech/audio/upsampler.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <numbers>
#include <numeric>

#include "speech/audio/simd.h"

namespace speech::audio {

namespace {

// Taps on each side of the half-band filter's odd phase; its even phase is the input itself. 28 a side
// (a 111-tap filter at the doubled rate) with a Kaiser window of beta 9 give a transition band from
// 0.45 to 0.56 of the input rate, with a stop band below -90 dB.
constexpr int kHalfTaps = 28;
static_assert(kHalfTaps % 4 == 0);
constexpr double kHalfBeta = 9.0;
// Taps of the second stage at the doubled rate, and its cutoff as a fraction of the input rate (the
// doubled rate's half). Its input holds nothing above 0.55 of the input rate, and the images it must
// remove start at 1.45 of it, so a short filter suffices: 12 taps with a Kaiser window of beta 9 make a
// transition band from 0.47 to 1.43 of the input rate.
constexpr int kTaps = 12;
constexpr double kBeta = 9.0;
constexpr double kCutoff = 0.95;
// Output phases of the second stage at most (22.05 kHz into 32 kHz takes 320, 16 into 44.1 kHz 441).
constexpr uint64_t kMostPhases = 1024;
// Samples kept before the first one still needed, so that dropping what is used is not done for every
// small push.
constexpr int64_t kSlack = 4096;

using simd::V8;

double besselI0(double x) {
    double sum = 1.0;
    double term = 1.0;
    for (int k = 1; k < 50; ++k) {
        const double f = x / (2.0 * k);
        term *= f * f;
        sum += term;
        if (term < sum * 1e-17) break;
    }
    return sum;
}

// Windowed sinc at `d` samples from the centre, its cutoff `cutoff` times half the sample rate, the
// Kaiser window reaching zero `half` samples out.
double kaiserSinc(double d, double cutoff, double half, double beta) {
    const double r = d / half;
    if (std::abs(r) >= 1.0) return 0.0;
    const double x = std::numbers::pi * cutoff * d;
    const double sinc = std::abs(x) < 1e-12 ? 1.0 : std::sin(x) / x;
    return sinc * besselI0(beta * std::sqrt(1.0 - r * r)) / besselI0(beta);
}

// 16-bit samples into full-scale floats.
TALLAMO_SIMD_CLONES
void widen(const int16_t* in, size_t count, float* out) {
    size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        simd::V8s s;
        std::memcpy(&s, in + i, sizeof s);
        const V8 v = __builtin_convertvector(s, V8) * (1.0f / 32768.0f);
        std::memcpy(out + i, &v, sizeof v);
    }
    for (; i < count; ++i) out[i] = static_cast<float>(in[i]) * (1.0f / 32768.0f);
}

// Doubles the rate of x[0, 8 * blocks) into y: y[2i] = x[i], y[2i + 1] halfway between x[i] and
// x[i + 1]. Reads x from kHalfTaps - 1 before to kHalfTaps after the range.
TALLAMO_SIMD_CLONES
void halfBand(const float* x, size_t blocks, const float* coeffs, float* y) {
    for (size_t b = 0; b < blocks; ++b, x += 8, y += 16) {
        // Four sums, so that the additions do not wait on each other.
        V8 a0 = {};
        V8 a1 = {};
        V8 a2 = {};
        V8 a3 = {};
        for (int k = 0; k < kHalfTaps; k += 4) {
            a0 += coeffs[k] * (TALLAMO_LOAD8(x - k) + TALLAMO_LOAD8(x + 1 + k));
            a1 += coeffs[k + 1] * (TALLAMO_LOAD8(x - k - 1) + TALLAMO_LOAD8(x + 2 + k));
            a2 += coeffs[k + 2] * (TALLAMO_LOAD8(x - k - 2) + TALLAMO_LOAD8(x + 3 + k));
            a3 += coeffs[k + 3] * (TALLAMO_LOAD8(x - k - 3) + TALLAMO_LOAD8(x + 4 + k));
        }
        const V8 odd = (a0 + a1) + (a2 + a3);
        const V8 even = TALLAMO_LOAD8(x);
        const V8 low = __builtin_shufflevector(even, odd, 0, 8, 1, 9, 2, 10, 3, 11);
        const V8 high = __builtin_shufflevector(even, odd, 4, 12, 5, 13, 6, 14, 7, 15);
        std::memcpy(y, &low, sizeof low);
        std::memcpy(y + 8, &high, sizeof high);
    }
}

// Makes `count` groups of eight output samples from group `first` on; y holds the doubled-rate samples
// from index yBase on.
TALLAMO_SIMD_CLONES
void polyphase(const float* y, int64_t yBase, uint64_t first, size_t count, size_t groups, size_t width,
               int64_t periodIn, const int64_t* groupStart, const float* taps, float* out) {
    size_t g = static_cast<size_t>(first % groups);
    int64_t periodStart = static_cast<int64_t>(first / groups) * periodIn;
    for (size_t q = 0; q < count; ++q, out += 8) {
        const float* in = y + (periodStart + groupStart[g] - yBase);
        const float* h = taps + g * width * 8;
        V8 a0 = {};
        V8 a1 = {};
        V8 a2 = {};
        V8 a3 = {};
        size_t k = 0;
        for (; k + 3 < width; k += 4) {
            a0 += TALLAMO_LOAD8(h + 8 * k) * in[k];
            a1 += TALLAMO_LOAD8(h + 8 * k + 8) * in[k + 1];
            a2 += TALLAMO_LOAD8(h + 8 * k + 16) * in[k + 2];
            a3 += TALLAMO_LOAD8(h + 8 * k + 24) * in[k + 3];
        }
        for (; k < width; ++k) a0 += TALLAMO_LOAD8(h + 8 * k) * in[k];
        const V8 sum = (a0 + a1) + (a2 + a3);
        std::memcpy(out, &sum, sizeof sum);
        if (++g == groups) {
            g = 0;
            periodStart += periodIn;
        }
    }
}

// The half-band filter's odd-phase taps: tap k weighs the two inputs k + 0.5 samples either side,
// scaled so that a constant passes unchanged.
const std::array<float, kHalfTaps>& halfBandTaps() {
    static const std::array<float, kHalfTaps> taps = [] {
        std::array<double, kHalfTaps> c{};
        double sum = 0;
        for (int k = 0; k < kHalfTaps; ++k) {
            // At the doubled rate the two inputs are 2k + 1 samples away; the cutoff is a quarter of
            // that rate, hence the halved distance in the sinc.
            c[k] = kaiserSinc((2 * k + 1) / 2.0, 1.0, kHalfTaps, kHalfBeta);
            sum += 2 * c[k];
        }
        std::array<float, kHalfTaps> made{};
        for (int k = 0; k < kHalfTaps; ++k) made[k] = static_cast<float>(c[k] / sum);
        return made;
    }();
    return taps;
}

}  // namespace

bool Upsampler::handles(int inRate, int outRate) {
    if (inRate <= 0 || outRate <= inRate || int64_t{outRate} > 4 * int64_t{inRate}) return false;
    // The second stage keeps taps for each of its output phases: a ratio that needs more of them than
    // any of the usual rates (an odd rate of a WAV file) is left to soxr.
    const uint64_t doubled = 2 * static_cast<uint64_t>(inRate);
    const auto out = static_cast<uint64_t>(outRate);
    return out / std::gcd(doubled, out) <= kMostPhases;
}

Upsampler::Upsampler(int inRate, int outRate) : inRate_(inRate), outRate_(outRate) {
    const uint64_t doubled = 2 * static_cast<uint64_t>(inRate);
    const auto out = static_cast<uint64_t>(outRate);
    const uint64_t common = std::gcd(doubled, out);
    l_ = out / common;
    m_ = doubled / common;
    direct_ = l_ == 1 && m_ == 1;
    if (!direct_) {
        // Eight outputs per group; the pattern of groups repeats after lcm(l, 8) outputs.
        const uint64_t periodOut = std::lcm(l_, uint64_t{8});
        groups_ = static_cast<size_t>(periodOut / 8);
        periodIn_ = static_cast<int64_t>(periodOut / l_ * m_);
        // Output n lies at doubled-rate time n * m / l and reads the kTaps samples around it.
        const auto firstTap = [this](uint64_t n) { return static_cast<int64_t>(n * m_ / l_) - (kTaps / 2 - 1); };
        groupStart_.resize(groups_);
        for (size_t g = 0; g < groups_; ++g) {
            groupStart_[g] = firstTap(8 * g);
            width_ = std::max(width_, static_cast<size_t>(firstTap(8 * g + 7) - groupStart_[g] + kTaps));
        }
        taps_.assign(groups_ * width_ * 8, 0.0f);
        for (size_t g = 0; g < groups_; ++g) {
            for (size_t lane = 0; lane < 8; ++lane) {
                const uint64_t n = 8 * g + lane;
                const double t = static_cast<double>(n * m_) / static_cast<double>(l_);
                const int64_t first = firstTap(n);
                double h[kTaps];
                double sum = 0;
                for (int k = 0; k < kTaps; ++k) {
                    h[k] = kaiserSinc(t - static_cast<double>(first + k), kCutoff, kTaps / 2.0, kBeta);
                    sum += h[k];
                }
                // Each phase passes a constant unchanged, so the phases do not ripple against each other.
                const auto at = static_cast<size_t>(first - groupStart_[g]);
                for (int k = 0; k < kTaps; ++k)
                    taps_[(g * width_ + at + static_cast<size_t>(k)) * 8 + lane] = static_cast<float>(h[k] / sum);
            }
        }
    }
    reset();
}

void Upsampler::reset() {
    // Silence before the start, as far back as either stage reads.
    x_.assign(kHalfTaps, 0.0f);
    xBase_ = -kHalfTaps;
    inputCount_ = 0;
    const size_t before = direct_ ? 0 : static_cast<size_t>(kTaps);
    y_.assign(before, 0.0f);
    yBase_ = -static_cast<int64_t>(before);
    yEnd_ = 0;
    made_ = 0;
}

std::span<const float> Upsampler::push(std::span<const int16_t> in) {
    out_.clear();
    const size_t at = x_.size();
    x_.resize(at + in.size());
    widen(in.data(), in.size(), x_.data() + at);
    inputCount_ += in.size();
    produce();
    return out_;
}

std::span<const float> Upsampler::finish() {
    out_.clear();
    const auto in = static_cast<uint64_t>(inRate_);
    const uint64_t total = (inputCount_ * static_cast<uint64_t>(outRate_) + in / 2) / in;
    // Silence after the end, until the last output sample is made.
    while (made_ < total) {
        x_.insert(x_.end(), 64, 0.0f);
        produce();
    }
    out_.resize(out_.size() - static_cast<size_t>(std::min<uint64_t>(made_ - total, out_.size())));
    reset();
    return out_;
}

void Upsampler::doubleRate() {
    // y[2i] and y[2i + 1] need x up to i + kHalfTaps; they are made eight values of i at a time.
    const int64_t xEnd = xBase_ + static_cast<int64_t>(x_.size());
    const int64_t next = yEnd_ / 2;
    const int64_t ready = xEnd - kHalfTaps - next;
    if (ready < 8) return;
    const auto blocks = static_cast<size_t>(ready / 8);
    const size_t at = y_.size();
    y_.resize(at + blocks * 16);
    halfBand(x_.data() + (next - xBase_), blocks, halfBandTaps().data(), y_.data() + at);
    yEnd_ += static_cast<int64_t>(blocks * 16);
}

void Upsampler::produce() {
    doubleRate();
    if (direct_) {
        const auto from = static_cast<size_t>(static_cast<int64_t>(made_) - yBase_);
        const auto count = static_cast<size_t>(yEnd_ - static_cast<int64_t>(made_));
        out_.insert(out_.end(), y_.begin() + static_cast<ptrdiff_t>(from),
                    y_.begin() + static_cast<ptrdiff_t>(from + count));
        made_ += count;
    } else {
        // Groups whose last read sample has been made.
        auto [g, periodStart] = placeOf(made_ / 8);
        size_t count = 0;
        while (periodStart + groupStart_[g] + static_cast<int64_t>(width_) <= yEnd_) {
            ++count;
            if (++g == groups_) {
                g = 0;
                periodStart += periodIn_;
            }
        }
        if (count > 0) {
            const size_t at = out_.size();
            out_.resize(at + count * 8);
            polyphase(y_.data(), yBase_, made_ / 8, count, groups_, width_, periodIn_, groupStart_.data(), taps_.data(),
                      out_.data() + at);
            made_ += count * 8;
        }
    }
    dropConsumed();
}

std::pair<size_t, int64_t> Upsampler::placeOf(uint64_t group) const {
    return {static_cast<size_t>(group % groups_), static_cast<int64_t>(group / groups_) * periodIn_};
}

void Upsampler::dropConsumed() {
    // The half-band stage next reads x from yEnd_ / 2 - (kHalfTaps - 1).
    const int64_t xKeep = yEnd_ / 2 - kHalfTaps;
    if (xKeep - xBase_ > kSlack) {
        x_.erase(x_.begin(), x_.begin() + static_cast<ptrdiff_t>(xKeep - xBase_));
        xBase_ = xKeep;
    }
    int64_t yKeep = static_cast<int64_t>(made_);
    if (!direct_) {
        const auto [g, periodStart] = placeOf(made_ / 8);
        yKeep = periodStart + groupStart_[g];
    }
    if (yKeep - yBase_ > kSlack) {
        y_.erase(y_.begin(), y_.begin() + static_cast<ptrdiff_t>(yKeep - yBase_));
        yBase_ = yKeep;
    }
}

}  // namespace speech::audio
