// SPDX-License-Identifier: GPL-3.0-or-later
#include "speech/engine/espeak/phonemes.h"

#include <array>
#include <utility>

namespace speech::engine::espeak {
namespace {

struct Phone {
    std::string_view name;
    int32_t viseme;
};

// Phone ids are positions in this table (1-based) and never change. Ids 1..9 are boundaries,
// punctuation, silence and stress marks; they have no mouth shape.
constexpr std::array<Phone, 49> kPhones{{
    {"-", 0},  {"!", 0},   {"&", 0},  {",", 0},   {".", 0},  {"?", 0},   {"_", 0},  {"1", 0},   {"2", 0},   {"aa", 2},
    {"ae", 1}, {"ah", 1},  {"ao", 3}, {"aw", 9},  {"ax", 1}, {"ay", 11}, {"b", 21}, {"ch", 16}, {"d", 19},  {"dh", 17},
    {"eh", 4}, {"er", 5},  {"ey", 4}, {"f", 18},  {"g", 20}, {"h", 12},  {"ih", 6}, {"iy", 6},  {"jh", 16}, {"k", 20},
    {"l", 14}, {"m", 21},  {"n", 19}, {"ng", 20}, {"ow", 8}, {"oy", 10}, {"p", 21}, {"r", 13},  {"s", 15},  {"sh", 16},
    {"t", 19}, {"th", 17}, {"uh", 4}, {"uw", 7},  {"v", 18}, {"w", 7},   {"y", 6},  {"z", 15},  {"zh", 16},
}};

constexpr int32_t idOf(std::string_view name) {
    for (size_t i = 0; i < kPhones.size(); ++i)
        if (kPhones[i].name == name) return static_cast<int32_t>(i + 1);
    return 0;
}

// espeak-ng mnemonics (English and Mandarin in full, others by their nearest English phone), then
// single characters as the class fallback for anything longer that is not listed.
constexpr std::pair<std::string_view, std::string_view> kMnemonics[] = {
    // English vowels and diphthongs
    {"a", "ae"},
    {"a#", "ax"},
    {"aa", "aa"},
    {"A:", "aa"},
    {"A@", "aa"},
    {"A", "aa"},
    {"0", "aa"},
    {"V", "ah"},
    {"@", "ax"},
    {"@2", "ax"},
    {"@5", "ax"},
    {"@L", "l"},
    {"3", "er"},
    {"3:", "er"},
    {"E", "eh"},
    {"e", "eh"},
    {"e@", "eh"},
    {"eI", "ey"},
    {"I", "ih"},
    {"I2", "ih"},
    {"I#", "ih"},
    {"i", "iy"},
    {"i:", "iy"},
    {"i@", "iy"},
    {"i@3", "iy"},
    {"O", "ao"},
    {"O:", "ao"},
    {"O@", "ao"},
    {"o@", "ao"},
    {"OI", "oy"},
    {"o", "ow"},
    {"oU", "ow"},
    {"aU", "aw"},
    {"aU@", "aw"},
    {"aI", "ay"},
    {"aI@", "ay"},
    {"aI3", "ay"},
    {"U", "uh"},
    {"U@", "uh"},
    {"u", "uw"},
    {"u:", "uw"},
    // Mandarin finals
    {"Au", "aw"},
    {"ai", "ay"},
    {"ei", "ey"},
    {"ou", "ow"},
    {"iE", "iy"},
    {"uo", "uw"},
    {"ong", "ow"},
    {"i.", "iy"},
    {"y", "uw"},
    // Consonants
    {"p", "p"},
    {"b", "b"},
    {"m", "m"},
    {"f", "f"},
    {"v", "v"},
    {"T", "th"},
    {"D", "dh"},
    {"t", "t"},
    {"d", "d"},
    {"n", "n"},
    {"s", "s"},
    {"z", "z"},
    {"S", "sh"},
    {"Z", "zh"},
    {"tS", "ch"},
    {"dZ", "jh"},
    {"k", "k"},
    {"g", "g"},
    {"N", "ng"},
    {"h", "h"},
    {"r", "r"},
    {"l", "l"},
    {"w", "w"},
    {"j", "y"},
    {"x", "h"},
    {"X", "h"},
    {"C", "h"},
    {"H", "h"},
    {"c", "k"},
    {"q", "k"},
    {"Q", "k"},
    {"K", "k"},
    {"G", "g"},
    {"B", "b"},
    {"J", "y"},
    {"L", "l"},
    {"R", "r"},
    {"F", "f"},
    {"P", "p"},
    {"M", "m"},
    {"W", "uw"},
    {"Y", "uw"},
    {"&", "ae"},
    // Mandarin initials (retroflex "s.", alveolo-palatal "S;"), affricates of other languages
    {"ts", "s"},
    {"dz", "z"},
    {"ts.", "ch"},
    {"dz.", "jh"},
    {"s.", "sh"},
    {"z.", "zh"},
    {"S;", "sh"},
    {"Z;", "zh"},
    {"tS;", "ch"},
    {"dZ;", "jh"},
};

}  // namespace

std::string_view phoneName(int32_t id) {
    if (id < 1 || id > static_cast<int32_t>(kPhones.size())) return {};
    return kPhones[static_cast<size_t>(id - 1)].name;
}

int32_t visemeOfPhone(int32_t id) {
    if (id < 1 || id > static_cast<int32_t>(kPhones.size())) return 0;
    return kPhones[static_cast<size_t>(id - 1)].viseme;
}

PhoneInfo phoneOf(std::string_view mnemonic) {
    // Pauses of every length ("_", "_:", "_|", "_!") are silence.
    if (mnemonic.empty() || mnemonic.front() == '_') return {kSilencePhone, 0, phoneName(kSilencePhone)};
    for (size_t len = mnemonic.size(); len > 0; --len) {
        const std::string_view prefix = mnemonic.substr(0, len);
        for (const auto& [espeak, phone] : kMnemonics) {
            if (espeak == prefix) {
                const int32_t id = idOf(phone);
                return {id, visemeOfPhone(id), phoneName(id)};
            }
        }
    }
    return {kSilencePhone, 0, phoneName(kSilencePhone)};
}

}  // namespace speech::engine::espeak
