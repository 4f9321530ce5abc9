// SPDX-License-Identifier: GPL-3.0-or-later
// Cost of converting the engine's 22.05 kHz mono audio into the output formats, per output frame:
// the rate change (our upsampler for the faster rates, soxr for the slower ones), the channel copy and
// the sample encoding, as a file render does it in blocks of a sentence.
//   build/bench/bench_convert [--benchmark_filter=48000]
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <span>
#include <vector>

#include "speech/audio/converter.h"

namespace {

void convert(benchmark::State& state) {
    const speech::core::WaveFormat format{static_cast<int>(state.range(0)), static_cast<int>(state.range(1)),
                                          static_cast<int>(state.range(2))};
    // Ten seconds of two tones, handed over a second at a time.
    std::vector<int16_t> input(22050 * 10);
    for (size_t i = 0; i < input.size(); ++i)
        input[i] = static_cast<int16_t>(9000 * std::sin(0.07 * static_cast<double>(i)) +
                                        4000 * std::sin(1.3 * static_cast<double>(i)));
    speech::audio::Converter converter(22050, 1, format);
    std::vector<uint8_t> out;
    uint64_t frames = 0;
    for (auto _ : state) {
        for (size_t at = 0; at < input.size(); at += 22050) {
            out.clear();
            converter.push(std::span<const int16_t>(input).subspan(at, 22050), out);
            frames += out.size() / static_cast<size_t>(format.bytesPerFrame());
        }
        out.clear();
        converter.finish(out);
        frames += out.size() / static_cast<size_t>(format.bytesPerFrame());
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(static_cast<int64_t>(frames));
    state.counters["ns/frame"] =
        benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kIsRate | benchmark::Counter::kInvert,
                           benchmark::Counter::kIs1000);
}

}  // namespace

BENCHMARK(convert)
    ->ArgNames({"rate", "bits", "channels"})
    ->Args({48000, 16, 2})
    ->Args({48000, 16, 1})
    ->Args({44100, 16, 1})
    ->Args({32000, 16, 1})
    ->Args({24000, 8, 1})
    ->Args({16000, 16, 1})
    ->Args({22050, 16, 2})
    ->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
