// SPDX-License-Identifier: GPL-3.0-or-later
#include "speech/text/mandarin/pinyin.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace speech::text::mandarin {

namespace {

bool isVowel(char c) {
    return c == 'a' || c == 'e' || c == 'i' || c == 'o' || c == 'u' || c == 'v';
}

bool isErhua(std::string_view s) {
    return s.size() >= 3 && s[s.size() - 2] == 'r' && s.substr(0, s.size() - 1) != "er";
}

// One syllable as written ("Lü4", "NU:3", "de0"), normalised; false when it is none.
bool normaliseOne(std::string_view in, std::string& out) {
    out.clear();
    for (size_t i = 0; i < in.size(); ++i) {
        const char c = in[i];
        if ((c == 'u' || c == 'U') && i + 1 < in.size() && in[i + 1] == ':') {
            out += 'v';
            ++i;
        } else if (c >= 'A' && c <= 'Z') {
            out += static_cast<char>(c - 'A' + 'a');
        } else if (in.substr(i, 2) == "\xC3\xBC" || in.substr(i, 2) == "\xC3\x9C") {  // ü, Ü
            out += 'v';
            ++i;
        } else {
            out += c;
        }
    }
    if (out.size() < 2 || out.size() > 8) return false;
    if (out.back() == '0') out.back() = '5';
    if (out.back() < '1' || out.back() > '5') return false;
    const std::string_view letters(out.data(), out.size() - 1);
    if (!std::all_of(letters.begin(), letters.end(), [](char c) { return c >= 'a' && c <= 'z'; })) return false;
    // A syllable has a vowel, ü never opens one (it is written yu, ju, qu, xu there); only the
    // interjections m, n, ng, hm and hng have none.
    const bool vowel = std::any_of(letters.begin(), letters.end(), isVowel);
    return letters[0] != 'v' &&
           (vowel || letters == "m" || letters == "n" || letters == "ng" || letters == "hm" || letters == "hng");
}

}  // namespace

bool normalisePinyin(std::string_view written, std::vector<std::string>& syllables) {
    syllables.clear();
    std::string s;
    size_t i = 0;
    while (i < written.size()) {
        while (i < written.size() && std::strchr(" \t\r\n", written[i])) ++i;
        size_t j = i;
        while (j < written.size() && !std::strchr(" \t\r\n", written[j])) ++j;
        // A piece may hold several syllables written together, each closed by its tone digit.
        for (size_t k = i; k < j;) {
            size_t digit = k;
            while (digit < j && (written[digit] < '0' || written[digit] > '9')) ++digit;
            if (digit == j || !normaliseOne(written.substr(k, digit + 1 - k), s)) return false;
            syllables.push_back(s);
            k = digit + 1;
        }
        i = j;
    }
    return !syllables.empty();
}

void appendEngineSyllable(std::string_view syllable, std::string_view next, std::string& out) {
    if (!isErhua(syllable)) {
        out += syllable;
        return;
    }
    out += syllable.substr(0, syllable.size() - 2);
    out += syllable.back();
    out += 'r';
    if (!next.empty() && isVowel(next.front())) out += '\'';
}

std::vector<std::string> syllablesOfEngineWord(std::u32string_view word) {
    std::vector<std::string> out;
    std::string current;
    for (size_t i = 0; i < word.size(); ++i) {
        const char32_t c = word[i];
        if (c == U'\'') continue;
        if (c >= U'1' && c <= U'5') {
            current += static_cast<char>(c);
            // An r after the tone digit and before no vowel is the syllable's erhua.
            const bool erhua = i + 1 < word.size() && word[i + 1] == U'r' &&
                               (i + 2 == word.size() || !isVowel(static_cast<char>(word[i + 2])));
            if (erhua) {
                current.insert(current.end() - 1, 'r');
                ++i;
            }
            out.push_back(std::move(current));
            current.clear();
        } else if (c < 0x80) {
            current += static_cast<char>(c);
        }
    }
    if (!current.empty()) out.push_back(std::move(current));
    return out;
}

std::string withToneMark(std::string_view syllable) {
    static constexpr std::array<std::array<const char*, 4>, 6> kMarked = {{
        {"ā", "á", "ǎ", "à"},
        {"ē", "é", "ě", "è"},
        {"ī", "í", "ǐ", "ì"},
        {"ō", "ó", "ǒ", "ò"},
        {"ū", "ú", "ǔ", "ù"},
        {"ǖ", "ǘ", "ǚ", "ǜ"},
    }};
    static constexpr std::string_view kVowels = "aeiouv";
    if (syllable.empty()) return {};
    const int tone = syllable.back() - '0';
    const std::string_view base = syllable.substr(0, syllable.size() - 1);
    // The mark goes on a or e where there is one, on the o of ou, else on the last vowel.
    size_t at = base.find_first_of("ae");
    if (at == std::string_view::npos) at = base.find("ou");
    if (at == std::string_view::npos) at = base.find_last_of(kVowels);
    std::string out;
    for (size_t i = 0; i < base.size(); ++i) {
        const size_t vowel = kVowels.find(base[i]);
        if (i == at && tone >= 1 && tone <= 4) {
            out += kMarked[vowel][static_cast<size_t>(tone - 1)];
        } else if (base[i] == 'v') {
            out += "ü";
        } else {
            out += base[i];
        }
    }
    return out;
}

}  // namespace speech::text::mandarin
