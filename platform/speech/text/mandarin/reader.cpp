// SPDX-License-Identifier: GPL-3.0-or-later
#include "speech/text/mandarin/reader.h"

#include <unicode/utf16.h>

#include <algorithm>
#include <cstring>

#include "speech/text/mandarin/rules.h"

namespace speech::text::mandarin {

namespace {

// A character the lexicon does not know costs this much in segmentation (well below any word).
constexpr float kUnknownLogProb = -25.0f;
constexpr uint16_t kNoSyllable = 0xFFFF;

}  // namespace

bool readsAsHan(char32_t c) {
    return (c >= 0x4E00 && c <= 0x9FFF) || (c >= 0x3400 && c <= 0x4DBF) || (c >= 0xF900 && c <= 0xFAFF) ||
           (c >= 0x20000 && c <= 0x3FFFF) || c == 0x3007;
}

struct MandarinReader::Work {
    // Per character of the run.
    std::vector<char32_t> orig;        // as the caller wrote it
    std::vector<char32_t> key;         // the form words are keyed by (Simplified)
    std::vector<char32_t> key2;        // a second Simplified form, or 0
    std::vector<uint16_t> defaultSyl;  // the character's own most common reading, or kNoSyllable
    std::vector<Syl> syl;              // its reading
    std::vector<int32_t> srcBegin, srcEnd;
    // Segmentation of one stretch.
    std::vector<float> best;
    std::vector<int32_t> bestEnd;
    std::vector<const lexicon::WordEntry*> bestEntry;
    std::vector<Token> tokens;
    std::vector<Token> ruleTokens;
    std::vector<uint8_t> fixed;
    std::vector<int32_t> cuts;                        // where the words inside a phrase start
    std::vector<std::pair<uint32_t, int32_t>> stack;  // trie walk: node, next character
    std::u32string scratch;
    struct Step {
        uint32_t node;
        int32_t j;
        int form;
    };
    std::vector<Step> path;
    std::vector<std::string> features;  // of one polyphone

    // The forms a character may be found by: its lookup form, a second one, as written (0: none).
    void forms(size_t j, char32_t out[3]) const {
        out[0] = key[j];
        out[1] = key2[j] == key[j] ? 0 : key2[j];
        out[2] = orig[j] == key[j] || orig[j] == key2[j] ? 0 : orig[j];
    }
};

MandarinReader::MandarinReader(const MandarinLexicon& lexicon) : lexicon_(lexicon), work_(std::make_unique<Work>()) {}

MandarinReader::~MandarinReader() = default;

bool MandarinReader::addUserWord(std::u32string_view word, const std::vector<std::string>& syllables) {
    if (word.empty() || syllables.size() != word.size() || !std::all_of(word.begin(), word.end(), readsAsHan)) {
        return false;
    }
    // Looked up as written and by the Simplified form, so one entry serves both scripts.
    std::u32string key(word);
    for (char32_t& c : key) {
        if (const auto* r = lexicon_.character(c)) c = r->lookup;
    }
    userWords_[key] = syllables;
    userWords_[std::u32string(word)] = syllables;
    userMaxLength_ = std::max(userMaxLength_, word.size());
    return true;
}

void MandarinReader::read(std::span<const char32_t> text, PinyinReading& out) {
    Work& w = *work_;
    w.orig.assign(text.begin(), text.end());
    w.srcBegin.resize(text.size());
    w.srcEnd.resize(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        w.srcBegin[i] = static_cast<int32_t>(i);
        w.srcEnd[i] = static_cast<int32_t>(i + 1);
    }
    readRun(w, out);
}

void MandarinReader::read(std::u16string_view text, PinyinReading& out) {
    Work& w = *work_;
    w.orig.clear();
    w.srcBegin.clear();
    w.srcEnd.clear();
    for (size_t i = 0; i < text.size();) {
        const size_t start = i;
        UChar32 c;
        U16_NEXT(text.data(), i, text.size(), c);
        w.orig.push_back(static_cast<char32_t>(c));
        w.srcBegin.push_back(static_cast<int32_t>(start));
        w.srcEnd.push_back(static_cast<int32_t>(i));
    }
    readRun(w, out);
}

void MandarinReader::readRun(Work& w, PinyinReading& out) {
    out.clear();
    const size_t n = w.orig.size();
    w.key.resize(n);
    w.key2.resize(n);
    w.defaultSyl.resize(n);
    w.syl.assign(n, Syl{});
    for (size_t i = 0; i < n; ++i) {
        const char32_t c = w.orig[i];
        const bool han = readsAsHan(c);
        const auto* r = han ? lexicon_.character(c) : nullptr;
        w.key[i] = r ? r->lookup : (han ? c : 0);
        w.key2[i] = r ? r->lookup2 : 0;
        w.defaultSyl[i] = r ? r->reading : kNoSyllable;
    }
    for (size_t i = 0; i < n;) {
        if (w.key[i] == 0) {
            ++i;
            continue;
        }
        size_t end = i;
        while (end < n && w.key[end] != 0) ++end;
        readClause(w, i, end, out);
        i = end;
    }
}

// The longest user word at `at` (as written or by Simplified form), or 0.
size_t MandarinReader::matchUserWord(const Work& w, size_t at, size_t end,
                                     const std::vector<std::string>*& reading) const {
    for (size_t len = std::min(userMaxLength_, end - at); len >= 1; --len) {
        for (const auto* src : {&w.orig, &w.key}) {
            auto it = userWords_.find(std::u32string_view(src->data() + at, len));
            if (it != userWords_.end()) {
                reading = &it->second;
                return len;
            }
        }
    }
    return 0;
}

// One clause (a stretch of Han characters): user words first, the stretches between them segmented;
// then the rules, then the words with their syllables.
void MandarinReader::readClause(Work& w, size_t begin, size_t end, PinyinReading& out) {
    w.tokens.clear();
    size_t free = begin;
    for (size_t k = begin; k < end;) {
        const std::vector<std::string>* reading = nullptr;
        const size_t matched = userMaxLength_ > 0 ? matchUserWord(w, k, end, reading) : 0;
        if (!matched) {
            // 地 after a reduplicated word is the adverbial particle (高高兴兴地, 慢慢地), whatever
            // words the text goes on with (地上, 地下).
            if (w.key[k] == U'地' && k >= free + 2 && w.key[k - 1] == w.key[k - 2] && k + 1 < end) {
                segment(w, static_cast<int32_t>(free), static_cast<int32_t>(k));
                w.syl[k].set(lexicon_.syllable(w.defaultSyl[k]));
                w.tokens.push_back({static_cast<int32_t>(k), static_cast<int32_t>(k + 1)});
                free = k + 1;
            }
            ++k;
            continue;
        }
        if (free < k) segment(w, static_cast<int32_t>(free), static_cast<int32_t>(k));
        for (size_t m = 0; m < matched; ++m) w.syl[k + m].set((*reading)[m]);
        w.tokens.push_back({static_cast<int32_t>(k), static_cast<int32_t>(k + matched), true});
        k += matched;
        free = k;
    }
    if (free < end) segment(w, static_cast<int32_t>(free), static_cast<int32_t>(end));
    freeParticles(w);
    splitLooseEntries(w);
    applyRules(lexicon_, {w.key, w.syl, w.ruleTokens, w.defaultSyl, w.fixed});
    if (lexicon_.model() || observer_) judgePolyphones(w, begin, end);
    appendWords(w, out);
}

// The model's choice for each character it knows, in its word and clause: never in a user word, nor
// for 一 and 不 (whose tones the rules change by what follows), an erhua 儿, a neutral tone the
// lexicon or the rules gave (particles, suffixes, reduplication), or a reading a context rule chose
// (surnames, verb senses the rules know). In a word of the lexicon's own it
// changes a reading only where it learned that word read so: the lexicon's words are mostly right, and a
// model that never saw 行长 would read its 行 as the clause's first character is most often read.
void MandarinReader::judgePolyphones(Work& w, size_t begin, size_t end) {
    const PolyphoneModel* model = lexicon_.model();
    const std::span<const char32_t> clause(w.key.data() + begin, end - begin);
    for (const Token& t : w.tokens) {
        if (t.user) continue;
        for (auto k = static_cast<size_t>(t.b); k < static_cast<size_t>(t.e); ++k) {
            const char32_t c = w.key[k];
            Syl& s = w.syl[k];
            if (c == U'一' || c == U'不' || s.n == 0 || s.tone() == 5 || s.ruled) continue;
            const bool known = model && model->knows(c);
            if (!known && !observer_) continue;
            polyphoneFeatures(clause, k - begin, static_cast<size_t>(t.b) - begin, static_cast<size_t>(t.e) - begin,
                              s.view(), w.features);
            if (observer_) observer_(w.srcBegin[k], s.view(), w.features);
            if (!known) continue;
            const std::string_view chosen = model->choose(c, w.features, s.view());
            if (!replacesReading(chosen, s.view())) continue;
            const std::string& word = w.features[kWordFeature];
            if (t.len() == 1 || t.loose || model->weight(c, word, chosen) > model->weight(c, word, s.view()))
                s.set(chosen);
        }
    }
}

// A particle the segmenter took into a word: 了 after a one-character word, opening a word whose
// second character makes a word with the word after it, is the particle (去|了|解放路, not 去|了解|放|路).
void MandarinReader::freeParticles(Work& w) {
    for (size_t i = 1; i + 1 < w.tokens.size(); ++i) {
        Token& t = w.tokens[i];
        Token& next = w.tokens[i + 1];
        const Token& before = w.tokens[i - 1];
        if (t.len() != 2 || t.user || next.user || before.user || before.len() != 1 || before.e != t.b ||
            next.b != t.e || w.key[static_cast<size_t>(t.b)] != U'了')
            continue;
        int32_t node = 0;
        for (int32_t k = t.b + 1; k < next.e && node >= 0; ++k)
            node = lexicon_.child(static_cast<uint32_t>(node), w.key[static_cast<size_t>(k)]);
        const auto* e = node >= 0 ? lexicon_.entry(static_cast<uint32_t>(node)) : nullptr;
        const uint16_t* r = e ? lexicon_.reading(*e, static_cast<size_t>(next.e - t.b - 1)) : nullptr;
        if (!r) continue;
        w.syl[static_cast<size_t>(t.b)].set(lexicon_.syllable(w.defaultSyl[static_cast<size_t>(t.b)]));
        for (int32_t k = t.b + 1; k < next.e; ++k) w.syl[static_cast<size_t>(k)].set(lexicon_.syllable(r[k - t.b - 1]));
        next = Token{t.b + 1, next.e};
        next.loose = e->loose();
        t = Token{t.b, t.b + 1};
    }
}

// The rules see a loose entry (a phrase only the frequency list knows) as its rule characters and the
// stretches between them.
void MandarinReader::splitLooseEntries(Work& w) {
    w.ruleTokens.clear();
    for (auto t : w.tokens) {
        if (!t.loose || t.len() == 1) {
            t.wordLen = t.len();
            w.ruleTokens.push_back(t);
            continue;
        }
        for (int32_t k = t.b; k < t.e;) {
            int32_t j = k + 1;
            if (!oneOf(w.key[static_cast<size_t>(k)], kRuleChars)) {
                while (j < t.e && !oneOf(w.key[static_cast<size_t>(j)], kRuleChars)) ++j;
            }
            w.ruleTokens.push_back({k, j, false, true, k == t.b, j == t.e, t.len()});
            k = j;
        }
    }
}

// The words of the clause with their syllables. A phrase that only the frequency list knows (今天天气,
// 什么东西) is spoken as the words it is made of: the engine reads each word apart (as it must when a
// mark or a line break falls inside the phrase, so the phrase sounds the same either way) and the Word
// events are those words. Its reading stays the phrase's.
void MandarinReader::appendWords(Work& w, PinyinReading& out) {
    for (const auto& t : w.tokens) {
        if (!t.loose || t.len() < 3) {
            appendWord(w, t.b, t.e, out);
            continue;
        }
        subWords(w, t.b, t.e);
        for (size_t k = 0; k < w.cuts.size(); ++k) {
            appendWord(w, w.cuts[k], k + 1 < w.cuts.size() ? w.cuts[k + 1] : t.e, out);
        }
    }
}

// Where the words inside [begin, end) start: the best path through the words shorter than the whole.
// An erhua 儿 stays with the word before it.
void MandarinReader::subWords(Work& w, int32_t begin, int32_t end) {
    const auto n = static_cast<size_t>(end) + 1;
    if (w.best.size() < n) {
        w.best.resize(n);
        w.bestEnd.resize(n);
        w.bestEntry.resize(n);
    }
    w.best[static_cast<size_t>(end)] = 0.0f;
    maxWord_ = end - begin - 1;
    for (int32_t i = end - 1; i >= begin; --i) bestPathFrom(w, i, end);
    maxWord_ = INT32_MAX;
    w.cuts.clear();
    for (int32_t i = begin; i < end; i = w.bestEnd[static_cast<size_t>(i)]) {
        if (w.cuts.empty() || !(w.syl[static_cast<size_t>(i)] == "r5")) w.cuts.push_back(i);
    }
}

// One word with its syllables; an erhua 儿 joins the syllable before it (哪儿 is one syllable, nar3,
// reading both characters).
void MandarinReader::appendWord(const Work& w, int32_t begin, int32_t end, PinyinReading& out) const {
    PinyinWord word{w.srcBegin[static_cast<size_t>(begin)], w.srcEnd[static_cast<size_t>(end - 1)],
                    static_cast<uint32_t>(out.syllables.size()), 0};
    for (int32_t k = begin; k < end; ++k) {
        const Syl& s = w.syl[static_cast<size_t>(k)];
        if (s == "r5" && k > begin && !out.syllables.empty()) {
            PinyinSyllable& prev = out.syllables.back();
            if (prev.size >= 2 && prev.size + 1u < prev.text.size()) {
                const char tone = prev.text[prev.size - 1u];
                prev.text[prev.size - 1u] = 'r';
                prev.text[prev.size] = tone;
                ++prev.size;
                prev.end = w.srcEnd[static_cast<size_t>(k)];
                continue;
            }
        }
        PinyinSyllable ps;
        std::memcpy(ps.text.data(), s.t.data(), s.n);
        ps.size = s.n;
        ps.begin = w.srcBegin[static_cast<size_t>(k)];
        ps.end = w.srcEnd[static_cast<size_t>(k)];
        out.syllables.push_back(ps);
    }
    word.syllableCount = static_cast<uint32_t>(out.syllables.size()) - word.firstSyllable;
    out.words.push_back(word);
}

// A word found by the forms of its characters keeps, as their key, the forms it was found by: 著名
// written in Traditional characters is the word 著名, not 着 (the lookup form of 著) and 名.
void MandarinReader::keyAsMatched(Work& w, int32_t begin, int32_t end) const {
    w.scratch.assign(static_cast<size_t>(end - begin), 0);
    // Depth-first over the forms, as in segment(): the node reached, the position and the form taken.
    using Step = Work::Step;
    std::vector<Step>& path = w.path;
    path.assign(1, {0u, begin, -1});
    while (!path.empty()) {
        Step& top = path.back();
        if (top.j == end) {
            if (lexicon_.entry(top.node)) {
                for (int32_t k = begin; k < end; ++k)
                    w.key[static_cast<size_t>(k)] = w.scratch[static_cast<size_t>(k - begin)];
                return;
            }
            path.pop_back();
            continue;
        }
        const auto j = static_cast<size_t>(top.j);
        char32_t forms[3];
        w.forms(j, forms);
        int f = top.form + 1;
        int32_t child = -1;
        for (; f < 3; ++f) {
            if (forms[f] != 0 && (child = lexicon_.child(top.node, forms[f])) >= 0) break;
        }
        if (f >= 3) {
            path.pop_back();
            continue;
        }
        top.form = f;
        w.scratch[j - static_cast<size_t>(begin)] = forms[f];
        path.push_back({static_cast<uint32_t>(child), top.j + 1, -1});
    }
}

// The best word starting at character `i`, given the best paths from each later character: every
// word of the lexicon that starts there, by any of its characters' forms.
void MandarinReader::bestPathFrom(Work& w, int32_t i, int32_t end) {
    float best = -1e30f;
    int32_t bestEnd = i + 1;
    const lexicon::WordEntry* bestEntry = nullptr;
    w.stack.clear();
    w.stack.emplace_back(0u, i);
    while (!w.stack.empty()) {
        const auto [node, j] = w.stack.back();
        w.stack.pop_back();
        char32_t forms[3];
        w.forms(static_cast<size_t>(j), forms);
        for (const char32_t c : forms) {
            const int32_t child = c ? lexicon_.child(node, c) : -1;
            if (child < 0) continue;
            const auto* e = j + 1 - i <= maxWord_ ? lexicon_.entry(static_cast<uint32_t>(child)) : nullptr;
            if (e) {
                const float score = e->logProb + w.best[static_cast<size_t>(j + 1)];
                if (score > best || (score == best && j + 1 > bestEnd)) {
                    best = score;
                    bestEnd = j + 1;
                    bestEntry = e;
                }
            }
            if (j + 1 < end) w.stack.emplace_back(static_cast<uint32_t>(child), j + 1);
        }
    }
    if (!bestEntry) {
        best = kUnknownLogProb + w.best[static_cast<size_t>(i + 1)];
        bestEnd = i + 1;
    }
    w.best[static_cast<size_t>(i)] = best;
    w.bestEnd[static_cast<size_t>(i)] = bestEnd;
    w.bestEntry[static_cast<size_t>(i)] = bestEntry;
}

// The best path through the words of [begin, end): the path whose words' log probabilities add up
// highest, found right to left, as word segmenters do. Each word takes its lexicon reading, or its
// characters' own readings.
void MandarinReader::segment(Work& w, int32_t begin, int32_t end) {
    const auto n = static_cast<size_t>(end);
    w.best.assign(n + 1, 0.0f);
    w.bestEnd.assign(n + 1, 0);
    w.bestEntry.assign(n + 1, nullptr);
    for (int32_t i = end - 1; i >= begin; --i) bestPathFrom(w, i, end);
    for (int32_t i = begin; i < end;) {
        const int32_t j = w.bestEnd[static_cast<size_t>(i)];
        const auto* e = w.bestEntry[static_cast<size_t>(i)];
        if (e && j - i > 1) keyAsMatched(w, i, j);
        const uint16_t* r = e ? lexicon_.reading(*e, static_cast<size_t>(j - i)) : nullptr;
        for (int32_t k = i; k < j; ++k) {
            const uint16_t id = r ? r[k - i] : w.defaultSyl[static_cast<size_t>(k)];
            w.syl[static_cast<size_t>(k)].set(id == kNoSyllable ? std::string_view{} : lexicon_.syllable(id));
        }
        Token t{i, j};
        t.loose = e && e->loose();
        w.tokens.push_back(t);
        i = j;
    }
}

}  // namespace speech::text::mandarin
