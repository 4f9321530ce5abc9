// SPDX-License-Identifier: GPL-3.0-or-later
// How right the Mandarin reader is, on our own sentences (bench/mandarin/): the development set,
// which the rules and our readings table were tuned on, and the check set, written afterwards and
// never tuned on. A line of a set is: id, sentence, gold pinyin (one syllable a Han character, an
// erhua 儿 joined to the syllable before it; 5 for the neutral tone; 一 and 不 after their change;
// third-tone sandhi not applied). Figures, each also strictly:
//   syllable+tone   gold syllables read right; third-tone sandhi (a 3 read 2 before a 3) and the
//                   changes of 一 and 不 are accepted either way
//   polyphones      the same over the characters with more than one Mainland reading
//   neutral missed  gold neutral syllables read with a full tone
//   sentences       sentences read entirely right
//
// The third-tone phrases (bench/mandarin/sandhi.tsv): how many are spoken entirely right, their tones
// after third-tone sandhi.
//
// Given a folder of labelled polyphone sentences (the CPP benchmark's development split), it also
// prints the share of their labelled characters read right on the part held out from the polyphone
// model's training (labelled_set.h), strictly and with a neutral tone and its full tone counted as one
// (those sentences' labels give full tones where the dictionary gives neutral ones), and for
// comparison each character's most frequent reading in the training part.
//
//   bench_mandarin_accuracy [--errors] [--cpp FOLDER]   (--errors lists the development set's wrong
//                                                       syllables)
#include <unicode/utf8.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/utf8.h"
#include "speech/text/mandarin/reader.h"
#include "speech/text/mandarin/tone_sandhi.h"
#include "tools/mandarin_model/labelled_set.h"

using namespace speech;
using namespace speech::text;

namespace {

std::string toU8(std::u32string_view s) {
    std::string out;
    for (char32_t c : s) {
        char buf[4];
        int32_t n = 0;
        U8_APPEND_UNSAFE(buf, n, static_cast<UChar32>(c));
        out.append(buf, static_cast<size_t>(n));
    }
    return out;
}

int tone(std::string_view s) {
    return s.empty() ? 0 : s.back() - '0';
}

using mandarin_model::loadSet;
using mandarin_model::Sentence;
using mandarin_model::Unit;

// Whether the unit is read right, leniently or strictly.
bool right(const Sentence& s, size_t u, bool lenient) {
    const Unit& unit = s.units[u];
    if (unit.read == unit.gold) return true;
    if (!lenient || unit.read.empty() ||
        unit.read.substr(0, unit.read.size() - 1) != unit.gold.substr(0, unit.gold.size() - 1))
        return false;
    const char32_t c = s.text[unit.begin];
    const int g = tone(unit.gold), y = tone(unit.read);
    if (c == U'一' || c == U'不') return true;
    // Third-tone sandhi: a 3 read as 2 before another 3.
    return g == 3 && y == 2 && u + 1 < s.units.size() && tone(s.units[u + 1].gold) == 3 &&
           s.units[u + 1].begin == unit.end;
}

struct Figures {
    size_t syllables = 0, right = 0, poly = 0, polyRight = 0, neutral = 0, neutralMissed = 0, sentences = 0,
           sentencesRight = 0;
    void print(const char* set, const char* label) const {
        std::printf(
            "%-12s %-8s syllable+tone %6.2f%% (%zu/%zu)  polyphones %6.2f%% (%zu/%zu)  neutral missed %5.1f%% "
            "(%zu/%zu)  sentences %6.2f%% (%zu/%zu)\n",
            set, label, 100.0 * right / syllables, right, syllables, 100.0 * polyRight / poly, polyRight, poly,
            100.0 * neutralMissed / neutral, neutralMissed, neutral, 100.0 * sentencesRight / sentences, sentencesRight,
            sentences);
    }
};

void score(const char* name, std::vector<Sentence>& sentences, const text::mandarin::MandarinLexicon& lexicon,
           bool listErrors) {
    text::mandarin::MandarinReader reader(lexicon);
    text::mandarin::PinyinReading reading;
    Figures lenient, strict;
    for (auto& s : sentences) {
        reader.read(std::span<const char32_t>(s.text), reading);
        std::map<std::pair<size_t, size_t>, std::string> byRange;
        for (const auto& y : reading.syllables) byRange[{size_t(y.begin), size_t(y.end)}] = std::string(y.pinyin());
        bool allLenient = true, allStrict = true;
        for (size_t u = 0; u < s.units.size(); ++u) {
            Unit& unit = s.units[u];
            if (auto it = byRange.find({unit.begin, unit.end}); it != byRange.end()) unit.read = it->second;
            const auto* rec = lexicon.character(s.text[unit.begin]);
            const bool poly = rec && (rec->flags & text::mandarin::lexicon::kPolyphone);
            for (auto* f : {&lenient, &strict}) {
                const bool ok = right(s, u, f == &lenient);
                ++f->syllables;
                f->right += ok;
                f->poly += poly;
                f->polyRight += poly && ok;
                if (tone(unit.gold) == 5) {
                    ++f->neutral;
                    f->neutralMissed += !ok && (f == &strict || tone(unit.read) != 5);
                }
                (f == &lenient ? allLenient : allStrict) &= ok;
            }
            if (listErrors && !right(s, u, true)) {
                std::printf("  %s\t%s\tgold %s\tread %s\t%s\n", s.id.c_str(),
                            toU8(s.text.substr(unit.begin, unit.end - unit.begin)).c_str(), unit.gold.c_str(),
                            unit.read.empty() ? "-" : unit.read.c_str(), toU8(s.text).c_str());
            }
        }
        ++lenient.sentences;
        ++strict.sentences;
        lenient.sentencesRight += allLenient;
        strict.sentencesRight += allStrict;
    }
    lenient.print(name, "lenient");
    strict.print(name, "strict");
}

// Whether `read` is `gold`, or (leniently) the same syllable where one of them has the neutral tone.
bool sameReading(std::string_view read, std::string_view gold, bool lenient) {
    if (read == gold) return true;
    return lenient && !read.empty() && read.substr(0, read.size() - 1) == gold.substr(0, gold.size() - 1) &&
           (tone(read) == 5 || tone(gold) == 5);
}

void scoreSpoken(const std::vector<Sentence>& phrases, const text::mandarin::MandarinLexicon& lexicon,
                 bool listErrors) {
    text::mandarin::MandarinReader reader(lexicon);
    text::mandarin::PinyinReading reading;
    size_t right = 0;
    for (const auto& s : phrases) {
        reader.read(std::span<const char32_t>(s.text), reading);
        text::mandarin::applyThirdToneSandhi(s.text, reading);
        std::string spoken, gold;
        for (const auto& y : reading.syllables) spoken += (spoken.empty() ? "" : " ") + std::string(y.pinyin());
        for (const auto& u : s.units) gold += (gold.empty() ? "" : " ") + u.gold;
        right += spoken == gold;
        if (listErrors && spoken != gold)
            std::printf("  %s\tgold %s\tspoken %s\n", s.id.c_str(), gold.c_str(), spoken.c_str());
    }
    std::printf("third-tone phrases spoken entirely right %6.2f%% (%zu/%zu)\n", 100.0 * right / phrases.size(), right,
                phrases.size());
}

void scoreLabelled(const std::filesystem::path& folder, const text::mandarin::MandarinLexicon& lexicon) {
    const auto set = mandarin_model::loadLabelledSet(folder);
    // Each character's most frequent reading in the training part: the baseline a model must beat.
    std::map<char32_t, std::map<std::string, size_t>> counts;
    for (const auto& s : set) {
        if (!s.heldOut) ++counts[s.text[s.at]][s.reading];
    }
    text::mandarin::MandarinReader reader(lexicon);
    text::mandarin::PinyinReading reading;
    size_t n = 0, strict = 0, lenient = 0, majority = 0;
    for (const auto& s : set) {
        if (!s.heldOut) continue;
        reader.read(std::span<const char32_t>(s.text), reading);
        std::string read;
        for (const auto& y : reading.syllables) {
            if (size_t(y.begin) == s.at) read = std::string(y.pinyin());
        }
        ++n;
        strict += sameReading(read, s.reading, false);
        lenient += sameReading(read, s.reading, true);
        const auto& c = counts[s.text[s.at]];
        const auto most = std::max_element(c.begin(), c.end(), [](auto& a, auto& b) { return a.second < b.second; });
        majority += most != c.end() && sameReading(most->first, s.reading, true);
    }
    std::printf(
        "labelled held-out (%zu sentences): strict %6.2f%%  neutral=full tone %6.2f%%  "
        "(most frequent reading %6.2f%%)\n",
        n, 100.0 * strict / n, 100.0 * lenient / n, 100.0 * majority / n);
}

}  // namespace

int main(int argc, char** argv) {
    bool listErrors = false;
    std::filesystem::path labelled;
    for (int i = 1; i < argc; ++i) {
        const std::string_view a = argv[i];
        if (a == "--errors") {
            listErrors = true;
        } else if (a == "--cpp" && i + 1 < argc) {
            labelled = argv[++i];
        } else {
            std::fprintf(stderr, "usage: bench_mandarin_accuracy [--errors] [--cpp FOLDER]\n");
            return 2;
        }
    }
    try {
        std::string problem;
        const auto lexicon = text::mandarin::installedMandarinLexicon(&problem);
        if (!lexicon) throw std::runtime_error(problem);
        const std::filesystem::path sets = std::filesystem::path(TALLAMO_SOURCE_DIR) / "bench" / "mandarin";
        std::vector<Sentence> development;
        for (const char* part : {"devset_1.tsv", "devset_2.tsv", "devset_3.tsv", "devset_4.tsv"}) {
            auto s = loadSet(sets / part);
            development.insert(development.end(), s.begin(), s.end());
        }
        auto check = loadSet(sets / "checkset.tsv");
        score("development", development, *lexicon, listErrors);
        score("check", check, *lexicon, false);
        scoreSpoken(loadSet(sets / "sandhi.tsv"), *lexicon, listErrors);
        if (!labelled.empty()) scoreLabelled(labelled, *lexicon);
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_mandarin_accuracy: %s\n", e.what());
        return 1;
    }
}
