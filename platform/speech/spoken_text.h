// SPDX-License-Identifier: GPL-3.0-or-later
// The text whose positions a voice's events count, for a program that follows them (timing files):
// what the voice reads for Speak(text, flags), and whether it reads it as markup.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "documents/document.h"

namespace speech {

struct SpokenText {
    std::u16string text;
    bool markup = false;
};

// `text` as Speak reads it under `flags` (not SVSFIsFilename).
SpokenText spokenText(std::u16string text, int32_t flags);

// The file `path` (UTF-8) as Speak reads it under `flags` with SVSFIsFilename: a text file decoded, a
// document's text (never markup), read with `options`. Nothing for a sound file. Throws Error when the
// file cannot be read.
std::optional<SpokenText> spokenTextOfFile(const std::string& path, int32_t flags,
                                           const documents::Options& options = {});

// Why Chinese is read by the engine's own rules rather than word by word (the Mandarin lexicon
// installed with the programs is missing or damaged), or its polyphones by rules alone (the
// polyphone model beside it is), or nothing when both are in use.
std::optional<std::string> mandarinLexiconProblem();

}  // namespace speech
