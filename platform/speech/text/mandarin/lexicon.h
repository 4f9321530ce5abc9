// SPDX-License-Identifier: GPL-3.0-or-later
// Internal to the text front end: the Mandarin lexicon file (layout in lexicon_format.h), read whole
// into memory (file_bytes.h: never mapped, so a file replaced in place cannot harm a running program)
// and used in place. Opening it costs one read of the file (12 MB: a few milliseconds from the page
// cache) and a check of its header; the memory is the file's size, once per process.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "speech/text/mandarin/file_bytes.h"
#include "speech/text/mandarin/lexicon_format.h"
#include "speech/text/mandarin/polyphone_model.h"

namespace speech::text::mandarin {

class MandarinLexicon {
    struct PassKey {};

public:
    // Reads `path`. Returns null and sets `error` (naming the file) when it cannot be read or is not
    // a lexicon of this version: a truncated or corrupt file is refused, never read past its end.
    static std::unique_ptr<MandarinLexicon> open(const std::string& path, std::string& error);
    MandarinLexicon(PassKey, FileBytes file) : file_(std::move(file)) {}

    // The record of a character, or null when the lexicon does not know it.
    const lexicon::CharRecord* character(char32_t c) const;

    // The text of a syllable id (empty for an id the file does not hold).
    std::string_view syllable(uint16_t id) const;
    // The id of a syllable ("zhe5"), or -1.
    int syllableId(std::string_view s) const;

    // Walking the trie from node 0: the child of `node` along `c`, or -1.
    int32_t child(uint32_t node, char32_t c) const;
    const lexicon::WordEntry* entry(uint32_t node) const;
    // The syllable ids of an entry's reading, `length` of them (the word's length), or null when the
    // file does not hold that many.
    const uint16_t* reading(const lexicon::WordEntry& e, size_t length) const {
        const size_t at = e.readingIndex();
        return at <= readings_.size() && length <= readings_.size() - at ? readings_.data() + at : nullptr;
    }

    // The polyphone model that goes with the lexicon (polyphone_model.h), or null: the reader then
    // reads polyphones by its rules alone.
    const PolyphoneModel* model() const { return model_.get(); }
    void setModel(std::shared_ptr<const PolyphoneModel> model) { model_ = std::move(model); }

    size_t sizeInBytes() const { return file_.size(); }

private:
    bool validate(std::string& error);

    FileBytes file_;
    std::span<const uint32_t> syllableOffsets_;
    const char* syllableBlob_ = nullptr;
    size_t blobSize_ = 0;
    std::span<const lexicon::CharRecord> chars_;
    std::span<const lexicon::TrieNode> nodes_;
    std::span<const uint32_t> edges_;
    std::span<const lexicon::WordEntry> entries_;
    std::span<const uint16_t> readings_;
    std::shared_ptr<const PolyphoneModel> model_;
};

// The lexicon installed with the programs (mandarin.lex in their data folder, or the file named by
// TALLAMO_MANDARIN_LEXICON), read once for the whole process when first needed, with the polyphone model beside it
// (mandarin.model, or the file named by TALLAMO_MANDARIN_MODEL). Null when the lexicon is missing or
// damaged; `problem` then says why, and what the engine does instead. A missing or damaged model
// leaves the lexicon without one, and `problem` says so.
std::shared_ptr<const MandarinLexicon> installedMandarinLexicon(std::string* problem = nullptr);

}  // namespace speech::text::mandarin
