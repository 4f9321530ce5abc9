// SPDX-License-Identifier: GPL-3.0-or-later
// Internal to the document readers: where a document's bytes come from, and what each format's reader
// does for Document.
#pragma once

#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "documents/document.h"
#include "documents/text_builder.h"

namespace documents::detail {

// A document's bytes: a file, or a buffer in memory. `name` stands for it in messages.
struct Input {
    std::string path;
    std::shared_ptr<const std::string> bytes;
    std::string name;
};

// "The file "name" " + what: the start of every message about a document.
inline base::Fault fault(int32_t code, const Input& input, const std::string& what) {
    return base::Fault{code, "The file \"" + input.name + "\" " + what};
}

// The fault for a document file that cannot be opened (errno `error`): kNotFound or kAccessDenied.
base::Fault fileOpenFault(const Input& input, int error);

// Bytes read a chunk at a time (a file, or an entry of an archive).
class ByteStream {
public:
    virtual ~ByteStream() = default;
    // Reads up to out.size() bytes; 0 at the end. A fault when the bytes cannot be read.
    virtual base::Result<size_t> read(std::span<char> out) = 0;
};

// The whole input as a byte stream, failing past `maxBytes`.
base::Result<std::unique_ptr<ByteStream>> openInputStream(const Input& input, uint64_t maxBytes);

// One format's reader: writes the text into the builder it was opened with, a step at a time (one chunk
// of input or one page). The builder outlives the reader.
class Reader {
public:
    virtual ~Reader() = default;
    // Produces more text; false at the end. A fault stops reading.
    virtual base::Result<bool> step() = 0;
    // The document's own title, when it has one.
    virtual std::string title() const { return {}; }
    // Starts again from the beginning, keeping what was learned of the document (its pages that
    // cannot be read); false when it cannot, and the document is opened afresh.
    virtual bool rewind() { return false; }
    // Its author, date and language, when it has them.
    virtual Metadata metadata() const { return {}; }
    // Its cover image's bytes, read now; nothing when it names none.
    virtual base::Result<std::optional<std::string>> cover() { return std::optional<std::string>(); }
    // The markup files of its source runs, by part.
    virtual std::vector<std::string> sourceParts() const { return {}; }
    // An entry of its archive, read whole.
    virtual base::Result<std::string> entry(const std::string& name);
};

base::Result<std::unique_ptr<Reader>> openHtml(const Input& input, const Options& options, TextBuilder& out);
base::Result<std::unique_ptr<Reader>> openFb2(const Input& input, const Options& options, TextBuilder& out);
// PDF is read by a helper process of its own (poppler and the thirty libraries it brings never enter
// the program, and a hostile page costs that process only): see pdf_pages.h.
base::Result<std::unique_ptr<Reader>> openPdf(const Input& input, const Options& options, TextBuilder& out);
// EPUB, DOCX or ODT, told apart by the archive's entries; kNotADocument for any other archive.
base::Result<std::unique_ptr<Reader>> openArchive(const Input& input, const Options& options, TextBuilder& out,
                                                  Format& format);

}  // namespace documents::detail
