// SPDX-License-Identifier: GPL-3.0-or-later
#include "speech/audio/converter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <vector>

namespace speech::audio {
namespace {

std::vector<int16_t> sine(size_t frames, int rate, double hz, double amplitude) {
    std::vector<int16_t> out(frames);
    for (size_t i = 0; i < frames; ++i)
        out[i] = static_cast<int16_t>(amplitude * std::sin(2 * std::numbers::pi * hz * static_cast<double>(i) / rate));
    return out;
}

int16_t sample16(const std::vector<uint8_t>& bytes, size_t index) {
    return static_cast<int16_t>(bytes[index * 2] | (bytes[index * 2 + 1] << 8));
}

// Pushes `input` in uneven chunks and finishes, as a voice does with a sentence's audio.
std::vector<uint8_t> convertAll(Converter& c, const std::vector<int16_t>& input, size_t chunk) {
    std::vector<uint8_t> out;
    for (size_t at = 0; at < input.size(); at += chunk) {
        const size_t n = std::min(chunk, input.size() - at);
        c.push(std::span<const int16_t>(input.data() + at, n), out);
    }
    c.finish(out);
    return out;
}

// Input is taken in pieces that make a bounded amount of output whatever its rate, so a WAV file of a
// very low rate never needs hours of audio in memory at once; a piece is at least a frame, and not
// needlessly small (each costs a read and a conversion).
TEST(Converter, PiecesOfInputMakeABoundedAmountOfOutputWhateverTheRate) {
    constexpr size_t kWanted = 4096;
    const struct {
        int in;
        int out;
    } cases[] = {{1, 48000},     {1, 8000},      {7, 22050},     {8000, 48000}, {22050, 48000},
                 {44100, 48000}, {48000, 48000}, {96000, 48000}, {48000, 8000}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.in) + " Hz into " + std::to_string(c.out) + " Hz");
        const size_t frames = inputFramesFor(kWanted, c.in, c.out);
        EXPECT_GE(frames, 1u);
        EXPECT_LE(frames, kWanted);
        const double out = static_cast<double>(frames) * c.out / c.in;  // in the output's frames
        EXPECT_LE(out, std::max<double>(kWanted, static_cast<double>(c.out) / c.in));
        EXPECT_GE(std::max(out, static_cast<double>(frames)), kWanted / 2.0);
    }
}

TEST(Converter, OutputLengthMatchesTheInputDurationForEveryFormat) {
    const auto input = sine(22050 + 377, 22050, 440, 8000);
    for (int32_t type = 4; type <= 39; ++type) {
        const core::WaveFormat wf = *core::waveFormatOf(type);
        Converter c(22050, 1, wf);
        const auto out = convertAll(c, input, 1000 + static_cast<size_t>(type) * 13);
        const uint64_t frames = out.size() / static_cast<size_t>(wf.bytesPerFrame());
        EXPECT_EQ(out.size() % static_cast<size_t>(wf.bytesPerFrame()), 0u) << type;
        EXPECT_EQ(frames, c.outputFramesFor(input.size())) << type;
        EXPECT_EQ(frames, static_cast<uint64_t>(std::llround(input.size() * double(wf.sampleRate) / 22050))) << type;
    }
}

// Streams far shorter than the filters, pushed a sample or a few at a time (empty pushes among them),
// still come out at exactly their length at the new rate, one after the other on the same converter.
TEST(Converter, TinyStreamsInTinyPiecesKeepTheirLength) {
    for (const int rate : {24000, 32000, 44100, 48000}) {
        Converter c(22050, 1, core::WaveFormat{rate, 16, 2});
        for (const size_t frames : {size_t{0}, size_t{1}, size_t{7}, size_t{9}, size_t{100}, size_t{2205}}) {
            for (const size_t chunk : {size_t{1}, size_t{3}, size_t{64}}) {
                const auto input = sine(frames, 22050, 440, 8000);
                std::vector<uint8_t> out;
                for (size_t at = 0; at <= input.size(); at += chunk)
                    c.push(std::span<const int16_t>(input).subspan(at, std::min(chunk, input.size() - at)), out);
                c.finish(out);
                EXPECT_EQ(out.size() / 4, static_cast<size_t>(std::llround(frames * double(rate) / 22050)))
                    << frames << " frames in pieces of " << chunk << " into " << rate << " Hz";
            }
        }
    }
}

TEST(Converter, ResampledSignalKeepsItsLevelAndIsReusableAfterFinish) {
    Converter c(22050, 1, core::WaveFormat{48000, 16, 1});
    for (int round = 0; round < 2; ++round) {
        const auto out = convertAll(c, sine(22050, 22050, 440, 10000), 4096);
        const size_t frames = out.size() / 2;
        ASSERT_EQ(frames, 48000u);
        // Past the filter's edges, the peak stays about the same: the resampler neither drops nor
        // repeats the signal.
        int peak = 0;
        for (size_t i = 1000; i < frames - 1000; ++i) peak = std::max(peak, std::abs(int(sample16(out, i))));
        EXPECT_NEAR(peak, 10000, 300) << "round " << round;
    }
}

// WAV files come at any rate: a second of a tone at each of these becomes a second at 48 kHz, at the
// same level, whether the upsampler (16, 20 kHz) or soxr (six times faster, an odd rate, a slower one)
// converts it.
TEST(Converter, AnyInputRateKeepsItsLengthAndLevel) {
    for (const int rate : {8000, 11111, 16000, 20000, 96000}) {
        Converter c(rate, 1, core::WaveFormat{48000, 16, 1});
        const auto out = convertAll(c, sine(static_cast<size_t>(rate), rate, 440, 10000), 1000);
        ASSERT_EQ(out.size() / 2, 48000u) << rate;
        int peak = 0;
        for (size_t i = 1000; i < 47000; ++i) peak = std::max(peak, std::abs(int(sample16(out, i))));
        EXPECT_NEAR(peak, 10000, 300) << rate;
    }
}

// A tone keeps its level through every rate change, and what comes out besides it (the resampler's
// images and aliases, its ripple, rounding) stays 80 dB below it. Tones reach 0.43 of the lower rate,
// the top of what a speech engine at 22.05 kHz puts out; the faster rates are made by our own filters.
TEST(Converter, TonesKeepTheirLevelAndNothingElseComesOut) {
    for (const int rate : {16000, 24000, 32000, 44100, 48000}) {
        for (const double hz : {1000.0, 6000.0, 9700.0}) {
            if (hz > 0.44 * std::min(rate, 22050)) continue;
            Converter c(22050, 1, core::WaveFormat{rate, 16, 1});
            const auto out = convertAll(c, sine(22050 * 2, 22050, hz, 16384), 3000);
            // Half a second from the middle holds a whole number of cycles: fit the tone, then
            // measure the rest.
            const size_t from = static_cast<size_t>(rate) / 2;
            const size_t n = static_cast<size_t>(rate) / 2;
            double a = 0, b = 0;
            for (size_t i = 0; i < n; ++i) {
                const double w = 2 * std::numbers::pi * hz * static_cast<double>(from + i) / rate;
                a += sample16(out, from + i) * std::sin(w);
                b += sample16(out, from + i) * std::cos(w);
            }
            a *= 2.0 / static_cast<double>(n);
            b *= 2.0 / static_cast<double>(n);
            double rest = 0;
            for (size_t i = 0; i < n; ++i) {
                const double w = 2 * std::numbers::pi * hz * static_cast<double>(from + i) / rate;
                const double r = sample16(out, from + i) - a * std::sin(w) - b * std::cos(w);
                rest += r * r;
            }
            const double level = std::hypot(a, b);
            const double restDb = 10 * std::log10(rest / static_cast<double>(n) / (level * level / 2));
            EXPECT_NEAR(20 * std::log10(level / 16384), 0.0, 0.01) << hz << " Hz into " << rate << " Hz";
            EXPECT_LT(restDb, -80.0) << hz << " Hz into " << rate << " Hz";
        }
    }
}

TEST(Converter, EightBitIsUnsignedAndStereoDuplicatesMono) {
    Converter c(22050, 1, core::WaveFormat{22050, 8, 2});
    const std::vector<int16_t> in{0, 32767, -32768, 256, -256, -1};
    std::vector<uint8_t> out;
    c.push(std::span<const int16_t>(in), out);
    c.finish(out);
    const std::vector<uint8_t> expected{128, 128, 255, 255, 0, 0, 129, 129, 127, 127, 127, 127};
    EXPECT_EQ(out, expected);
}

TEST(Converter, StereoInputIsMixedDownAndSixteenBitIsLittleEndian) {
    Converter c(22050, 2, core::WaveFormat{22050, 16, 1});
    const std::vector<int16_t> in{1000, 3000, -32768, -32768, 32767, -32767, 0x1234, 0x1234};
    std::vector<uint8_t> out;
    c.push(std::span<const int16_t>(in), out);
    c.finish(out);
    ASSERT_EQ(out.size(), 8u);
    EXPECT_EQ(sample16(out, 0), 2000);
    EXPECT_EQ(sample16(out, 1), -32768);
    EXPECT_EQ(sample16(out, 2), 0);
    EXPECT_EQ(out[6], 0x34);
    EXPECT_EQ(out[7], 0x12);
}

TEST(Converter, FloatInputClipsInsteadOfWrappingAround) {
    Converter c(22050, 1, core::WaveFormat{22050, 16, 1});
    const std::vector<float> in{2.0f, -3.0f, 0.5f};
    std::vector<uint8_t> out;
    c.push(std::span<const float>(in), out);
    ASSERT_EQ(out.size(), 6u);
    EXPECT_EQ(sample16(out, 0), 32767);
    EXPECT_EQ(sample16(out, 1), -32768);
    EXPECT_EQ(sample16(out, 2), 16384);

    // A full-scale square wave rings past full scale when its rate is raised: the peaks clip, and no
    // sample wraps to the other end of the range.
    std::vector<int16_t> square(4000);
    for (size_t i = 0; i < square.size(); ++i) square[i] = (i / 100) % 2 ? int16_t{-32768} : int16_t{32767};
    Converter up(22050, 1, core::WaveFormat{48000, 16, 2});
    const auto raised = convertAll(up, square, square.size());
    int low = 0, high = 0;
    for (size_t i = 1; i < raised.size() / 2; ++i) {
        low = std::min(low, int(sample16(raised, i)));
        high = std::max(high, int(sample16(raised, i)));
        ASSERT_LT(std::abs(sample16(raised, i) - sample16(raised, i - 1)), 40000) << i;
    }
    EXPECT_EQ(low, -32768);
    EXPECT_EQ(high, 32767);
}

// A block of many seconds (as a file render hands over) converts exactly as the same audio pushed a
// little at a time: the converter works through large blocks in pieces, and no piece boundary may
// drop, repeat or split a frame. Stereo input makes a boundary that cut a frame show.
TEST(Converter, OneLargeBlockGivesTheSameBytesAsSmallChunks) {
    struct Case {
        int inChannels;
        core::WaveFormat out;
    };
    for (const Case& k : {Case{1, {48000, 16, 2}}, Case{1, {32000, 16, 1}}, Case{1, {24000, 8, 1}},
                          Case{2, {16000, 8, 1}}, Case{2, {44100, 16, 2}}}) {
        std::vector<int16_t> input = sine(3 * 22050 + 77, 22050, 330, 9000);
        if (k.inChannels == 2) {
            const auto right = sine(input.size(), 22050, 510, 7000);
            std::vector<int16_t> both;
            for (size_t i = 0; i < input.size(); ++i) both.insert(both.end(), {input[i], right[i]});
            input = std::move(both);
        }
        Converter whole(22050, k.inChannels, k.out);
        Converter chunked(22050, k.inChannels, k.out);
        const auto expected = convertAll(chunked, input, 2 * 1001);
        EXPECT_EQ(convertAll(whole, input, input.size()), expected)
            << k.inChannels << " channels into " << k.out.sampleRate << " Hz";
        // The same audio as floats (a WAV file's), pushed whole, converts to the same bytes.
        std::vector<float> floats(input.size());
        std::transform(input.begin(), input.end(), floats.begin(), [](int16_t v) { return v / 32768.0f; });
        std::vector<uint8_t> out;
        whole.push(std::span<const float>(floats), out);
        whole.finish(out);
        EXPECT_EQ(out, expected) << k.inChannels << " channels of floats into " << k.out.sampleRate << " Hz";
    }
}

TEST(Converter, ResetForgetsBufferedInput) {
    for (const int rate : {16000, 48000}) {
        Converter c(22050, 1, core::WaveFormat{rate, 16, 1});
        std::vector<uint8_t> out;
        c.push(std::span<const int16_t>(sine(5000, 22050, 300, 20000)), out);
        c.reset();
        out.clear();
        // Silence after a reset must come out silent: nothing of the loud input may leak into it.
        const std::vector<int16_t> silence(22050, 0);
        c.push(std::span<const int16_t>(silence), out);
        c.finish(out);
        ASSERT_EQ(out.size() / 2, static_cast<size_t>(rate));
        for (size_t i = 0; i < out.size() / 2; ++i) ASSERT_EQ(sample16(out, i), 0) << rate << " Hz, " << i;
    }
}

}  // namespace
}  // namespace speech::audio
