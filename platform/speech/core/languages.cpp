// SPDX-License-Identifier: GPL-3.0-or-later
#include "speech/core/languages.h"

#include <algorithm>
#include <cctype>

namespace speech::core {

namespace {

// The engine's Mandarin voice that reads pinyin, and its plain one, which is never chosen for Chinese.
constexpr std::string_view kPinyinVoice = "cmn-latn-pinyin";
constexpr std::string_view kPlainMandarinVoice = "cmn";

std::string normalized(std::string_view tag) {
    std::string out(tag);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return c == '_' ? '-' : static_cast<char>(std::tolower(c)); });
    return out;
}

std::string_view primaryOf(std::string_view tag) {
    return tag.substr(0, tag.find('-'));
}

enum class Chinese { No, Mandarin, Cantonese };

Chinese chineseOf(const std::string& tag) {
    const std::string_view primary = primaryOf(tag);
    if (primary == "yue" || tag == "zh-hk" || tag == "zh-mo" || tag.starts_with("zh-yue") ||
        tag.starts_with("zh-hant-hk") || tag.starts_with("zh-hant-mo"))
        return Chinese::Cantonese;
    if (primary == "zh" || primary == "cmn") return Chinese::Mandarin;
    return Chinese::No;
}

// A voice's kind of Chinese, from its languages (the ids of Mainland, Taiwan and Singapore Chinese are
// Mandarin; those of Hong Kong and Macao Cantonese) or, with none, from its id.
Chinese chineseVoice(const SpObjectToken& voice) {
    const std::string id = normalized(voice.Id());
    if (id == kPlainMandarinVoice) return Chinese::No;
    if (voice.GetAttribute("Language").empty()) return chineseOf(id);
    if (voice.matches("Language=804;404;1004")) return Chinese::Mandarin;
    if (voice.matches("Language=c04;1404")) return Chinese::Cantonese;
    return Chinese::No;
}

}  // namespace

std::string languageTag(const SpObjectToken& voice) {
    const std::string id = normalized(voice.Id());
    if (id == kPinyinVoice || id == kPlainMandarinVoice) return "zh";
    // A region in capitals, a script in title case; private-use subtags (after "x") as they are.
    std::string tag;
    bool privateUse = false;
    size_t start = 0;
    for (bool first = true; start <= id.size(); first = false) {
        size_t end = id.find('-', start);
        if (end == std::string::npos) end = id.size();
        std::string part = id.substr(start, end - start);
        const bool alpha =
            !part.empty() && std::all_of(part.begin(), part.end(), [](unsigned char c) { return std::isalpha(c); });
        if (!first && !privateUse && alpha && part.size() == 2) {
            std::transform(part.begin(), part.end(), part.begin(), [](unsigned char c) { return std::toupper(c); });
        } else if (!first && !privateUse && alpha && part.size() == 4) {
            part[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(part[0])));
        }
        privateUse = privateUse || part == "x";
        tag += (first ? "" : "-") + part;
        start = end + 1;
    }
    return tag;
}

bool readsLanguage(const SpObjectToken& voice, std::string_view tag) {
    const std::string want = normalized(tag);
    if (want.empty()) return false;
    if (const Chinese chinese = chineseOf(want); chinese != Chinese::No) return chineseVoice(voice) == chinese;
    const std::string own = normalized(languageTag(voice));
    if (own == want) return true;
    // A bare language is read by every voice of it; a tag with a region or script only by its own.
    return want.find('-') == std::string::npos && primaryOf(own) == want;
}

std::optional<size_t> voiceForLanguage(const std::vector<SpObjectToken>& voices, std::string_view tag) {
    const std::string want = normalized(tag);
    std::optional<size_t> reader;
    for (size_t i = 0; i < voices.size(); ++i) {
        if (normalized(voices[i].Id()) == want && readsLanguage(voices[i], want)) return i;
        // Of the Mandarin voices, the one that reads pinyin.
        if (chineseOf(want) == Chinese::Mandarin && normalized(voices[i].Id()) == kPinyinVoice) return i;
        if (!reader && readsLanguage(voices[i], want)) reader = i;
    }
    if (reader) return reader;
    // "en-AU" with no Australian voice: a voice of the language.
    if (chineseOf(want) == Chinese::No && want.find('-') != std::string::npos)
        return voiceForLanguage(voices, primaryOf(want));
    if (chineseOf(want) == Chinese::Cantonese) return voiceForLanguage(voices, "zh");
    return std::nullopt;
}

}  // namespace speech::core
