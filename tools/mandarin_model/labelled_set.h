// SPDX-License-Identifier: GPL-3.0-or-later
// Reads our own sentence sets (bench/mandarin/: every character's reading, to dictionary conventions),
// and a folder of labelled polyphone sentences (one sentence a line in `*.sent`, the labelled
// character between two U+2581 marks; its reading on the same line of the matching `*.lb`, a tone digit
// last, 5 for the neutral tone, ü written u: or v) and splits it, by a hash of each line's number, into
// a part to learn from and a part held out for measuring. The trainer and the accuracy benchmark share
// this split, so the benchmark's held-out figures are on sentences the model never saw.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/utf8.h"
#include "speech/text/mandarin/reader.h"

namespace mandarin_model {

struct LabelledSentence {
    std::u32string text;  // without the marks
    size_t at = 0;        // the labelled character
    std::string reading;  // "jue2", "lv4"
    bool heldOut = false;
};

// One line in five is held out, chosen by a mix of its number (so the parts do not follow the order
// the file's sentences were gathered in).
inline bool heldOutLine(uint64_t line) {
    uint64_t z = line + 0x9E3779B97F4A7C15ull;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return (z ^ (z >> 31)) % 5 == 0;
}

// The sentences of `folder`/`name`.sent with their labels from `name`.lb.
inline std::vector<LabelledSentence> loadLabelledSet(const std::filesystem::path& folder,
                                                     const std::string& name = "dev") {
    std::ifstream sent(folder / (name + ".sent")), lb(folder / (name + ".lb"));
    if (!sent || !lb) throw std::runtime_error("cannot open " + (folder / (name + ".sent/.lb")).string());
    std::vector<LabelledSentence> out;
    std::string line, label;
    for (uint64_t n = 0; std::getline(sent, line); ++n) {
        if (!std::getline(lb, label)) throw std::runtime_error(name + ".lb has fewer lines than " + name + ".sent");
        while (!label.empty() && (label.back() == '\r' || label.back() == ' ')) label.pop_back();
        if (const size_t u = label.find("u:"); u != std::string::npos) label.replace(u, 2, "v");
        std::u32string text = base::toUtf32(line);
        const size_t a = text.find(U'\u2581');
        const size_t b = a == std::u32string::npos ? a : text.find(U'\u2581', a + 1);
        if (b != a + 2 || label.size() < 2) continue;  // not one character between the marks
        text.erase(b, 1);
        text.erase(a, 1);
        out.push_back({std::move(text), a, label, heldOutLine(n)});
    }
    return out;
}

// A sentence of our own sets. A line is: id, sentence, gold pinyin (one syllable a Han character, an
// erhua 儿 joined to the syllable before it; 5 for the neutral tone; 一 and 不 after their change;
// third-tone sandhi not applied).
struct Unit {
    size_t begin, end;  // characters of the sentence
    std::string gold;
    std::string read;  // what a reader read there (filled in by whoever scores it)
};

struct Sentence {
    std::string id;
    std::u32string text;
    std::vector<Unit> units;
};

inline bool isErhua(std::string_view s) {
    return s.size() >= 3 && s[s.size() - 2] == 'r' && s.substr(0, s.size() - 1) != "er";
}

inline std::vector<Sentence> loadSet(const std::filesystem::path& path) {
    std::ifstream in(path);
    if (!in) throw std::runtime_error("cannot open " + path.string());
    std::vector<Sentence> out;
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#') continue;
        const size_t a = line.find('\t'), b = line.find('\t', a + 1);
        if (b == std::string::npos) throw std::runtime_error(path.string() + ": bad line: " + line);
        Sentence s{line.substr(0, a), base::toUtf32(line.substr(a + 1, b - a - 1)), {}};
        std::istringstream gold(line.substr(b + 1));
        std::string g;
        for (size_t i = 0; i < s.text.size(); ++i) {
            if (!speech::text::mandarin::readsAsHan(s.text[i])) continue;
            if (!(gold >> g)) throw std::runtime_error(s.id + ": fewer gold syllables than characters");
            size_t end = i + 1;
            if (isErhua(g) && end < s.text.size() && (s.text[end] == U'儿' || s.text[end] == U'兒')) ++end;
            s.units.push_back({i, end, g, {}});
            i = end - 1;
        }
        if (gold >> g) throw std::runtime_error(s.id + ": more gold syllables than characters");
        out.push_back(std::move(s));
    }
    return out;
}

}  // namespace mandarin_model
