// SPDX-License-Identifier: GPL-3.0-or-later
// Documents read aloud: HTML/XHTML, EPUB, DOCX, ODT, FB2 and PDF, each recognised by its content (magic
// bytes, archive entries), never by its name. A document gives its text in reading order a piece at a
// time, with the chapters that start in each piece, so a book of any size starts at once and is never
// held whole. Every damaged, hostile or protected input gives a fault whose message names the file:
// archives are read within a decompressed-size and a ratio limit, XML never resolves an external
// entity nor expands a declared one, and nothing is ever fetched.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.h"

namespace documents {
namespace detail {
struct Input;
}

using base::Fault;
using base::Result;

// Fault codes of their own; a missing or unreadable file gives the platform's kNotFound/kAccessDenied.
namespace errc {
inline constexpr int32_t kNotADocument = static_cast<int32_t>(0x80045070);  // not one of the formats
inline constexpr int32_t kDamaged = static_cast<int32_t>(0x80045071);       // truncated, broken, missing parts
inline constexpr int32_t kProtected = static_cast<int32_t>(0x80045072);     // encrypted, DRM, password
inline constexpr int32_t kTooLarge = static_cast<int32_t>(0x80045073);      // past the size or ratio limits
inline constexpr int32_t kNoText = static_cast<int32_t>(0x80045074);        // nothing to read
}  // namespace errc

enum class Format { Html, Epub, Docx, Odt, Fb2, Pdf };

std::string_view formatName(Format format);  // "EPUB", ...
std::string_view mimeType(Format format);    // "application/epub+zip", ...

struct Limits {
    // Bytes taken out of an archive, every entry together, and what any single file may hold.
    uint64_t maxExpandedBytes = uint64_t{200} << 20;
    // An archive entry larger than ratioFloor may be at most maxRatio times its compressed size.
    uint64_t maxRatio = 100;
    uint64_t ratioFloor = uint64_t{1} << 20;
    // The largest package, navigation, style or relationship file (read whole).
    uint64_t maxMetadataBytes = uint64_t{16} << 20;

    // A PDF is read by a helper process (tallamo-pdf), a page at a time, within these bounds. A page
    // that passes one is skipped; a document none of whose pages can be read is refused.
    // The time the opening and each page may take (wall clock; the helper's processor time too). With
    // the helper's start and end around it, a page that passes it is given up within 10 s.
    std::chrono::milliseconds pdfPageTime{9000};
    // The time all skipped pages together may cost: past it the rest of the document is skipped.
    std::chrono::milliseconds pdfSkippedTime{20000};
    // The memory the helper may hold.
    uint64_t pdfMemoryBytes = uint64_t{256} << 20;
    // The text one page may give, in UTF-16 units (a dense page holds some ten thousand).
    uint32_t maxPageUnits = uint32_t{1} << 20;
};

struct Options {
    bool imageAltText = false;  // read the alt text of images where a document gives it
    // Keep, for the text of an EPUB's chapters or an HTML page, where each character comes from in
    // the markup (see SourceRun). Off, reading costs nothing more.
    bool sourcePlaces = false;
    Limits limits;
    // Asked while a document is read, from the reading thread (while the PDF reader works on a page,
    // every few tens of milliseconds): true stops reading at once with a kCancelled fault.
    std::function<bool()> cancelled;
    // Told, from the reading thread, of each PDF page (or run of pages) passed over and why, in a
    // sentence: "Page 2 of "a.pdf" was skipped: reading it took more than 9 s."
    std::function<void(const std::string&)> skipped;
};

// A chapter start: its number (1, 2, ... in reading order), its title (UTF-8), where it starts, in
// UTF-16 units from the start of the document's text, and its level in the document's outline: 1 a
// chapter, 2 a section of one (an h2 under an h1, a second-level heading or table of contents entry).
struct Chapter {
    int32_t number = 0;
    std::string title;
    uint64_t position = 0;
    int32_t level = 1;
    friend bool operator==(const Chapter&, const Chapter&) = default;
};

// Where a run of the text comes from, for a document read with Options::sourcePlaces: the text
// [position, position + length) is the character data [offset, offset + length) of the markup file
// sourceParts()[part], both in UTF-16 units. A file's character data is all the text walkMarkup() hands
// out for it, in order, counted from its start. Text that comes from no run (the blanks and breaks
// between words and blocks, an image's alt text) is the document's own.
struct SourceRun {
    uint64_t position = 0;
    uint64_t length = 0;
    uint32_t part = 0;
    uint64_t offset = 0;
    friend bool operator==(const SourceRun&, const SourceRun&) = default;
};

// What a document says of itself besides its title (UTF-8; each empty when it does not say).
struct Metadata {
    std::string author;    // its authors in the document's order, joined by ", "
    std::string date;      // as the document gives it: "1851", "1851-10-18", "2004-05-01T00:00:00Z"
    std::string language;  // as the document gives it: "en", "zh-CN"
    friend bool operator==(const Metadata&, const Metadata&) = default;
};

// Whether `head` (a file's first bytes, a few kilobytes) is the start of a document of one of the
// formats, or of a zip archive that may be one. Cheap; open() decides.
bool looksLikeDocument(std::span<const uint8_t> head);
bool looksLikeDocument(const std::string& path);

class Document {
public:
    ~Document();
    Document(const Document&) = delete;
    Document& operator=(const Document&) = delete;

    // Opens the document in the file at `path` (UTF-8), checks its structure and limits, and reads up to
    // its first text. Faults: kNotFound/kAccessDenied, kNotADocument for any other kind of file, kDamaged,
    // kProtected, kTooLarge, and kNoText for a document without text (a scanned PDF).
    static base::Result<std::unique_ptr<Document>> open(const std::string& path, const Options& options = {});
    // The same for a document held in memory; `name` stands for the file in messages.
    static base::Result<std::unique_ptr<Document>> openBytes(std::shared_ptr<const std::string> bytes,
                                                             const std::string& name, const Options& options = {});

    Format format() const;
    // The document's own title (its metadata or title element), empty when it has none.
    const std::string& title() const;
    // Its author, date and language, where the format has them: EPUB's package metadata, DOCX's
    // docProps/core.xml, ODT's meta.xml, FB2's title-info, HTML's <meta name="author">, <meta name="date">
    // and <html lang>.
    const Metadata& metadata() const;
    // The bytes of its cover image as stored (JPEG, PNG, ...), read when asked, within the metadata
    // size limit: EPUB's cover item, FB2's coverpage image, the thumbnail a DOCX or ODT keeps of its
    // first page. Nothing when the document names none; a fault when the one it names is missing,
    // damaged or too large.
    base::Result<std::optional<std::string>> cover();

    // Appends the next piece of the text to `out` and the chapters that start in it (or at its end) to
    // `chapters`. Returns false, appending nothing, at the end or when reading failed part-way.
    bool read(std::u16string& out, std::vector<Chapter>& chapters);
    // The same, with the source runs of the piece appended to `runs` (none unless the document was
    // opened with Options::sourcePlaces).
    bool read(std::u16string& out, std::vector<Chapter>& chapters, std::vector<SourceRun>& runs);
    // The markup files the source runs name, by part: an EPUB's chapters as entries of its archive
    // ("OEBPS/ch1.xhtml"), an HTML page as "" (the file itself). Empty for the other formats.
    std::vector<std::string> sourceParts() const;
    // An EPUB's archive entry `name` (as the package names it, from the archive's root), read whole
    // within the limits: kDamaged when it is missing; kNotADocument for a document that is no archive.
    base::Result<std::string> entry(const std::string& name);
    // Why reading stopped before the end (a damaged entry, a limit reached), if it did.
    const std::optional<base::Fault>& failure() const;
    // Starts again from the beginning of the text.
    void restart();

private:
    Document();
    static base::Result<std::unique_ptr<Document>> openInput(detail::Input input, const Options& options);
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace documents
