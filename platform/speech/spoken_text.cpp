// SPDX-License-Identifier: GPL-3.0-or-later
#include "speech/spoken_text.h"

#include <memory>
#include <variant>

#include "base/error.h"
#include "speech/pipeline/named_file.h"
#include "speech/text/frontend.h"
#include "speech/text/mandarin/lexicon.h"

namespace speech {

SpokenText spokenText(std::u16string text, int32_t flags) {
    const bool markup = text::readsAsMarkup(flags, text.empty() ? std::nullopt : std::optional<char16_t>(text[0]));
    return {std::move(text), markup};
}

std::optional<SpokenText> spokenTextOfFile(const std::string& path, int32_t flags, const documents::Options& options) {
    auto opened = pipeline::openNamedFile(path, options);
    auto& content = opened.orThrow().content;
    if (auto* document = std::get_if<std::unique_ptr<pipeline::DocumentReader>>(&content)) {
        std::u16string text;
        while ((*document)->read(text)) {
        }
        return SpokenText{std::move(text), false};
    }
    auto* reader = std::get_if<std::unique_ptr<pipeline::TextFileReader>>(&content);
    if (!reader) return std::nullopt;
    const bool markup = text::readsAsMarkup(flags, (*reader)->firstUnit());
    return SpokenText{(*reader)->readAll().orThrow(), markup};
}

std::optional<std::string> mandarinLexiconProblem() {
    std::string problem;
    text::mandarin::installedMandarinLexicon(&problem);
    if (problem.empty()) return std::nullopt;
    return problem;
}

}  // namespace speech
