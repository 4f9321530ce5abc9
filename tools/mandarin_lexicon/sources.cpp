// SPDX-License-Identifier: GPL-3.0-or-later
// The Debian data the Mandarin lexicon is made from, read into memory (see sources.h).
#include "tools/mandarin_lexicon/sources.h"

#include <bzlib.h>
#include <unicode/uchar.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <stdexcept>

#include <opencc/Lexicon.hpp>
#include <opencc/MarisaDict.hpp>

#include "base/utf8.h"

namespace mandarin_lexicon {

struct FileCloser {
    void operator()(FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

FilePtr openFile(const std::string& path, const char* mode) {
    FilePtr f(std::fopen(path.c_str(), mode));
    if (!f) throw std::runtime_error("cannot open " + path);
    return f;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot open " + path);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// The whole of a bzip2 file, through libbz2.
std::string readBzip2(const std::string& path) {
    FilePtr f = openFile(path, "rb");
    int err = BZ_OK;
    BZFILE* bz = BZ2_bzReadOpen(&err, f.get(), 0, 0, nullptr, 0);
    if (err != BZ_OK) throw std::runtime_error("not a bzip2 file: " + path);
    std::string out;
    char buf[1 << 16];
    while (err == BZ_OK) {
        const int n = BZ2_bzRead(&err, bz, buf, sizeof buf);
        if (n > 0) out.append(buf, static_cast<size_t>(n));
    }
    BZ2_bzReadClose(nullptr, bz);
    if (err != BZ_STREAM_END) throw std::runtime_error("corrupt bzip2 file: " + path);
    return out;
}

std::vector<std::string_view> split(std::string_view s, char sep) {
    std::vector<std::string_view> out;
    size_t start = 0;
    while (true) {
        const size_t p = s.find(sep, start);
        out.push_back(s.substr(start, p == std::string_view::npos ? std::string_view::npos : p - start));
        if (p == std::string_view::npos) break;
        start = p + 1;
    }
    return out;
}

bool isHan(char32_t c) {
    return u_hasBinaryProperty(static_cast<UChar32>(c), UCHAR_IDEOGRAPHIC) || c == U'〇';
}

bool allHan(std::u32string_view w) {
    return !w.empty() && std::all_of(w.begin(), w.end(), isHan);
}

// --- syllables -----------------------------------------------------------------------------------

bool validSyllable(std::string_view s) {
    if (s.size() < 2 || s.size() > 8) return false;
    const char t = s.back();
    if (t < '1' || t > '5') return false;
    return std::all_of(s.begin(), s.end() - 1, [](char c) { return c >= 'a' && c <= 'z'; });
}

int toneOf(std::string_view s) {
    return s.back() - '0';
}

std::string_view baseOf(std::string_view s) {
    return s.substr(0, s.size() - 1);
}

// Pinyin with tone marks ("zhǎng", "lǜ", "de") as "zhang3", "lv4", "de5".
std::string numbered(std::string_view marked) {
    static const std::vector<std::pair<std::string_view, std::pair<char, int>>> kMarks = {
        {"ā", {'a', 1}}, {"á", {'a', 2}}, {"ǎ", {'a', 3}}, {"à", {'a', 4}}, {"ē", {'e', 1}}, {"é", {'e', 2}},
        {"ě", {'e', 3}}, {"è", {'e', 4}}, {"ī", {'i', 1}}, {"í", {'i', 2}}, {"ǐ", {'i', 3}}, {"ì", {'i', 4}},
        {"ō", {'o', 1}}, {"ó", {'o', 2}}, {"ǒ", {'o', 3}}, {"ò", {'o', 4}}, {"ū", {'u', 1}}, {"ú", {'u', 2}},
        {"ǔ", {'u', 3}}, {"ù", {'u', 4}}, {"ǖ", {'v', 1}}, {"ǘ", {'v', 2}}, {"ǚ", {'v', 3}}, {"ǜ", {'v', 4}},
        {"ü", {'v', 0}}, {"ń", {'n', 2}}, {"ň", {'n', 3}}, {"ǹ", {'n', 4}}, {"ḿ", {'m', 2}}, {"ê", {'e', 0}},
    };
    std::string out;
    int tone = 5;
    for (size_t i = 0; i < marked.size();) {
        bool found = false;
        for (const auto& [mark, value] : kMarks) {
            if (marked.substr(i, mark.size()) == mark) {
                out += value.first;
                if (value.second) tone = value.second;
                i += mark.size();
                found = true;
                break;
            }
        }
        if (!found) out += marked[i++];
    }
    // ü is written u after j, q, x, y.
    if (out.size() > 1 && out[1] == 'v' && std::strchr("jqxy", out[0])) out[1] = 'u';
    return out + static_cast<char>('0' + tone);
}

// "yang4pin3" → {"yang4", "pin3"}; empty when the text is not pinyin with a tone after each syllable.
Reading splitJoined(std::string_view s) {
    Reading out;
    size_t start = 0;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] >= '0' && s[i] <= '9') {
            std::string syl(s.substr(start, i + 1 - start));
            if (syl.back() == '0') syl.back() = '5';
            if (!validSyllable(syl)) return {};
            out.push_back(syl);
            start = i + 1;
        }
    }
    return start == s.size() ? out : Reading{};
}

// Space-separated syllables ("zhang3 da4"; "r5" for an erhua 儿; ü may be written u: or v).
Reading splitSpaced(std::string_view s) {
    Reading out;
    for (auto part : split(s, ' ')) {
        if (part.empty()) continue;
        std::string syl;
        for (size_t i = 0; i < part.size(); ++i) {
            if (part.substr(i, 2) == "u:" || part.substr(i, 2) == "\xC3\xBC") {  // u: or ü
                syl += 'v';
                ++i;
            } else {
                syl += part[i];
            }
        }
        if (!syl.empty() && syl.back() == '0') syl.back() = '5';
        if (!validSyllable(syl)) return {};
        out.push_back(syl);
    }
    return out;
}

// --- Unihan --------------------------------------------------------------------------------------

void addUnique(std::vector<std::string>& v, std::string s) {
    if (std::find(v.begin(), v.end(), s) == v.end()) v.push_back(std::move(s));
}

std::unordered_map<char32_t, CharReadings> loadUnihan(const std::string& path) {
    const std::string text = path.ends_with(".bz2") ? readBzip2(path) : readFile(path);
    std::unordered_map<char32_t, CharReadings> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        const auto f = split(line, '\t');
        if (f.size() < 3 || !f[0].starts_with("U+")) continue;
        const auto cp = static_cast<char32_t>(std::stoul(std::string(f[0].substr(2)), nullptr, 16));
        CharReadings& r = out[cp];
        const std::string_view field = f[1];
        for (auto item : split(f[2], ' ')) {
            if (item.empty()) continue;
            if (field == "kMandarin") {
                addUnique(r.mandarin, numbered(item));
            } else if (field == "kHanyuPinlu") {
                const size_t paren = item.find('(');
                if (paren != std::string_view::npos)
                    r.pinlu.emplace_back(numbered(item.substr(0, paren)),
                                         std::atoi(std::string(item.substr(paren + 1)).c_str()));
            } else if (field == "kXHC1983" || field == "kTGHZ2013" || field == "kHanyuPinyin") {
                // "0121.040:cháng" (several locations or readings are separated by commas)
                const size_t colon = item.find(':');
                if (colon == std::string_view::npos) continue;
                auto& list = field == "kXHC1983" ? r.xhc : field == "kTGHZ2013" ? r.tghz : r.hanyu;
                for (auto reading : split(item.substr(colon + 1), ',')) addUnique(list, numbered(reading));
            }
        }
    }
    return out;
}

// --- OpenCC --------------------------------------------------------------------------------------

TextMap loadOcd2(const std::string& dir, const char* name) {
    FilePtr f = openFile(dir + "/" + name + ".ocd2", "rb");
    const auto dict = opencc::MarisaDict::NewFromFile(f.get());
    TextMap out;
    for (const auto& entry : *dict->GetLexicon()) {
        auto& values = out[base::toUtf32(entry->Key())];
        for (const auto& v : entry->Values()) values.push_back(base::toUtf32(v));
    }
    return out;
}

// --- espeak-ng's dictionary ----------------------------------------------------------------------

// espeak-ng's compiled dictionary (*_dict): two int32 (the number of hash chains, 1024, and the offset
// of the letter rules), then the hash chains one after the other, each a list of entries closed by a
// zero byte. An entry is
//   [0]      its length in bytes
//   [1]      the length of the word's first part (bits 0-5); bit 6 compressed word, bit 7 no pronunciation
//   [2..]    the word's first part (UTF-8), then the pronunciation closed by a zero byte, then flag
//            bytes; a flag byte 81..90 says the entry is that many more words long, which follow as
//            text ("尊 處 優 ") to the end of the entry.
// Mandarin's entries are in text mode (flag 29): the "pronunciation" is pinyin with tone digits, the
// syllables written together ("yang3zun1chu3you1"). The lookup code and compiler are espeak-ng's
// dictionary.c and compiledict.c.
std::map<std::u32string, Reading> loadEspeak(const std::string& path, const icu::Normalizer2& nfc,
                                             std::set<char32_t>& ambiguous) {
    const std::string d = readFile(path);
    if (d.size() < 8) throw std::runtime_error("not an espeak-ng dictionary: " + path);
    int32_t chains = 0, rules = 0;
    std::memcpy(&chains, d.data(), 4);
    std::memcpy(&rules, d.data() + 4, 4);
    if (chains != 1024 || rules < 8 || static_cast<size_t>(rules) > d.size())
        throw std::runtime_error("not an espeak-ng dictionary: " + path);
    std::map<std::u32string, Reading> out;
    size_t p = 8;
    const auto end = static_cast<size_t>(rules);
    for (int chain = 0; chain < chains && p < end; ++chain) {
        while (p < end && d[p] != 0) {
            const size_t len = static_cast<unsigned char>(d[p]);
            if (len < 3 || p + len > end) throw std::runtime_error("corrupt entry in " + path);
            const std::string_view e(d.data() + p, len);
            p += len;
            const auto info = static_cast<unsigned char>(e[1]);
            const size_t wordLen = info & 0x3F;
            if ((info & 0xC0) != 0 || 2 + wordLen >= e.size())
                continue;  // no pronunciation, or a compressed word (not used by Mandarin)
            std::string word(e.substr(2, wordLen));
            const size_t phStart = 2 + wordLen;
            const size_t phEnd = e.find('\0', phStart);
            if (phEnd == std::string_view::npos) continue;
            const std::string_view pron = e.substr(phStart, phEnd - phStart);
            bool text = false;
            for (size_t q = phEnd + 1; q < e.size(); ++q) {
                const auto flag = static_cast<unsigned char>(e[q]);
                if (flag == 29) {
                    text = true;
                } else if (flag > 80 && flag <= 90) {
                    for (char c : e.substr(q + 1))
                        if (c != ' ') word += c;
                    break;
                }
            }
            if (!text) continue;
            Reading r = splitJoined(pron);
            UErrorCode status = U_ZERO_ERROR;
            const icu::UnicodeString normal = nfc.normalize(icu::UnicodeString::fromUTF8(word), status);
            std::string key;
            normal.toUTF8String(key);
            const std::u32string w = base::toUtf32(key);
            if (U_FAILURE(status) || r.size() != w.size() || !allHan(w)) continue;
            if (auto [it, added] = out.emplace(w, r); !added && it->second != r && w.size() == 1)
                ambiguous.insert(w[0]);
        }
        ++p;
    }
    return out;
}

// --- jieba's dictionary -----------------------------------------------------------------------

// python3-jieba's dict.txt: "word frequency tag" a line, Simplified characters (a few Traditional
// forms too, counted with their Simplified form).
std::map<std::u32string, double> loadJieba(const std::string& path, const Simplifier& simplify,
                                           std::set<std::u32string>& names) {
    std::ifstream in(path);
    if (!in) throw std::runtime_error("cannot open " + path);
    std::map<std::u32string, double> out;
    std::string line;
    while (std::getline(in, line)) {
        const auto f = split(line, ' ');
        if (f.size() < 2) continue;
        const std::u32string w = base::toUtf32(f[0]);
        if (!allHan(w)) continue;
        const std::u32string simplified = simplify.convert(w);
        out[simplified] += std::atof(std::string(f[1]).c_str());
        if (f.size() > 2 && f[2] == "nr") names.insert(simplified);
    }
    return out;
}

// --- our own readings ----------------------------------------------------------------------------

namespace {

// Calls `use` with each line of the word table at `path` that is neither empty nor a comment: its
// fields, its word and the word's reading (the second field). A line with fewer than `fields` fields,
// or whose reading is not one valid syllable a Han character of its word, is an error naming it.
void readWordTable(const std::string& path, size_t fields,
                   const std::function<void(const std::vector<std::string_view>&, std::u32string, Reading)>& use) {
    std::ifstream in(path);
    if (!in) throw std::runtime_error("cannot open " + path);
    std::string line;
    int n = 0;
    while (std::getline(in, line)) {
        ++n;
        if (line.empty() || line[0] == '#') continue;
        const auto f = split(line, '\t');
        std::u32string w = base::toUtf32(f[0]);
        Reading r = f.size() >= std::max<size_t>(fields, 2) ? splitSpaced(f[1]) : Reading{};
        if (r.size() != w.size() || !allHan(w) ||
            !std::all_of(r.begin(), r.end(), [](const std::string& y) { return validSyllable(y); }))
            throw std::runtime_error(path + ":" + std::to_string(n) + ": bad line");
        use(f, std::move(w), std::move(r));
    }
}

}  // namespace

std::map<std::u32string, OwnReading> loadOwn(const std::string& path) {
    std::map<std::u32string, OwnReading> out;
    readWordTable(path, 2, [&](const auto& f, std::u32string w, Reading r) {
        out[std::move(w)] = {std::move(r), f.size() > 2 ? std::atof(std::string(f[2]).c_str()) : 0.0};
    });
    return out;
}

std::map<std::u32string, CedictWord> loadCedict(const std::string& path) {
    std::map<std::u32string, CedictWord> out;
    readWordTable(path, 3, [&](const auto& f, std::u32string w, Reading r) {
        const auto kind = f[2] == "place"    ? CedictWord::Kind::Place
                          : f[2] == "person" ? CedictWord::Kind::Person
                                             : CedictWord::Kind::Word;
        std::string line(f[0]);
        for (size_t k = 1; k < f.size(); ++k) (line += '\t') += f[k];
        out[std::move(w)] = {std::move(r), kind, std::move(line)};
    });
    return out;
}

}  // namespace mandarin_lexicon
