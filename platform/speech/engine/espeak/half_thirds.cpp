// SPDX-License-Identifier: GPL-3.0-or-later
#include "speech/engine/espeak/half_thirds.h"

#include "speech/core/pinyin_tones.h"

namespace speech::engine::espeak {

std::string halfThirdContour(std::string_view transcription) {
    const size_t contour = transcription.rfind("214");
    if (contour == std::string_view::npos || contour == 0 ||
        transcription.find_first_of(" []") != std::string_view::npos)
        return {};
    return std::string(transcription.substr(0, contour)) + "21";
}

std::u32string withHalfThirds(std::u32string_view text, bool keepPhonemeInput,
                              const std::function<std::string(const std::string&)>& phonemesOf,
                              std::vector<int32_t>& origin) {
    origin.clear();
    if (text.find(core::kHalfThirdTone) == std::u32string_view::npos) return std::u32string(text);
    std::u32string out;
    const auto put = [&](char32_t c, size_t from) {
        out.push_back(c);
        origin.push_back(static_cast<int32_t>(from));
    };
    for (size_t i = 0; i < text.size(); ++i) {
        const char32_t c = text[i];
        if (c == U'[' && !keepPhonemeInput && !out.empty() && out.back() == U'[') put(U' ', i);
        if (c != core::kHalfThirdTone) {
            put(c, i);
            continue;
        }
        size_t start = i;
        while (start > 0 && text[start - 1] >= U'a' && text[start - 1] <= U'z') --start;
        const std::string letters(text.begin() + static_cast<std::ptrdiff_t>(start),
                                  text.begin() + static_cast<std::ptrdiff_t>(i));
        const std::string phonemes = letters.empty() ? std::string() : phonemesOf(letters);
        if (phonemes.empty()) {
            put(U'3', i);
            continue;
        }
        // The syllable's letters, already put, give way to its phonemes, all from where it starts.
        out.resize(out.size() - letters.size());
        origin.resize(origin.size() - letters.size());
        for (char p : "[[" + phonemes + "]]") put(static_cast<char32_t>(static_cast<unsigned char>(p)), start);
    }
    origin.push_back(static_cast<int32_t>(text.size()));
    return out;
}

}  // namespace speech::engine::espeak
