// SPDX-License-Identifier: GPL-3.0-or-later
// Learns the Mandarin reader's polyphone model, and compiles it for the programs.
//
//   tallamo-mandarin-model train --lexicon mandarin.lex --labelled FOLDER [--everyday SET.tsv]...
//                                --out polyphones.tsv
//   tallamo-mandarin-model compile --table polyphones.tsv --out mandarin.model
//
// `train` reads every sentence with the reader (lexicon and rules, no model) and learns, for each
// character with a labelled reading, an averaged perceptron over the features the reader gives it
// (polyphone_model.h): the training part of the labelled folder (labelled_set.h keeps one line in five
// apart for measuring) and, with --everyday, every polyphone of our own sentence sets. A reading counts
// as right when it is the label, or the same syllable where one of the two is neutral: the labelled
// folder gives full tones where standard Putonghua has neutral ones, and the rules keep those. The
// table it writes holds weights only, never a sentence. `compile` turns the table into the file the
// reader loads (the build runs it).
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <unordered_map>
#include <vector>

#include "speech/text/mandarin/polyphone_model.h"
#include "speech/text/mandarin/reader.h"
#include "tools/mandarin_model/labelled_set.h"

namespace mandarin_model {

namespace {

using speech::text::mandarin::MandarinLexicon;
using speech::text::mandarin::MandarinReader;
using speech::text::mandarin::PinyinReading;
using speech::text::mandarin::replacesReading;

struct Example {
    char32_t c;
    std::vector<std::string> features;
    std::string current;  // the reader's reading before the model
    std::string gold;
};

bool sameLeniently(std::string_view a, std::string_view b) {
    if (a == b) return true;
    return !a.empty() && !b.empty() && a.substr(0, a.size() - 1) == b.substr(0, b.size() - 1) &&
           (a.back() == '5' || b.back() == '5');
}

// The examples a reader gives: for each wanted position of a text, its features and reading.
class Collector {
public:
    explicit Collector(const MandarinLexicon& lexicon) : reader_(lexicon) {
        reader_.observePolyphones([this](int32_t at, std::string_view current, const std::vector<std::string>& f) {
            auto it = wanted_.find(at);
            if (it == wanted_.end()) return;
            examples_.push_back({text_[static_cast<size_t>(at)], f, std::string(current), it->second});
        });
    }
    void read(const std::u32string& text, std::map<int32_t, std::string> wanted) {
        text_ = text;
        wanted_ = std::move(wanted);
        reader_.read(std::span<const char32_t>(text_), reading_);
    }
    std::vector<Example>& examples() { return examples_; }

private:
    MandarinReader reader_;
    PinyinReading reading_;
    std::u32string text_;
    std::map<int32_t, std::string> wanted_;
    std::vector<Example> examples_;
};

// An averaged multi-class perceptron per character.
class Perceptron {
public:
    void addClass(char32_t c, const std::string& r) {
        auto& list = classes_[c];
        if (std::find(list.begin(), list.end(), r) == list.end() && list.size() < 16) list.push_back(r);
    }

    // The reading the reader would end with, as PolyphoneModel::choose and replacesReading decide.
    std::string predict(const Example& e, bool averaged) const {
        const auto& list = classes_.at(e.c);
        std::vector<float> score(list.size(), 0.0f);
        for (const auto& f : e.features) {
            if (f.empty()) continue;
            auto it = weights_.find(key(e.c, f));
            if (it == weights_.end()) continue;
            for (size_t k = 0; k < list.size(); ++k) {
                score[k] += averaged ? it->second.w[k] - it->second.u[k] / float(step_) : it->second.w[k];
            }
        }
        float best = 0.0f;
        std::string chosen = e.current;
        for (size_t k = 0; k < list.size(); ++k) {
            if (list[k] == e.current) best = score[k];
        }
        for (size_t k = 0; k < list.size(); ++k) {
            if (score[k] > best) {
                best = score[k];
                chosen = list[k];
            }
        }
        return replacesReading(chosen, e.current) ? chosen : e.current;
    }

    void train(std::vector<Example>& examples, int epochs) {
        std::mt19937 shuffle(20260101);
        for (int epoch = 0; epoch < epochs; ++epoch) {
            std::shuffle(examples.begin(), examples.end(), shuffle);
            size_t wrong = 0;
            for (const auto& e : examples) {
                ++step_;
                const std::string got = predict(e, false);
                if (sameLeniently(got, e.gold)) continue;
                ++wrong;
                update(e, e.gold, +1.0f);
                update(e, got, -1.0f);
            }
            std::fprintf(stderr, "epoch %d: %zu of %zu wrong\n", epoch + 1, wrong, examples.size());
        }
    }

    // The averaged weights as table lines (character, reading, feature, weight), sorted.
    void write(std::ostream& out) const {
        std::vector<std::string> lines;
        for (const auto& [k, v] : weights_) {
            const size_t tab = k.find('\t');
            const char32_t c = base::toUtf32(k.substr(0, tab))[0];
            const auto& list = classes_.at(c);
            for (size_t i = 0; i < list.size(); ++i) {
                const float w = v.w[i] - v.u[i] / float(step_);
                char buf[32];
                std::snprintf(buf, sizeof buf, "%.3f", double(w));
                if (std::fabs(w) < 0.0005f) continue;
                lines.push_back(k.substr(0, tab) + '\t' + list[i] + '\t' + k.substr(tab + 1) + '\t' + buf);
            }
        }
        std::sort(lines.begin(), lines.end());
        for (const auto& l : lines) out << l << '\n';
    }

private:
    struct Weights {
        std::array<float, 16> w{}, u{};
    };
    static std::string key(char32_t c, const std::string& f) {
        return base::toUtf8(std::u16string(1, static_cast<char16_t>(c))) + '\t' + f;
    }
    void update(const Example& e, const std::string& reading, float by) {
        const auto& list = classes_.at(e.c);
        const auto slot = std::find(list.begin(), list.end(), reading);
        if (slot == list.end()) return;
        const auto k = static_cast<size_t>(slot - list.begin());
        for (const auto& f : e.features) {
            if (f.empty()) continue;
            auto& v = weights_[key(e.c, f)];
            v.w[k] += by;
            v.u[k] += by * float(step_);
        }
    }

    std::map<char32_t, std::vector<std::string>> classes_;
    std::unordered_map<std::string, Weights> weights_;
    uint64_t step_ = 1;
};

int train(const std::string& lexiconPath, const std::string& labelled, const std::vector<std::string>& everyday,
          const std::string& outPath) {
    std::string error;
    auto lexicon = MandarinLexicon::open(lexiconPath, error);
    if (!lexicon) throw std::runtime_error(error);
    Collector collect(*lexicon);
    for (const auto& s : loadLabelledSet(labelled)) {
        if (!s.heldOut && s.text[s.at] < 0x10000) collect.read(s.text, {{static_cast<int32_t>(s.at), s.reading}});
    }
    const size_t fromLabelled = collect.examples().size();
    for (const auto& path : everyday) {
        for (const auto& s : loadSet(path)) {
            std::map<int32_t, std::string> wanted;
            for (const auto& u : s.units) {
                const auto* r = lexicon->character(s.text[u.begin]);
                if (u.end == u.begin + 1 && r && (r->flags & speech::text::mandarin::lexicon::kPolyphone) &&
                    s.text[u.begin] < 0x10000)
                    wanted[static_cast<int32_t>(u.begin)] = u.gold;
            }
            collect.read(s.text, std::move(wanted));
        }
    }
    auto& examples = collect.examples();
    std::fprintf(stderr, "%zu examples (%zu labelled, %zu our own)\n", examples.size(), fromLabelled,
                 examples.size() - fromLabelled);
    Perceptron model;
    for (const auto& e : examples) {
        model.addClass(e.c, e.gold);
        model.addClass(e.c, e.current);
    }
    model.train(examples, 10);
    std::ofstream out(outPath);
    out << "# The Mandarin reader's polyphone model (tools/mandarin_model/main.cpp learns it; the build\n"
           "# compiles it into mandarin.model). Columns: character, reading, feature, weight.\n";
    model.write(out);
    if (!out.flush()) throw std::runtime_error("cannot write " + outPath);
    return 0;
}

int compile(const std::string& tablePath, const std::string& outPath) {
    std::ifstream in(tablePath);
    if (!in) throw std::runtime_error("cannot open " + tablePath);
    std::string error;
    const std::string bytes = speech::text::mandarin::PolyphoneModel::compile(in, error);
    if (bytes.empty()) throw std::runtime_error(tablePath + ": " + error);
    std::ofstream out(outPath, std::ios::binary);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out.flush()) throw std::runtime_error("cannot write " + outPath);
    return 0;
}

}  // namespace

}  // namespace mandarin_model

int main(int argc, char** argv) {
    std::map<std::string, std::string> options;
    std::vector<std::string> everyday;
    const std::string command = argc > 1 ? argv[1] : "";
    for (int i = 2; i + 1 < argc; i += 2) {
        if (std::string(argv[i]) == "--everyday")
            everyday.push_back(argv[i + 1]);
        else
            options[argv[i]] = argv[i + 1];
    }
    try {
        if (command == "train" && options.count("--lexicon") && options.count("--labelled") && options.count("--out"))
            return mandarin_model::train(options["--lexicon"], options["--labelled"], everyday, options["--out"]);
        if (command == "compile" && options.count("--table") && options.count("--out"))
            return mandarin_model::compile(options["--table"], options["--out"]);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "tallamo-mandarin-model: %s\n", e.what());
        return 1;
    }
    std::fprintf(
        stderr,
        "usage: tallamo-mandarin-model train --lexicon FILE --labelled FOLDER [--everyday SET]... --out TABLE\n"
        "       tallamo-mandarin-model compile --table TABLE --out FILE\n");
    return 2;
}
