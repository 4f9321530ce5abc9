// SPDX-License-Identifier: GPL-3.0-or-later
// An EPUB input's own files in its narrated book: its package read (manifest, reading order, metadata,
// navigation, the encryption it declares), and each of its XHTML documents written afresh as EPUB 3
// XHTML, what HTML5 dropped mended, with every spoken sentence (and word) in spans of its own where the
// document reader's source runs place its text.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "documents/document.h"
#include "tools/say/daisy_files.h"

namespace say {

// A file the package lists and the archive holds.
struct SourceItem {
    std::string path;  // its archive entry
    std::string href;  // as the package names it, from the package's folder
    std::string mediaType;
    bool nav = false;    // the EPUB 3 navigation document
    bool cover = false;  // the cover image
};

// An entry of the book's table of contents, from an EPUB 2 NCX.
struct SourceTocEntry {
    std::string path;      // the archive entry it points to
    std::string fragment;  // "#note1", or empty
    std::string title;
    int depth = 0;  // 0 for the top level
};

struct SourceBook {
    std::string packagePath;  // "OEBPS/content.opf"
    std::vector<SourceItem> items;
    struct Ref {
        size_t item = 0;
        bool linear = true;
    };
    std::vector<Ref> spine;  // the XHTML documents in reading order
    std::string identifier;  // the unique identifier, empty when it has none
    std::string title;
    std::string language;
    std::vector<SourceTocEntry> toc;        // from the NCX, when there is no navigation document
    std::optional<std::string> encryption;  // META-INF/encryption.xml, when it obfuscates fonts only
};

// The package of an EPUB `document` (opened with its source places). Throws speech::Error for a
// damaged package, and for an encryption.xml that encrypts anything but fonts (DRM): `shown` names the
// file in the message.
SourceBook readSourceBook(documents::Document& document, const std::string& shown);

// Whether the media type is that of an XHTML document.
bool xhtmlType(std::string_view mediaType);

// Every id an XHTML document has (an `a` element's name counts as one).
void collectIds(std::string_view xhtml, std::set<std::string>& ids);

// The href from a file in `folder` ("OEBPS/Text/", "" for the root) to the archive entry `path`,
// percent-escaped where a URL needs it.
std::string relativeHref(std::string_view folder, std::string_view path);

// What a document's spans are: its sentences and their words (section text positions), where its text
// comes from (the source runs of its part, positions made relative to the section's text), and the ids
// to give them.
struct XhtmlMarks {
    std::vector<documents::SourceRun> runs;
    std::vector<DaisySentence> sentences;
    std::vector<std::vector<DaisySentence>> words;  // one list a sentence, or none at all
    std::vector<std::string> sentenceIds;
    std::vector<std::vector<std::string>> wordIds;
};

struct XhtmlSettings {
    std::string language;   // the book's, for a document that does not say
    std::string title;      // for a document without a title
    std::string styleHref;  // a style sheet to link (the highlight), or empty
};

// A document written afresh: its bytes, which of its marks got a span (a sentence whose text the
// document does not hold, an image's alt text, gets none), and its manifest properties ("svg", ...).
struct RewrittenXhtml {
    std::string bytes;
    std::vector<bool> sentencePlaced;
    std::vector<std::vector<bool>> wordPlaced;
    std::string properties;
};

// `source` (the document as stored) as EPUB 3 XHTML with the spans of `marks` (none without). Throws
// speech::Error when it cannot be read.
RewrittenXhtml rewriteXhtml(std::string_view source, const XhtmlSettings& settings, const XhtmlMarks* marks);

}  // namespace say
