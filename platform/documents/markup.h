// SPDX-License-Identifier: GPL-3.0-or-later
// An HTML or XHTML file walked as the document readers read a page or an EPUB's chapter: its elements
// and its character data, in order, with the same parser and the same decoding, so that the source
// runs a document gives (SourceRun) land on the same characters. Nothing is fetched, no entity expanded.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "base/error.h"

namespace documents {

class MarkupVisitor {
public:
    virtual ~MarkupVisitor() = default;
    using Attribute = std::pair<std::string_view, std::string_view>;  // its name as written, its value
    // Element names are lower case, with their prefix when they have one ("epub:switch").
    virtual void start(std::string_view name, std::span<const Attribute> attributes) = 0;
    virtual void end(std::string_view name) = 0;
    // Character data (UTF-8), a piece at a time.
    virtual void text(std::string_view utf8) = 0;
};

// Walks the markup file held in `bytes`. A visitor that throws stops the walk with a fault.
base::Result<void> walkMarkup(std::string_view bytes, MarkupVisitor& visitor);

// Whether the space-separated list `list` (an attribute such as properties or epub:type) holds `word`.
bool hasToken(std::string_view list, std::string_view word);

// The folder part of an archive's entry name, with its trailing slash ("OEBPS/" for "OEBPS/content.opf").
std::string folderOf(std::string_view name);
// The entry name a link `href` in a file of folder `folder` points to: fragment and query dropped,
// percent escapes decoded, "." and ".." resolved (never above the root); a leading slash starts from
// the archive's root.
std::string resolveHref(std::string_view folder, std::string_view href);

}  // namespace documents
