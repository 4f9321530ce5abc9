// SPDX-License-Identifier: GPL-3.0-or-later
// Speed and memory of the Mandarin reader (figures, not pass/fail):
//   BM_OpenLexicon      reading the lexicon and the polyphone model into memory (what start-up pays)
//   BM_FirstReading     reading them and one sentence
//   BM_Read             reading Chinese text, in MB/s of its UTF-8 bytes
// and, printed before the runs, the resident memory that loading and using the lexicon add. The
// text is the development set's sentences (bench/mandarin/), repeated to 1 MB; the lexicon the one the
// build made.
//
//   bench_mandarin [benchmark flags]
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "base/paths.h"
#include "base/utf8.h"
#include "speech/text/mandarin/reader.h"

namespace {

std::string gLexicon, gModel;
std::u32string gText;   // the development sentences, repeated
size_t gTextBytes = 0;  // its size in UTF-8

long residentKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    return -1;
}

std::unique_ptr<speech::text::mandarin::MandarinLexicon> openLexicon() {
    std::string error;
    auto lex = speech::text::mandarin::MandarinLexicon::open(gLexicon, error);
    auto model = lex ? speech::text::mandarin::PolyphoneModel::load(gModel, error) : nullptr;
    if (!model) {
        std::cerr << error << '\n';
        std::exit(1);
    }
    lex->setModel(std::move(model));
    return lex;
}

void BM_OpenLexicon(benchmark::State& state) {
    for (auto _ : state) {
        auto lex = openLexicon();
        benchmark::DoNotOptimize(lex.get());
    }
}
BENCHMARK(BM_OpenLexicon)->Unit(benchmark::kMicrosecond);

void BM_FirstReading(benchmark::State& state) {
    const std::u32string sentence = U"这家银行的行长说，我们明天得重新开始。";
    speech::text::mandarin::PinyinReading reading;
    for (auto _ : state) {
        auto lex = openLexicon();
        speech::text::mandarin::MandarinReader reader(*lex);
        reader.read(std::span<const char32_t>(sentence), reading);
        benchmark::DoNotOptimize(reading.syllables.data());
    }
}
BENCHMARK(BM_FirstReading)->Unit(benchmark::kMicrosecond);

void BM_Read(benchmark::State& state) {
    auto lex = openLexicon();
    speech::text::mandarin::MandarinReader reader(*lex);
    speech::text::mandarin::PinyinReading reading;
    // Sentence by sentence, as the front end hands the reader its runs.
    std::vector<std::u32string_view> sentences;
    size_t start = 0;
    for (size_t i = 0; i < gText.size(); ++i)
        if (gText[i] == U'\n') {
            sentences.emplace_back(gText.data() + start, i - start);
            start = i + 1;
        }
    for (auto _ : state) {
        for (const auto& s : sentences) {
            reader.read(std::span<const char32_t>(s.data(), s.size()), reading);
            benchmark::DoNotOptimize(reading.syllables.data());
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(gTextBytes));
}
BENCHMARK(BM_Read)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    gLexicon = base::installedDataFile("mandarin.lex").string();
    gModel = base::installedDataFile("mandarin.model").string();
    std::string utf8;
    const std::filesystem::path sets = std::filesystem::path(TALLAMO_SOURCE_DIR) / "bench" / "mandarin";
    for (const char* part : {"devset_1.tsv", "devset_2.tsv", "devset_3.tsv", "devset_4.tsv"}) {
        std::ifstream in(sets / part);
        std::string line;
        while (std::getline(in, line)) {
            if (line.empty() || line[0] == '#') continue;
            const size_t a = line.find('\t'), b = line.find('\t', a + 1);
            utf8 += line.substr(a + 1, b - a - 1) + "\n";
        }
    }
    std::string corpus;
    while (corpus.size() < (1u << 20)) corpus += utf8;
    gText = base::toUtf32(corpus);
    gTextBytes = corpus.size();

    // Resident memory: the process's resident set after reading the lexicon and the model into
    // memory, and after reading the whole corpus sentence by sentence.
    residentKiB();
    const long before = residentKiB();
    {
        auto lex = openLexicon();
        const long loaded = residentKiB();
        speech::text::mandarin::MandarinReader reader(*lex);
        speech::text::mandarin::PinyinReading reading;
        size_t start = 0;
        for (size_t i = 0; i < gText.size(); ++i)
            if (gText[i] == U'\n') {
                reader.read(std::span<const char32_t>(gText.data() + start, i - start), reading);
                start = i + 1;
            }
        const long used = residentKiB();
        std::printf(
            "lexicon %zu bytes, model %zu bytes in memory; resident set grows by %ld KiB on loading them, %ld KiB "
            "after reading %zu KiB of text\n",
            lex->sizeInBytes(), lex->model()->memoryBytes(), loaded - before, used - before, gTextBytes / 1024);
    }

    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
