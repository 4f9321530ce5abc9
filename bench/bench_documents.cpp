// SPDX-License-Identifier: GPL-3.0-or-later
// Document readers: for a 5 MB EPUB, a 15 MB HTML page, a 300-page PDF and a 10,000-page PDF (all made
// here), the time from opening to the first text (target 200 ms), the text throughput of a whole read
// (target 20 MB/s for EPUB and HTML), and the peak memory of a process that reads the whole document
// (target 100 MB). Each document is read in a fresh process for its memory figure.
//   bench_documents [--keep DIR]      keep the generated documents in DIR
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/percentile.h"
#include "documents/document.h"
#include "tests/support/document_fixtures.h"

using Clock = std::chrono::steady_clock;

namespace {

double ms(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double, std::milli>(b - a).count();
}

// Deterministic prose: words made of syllables, sentences of 6 to 20 words.
class Prose {
public:
    std::string sentence() {
        static const char* const kSyllables[] = {"ka",  "lo", "ren", "tha", "mi", "sor", "bel", "qui", "dan", "ve",
                                                 "tor", "ni", "gal", "fe",  "ru", "mon", "as",  "pe",  "lin", "zo"};
        std::string s;
        const int words = 6 + static_cast<int>(next() % 15);
        for (int w = 0; w < words; ++w) {
            if (w) s += ' ';
            const int syllables = 1 + static_cast<int>(next() % 3);
            for (int k = 0; k < syllables; ++k) s += kSyllables[next() % 20];
        }
        s[0] = static_cast<char>(s[0] - 'a' + 'A');
        return s + ".";
    }
    std::string paragraph(int sentences) {
        std::string p;
        for (int i = 0; i < sentences; ++i) p += (i ? " " : "") + sentence();
        return p;
    }

private:
    uint32_t next() { return state_ = state_ * 1664525u + 1013904223u, state_ >> 8; }
    uint32_t state_ = 12345;
};

std::vector<fixtures::Section> book(size_t chapters, size_t paragraphs) {
    Prose prose;
    std::vector<fixtures::Section> out;
    for (size_t c = 0; c < chapters; ++c) {
        fixtures::Section s{"Chapter " + std::to_string(c + 1), {}};
        for (size_t p = 0; p < paragraphs; ++p) s.paragraphs.push_back(prose.paragraph(5));
        out.push_back(std::move(s));
    }
    return out;
}

// Pages of short lines, as a printed book has them.
std::vector<std::vector<std::string>> pages(size_t count, size_t lines) {
    Prose prose;
    std::vector<std::vector<std::string>> out(count);
    for (auto& page : out) {
        for (size_t l = 0; l < lines; ++l) page.push_back(prose.sentence());
    }
    return out;
}

struct Figures {
    double firstMs = 0;
    double totalMs = 0;
    double textMb = 0;
};

Figures readThrough(const std::string& path) {
    Figures f;
    const auto t0 = Clock::now();
    auto opened = documents::Document::open(path);
    if (!opened) {
        std::fprintf(stderr, "%s\n", opened.fault().message.c_str());
        std::exit(1);
    }
    std::u16string piece;
    std::vector<documents::Chapter> chapters;
    size_t units = 0;
    bool first = true;
    while (opened.value()->read(piece, chapters)) {
        if (first) f.firstMs = ms(t0, Clock::now());
        first = false;
        units += piece.size();
        piece.clear();
    }
    f.totalMs = ms(t0, Clock::now());
    f.textMb = static_cast<double>(units) / 1e6;  // characters; the prose is ASCII, one byte each
    return f;
}

// The peak resident memory (VmHWM) of a fresh process of this program that reads `path` whole, in MB.
long peakMb(const char* self, const std::string& path) {
    const std::string command = std::string("'") + self + "' --read '" + path + "'";
    FILE* child = popen(command.c_str(), "r");
    long kb = -1;
    if (child) {
        if (std::fscanf(child, "%ld", &kb) != 1) kb = -1;
        pclose(child);
    }
    return kb / 1024;
}

// This process's peak resident memory in kB.
long highWaterKb() {
    FILE* status = std::fopen("/proc/self/status", "r");
    char line[256];
    long kb = -1;
    while (status && std::fgets(line, sizeof line, status)) {
        if (std::sscanf(line, "VmHWM: %ld", &kb) == 1) break;
    }
    if (status) std::fclose(status);
    return kb;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "--read") {
        readThrough(argv[2]);
        std::printf("%ld\n", highWaterKb());
        return 0;
    }
    namespace fs = std::filesystem;
    std::string pattern = (fs::temp_directory_path() / "tallamo-bench-XXXXXX").string();
    if (argc == 3 && std::string(argv[1]) == "--keep") {
        pattern = argv[2];
        fs::create_directories(pattern);
    } else if (!mkdtemp(pattern.data())) {
        return 1;
    }
    const fs::path dir = pattern;
    const auto t0 = Clock::now();
    const struct {
        const char* name;
        const char* file;
        std::string bytes;
        const char* throughputTarget;
    } documents[] = {
        {"EPUB", "book.epub", fixtures::epub(book(60, 630)), " (target 20 MB/s)"},
        {"HTML", "page.html", fixtures::html(book(60, 630), "A page"), " (target 20 MB/s)"},
        {"PDF 300 pages", "book300.pdf", fixtures::pdf(pages(300, 40)), ""},
        {"PDF 10,000 pages", "book10000.pdf", fixtures::pdf(pages(10000, 8)), ""},
    };
    std::printf("documents made in %.1f s\n", ms(t0, Clock::now()) / 1000);
    for (const auto& d : documents) {
        const std::string path = (dir / d.file).string();
        fixtures::writeFile(path, d.bytes);
        std::vector<double> first;
        std::vector<double> rate;
        Figures f;
        for (int run = 0; run < 5; ++run) {
            f = readThrough(path);
            first.push_back(f.firstMs);
            rate.push_back(f.textMb / (f.totalMs / 1000));
        }
        std::printf(
            "%-17s %6.1f MB file, %6.1f MB text: first text %.1f ms (median of 5, target 200 ms); "
            "%.1f MB/s of text%s; peak memory %ld MB (target 100 MB)\n",
            d.name, static_cast<double>(d.bytes.size()) / 1e6, f.textMb, percentile(first, 0.5), percentile(rate, 0.5),
            d.throughputTarget, peakMb(argv[0], path));
    }
    if (argc != 3) fs::remove_all(dir);
    return 0;
}
