// Text front end throughput: a 10 MB marked-up text and a 10 MB plain text read to the end (MB/s of
// UTF-16 input), the share of that spent checking the markup before speaking starts, the time to the
// first segment of a 50 MB text, the peak memory, and the front end's share of rendering a marked-up
// text to a WAV file with the real engine.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>

#include "platform/speech/constants.h"
#include "platform/speech/error.h"
#include "platform/speech/formats.h"
#include "platform/speech/frontend.h"
#include "platform/speech/streams.h"
#include "platform/speech/voice.h"

using namespace speech;
using Clock = std::chrono::steady_clock;

namespace {

double seconds(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

double megabytes(const std::u16string& s) { return static_cast<double>(s.size() * sizeof(char16_t)) / 1e6; }

std::shared_ptr<const std::u16string> build(size_t units, bool markup) {
    auto text = std::make_shared<std::u16string>();
    text->reserve(units + 256);
    const std::u16string marked =
        u"<rate speed=\"-2\">The quick brown fox</rate> jumps over <emph>the lazy dog</emph>. "
        u"<bookmark mark=\"12\"/>Numbers like <context id=\"number_digit\">1234</context> &amp; "
        u"<volume level=\"80\">今天天气很好。</volume> <silence msec=\"100\"/>An emoji 😀 here!\r\n";
    const std::u16string plain =
        u"The quick brown fox jumps over the lazy dog. Numbers like 1,234.56 and e-mail & more. "
        u"今天天气很好。 An emoji 😀 here!\r\n";
    while (text->size() < units) *text += markup ? marked : plain;
    return text;
}

struct Run {
    double open = 0;
    double total = 0;
    size_t segments = 0;
    size_t words = 0;
};

Run readThrough(const std::shared_ptr<const std::u16string>& text, int32_t flags) {
    Run r;
    const auto t0 = Clock::now();
    auto source = openText(text, flags, FrontEndContext{}, nullptr);
    const auto t1 = Clock::now();
    while (auto s = source->next()) {
        ++r.segments;
        r.words += s->words.size();
    }
    const auto t2 = Clock::now();
    r.open = seconds(t0, t1);
    r.total = seconds(t0, t2);
    return r;
}

long peakKb() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss;
}

}  // namespace

int main() {
    constexpr size_t kTen = 5'000'000;  // UTF-16 units: 10 MB
    {
        auto text = build(kTen, true);
        Run r = readThrough(text, SVSFIsXML);
        std::printf("markup  %.1f MB: check %.3f s, read through %.3f s = %.1f MB/s (check %.0f%%), %zu segments, %zu words\n",
                    megabytes(*text), r.open, r.total, megabytes(*text) / r.total, 100.0 * r.open / r.total,
                    r.segments, r.words);
    }
    {
        auto text = build(kTen, false);
        Run r = readThrough(text, SVSFIsNotXML);
        std::printf("plain   %.1f MB: open %.6f s, read through %.3f s = %.1f MB/s, %zu segments, %zu words\n",
                    megabytes(*text), r.open, r.total, megabytes(*text) / r.total, r.segments, r.words);
    }
    {
        // The front end's share of a whole render: the same text read through alone, and spoken into
        // a file by the voice (which reads it through the front end once more).
        auto text = build(100'000, true);  // 200 KB
        Run r = readThrough(text, SVSFIsXML);
        try {
            SpVoice voice;
            auto file = std::make_shared<SpFileStream>();
            file->Format().SetType(SAFT22kHz16BitMono);
            const std::string path = "/tmp/tallamo-bench-frontend.wav";
            file->Open(path, SSFMCreateForWrite, false);
            voice.SetAudioOutputStream(file);
            const auto t0 = Clock::now();
            voice.Speak(std::u16string_view(*text), SVSFIsXML);
            const auto t1 = Clock::now();
            file->Close();
            std::remove(path.c_str());
            const double render = seconds(t0, t1);
            std::printf("render  %.1f MB marked up to WAV: %.2f s; front end %.4f s = %.2f%% of it\n", megabytes(*text),
                        render, r.total, 100.0 * r.total / render);
        } catch (const Error& e) {
            std::printf("render  skipped: %s\n", e.what());
        }
    }
    const long before = peakKb();
    {
        auto text = build(25'000'000, false);  // 50 MB
        const long withText = peakKb();
        const auto t0 = Clock::now();
        auto source = openText(text, SVSFIsNotXML, FrontEndContext{}, nullptr);
        auto first = source->next();
        const auto t1 = Clock::now();
        size_t n = first ? 1 : 0;
        while (source->next()) ++n;
        std::printf("plain   %.1f MB: first segment after %.3f ms; %zu segments; memory beyond the text %ld KB "
                    "(peak before %ld KB)\n",
                    megabytes(*text), 1000.0 * seconds(t0, t1), n, peakKb() - withText, before);
    }
    return 0;
}
