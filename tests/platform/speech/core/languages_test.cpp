// SPDX-License-Identifier: GPL-3.0-or-later
// Voices by language tag: the tag a voice is listed with, and the voice a tag picks, Chinese always
// going to the Mandarin voice that reads pinyin.
#include "speech/core/languages.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace speech;
using namespace speech::core;

namespace {

std::vector<SpObjectToken> voices() {
    auto voice = [](const char* id, const char* language) {
        return SpObjectToken(TokenKind::Voice, id, id, {{"Language", language}});
    };
    // The engine's plain Mandarin voice comes first: Chinese must still get the pinyin voice.
    return {
        voice("cmn", "804;4"), voice("cmn-latn-pinyin", "804;4"), voice("en-us", "409;9"), voice("en-gb", "809;9"),
        voice("pt", "816;16"), voice("pt-br", "416;16"),          voice("yue", "c04;4"),   voice("en-gb-x-rp", "809;9"),
        voice("sr-latn", "")};
}

TEST(Languages, TagsPickTheirVoiceAndChineseTheMandarinReader) {
    const auto all = voices();
    const std::vector<std::pair<std::string, std::string>> table = {
        {"zh", "cmn-latn-pinyin"},
        {"zh-CN", "cmn-latn-pinyin"},
        {"zh_TW", "cmn-latn-pinyin"},
        {"cmn", "cmn-latn-pinyin"},
        {"zh-HK", "yue"},
        {"yue", "yue"},
        {"en", "en-us"},
        {"EN-gb", "en-gb"},
        {"en-GB-x-rp", "en-gb-x-rp"},
        {"en-AU", "en-us"},
        {"pt-BR", "pt-br"},
        {"pt", "pt"},
        {"pt-AO", "pt"},
        {"fr", "(none)"},
        {"", "(none)"},
    };
    for (const auto& [tag, id] : table) {
        const auto i = voiceForLanguage(all, tag);
        EXPECT_EQ(i ? all[*i].Id() : "(none)", id) << tag;
    }
    // Cantonese falls back to Mandarin, and Chinese is never read by the plain Mandarin voice.
    const std::vector<SpObjectToken> plain = {all[0], all[2]};
    EXPECT_FALSE(voiceForLanguage(plain, "zh"));
    EXPECT_EQ(voiceForLanguage({all[1], all[2]}, "zh-HK"), 0u);

    std::vector<std::string> tags;
    for (const auto& v : all) tags.push_back(languageTag(v));
    EXPECT_EQ(tags,
              (std::vector<std::string>{"zh", "zh", "en-US", "en-GB", "pt", "pt-BR", "yue", "en-GB-x-rp", "sr-Latn"}));
    EXPECT_TRUE(readsLanguage(all[3], "en"));
    EXPECT_FALSE(readsLanguage(all[3], "en-US"));
    EXPECT_FALSE(readsLanguage(all[0], "zh"));
}

}  // namespace
