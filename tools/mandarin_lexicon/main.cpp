// SPDX-License-Identifier: GPL-3.0-or-later
// Builds the Mandarin lexicon file that the text front end reads (its layout:
// platform/speech/text/mandarin/lexicon_format.h) from Debian's data (sources.h). The build runs it;
// its output goes into the build tree's share/tallamo.
//
//   tallamo-mandarin-lexicon --espeak cmn_dict --jieba dict.txt --unihan Unihan_Readings.txt[.bz2]
//                            --opencc DIR --readings mandarin_readings.tsv --cedict cedict_readings.tsv
//                            --out mandarin.lex
//
// With --select-cedict KEPT it also writes the lines of the --cedict table that changed the lexicon:
// run on the whole of CC-CEDICT (cedict_words.py), that gives the part the repository keeps.
//
// Where the sources disagree the Mainland reading wins: our own table first, then espeak-ng's word
// entries (which follow 《现代汉语词典》, light tones included) with CC-CEDICT's syllables where it
// reads one otherwise, then CC-CEDICT's word, then the characters' readings.
#include <unicode/normalizer2.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <iostream>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

#include "speech/text/mandarin/lexicon_format.h"
#include "tools/mandarin_lexicon/sources.h"

namespace mandarin_lexicon {
namespace {

// The lexicon file's layout, shared with the reader.
using speech::text::mandarin::lexicon::CharRecord;
using speech::text::mandarin::lexicon::Header;
using speech::text::mandarin::lexicon::kChars;
using speech::text::mandarin::lexicon::kEntries;
using speech::text::mandarin::lexicon::kLooseEntry;
using speech::text::mandarin::lexicon::kMagic;
using speech::text::mandarin::lexicon::kNoEntry;
using speech::text::mandarin::lexicon::kPolyphone;
using speech::text::mandarin::lexicon::kReadings;
using speech::text::mandarin::lexicon::kSyllables;
using speech::text::mandarin::lexicon::kTrieEdges;
using speech::text::mandarin::lexicon::kTrieNodes;
using speech::text::mandarin::lexicon::kVersion;
using speech::text::mandarin::lexicon::TrieNode;
using speech::text::mandarin::lexicon::WordEntry;

// 一 and 不 are kept in their own tones in the lexicon: the reader changes them by what follows.
void baseTones(std::u32string_view w, Reading& r) {
    for (size_t i = 0; i < w.size(); ++i) {
        if (w[i] == U'一' && (r[i] == "yi2" || r[i] == "yi4")) r[i] = "yi1";
        if (w[i] == U'不' && r[i] == "bu2") r[i] = "bu4";
    }
}

// Two readings that are one reading of the character said two ways (谁 shuí and shéi).
bool sameCharacterReading(const std::string& a, const std::string& b) {
    static const std::set<std::pair<std::string, std::string>> kVariants = {{"shui2", "shei2"}};
    return a == b || kVariants.contains({a, b}) || kVariants.contains({b, a});
}

struct Sources {
    std::unordered_map<char32_t, CharReadings> unihan;
    std::map<std::u32string, Reading> espeak;  // keyed by the Simplified form
    std::set<char32_t> espeakAmbiguous;        // characters with two entries (都 du1 and dou1): Unihan decides
    std::map<std::u32string, double> jieba;
    std::set<std::u32string> jiebaNames;  // the words jieba tags as people's names
    std::map<std::u32string, OwnReading> own;
    std::map<std::u32string, CedictWord> cedict;

    const CharReadings* unihanOf(char32_t c) const {
        auto it = unihan.find(c);
        return it == unihan.end() ? nullptr : &it->second;
    }
};

struct Word {
    Reading reading;
    double weight = 0;
    bool loose = false;
};

// The frequency a name from CC-CEDICT counts, which jieba does not list: that of a word of middling
// use, so that a name of common characters (于都) is read as one where they make no likelier words.
constexpr double kNameWeight = 2000;

struct Options {
    std::string espeak, jieba, unihan, opencc, readings, cedict, selectCedict, out;
};

Sources loadSources(const Options& o, const Simplifier& simplify, const icu::Normalizer2& nfc) {
    Sources s;
    s.unihan = loadUnihan(o.unihan);
    // espeak-ng's words by their Simplified form: the Simplified entry wins over one made from a
    // Traditional entry.
    for (auto& [w, r] : loadEspeak(o.espeak, nfc, s.espeakAmbiguous)) {
        const std::u32string key = simplify.convert(w);
        baseTones(key, r);
        if (key == w) {
            s.espeak[key] = std::move(r);
        } else {
            s.espeak.emplace(key, std::move(r));
        }
    }
    s.jieba = loadJieba(o.jieba, simplify, s.jiebaNames);
    if (!o.readings.empty()) s.own = loadOwn(o.readings);
    if (!o.cedict.empty()) {
        s.cedict = loadCedict(o.cedict);
        for (auto& [w, c] : s.cedict) baseTones(w, c.reading);
    }
    return s;
}

// Every character the lexicon knows: Unihan's, the vocabulary's, espeak-ng's and the Traditional
// ones OpenCC knows.
std::set<char32_t> characters(const Sources& s, const Simplifier& simplify) {
    std::set<char32_t> chars;
    for (const auto& [c, r] : s.unihan) {
        if (!r.mainland().empty() || !r.pinlu.empty()) chars.insert(c);
    }
    for (const auto& [w, weight] : s.jieba) chars.insert(w.begin(), w.end());
    for (const auto& [w, r] : s.espeak) chars.insert(w.begin(), w.end());
    for (char32_t c : simplify.allTraditional()) chars.insert(c);
    std::erase_if(chars, [](char32_t c) { return !isHan(c); });
    return chars;
}

// The reading of each character: on its own, and inside a word espeak-ng does not list.
struct CharacterReadings {
    std::map<char32_t, std::string> alone;
    std::map<char32_t, std::string> inWords;
};

std::string fullTone(const CharReadings* u) {
    std::string full = u ? u->common() : std::string();
    if (!full.empty() && toneOf(full) == 5 && u) {
        for (const auto& m : u->mainland()) {
            if (toneOf(m) != 5) return m;
        }
    }
    return full;
}

// Our table first, then espeak-ng's reading where Unihan allows it, then Unihan's most common one. In
// words, a character reads as espeak-ng reads it when the word is not in its list (which holds the
// words whose reading differs from that): 清楚 qīngchu, 朋友 péngyou. On its own, a character other
// than a particle takes a full tone: 楚 chǔ.
CharacterReadings characterReadings(const Sources& s, const std::set<char32_t>& chars) {
    CharacterReadings out;
    for (char32_t c : chars) {
        std::string r;
        if (auto it = s.own.find(std::u32string(1, c)); it != s.own.end()) r = it->second.reading[0];
        const CharReadings* u = s.unihanOf(c);
        if (auto e = s.espeak.find(std::u32string(1, c));
            r.empty() && e != s.espeak.end() && !s.espeakAmbiguous.contains(c) &&
            (!u || u->allows(e->second[0]) || toneOf(e->second[0]) == 5)) {
            r = e->second[0];
        }
        if (r.empty() && u) r = u->common();
        if (!r.empty()) out.alone[c] = r;
    }
    out.inWords = out.alone;
    static constexpr std::u32string_view kParticles = U"了的着地得们呢吧啊吗啦呀嘛哩呐么哇咧呗喽嘞";
    for (auto& [c, r] : out.alone) {
        if (toneOf(r) != 5 || kParticles.find(c) != std::u32string_view::npos) continue;
        if (std::string full = fullTone(s.unihanOf(c)); !full.empty() && toneOf(full) != 5) r = full;
    }
    return out;
}

// A phrase of the vocabulary reads as the words it is made of, where that is sure enough: the best
// cut into words of the vocabulary and single characters (fewest pieces, then the most characters in
// words whose reading is fixed), used when a piece has a fixed reading, or the pieces are all words,
// or the phrase is a function word and a word (不喜欢, 听音乐). Empty when it is not sure.
Reading readingOfParts(const std::u32string& w, double weight, const std::map<std::u32string, Word>& words,
                       const std::map<char32_t, std::string>& alone) {
    const size_t n = w.size();
    struct Cut {
        int pieces = 1 << 20;
        int fixedChars = -1;
        bool allWords = true;
        size_t from = 0;
    };
    std::vector<Cut> best(n + 1);
    best[0] = {0, 0, true, 0};
    for (size_t end = 1; end <= n; ++end) {
        for (size_t start = 0; start < end; ++start) {
            if (best[start].fixedChars < 0 || (start == 0 && end == n)) continue;
            const std::u32string part = w.substr(start, end - start);
            bool isWord = false, fixed = false;
            if (part.size() == 1) {
                if (!alone.contains(part[0])) continue;
            } else {
                auto it = words.find(part);
                if (it == words.end()) continue;
                isWord = true;
                fixed = !it->second.loose;
            }
            Cut c{best[start].pieces + 1, best[start].fixedChars + (fixed ? static_cast<int>(part.size()) : 0),
                  best[start].allWords && isWord, start};
            if (c.fixedChars > best[end].fixedChars ||
                (c.fixedChars == best[end].fixedChars && c.pieces < best[end].pieces)) {
                best[end] = c;
            }
        }
    }
    static constexpr std::u32string_view kFunction = U"不很太的了我你他她它这那在是有没也都就还又真最更把被给和跟";
    // A word and a character, where the word is more frequent than the phrase (兔子 in 小兔子).
    bool phraseOfWord = false;
    if (n == 3 && best[n].pieces == 2) {
        const std::u32string longer = best[n].from == 1 ? w.substr(1) : w.substr(0, 2);
        phraseOfWord = kFunction.find(best[n].from == 1 ? w[0] : w[2]) != std::u32string_view::npos ||
                       (words.contains(longer) && words.at(longer).weight > weight);
    }
    Reading r;
    if (best[n].fixedChars < 0 || best[n].pieces > static_cast<int>(n) - 1 ||
        !(best[n].fixedChars > 0 || (best[n].allWords && n >= 4) || phraseOfWord)) {
        return r;
    }
    std::vector<std::u32string> parts;
    for (size_t end = n; end > 0; end = best[end].from) parts.push_back(w.substr(best[end].from, end - best[end].from));
    for (auto it = parts.rbegin(); it != parts.rend(); ++it) {
        if (it->size() == 1) {
            r.push_back(alone.at((*it)[0]));
        } else {
            r.insert(r.end(), words.at(*it).reading.begin(), words.at(*it).reading.end());
        }
    }
    return r;
}

// A word of the vocabulary no source gives a reading: read as its parts, else as its characters
// read in words (the first as it reads alone). One that ends in 儿 is an erhua word (劲儿, 画儿)
// unless 儿 means a child there (女儿, 婴儿). Empty when a character has no reading.
Reading readingOfLooseWord(const std::u32string& w, double weight, const std::map<std::u32string, Word>& words,
                           const CharacterReadings& chars) {
    Reading r = readingOfParts(w, weight, words, chars.alone);
    const bool ofCharacters = r.empty();
    for (size_t i = 0; ofCharacters && i < w.size(); ++i) {
        const auto& from = i > 0 ? chars.inWords : chars.alone;
        auto it = from.find(w[i]);
        if (it == from.end()) return {};
        r.push_back(it->second);
    }
    if (r.size() == w.size() && w.back() == U'儿' && r.back() == "er2" &&
        std::u32string_view(U"女婴孤幼健宠胎患孙男少产弃育托").find(w[w.size() - 2]) == std::u32string_view::npos) {
        r.back() = "r5";
    }
    return r;
}

// The structural particles, whose readings the reader's context rules give: CC-CEDICT writes 得 of a
// potential complement dé (听得见), which the Mainland dictionary writes de.
constexpr std::u32string_view kRuledParticles = U"得的地了着";

// Whether CC-CEDICT reads word `w` otherwise than `r`: another syllable, or another full tone, of a
// character other than a particle.
bool cedictDiffers(std::u32string_view w, const Reading& r, const Reading& c) {
    for (size_t i = 0; i < r.size() && i < c.size(); ++i) {
        if (kRuledParticles.find(w[i]) != std::u32string_view::npos) continue;
        if (baseOf(r[i]) != baseOf(c[i])) return true;
        if (toneOf(r[i]) != 5 && toneOf(c[i]) != 5 && r[i] != c[i]) return true;
    }
    return false;
}

// A word's reading with CC-CEDICT's syllables and full tones, keeping the neutral tones (and the full
// tones where CC-CEDICT has a neutral one) of `r` where both read the same syllable, since espeak-ng's
// light tones follow the Mainland dictionary, and keeping its particles.
Reading withCedictSyllables(std::u32string_view w, const Reading& r, const Reading& c) {
    Reading out = c;
    for (size_t i = 0; i < r.size() && i < c.size(); ++i) {
        if ((baseOf(r[i]) == baseOf(c[i]) && (toneOf(r[i]) == 5 || toneOf(c[i]) == 5)) ||
            kRuledParticles.find(w[i]) != std::u32string_view::npos)
            out[i] = r[i];
    }
    return out;
}

// The words of the lexicon: jieba's (espeak-ng's list also holds entries made to steer its own
// lookups, such as 不 before every fourth-tone character, which are not words) and our own. A word
// whose reading neither our table nor espeak-ng gives is loose: the reader's context rules may still
// read its particles and polyphones otherwise.
//
// CC-CEDICT mends both: where it reads a syllable of an espeak-ng word otherwise (角色 jué, not jiǎo),
// its syllables win; a word only jieba lists takes CC-CEDICT's reading instead of its characters'
// commonest ones, and is no longer loose. Its place and person names that jieba lacks are added when
// their characters would read them otherwise (六安 lù, 东莞 guǎn). `mended` gets the CC-CEDICT words
// that changed the lexicon.
std::map<std::u32string, Word> vocabulary(const Sources& s, const CharacterReadings& chars,
                                          std::set<std::u32string>& mended) {
    std::map<std::u32string, Word> words;
    std::vector<std::u32string> byLength;
    for (const auto& [w, weight] : s.jieba) {
        if (w.size() >= 2) byLength.push_back(w);
    }
    std::stable_sort(byLength.begin(), byLength.end(),
                     [](const auto& a, const auto& b) { return a.size() < b.size(); });
    for (const auto& w : byLength) {
        const double weight = s.jieba.at(w);
        const auto c = s.cedict.find(w);
        if (auto o = s.own.find(w); o != s.own.end()) {
            words[w] = {o->second.reading, weight, false};
        } else if (auto e = s.espeak.find(w); e != s.espeak.end()) {
            words[w] = {e->second, weight, false};
            if (c != s.cedict.end() && cedictDiffers(w, e->second, c->second.reading)) {
                words[w].reading = withCedictSyllables(w, e->second, c->second.reading);
                mended.insert(w);
            }
        } else if (Reading r = readingOfLooseWord(w, weight, words, chars); !r.empty()) {
            const bool mend = c != s.cedict.end() && cedictDiffers(w, r, c->second.reading);
            if (mend) {
                r = withCedictSyllables(w, r, c->second.reading);
                mended.insert(w);
            }
            words[w] = {std::move(r), weight, !mend};
        }
    }
    // Our reading of a single character (谁 shéi) is its reading in the loose words too.
    for (auto& [w, word] : words) {
        if (!word.loose) continue;
        for (size_t i = 0; i < w.size(); ++i) {
            if (auto o = s.own.find(std::u32string(1, w[i]));
                o != s.own.end() && sameCharacterReading(word.reading[i], o->second.reading[0])) {
                word.reading[i] = o->second.reading[0];
            }
        }
    }
    // A loose three-character name of jieba's whose surname CC-CEDICT reads otherwise as a surname (单田芳
    // shàn): when neither its first two nor its last two characters are a word (单身汉, 单克隆 are
    // not names), it begins no longer word (仇深似海), and its given name has none of the characters
    // below (查尔斯 chá).
    // Characters that are no given name's: the sounds of foreign names, function words and verbs that
    // follow a surname-like character in jieba's noisy name list (任你拿, 曾学得), and the ends of
    // place names (曾家岩, 华清池).
    static constexpr std::u32string_view kForeignSounds =
        U"尔斯顿德曼韦理普伊士克莱里汉森特你我他她它们是在为得于以任经被将把对从向给让到学去来了着过也都"
        U"就又还之其所而与及和跟同等南北东西上下中里外家州府县市山河寺宫池氏严教命奉诏征";
    const auto beginsLongerWord = [&](const std::u32string& w) {
        const auto next = s.jieba.upper_bound(w);
        return next != s.jieba.end() && next->first.starts_with(w);
    };
    for (const auto& w : s.jiebaNames) {
        const auto word = words.find(w);
        const auto surname = s.cedict.find(w.substr(0, 1));
        if (w.size() != 3 || word == words.end() || !word->second.loose || surname == s.cedict.end() ||
            surname->second.kind != CedictWord::Kind::Person || word->second.reading[0] == surname->second.reading[0] ||
            s.jieba.contains(w.substr(0, 2)) || s.jieba.contains(w.substr(1)) || beginsLongerWord(w) ||
            kForeignSounds.find(w[1]) != std::u32string_view::npos ||
            kForeignSounds.find(w[2]) != std::u32string_view::npos)
            continue;
        word->second.reading[0] = surname->second.reading[0];
        mended.insert(w.substr(0, 1));
    }
    // Names jieba lacks, with the weight of a rare word.
    for (const auto& [w, c] : s.cedict) {
        if (w.size() < 2 || c.kind == CedictWord::Kind::Word || words.contains(w) || s.own.contains(w)) continue;
        const Reading r = readingOfLooseWord(w, 0, words, chars);
        if (r.size() == w.size() && !cedictDiffers(w, r, c.reading)) continue;
        words[w] = {c.reading, kNameWeight, false};
        mended.insert(w);
    }
    for (const auto& [w, r] : s.own) {
        if (w.size() < 2) continue;
        auto& word = words[w];
        word.reading = r.reading;
        word.loose = false;
        if (r.weight > 0) word.weight = r.weight;
    }
    return words;
}

// The forms a character is looked up by: OpenCC's Simplified candidates (a compatibility ideograph
// by its unified form first). A character without a reading of its own, and a Traditional one, reads
// as its first lookup form.
struct Lookup {
    char32_t first = 0, second = 0;
};

std::map<char32_t, Lookup> lookupForms(const std::set<char32_t>& chars, const Simplifier& simplify,
                                       const icu::Normalizer2& nfc, std::map<char32_t, std::string>& alone) {
    std::map<char32_t, Lookup> lookup;
    for (char32_t c : chars) {
        Lookup l{c, 0};
        icu::UnicodeString decomposed;
        if (nfc.getDecomposition(static_cast<UChar32>(c), decomposed) && decomposed.countChar32() == 1) {
            l.first = static_cast<char32_t>(decomposed.char32At(0));
        }
        const auto candidates = simplify.candidates(l.first);
        if (!candidates.empty()) {
            l.first = candidates[0];
            if (candidates.size() > 1) l.second = candidates[1];
        }
        lookup[c] = l;
    }
    for (const auto& [c, l] : lookup) {
        if (!alone.contains(c) && alone.contains(l.first)) alone[c] = alone[l.first];
    }
    for (const auto& [c, l] : lookup) {
        if (l.first != c && alone.contains(l.first)) alone[c] = alone[l.first];
    }
    return lookup;
}

// The file's sections as they are gathered, then written in the order of the layout.
class Writer {
public:
    template <typename T>
    uint32_t put(const std::vector<T>& v) {
        align();
        const auto at = static_cast<uint32_t>(bytes_.size());
        const auto* p = reinterpret_cast<const char*>(v.data());
        bytes_.insert(bytes_.end(), p, p + v.size() * sizeof(T));
        return at;
    }
    void align() {
        while (bytes_.size() % 4) bytes_.push_back(0);
    }
    std::vector<char>& bytes() { return bytes_; }

private:
    std::vector<char> bytes_;
};

struct Lexicon {
    std::vector<std::string> syllables;  // sorted
    std::vector<CharRecord> chars;
    std::vector<TrieNode> nodes;
    std::vector<uint32_t> edges;
    std::vector<WordEntry> entries;
    std::vector<uint16_t> readings;
};

// Every syllable of a reading, and every Mainland reading of a character (the rules may choose one).
std::vector<std::string> syllableTable(const Sources& s, const std::map<std::u32string, Word>& words,
                                       const std::map<char32_t, std::string>& alone) {
    std::set<std::string> set;
    for (const auto& [w, word] : words) set.insert(word.reading.begin(), word.reading.end());
    for (const auto& [c, r] : alone) set.insert(r);
    for (const auto& [c, u] : s.unihan) {
        for (const auto& syllable : u.mainland()) {
            if (validSyllable(syllable)) set.insert(syllable);
        }
    }
    if (set.size() >= 0xFFFF) throw std::runtime_error("too many syllables");
    return {set.begin(), set.end()};
}

// The trie of `entryOf`'s words, breadth-first: edge e leads to node e + 1.
void buildTrie(const std::map<std::u32string, uint32_t>& entryOf, Lexicon& lex) {
    struct BuildNode {
        std::map<char32_t, uint32_t> children;
        uint32_t entry = kNoEntry;
    };
    std::vector<BuildNode> build(1);
    for (const auto& [w, e] : entryOf) {
        uint32_t n = 0;
        for (char32_t c : w) {
            auto it = build[n].children.find(c);
            if (it == build[n].children.end()) {
                build.push_back({});
                it = build[n].children.emplace(c, static_cast<uint32_t>(build.size() - 1)).first;
            }
            n = it->second;
        }
        build[n].entry = e;
    }
    std::deque<uint32_t> queue{0};
    while (!queue.empty()) {
        const BuildNode& b = build[queue.front()];
        queue.pop_front();
        lex.nodes.push_back({static_cast<uint32_t>(lex.edges.size()), b.entry});
        for (const auto& [c, child] : b.children) {
            lex.edges.push_back(c);
            queue.push_back(child);
        }
    }
    lex.nodes.push_back({static_cast<uint32_t>(lex.edges.size()), kNoEntry});
}

// Entries: every word, then every single character (words for segmentation too), with their log
// probabilities from jieba's frequencies. A word without a frequency of its own counts 100.
void buildEntries(const Sources& s, const std::map<std::u32string, Word>& words,
                  const std::map<char32_t, std::string>& alone, Lexicon& lex) {
    std::unordered_map<std::string, uint16_t> syllableId;
    for (size_t i = 0; i < lex.syllables.size(); ++i) syllableId[lex.syllables[i]] = static_cast<uint16_t>(i);
    double total = 0;
    for (const auto& [w, word] : words) total += word.weight;
    for (const auto& [w, weight] : s.jieba) total += w.size() == 1 ? weight : 0;
    total = std::max(total, 1.0);
    std::map<std::u32string, uint32_t> entryOf;
    const auto add = [&](const std::u32string& w, const Reading& r, double weight, bool loose) {
        entryOf[w] = static_cast<uint32_t>(lex.entries.size());
        lex.entries.push_back({static_cast<float>(std::log(std::max(weight, 1.0) / total)),
                               static_cast<uint32_t>(lex.readings.size()) | (loose ? kLooseEntry : 0u)});
        for (const auto& syllable : r) lex.readings.push_back(syllableId.at(syllable));
    };
    for (const auto& [w, word] : words) add(w, word.reading, word.weight > 0 ? word.weight : 100.0, word.loose);
    for (const auto& [c, r] : alone) {
        auto weight = s.jieba.find(std::u32string(1, c));
        add(std::u32string(1, c), {r}, weight != s.jieba.end() ? weight->second : 1.0, false);
    }
    buildTrie(entryOf, lex);
}

void writeFile(const Lexicon& lex, const std::string& path) {
    Writer out;
    Header header{};
    std::memcpy(header.magic, kMagic, sizeof header.magic);
    header.version = kVersion;
    out.put(std::vector<Header>{header});
    std::vector<uint32_t> offsets{0};
    std::vector<char> blob;
    for (const auto& syllable : lex.syllables) {
        blob.insert(blob.end(), syllable.begin(), syllable.end());
        offsets.push_back(static_cast<uint32_t>(blob.size()));
    }
    header.sections[kSyllables] = {out.put(offsets), static_cast<uint32_t>(lex.syllables.size())};
    out.put(blob);
    header.sections[kChars] = {out.put(lex.chars), static_cast<uint32_t>(lex.chars.size())};
    header.sections[kTrieNodes] = {out.put(lex.nodes), static_cast<uint32_t>(lex.nodes.size())};
    header.sections[kTrieEdges] = {out.put(lex.edges), static_cast<uint32_t>(lex.edges.size())};
    header.sections[kEntries] = {out.put(lex.entries), static_cast<uint32_t>(lex.entries.size())};
    header.sections[kReadings] = {out.put(lex.readings), static_cast<uint32_t>(lex.readings.size())};
    out.align();
    header.fileSize = static_cast<uint32_t>(out.bytes().size());
    std::memcpy(out.bytes().data(), &header, sizeof header);
    // Written beside and renamed: a build stopped halfway leaves no half file behind.
    const std::string tmp = path + ".tmp";
    {
        std::unique_ptr<FILE, int (*)(FILE*)> f(std::fopen(tmp.c_str(), "wb"), &std::fclose);
        if (!f || std::fwrite(out.bytes().data(), 1, out.bytes().size(), f.get()) != out.bytes().size()) {
            throw std::runtime_error("cannot write " + tmp);
        }
    }
    if (std::rename(tmp.c_str(), path.c_str()) != 0) throw std::runtime_error("cannot write " + path);
}

// The lines of the CC-CEDICT table that changed the lexicon, with the table's header: the part of it
// the repository keeps.
void writeCedictSelection(const Sources& s, const std::set<std::u32string>& mended, const std::string& path) {
    std::ofstream out(path);
    out << "# SPDX-License-Identifier: CC-BY-SA-4.0\n"
           "# The words of CC-CEDICT (https://www.mdbg.net/chinese/dictionary?page=cc-cedict, CC BY-SA 4.0)\n"
           "# whose readings change the Mandarin lexicon made from Debian's data: tools/mandarin_lexicon/\n"
           "# cedict_words.py, then tallamo-mandarin-lexicon --cedict ALL --select-cedict THIS. Columns: word\n"
           "# (Simplified), pinyin (tone digits, 5 neutral), kind (word, place, person).\n";
    for (const auto& w : mended) out << s.cedict.at(w).line << '\n';
    if (!out) throw std::runtime_error("cannot write " + path);
}

Options parseArgs(int argc, char** argv) {
    Options o;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string_view k = argv[i];
        std::string* v = k == "--espeak"          ? &o.espeak
                         : k == "--jieba"         ? &o.jieba
                         : k == "--unihan"        ? &o.unihan
                         : k == "--opencc"        ? &o.opencc
                         : k == "--readings"      ? &o.readings
                         : k == "--cedict"        ? &o.cedict
                         : k == "--select-cedict" ? &o.selectCedict
                         : k == "--out"           ? &o.out
                                                  : nullptr;
        if (!v) throw std::runtime_error(std::string("unknown option ") + argv[i]);
        *v = argv[i + 1];
    }
    if (o.espeak.empty() || o.jieba.empty() || o.unihan.empty() || o.opencc.empty() || o.out.empty()) {
        throw std::runtime_error(
            "usage: tallamo-mandarin-lexicon --espeak cmn_dict --jieba dict.txt --unihan Unihan_Readings.txt[.bz2] "
            "--opencc DIR [--readings own.tsv] [--cedict words.tsv [--select-cedict kept.tsv]] --out FILE");
    }
    return o;
}

int run(const Options& o) {
    const auto started = std::chrono::steady_clock::now();
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* nfc = icu::Normalizer2::getNFCInstance(status);
    if (U_FAILURE(status)) throw std::runtime_error("ICU has no NFC data");
    const Simplifier simplify(o.opencc);
    const Sources sources = loadSources(o, simplify, *nfc);
    const std::set<char32_t> chars = characters(sources, simplify);
    CharacterReadings readings = characterReadings(sources, chars);
    std::set<std::u32string> mended;
    const std::map<std::u32string, Word> words = vocabulary(sources, readings, mended);
    if (!o.selectCedict.empty()) writeCedictSelection(sources, mended, o.selectCedict);
    const std::map<char32_t, Lookup> lookup = lookupForms(chars, simplify, *nfc, readings.alone);

    Lexicon lex;
    lex.syllables = syllableTable(sources, words, readings.alone);
    buildEntries(sources, words, readings.alone, lex);
    const auto id = [&](const std::string& s) {
        return static_cast<uint16_t>(std::lower_bound(lex.syllables.begin(), lex.syllables.end(), s) -
                                     lex.syllables.begin());
    };
    for (const auto& [c, r] : readings.alone) {
        auto it = lookup.find(c);
        const Lookup l = it != lookup.end() ? it->second : Lookup{c, 0};
        const CharReadings* u = sources.unihanOf(l.first);
        const uint16_t flags = u && u->mainland().size() > 1 ? kPolyphone : 0;
        lex.chars.push_back({c, l.first, l.second, id(r), flags});
    }
    writeFile(lex, o.out);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::cerr << o.out << ": " << words.size() << " words, " << lex.chars.size() << " characters, "
              << lex.syllables.size() << " syllables, " << lex.nodes.size() << " trie nodes; " << seconds << " s\n";
    return 0;
}

}  // namespace
}  // namespace mandarin_lexicon

int main(int argc, char** argv) {
    try {
        return mandarin_lexicon::run(mandarin_lexicon::parseArgs(argc, argv));
    } catch (const std::exception& e) {
        std::cerr << "tallamo-mandarin-lexicon: " << e.what() << '\n';
        return 1;
    }
}
