// SPDX-License-Identifier: GPL-3.0-or-later
// Text front end throughput: a 10 MB marked-up text and a 10 MB plain text read to the end (MB/s of
// UTF-16 input), the share of that spent checking the markup before speaking starts, the time to the
// first segment of a 50 MB text, the peak memory, and the front end's share of rendering a marked-up
// text to a WAV file with the real engine; the same for Chinese text with numbers read by a Mandarin
// voice, with and without the numbers rewritten, and read word by word into pinyin.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <memory>
#include <string>

#include "base/error.h"
#include "base/utf8.h"
#include "speech/core/constants.h"
#include "speech/core/formats.h"
#include "speech/streams.h"
#include "speech/text/frontend.h"
#include "speech/text/mandarin/lexicon.h"
#include "speech/voice.h"

using namespace speech;
using Clock = std::chrono::steady_clock;

namespace {

double seconds(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double>(b - a).count();
}

double megabytes(const std::u16string& s) {
    return static_cast<double>(s.size() * sizeof(char16_t)) / 1e6;
}

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
    double cpu = 0;  // the process's processor time: what a busy machine's other work does not add
    size_t segments = 0;
    size_t words = 0;
};

Run readThrough(const std::shared_ptr<const std::u16string>& text, int32_t flags,
                const text::FrontEndContext& context = {}) {
    Run r;
    const std::clock_t c0 = std::clock();
    const auto t0 = Clock::now();
    auto source = text::openText(text, flags, context, nullptr);
    const auto t1 = Clock::now();
    while (auto s = source->next()) {
        ++r.segments;
        r.words += s->words.size();
    }
    const auto t2 = Clock::now();
    r.open = seconds(t0, t1);
    r.total = seconds(t0, t2);
    r.cpu = static_cast<double>(std::clock() - c0) / CLOCKS_PER_SEC;
    return r;
}

// Seconds the real engine takes to speak `text` into a 22 kHz WAV file, with the voice `voiceId` (or
// the default one).
double renderSeconds(const std::u16string& text, int32_t flags, const std::string& voiceId = {}) {
    SpVoice voice;
    for (const auto& t : voice.GetVoices("", "")) {
        if (t.Id() == voiceId) voice.SetVoice(t);
    }
    auto file = std::make_shared<SpFileStream>();
    file->Format().SetType(SAFT22kHz16BitMono);
    const std::string path = "/tmp/tallamo-bench-frontend.wav";
    file->Open(path, SSFMCreateForWrite, false);
    voice.SetAudioOutputStream(file);
    const auto t0 = Clock::now();
    voice.Speak(std::u16string_view(text), flags);
    const auto t1 = Clock::now();
    file->Close();
    std::remove(path.c_str());
    return seconds(t0, t1);
}

// Chinese news prose with the numbers, units and English words news text has.
std::shared_ptr<const std::u16string> buildChinese(size_t units) {
    const std::u16string piece =
        u"今年前三季度全国居民人均可支配收入30,941元，同比增长6.3%，扣除价格因素实际增长5.9%。"
        u"2026年12月7日14:30，气温-5℃，风速60km/h，地铁No.5线延误3~5分钟，咨询电话13800138000。"
        u"他用editor写了1,234行代码，只花了¥3.50，效率比去年提高了1/3。\n";
    auto text = std::make_shared<std::u16string>();
    text->reserve(units + piece.size());
    while (text->size() < units) *text += piece;
    return text;
}

// Chinese text read by a Mandarin voice: as any text (no Mandarin voice), with its numbers rewritten,
// and with the English runs found as well; then the same text rendered with the real engine, which
// the rewriting must not slow down by more than a few percent.
void chineseFigures() {
    const SpObjectToken english(TokenKind::Voice, "en-us", "English", {{"Language", "409;9"}});
    const SpObjectToken mandarin(TokenKind::Voice, "cmn-latn-pinyin", "Mandarin", {{"Language", "804;4"}});
    text::FrontEndContext normalised;
    normalised.voices = {english, mandarin};
    normalised.voice = mandarin;
    normalised.mixedScript = false;
    text::FrontEndContext mixed = normalised;
    mixed.mixedScript = true;
    text::FrontEndContext reader = mixed;
    reader.mandarinLexicon = text::mandarin::installedMandarinLexicon();

    auto text = buildChinese(10'000'000);  // 20 MB
    const Run plain = readThrough(text, SVSFIsNotXML);
    const Run numbers = readThrough(text, SVSFIsNotXML, normalised);
    const Run both = readThrough(text, SVSFIsNotXML, mixed);
    const Run read = readThrough(text, SVSFIsNotXML, reader);
    const double utf8Mb = static_cast<double>(base::toUtf8(*text).size()) / 1e6;
    const double extraPerMb = (numbers.total - plain.total) / megabytes(*text);
    std::printf(
        "chinese %.1f MB: read through %.3f s = %.1f MB/s as any text; numbers rewritten %.3f s = %.1f MB/s "
        "(+%.0f%%); English runs too %.3f s = %.1f MB/s\n",
        megabytes(*text), plain.total, megabytes(*text) / plain.total, numbers.total, megabytes(*text) / numbers.total,
        100.0 * (numbers.total - plain.total) / plain.total, both.total, megabytes(*text) / both.total);
    std::printf(
        "chinese read word by word into pinyin (the Mandarin reader): %.3f s = %.1f MB/s of UTF-16 = %.1f MB/s of "
        "UTF-8 (%.1f MB); by processor time %.1f MB/s of UTF-16, %.1f of UTF-8 (English runs alone: %.1f, %.1f)%s\n",
        read.total, megabytes(*text) / read.total, utf8Mb / read.total, utf8Mb, megabytes(*text) / read.cpu,
        utf8Mb / read.cpu, megabytes(*text) / both.cpu, utf8Mb / both.cpu,
        reader.mandarinLexicon ? "" : " [no lexicon: not read word by word]");
    try {
        auto slice = buildChinese(10'000);  // 20 KB: several minutes of speech
        const double render = renderSeconds(*slice, SVSFIsNotXML, mandarin.Id());
        const double renderPerMb = render / megabytes(*slice);
        std::printf(
            "render  chinese %.2f MB to WAV: %.2f s = %.0f s/MB; rewriting the numbers costs %.3f s/MB = %.3f%% of "
            "it\n",
            megabytes(*slice), render, renderPerMb, extraPerMb, 100.0 * extraPerMb / renderPerMb);
    } catch (const Error& e) {
        std::printf("render  chinese skipped: %s\n", e.what());
    }
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
        std::printf(
            "markup  %.1f MB: check %.3f s, read through %.3f s = %.1f MB/s (check %.0f%%), %zu segments, %zu words\n",
            megabytes(*text), r.open, r.total, megabytes(*text) / r.total, 100.0 * r.open / r.total, r.segments,
            r.words);
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
            const double render = renderSeconds(*text, SVSFIsXML);
            std::printf("render  %.1f MB marked up to WAV: %.2f s; front end %.4f s = %.2f%% of it\n", megabytes(*text),
                        render, r.total, 100.0 * r.total / render);
        } catch (const Error& e) {
            std::printf("render  skipped: %s\n", e.what());
        }
    }
    chineseFigures();
    const long before = peakKb();
    {
        auto text = build(25'000'000, false);  // 50 MB
        const long withText = peakKb();
        const auto t0 = Clock::now();
        auto source = text::openText(text, SVSFIsNotXML, text::FrontEndContext{}, nullptr);
        auto first = source->next();
        const auto t1 = Clock::now();
        size_t n = first ? 1 : 0;
        while (source->next()) ++n;
        std::printf(
            "plain   %.1f MB: first segment after %.3f ms; %zu segments; memory beyond the text %ld KB "
            "(peak before %ld KB)\n",
            megabytes(*text), 1000.0 * seconds(t0, t1), n, peakKb() - withText, before);
    }
    return 0;
}
