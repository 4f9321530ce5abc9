// SPDX-License-Identifier: GPL-3.0-or-later
// Internal to the Mandarin reader: the polyphone model, which chooses among a character's readings
// from what surrounds it (the characters either side, the word it is in, the reading the lexicon and
// rules gave it). It is a linear model per character: each feature that fires adds its weights to
// the character's readings, and the reading with the highest sum wins unless the reader's own
// reading scores about as high. The weights are learned from labelled sentences (tools/mandarin_model); the
// repository keeps them as a text table and the build compiles that into mandarin.model.
//
// The compiled file, little-endian, read whole into memory when first needed (never mapped: a file
// replaced in place under a mapping would kill the program):
//   Header    magic "TLZHPOL1", version, file size, and the counts of the four sections below.
//   Features  {uint64 hash, uint32 first weight, uint32 weight count}, sorted by hash. The hash is
//             FNV-1a of the character in UTF-8, a tab and the feature's text.
//   Weights   {uint32 reading slot, float weight}: the slot indexes the character's readings.
//   Chars     {uint32 code point, uint32 first reading, uint32 reading count}, sorted by code point.
//   Readings  8 bytes each: a pinyin syllable with its tone digit, padded with zero bytes.
#pragma once

#include <array>
#include <cstdint>
#include <istream>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace speech::text::mandarin {

// The features of the character at `at` of a clause (its characters in their lookup forms), which
// lies in the word [wordBegin, wordEnd) of the clause and has been read `current`. Replaces `out`;
// a feature that does not apply there is empty (and weighs nothing).
void polyphoneFeatures(std::span<const char32_t> clause, size_t at, size_t wordBegin, size_t wordEnd,
                       std::string_view current, std::vector<std::string>& out);
inline constexpr size_t kWordFeature = 2;  // which of them names the word ("w=角色")

// Whether the model's `chosen` reading replaces the reader's `current` one: it does unless they are
// the same, or the same syllable where either has the neutral tone (the rules know the neutral tones
// of standard Putonghua better than labels that give full tones for them).
bool replacesReading(std::string_view chosen, std::string_view current);

class PolyphoneModel {
public:
    // Reads the compiled model at `path` into memory. Null, with `error` naming the file, when it is
    // missing, damaged or of another version.
    static std::unique_ptr<const PolyphoneModel> load(const std::string& path, std::string& error);
    static std::unique_ptr<const PolyphoneModel> fromBytes(std::string_view bytes, std::string& error);

    // Compiles a text table (lines of character, reading, feature, weight, tab-separated; `#` starts a
    // comment) into the model file's bytes. Empty, with `error` naming the line, when a line is bad.
    static std::string compile(std::istream& table, std::string& error);

    bool knows(char32_t c) const;
    // The weight of `feature` of `c` for `reading` (0 when it has none).
    float weight(char32_t c, std::string_view feature, std::string_view reading) const;
    // The reading of `c` that scores highest with `features`, or `current` when none scores clearly
    // above it (or the model does not know `c`).
    std::string_view choose(char32_t c, std::span<const std::string> features, std::string_view current) const;

    // The memory the model holds, in bytes.
    size_t memoryBytes() const;

    struct Feature {
        uint64_t hash;
        uint32_t firstWeight, weightCount;
    };
    struct Weight {
        uint32_t slot;
        float weight;
    };
    struct Char {
        uint32_t cp, firstReading, readingCount;
    };
    using Reading = std::array<char, 8>;

private:
    std::vector<Feature> features_;
    std::vector<Weight> weights_;
    std::vector<Char> chars_;
    std::vector<Reading> readings_;
};

uint64_t polyphoneFeatureHash(char32_t c, std::string_view feature);

}  // namespace speech::text::mandarin
