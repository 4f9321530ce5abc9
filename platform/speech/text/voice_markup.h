// SPDX-License-Identifier: GPL-3.0-or-later
// Internal to the text front end: the voice's XML markup reader, SSML handed to the engine, and the
// settings markup shares with the plain-text path.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "speech/text/frontend.h"
#include "speech/text/units.h"

namespace speech::text {

// Every voice a text may switch to, so a character's style can name its voice by index.
struct VoiceTable {
    std::vector<core::SpObjectToken> tokens;
    int base = 0;  // the voice's own voice
    // Per voice: whether it is a Mandarin voice, and the voice that reads its runs of another script
    // (-1 for none). Filled by findScriptReaders once the table is complete.
    std::vector<uint8_t> mandarin;
    std::vector<int> otherScript;
    // Per voice: whether it reads the pinyin the Mandarin reader writes (espeak-ng's Mandarin voice,
    // whose form of pinyin it is); other Mandarin voices are handed Chinese as it is written.
    std::vector<uint8_t> pinyin;

    VoiceTable(const FrontEndContext& context);
    // The index of `token`, added when missing.
    int indexOf(const core::SpObjectToken& token);
    // The index of `token`, or -1.
    int find(const core::SpObjectToken& token) const;
};

// What markup elements change, as the reader tracks it; voice -1 means the voice's own voice.
struct Settings {
    int voice = -1;
    std::optional<int> absoluteRate;
    int relativeRate = 0;
    std::optional<int> volume;
    std::optional<int> absolutePitch;
    int relativePitch = 0;
};

// `voices` must already hold the state's voice.
Settings fromState(const MarkupState& state, const VoiceTable& voices);
MarkupState toState(const Settings& settings, const VoiceTable& voices);
// The settings in force, applied to the voice's own settings.
Style resolve(const Settings& settings, const FrontEndContext& context, int baseVoice);

// Whether a markup text's root element is <speak> (SSML).
bool isSsml(std::u16string_view text);

// Checks the whole text as markup in one pass and returns the state that SVSFPersistXML carries over.
// Throws Error(errc::kMarkup, "XML error at character N: ...") for malformed markup; N is the
// 0-based UTF-16 offset of the fault.
MarkupState checkMarkup(const std::u16string& text, const FrontEndContext& context,
                        std::shared_ptr<const VoiceTable> voices);

// Reads checked markup into units, lazily.
std::unique_ptr<UnitProducer> makeMarkupProducer(std::shared_ptr<const std::u16string> text,
                                                 const FrontEndContext& context,
                                                 std::shared_ptr<const VoiceTable> voices);

// Converts a pronunciation written in the voice's phoneme set ("h eh 1 l ow") to the engine's
// phoneme input ("[[h'EloU]]"). Returns nothing for an unknown phoneme, with its text in `bad`; counts
// the phonemes in `phones` when given.
std::optional<std::u32string> convertPhonemes(std::u16string_view sym, std::u16string* bad, size_t* phones = nullptr);
// A pronunciation is a word or a short phrase; the engine drops one of some 230 phonemes and fails on
// longer ones, so one takes at most this many.
constexpr size_t kMaxPronunciationPhones = 100;

}  // namespace speech::text
