// SPDX-License-Identifier: GPL-3.0-or-later
// Internal to the text front end: the Mandarin lexicon file (layout in lexicon_format.h),
// mapped read-only and used in place. Opening it costs one mmap and a check of its header, whatever
// its size; the pages are read as lookups touch them.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "speech/text/mandarin/lexicon_format.h"
#include "speech/text/mandarin/polyphone_model.h"

namespace speech::text::mandarin {

// A file mapped read-only; unmapped when destroyed.
class MappedFile {
public:
    MappedFile() = default;
    MappedFile(const void* data, size_t size) : data_(static_cast<const char*>(data)), size_(size) {}
    ~MappedFile();
    MappedFile(MappedFile&& other) noexcept : data_(other.data_), size_(other.size_) { other.data_ = nullptr; }
    MappedFile& operator=(MappedFile&&) = delete;
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;

    const char* data() const { return data_; }
    size_t size() const { return size_; }

private:
    const char* data_ = nullptr;
    size_t size_ = 0;
};

class MandarinLexicon {
    struct PassKey {};

public:
    // Maps `path`. Returns null and sets `error` (naming the file) when it cannot be read or is not
    // a lexicon of this version: a truncated or corrupt file is refused, never read past its end.
    static std::unique_ptr<MandarinLexicon> open(const std::string& path, std::string& error);
    MandarinLexicon(PassKey, MappedFile file) : file_(std::move(file)) {}

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
    // The mapped file (for measuring how much of it is resident).
    const void* data() const { return file_.data(); }

private:
    bool validate(std::string& error);

    MappedFile file_;
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
// TALLAMO_MANDARIN_LEXICON), mapped once for the whole process, with the polyphone model beside it
// (mandarin.model, or the file named by TALLAMO_MANDARIN_MODEL). Null when the lexicon is missing or
// damaged; `problem` then says why, and what the engine does instead. A missing or damaged model
// leaves the lexicon without one, and `problem` says so.
std::shared_ptr<const MandarinLexicon> installedMandarinLexicon(std::string* problem = nullptr);

}  // namespace speech::text::mandarin
