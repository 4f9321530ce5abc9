// SPDX-License-Identifier: GPL-3.0-or-later
#include "speech/engine/espeak/espeak_voices.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string_view>

#include <espeak-ng/speak_lib.h>

namespace speech::engine::espeak {

namespace {

std::string lower(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

// Windows-style language ids of the languages espeak-ng speaks, by language tag. Tags not listed are
// looked up without their last subtag ("en-gb-x-rp" -> "en-gb").
// clang-format off
constexpr std::pair<std::string_view, unsigned> kLanguageIds[] = {
    {"af", 0x436}, {"am", 0x45e}, {"ar", 0x401}, {"as", 0x44d}, {"az", 0x42c}, {"ba", 0x46d}, {"be", 0x423},
    {"bg", 0x402}, {"bn", 0x445}, {"bs", 0x141a}, {"ca", 0x403}, {"cmn", 0x804}, {"cmn-latn-pinyin", 0x804},
    {"cs", 0x405}, {"cy", 0x452}, {"da", 0x406}, {"de", 0x407}, {"el", 0x408}, {"en", 0x409}, {"en-029", 0x2409},
    {"en-gb", 0x809}, {"en-us", 0x409}, {"es", 0xc0a}, {"es-419", 0x580a}, {"et", 0x425}, {"eu", 0x42d},
    {"fa", 0x429}, {"fi", 0x40b}, {"fr", 0x40c}, {"fr-be", 0x80c}, {"fr-ch", 0x100c}, {"fr-fr", 0x40c},
    {"ga", 0x83c}, {"gd", 0x491}, {"gn", 0x474}, {"gu", 0x447}, {"he", 0x40d}, {"hi", 0x439}, {"hr", 0x41a},
    {"hu", 0x40e}, {"hy", 0x42b}, {"id", 0x421}, {"is", 0x40f}, {"it", 0x410}, {"ja", 0x411}, {"ka", 0x437},
    {"kk", 0x43f}, {"kl", 0x46f}, {"kn", 0x44b}, {"ko", 0x412}, {"ky", 0x440}, {"lb", 0x46e}, {"lt", 0x427},
    {"lv", 0x426}, {"mi", 0x481}, {"mk", 0x42f}, {"ml", 0x44c}, {"mr", 0x44e}, {"ms", 0x43e}, {"mt", 0x43a},
    {"my", 0x455}, {"nb", 0x414}, {"ne", 0x461}, {"nl", 0x413}, {"om", 0x472}, {"or", 0x448}, {"pa", 0x446},
    {"pl", 0x415}, {"pt", 0x816}, {"pt-br", 0x416}, {"pt-pt", 0x816}, {"ro", 0x418}, {"ru", 0x419}, {"si", 0x45b},
    {"sk", 0x41b}, {"sl", 0x424}, {"sq", 0x41c}, {"sr", 0x81a}, {"sv", 0x41d}, {"sw", 0x441}, {"ta", 0x449},
    {"te", 0x44a}, {"th", 0x41e}, {"tk", 0x442}, {"tn", 0x432}, {"tr", 0x41f}, {"tt", 0x444}, {"ug", 0x480},
    {"uk", 0x422}, {"ur", 0x420}, {"uz", 0x443}, {"vi", 0x42a}, {"yue", 0xc04}, {"zh", 0x804}
};
// clang-format on

const std::map<std::string_view, unsigned>& languageIds() {
    static const std::map<std::string_view, unsigned> ids(std::begin(kLanguageIds), std::end(kLanguageIds));
    return ids;
}

std::string languageAttribute(const std::string& tag) {
    std::string t = tag;
    for (;;) {
        const auto it = languageIds().find(t);
        if (it != languageIds().end()) {
            char buf[32];
            const unsigned primary = it->second & 0x3ff;
            std::snprintf(buf, sizeof buf, "%x;%x", it->second, primary);
            return buf;
        }
        const size_t dash = t.rfind('-');
        if (dash == std::string::npos) return {};
        t.resize(dash);
    }
}

std::string ageAttribute(int age) {
    if (age == 0) return "Adult";
    if (age < 13) return "Child";
    if (age < 20) return "Teen";
    if (age < 65) return "Adult";
    return "Senior";
}

std::string readableName(const std::string& name, const std::string& tag) {
    if (tag == "cmn-latn-pinyin") return "Chinese (Mandarin)";
    std::string out = name;
    std::replace(out.begin(), out.end(), '_', ' ');
    while (!out.empty() && out.back() == ' ') out.pop_back();
    return out.empty() ? tag : out;
}

// Whether the dictionary a voice reads with is installed under `data`. espeak-ng loads a voice whose
// dictionary is missing without an error and then reads every text as silence, so the voice file is
// read here: it names the dictionary in a "dictionary" line, else by its first "language" line's code up
// to the first '-'. A voice file that cannot be read counts as missing data too.
bool dictionaryInstalled(const std::filesystem::path& data, const std::string& identifier) {
    std::ifstream file(data / "lang" / identifier);
    if (!file.is_open()) {
        file.clear();
        file.open(data / "voices" / identifier);
    }
    if (!file.is_open()) return false;
    std::string language;
    std::string dictionary;
    for (std::string line; std::getline(file, line);) {
        std::istringstream words(line.substr(0, line.find("//")));
        std::string key;
        std::string value;
        words >> key >> value;
        if (key == "dictionary")
            dictionary = value;
        else if (key == "language" && language.empty() && value != "variant")
            language = value;
    }
    if (dictionary.empty()) dictionary = language.substr(0, language.find('-'));
    std::error_code ec;
    return !dictionary.empty() && std::filesystem::file_size(data / (dictionary + "_dict"), ec) > 0 && !ec;
}

// The locale's language tag candidates ("en-us", "en"), from "en_US.UTF-8".
std::pair<std::string, std::string> localeTags(const std::string& locale) {
    std::string l = locale.substr(0, locale.find_first_of(".@"));
    if (l.empty() || l == "C" || l == "POSIX") return {};
    l = lower(l);
    std::replace(l.begin(), l.end(), '_', '-');
    const std::string language = l.substr(0, l.find('-'));
    // Chinese regions choose between Mandarin and Cantonese.
    if (l == "zh-hk" || l == "zh-mo") return {"yue", "yue"};
    if (language == "zh") return {"cmn-latn-pinyin", "zh"};
    return {l, language};
}

}  // namespace

// Lists the installed voices under `data` (espeak-ng's data folder); must hold the engine's lock.
std::vector<VoiceEntry> listVoices(const std::filesystem::path& data) {
    std::vector<VoiceEntry> out;
    std::map<std::string, int> descriptions;
    std::map<std::string, int> ids;
    for (const espeak_VOICE** v = espeak_ListVoices(nullptr); v != nullptr && *v != nullptr; ++v) {
        const espeak_VOICE& voice = **v;
        if (voice.identifier == nullptr || voice.name == nullptr || voice.languages == nullptr) continue;
        const std::string identifier = voice.identifier;
        // mbrola voices need data that is not installed; the plain Mandarin voice reads Chinese as
        // English pinyin (the pinyin voice is listed instead).
        if (identifier.starts_with("mb/") || identifier == "sit/cmn") continue;
        if (!dictionaryInstalled(data, identifier)) continue;
        VoiceEntry entry;
        entry.identifier = identifier;
        for (const char* l = voice.languages; *l != 0; l += std::strlen(l + 1) + 2)
            entry.languages.emplace_back(static_cast<unsigned char>(*l), lower(l + 1));
        if (entry.languages.empty()) continue;
        const std::string tag = entry.languages.front().second;
        std::string id = tag;
        if (ids.count(id) != 0) id = lower(identifier.substr(identifier.find('/') + 1));
        ids[id]++;

        std::map<std::string, std::string> attributes;
        const std::string language = languageAttribute(tag);
        if (!language.empty()) attributes["Language"] = language;
        attributes["Gender"] = voice.gender == 2 ? "Female" : "Male";
        attributes["Age"] = ageAttribute(voice.age);
        attributes["Vendor"] = "eSpeak NG";
        const std::string description = readableName(voice.name, tag);
        attributes["Name"] = description;
        descriptions[description]++;
        entry.token = core::SpObjectToken(core::TokenKind::Voice, id, description, std::move(attributes));
        out.push_back(std::move(entry));
    }
    // Descriptions stay unique: a repeated one carries its voice's id.
    for (VoiceEntry& e : out) {
        if (descriptions[e.token.GetDescription()] > 1) {
            auto attributes = e.token.attributes();
            const std::string description = e.token.GetDescription() + " [" + e.token.Id() + "]";
            attributes["Name"] = description;
            e.token = core::SpObjectToken(core::TokenKind::Voice, e.token.Id(), description, std::move(attributes));
        }
    }
    std::sort(out.begin(), out.end(), [](const VoiceEntry& a, const VoiceEntry& b) {
        return a.token.GetDescription() < b.token.GetDescription();
    });
    espeak_SetVoiceByName("en-us");
    return out;
}

size_t bestVoiceFor(const std::vector<VoiceEntry>& voices, const std::string& locale) {
    auto best = [&](const std::string& full, const std::string& language) -> std::optional<size_t> {
        std::optional<size_t> found;
        std::tuple<int, int> bestScore{99, 0};
        for (size_t i = 0; i < voices.size(); ++i) {
            for (const auto& [priority, tag] : voices[i].languages) {
                int kind = 99;
                if (!full.empty() && tag == full)
                    kind = 0;
                else if (!language.empty() && tag == language)
                    kind = 1;
                else if (!language.empty() && tag.starts_with(language + "-"))
                    kind = 2;
                const std::tuple<int, int> score{kind, priority};
                if (kind < 99 && score < bestScore) {
                    bestScore = score;
                    found = i;
                }
            }
        }
        return found;
    };
    const auto [full, language] = localeTags(locale);
    if (auto i = best(full, language)) return *i;
    if (auto i = best("en-us", "en")) return *i;
    return 0;
}

}  // namespace speech::engine::espeak
