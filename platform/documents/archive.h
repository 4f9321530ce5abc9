// SPDX-License-Identifier: GPL-3.0-or-later
// Internal to the document readers: a zip archive (EPUB, DOCX, ODT) read through libzip within the
// limits: an entry that is encrypted, larger than the decompressed-size limit or expanding more than
// the ratio limit is refused before it is read, and every byte taken out counts against the limit, so a
// size the archive lies about cannot get past it either.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "documents/reader.h"

namespace documents::detail {

class Archive {
public:
    ~Archive();
    Archive(const Archive&) = delete;
    Archive& operator=(const Archive&) = delete;

    // Opens a zip archive; kDamaged when it is not one or is cut short.
    static base::Result<std::unique_ptr<Archive>> open(const Input& input, const Limits& limits);

    const Input& input() const { return input_; }
    // The entry called `name` (exactly, else ignoring case).
    std::optional<uint64_t> find(std::string_view name) const;
    // Whether entry `index` may be read (not encrypted, within the size and ratio limits): its size.
    base::Result<uint64_t> check(uint64_t index) const;
    // The entry called `name`, read whole (a small file: package, navigation, styles); kDamaged when it
    // is missing.
    base::Result<std::string> readWhole(std::string_view name);
    // The entry called `name` when there is one (nothing when it is missing).
    base::Result<std::optional<std::string>> readIfPresent(std::string_view name);
    // Entry `index` as a byte stream. The archive must outlive it.
    base::Result<std::unique_ptr<ByteStream>> openEntry(uint64_t index);

private:
    Archive() = default;
    struct Handle;
    friend class EntryStream;
    std::unique_ptr<Handle> handle_;
    Input input_;
    Limits limits_;
    uint64_t expanded_ = 0;  // bytes taken out so far
};

// The readers of the formats that are archives; each takes the archive it reads.
base::Result<std::unique_ptr<Reader>> openEpub(std::unique_ptr<Archive> archive, const Options& options,
                                               TextBuilder& out);
base::Result<std::unique_ptr<Reader>> openDocx(std::unique_ptr<Archive> archive, const Options& options,
                                               TextBuilder& out);
base::Result<std::unique_ptr<Reader>> openOdt(std::unique_ptr<Archive> archive, const Options& options,
                                              TextBuilder& out);

}  // namespace documents::detail
