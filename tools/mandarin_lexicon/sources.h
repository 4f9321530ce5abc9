// SPDX-License-Identifier: GPL-3.0-or-later
// The Debian data the Mandarin lexicon is made from, read into memory:
//   espeak-ng-data's compiled Mandarin dictionary (cmn_dict): word -> pinyin, Mainland readings with
//     their neutral tones (GPL-3.0-or-later);
//   python3-jieba's dictionary (dict.txt): the vocabulary and the word frequencies, for segmentation
//     (MIT);
//   Unihan_Readings.txt from unicode-data: each character's Mainland readings (kTGHZ2013, kXHC1983),
//     their frequencies (kHanyuPinlu), kMandarin (Unicode licence);
//   OpenCC's dictionaries from libopencc-data: Traditional -> Simplified, for the lookup only
//     (Apache-2.0);
//   our own table of Mainland readings, which wins over the others;
//   the words of CC-CEDICT that mend the rest (cedict_readings.tsv, made by cedict_words.py): word
//     readings, place and people's names, surnames (CC BY-SA 4.0, adapted under GPL-3.0).
#pragma once

#include <unicode/normalizer2.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace mandarin_lexicon {

using Reading = std::vector<std::string>;  // one toned syllable per character ("yin2", "r5", "lv4")

std::vector<std::string_view> split(std::string_view s, char sep);
bool isHan(char32_t c);
bool allHan(std::u32string_view w);
bool validSyllable(std::string_view s);
int toneOf(std::string_view s);
std::string_view baseOf(std::string_view s);

// A character's readings in Unihan.
struct CharReadings {
    std::vector<std::string> tghz, xhc, mandarin, hanyu;
    std::vector<std::pair<std::string, int>> pinlu;

    // The readings Mainland dictionaries give: 《通用规范汉字字典》 (2013) where it has the character,
    // else 《现代汉语词典》 (1983), else the frequency dictionary, else kMandarin and 《汉语大字典》.
    const std::vector<std::string>& mainland() const {
        if (!tghz.empty()) return tghz;
        if (!xhc.empty()) return xhc;
        if (!mandarin.empty()) return mandarin;
        return hanyu;
    }
    bool allows(std::string_view syl) const {
        const auto& m = mainland();
        return m.empty() || std::find(m.begin(), m.end(), syl) != m.end();
    }
    int pinluCount(std::string_view syl) const {
        for (const auto& [s, n] : pinlu)
            if (s == syl) return n;
        return 0;
    }
    // The most common Mainland reading: the most frequent one of the frequency dictionary that the
    // Mainland dictionaries still give, else their first.
    std::string common() const {
        const auto& m = mainland();
        std::string best;
        int bestCount = 0;
        // A neutral reading counts only for a character that has no other (the frequency dictionary
        // counts 朵 in 耳朵 as duo5; on its own it is duǒ).
        const bool hasFull =
            std::any_of(pinlu.begin(), pinlu.end(), [](const auto& p) { return toneOf(p.first) != 5; }) ||
            std::any_of(m.begin(), m.end(), [](const std::string& x) { return toneOf(x) != 5; });
        for (const auto& [s, n] : pinlu)
            if (n > bestCount && (toneOf(s) != 5 || !hasFull) &&
                (m.empty() || allows(s) ||
                 (toneOf(s) == 5 &&
                  std::any_of(m.begin(), m.end(), [&](const std::string& x) { return baseOf(x) == baseOf(s); })))) {
                best = s;
                bestCount = n;
            }
        if (!best.empty()) return best;
        for (const auto& x : m)
            if (toneOf(x) != 5) return x;
        if (!m.empty()) return m.front();
        return {};
    }
};

std::unordered_map<char32_t, CharReadings> loadUnihan(const std::string& path);

using TextMap = std::unordered_map<std::u32string, std::vector<std::u32string>>;

TextMap loadOcd2(const std::string& dir, const char* name);

// Traditional (Taiwan, Hong Kong and OpenCC's standard forms) → Simplified, the way OpenCC's tw2s and
// hk2s conversions chain their dictionaries: variants (phrases, then characters), then Traditional →
// Simplified (phrases, then characters). Phrases are matched longest first; only those that keep the
// length count, so every character keeps its position.
class Simplifier {
public:
    explicit Simplifier(const std::string& dir) {
        for (const char* name : {"TWVariantsRevPhrases", "HKVariantsRevPhrases"})
            merge(variantPhrases_, loadOcd2(dir, name));
        for (const char* name : {"TWVariantsRev", "HKVariantsRev"}) merge(variantChars_, loadOcd2(dir, name));
        tsPhrases_ = loadOcd2(dir, "TSPhrases");
        tsChars_ = loadOcd2(dir, "TSCharacters");
        for (const auto& [k, v] : tsChars_)
            for (const auto& s : v)
                if (s.size() == 1) simplified_.insert(s[0]);
    }

    std::u32string convert(std::u32string_view s) const {
        return pass(pass(s, variantPhrases_, variantChars_, &simplified_), tsPhrases_, tsChars_, nullptr);
    }

    // The Simplified candidates of one character, most common first (one, two, or none when it is
    // not Traditional).
    std::vector<char32_t> candidates(char32_t c) const {
        std::u32string key(1, c);
        // A character that Simplified text uses (么, 着) is not taken for a Taiwan or Hong Kong variant.
        if (auto v = variantChars_.find(key);
            !simplified_.contains(c) && v != variantChars_.end() && !v->second.empty() && v->second[0].size() == 1)
            key = v->second[0];
        std::vector<char32_t> out;
        if (auto t = tsChars_.find(key); t != tsChars_.end()) {
            for (const auto& s : t->second)
                if (s.size() == 1 && std::find(out.begin(), out.end(), s[0]) == out.end()) out.push_back(s[0]);
        } else if (key[0] != c) {
            out.push_back(key[0]);
        }
        return out;
    }

    std::vector<char32_t> allTraditional() const {
        std::set<char32_t> out;
        for (const auto* m : {&variantChars_, &tsChars_})
            for (const auto& [k, v] : *m)
                if (k.size() == 1) out.insert(k[0]);
        return {out.begin(), out.end()};
    }

private:
    static void merge(TextMap& into, TextMap from) {
        for (auto& [k, v] : from) into.emplace(k, std::move(v));
    }

    static std::u32string pass(std::u32string_view s, const TextMap& phrases, const TextMap& chars,
                               const std::set<char32_t>* keep) {
        std::u32string out;
        size_t i = 0;
        while (i < s.size()) {
            bool done = false;
            for (size_t len = std::min<size_t>(s.size() - i, 16); len >= 2 && !done; --len) {
                auto p = phrases.find(std::u32string(s.substr(i, len)));
                if (p != phrases.end() && !p->second.empty() && p->second[0].size() == len) {
                    out += p->second[0];
                    i += len;
                    done = true;
                }
            }
            if (done) continue;
            auto c = keep && keep->contains(s[i]) ? chars.end() : chars.find(std::u32string(1, s[i]));
            out += c != chars.end() && !c->second.empty() && c->second[0].size() == 1 ? c->second[0]
                                                                                      : std::u32string(1, s[i]);
            ++i;
        }
        return out;
    }

    TextMap variantPhrases_, variantChars_, tsPhrases_, tsChars_;
    std::set<char32_t> simplified_;  // the Simplified forms TSCharacters gives
};

// espeak-ng's words and their readings; `ambiguous` receives the characters it lists twice.
std::map<std::u32string, Reading> loadEspeak(const std::string& path, const icu::Normalizer2& nfc,
                                             std::set<char32_t>& ambiguous);

// jieba's words (in their Simplified forms) and their frequencies.
// `names` gets the words jieba tags as people's names (nr).
std::map<std::u32string, double> loadJieba(const std::string& path, const Simplifier& simplify,
                                           std::set<std::u32string>& names);

struct OwnReading {
    Reading reading;
    double weight = 0;  // 0: keep the table's
};

std::map<std::u32string, OwnReading> loadOwn(const std::string& path);

// A word of CC-CEDICT as cedict_words.py gives it: its reading, what it is, and its line as read.
struct CedictWord {
    enum class Kind { Word, Place, Person };
    Reading reading;
    Kind kind = Kind::Word;
    std::string line;
};

// The table of cedict_words.py (or the lines of it the lexicon keeps); a line whose syllables are not
// pinyin is an error.
std::map<std::u32string, CedictWord> loadCedict(const std::string& path);

}  // namespace mandarin_lexicon
