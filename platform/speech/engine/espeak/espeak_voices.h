// SPDX-License-Identifier: GPL-3.0-or-later
// The voices of espeak-ng that this program offers: each installed voice whose dictionary is there, as
// a token with readable attributes (language id, gender, age, a unique readable name), and which of
// them suits the user's locale best.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "speech/core/tokens.h"

namespace speech::engine::espeak {

struct VoiceEntry {
    core::SpObjectToken token;
    std::string identifier;  // espeak-ng's voice file ("sit/cmn-Latn-pinyin")
    // espeak-ng's languages for this voice, with their priority (lower is preferred).
    std::vector<std::pair<int, std::string>> languages;
};

// Lists the installed voices under `data` (espeak-ng's data folder), sorted by their readable names.
// Uses espeak-ng's global voice list: the caller must hold the lock of the copy of espeak-ng it asks.
std::vector<VoiceEntry> listVoices(const std::filesystem::path& data);

// Index of the voice that best matches the locale ("en_US.UTF-8"), or of English when none does.
size_t bestVoiceFor(const std::vector<VoiceEntry>& voices, const std::string& locale);

}  // namespace speech::engine::espeak
