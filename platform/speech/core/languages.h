// SPDX-License-Identifier: GPL-3.0-or-later
// Voices and language tags (BCP 47: "zh", "zh-TW", "en-US"): the tag a voice reads, and the voice that
// reads a tag. Chinese other than Cantonese is read by the Mandarin voice that reads pinyin, with the
// front end's Mandarin reader (numbers, English words), never by the engine's plain Mandarin voice,
// which reads Chinese as pinyin with its tone numbers spoken.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "speech/core/tokens.h"

namespace speech::core {

// The language tag `voice` reads, from its id: "zh" for a Mandarin voice, else the id with BCP 47's
// casing ("en-us" is "en-US", "sr-latn" "sr-Latn").
std::string languageTag(const SpObjectToken& voice);

// Whether `voice` reads `tag` ("en" is read by every English voice, "en-GB" only by a British one;
// "zh", "zh-CN", "zh-TW" and "cmn" by a Mandarin voice, "zh-HK", "zh-MO" and "yue" by a Cantonese one).
// Tags are compared without regard to case, "_" standing for "-".
bool readsLanguage(const SpObjectToken& voice, std::string_view tag);

// The index in `voices` of the voice that reads `tag`: the one whose tag it is, else the first that
// reads it. Cantonese falls back to Mandarin. Nothing when no voice reads it.
std::optional<size_t> voiceForLanguage(const std::vector<SpObjectToken>& voices, std::string_view tag);

}  // namespace speech::core
