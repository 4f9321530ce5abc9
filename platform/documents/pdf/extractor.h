// SPDX-License-Identifier: GPL-3.0-or-later
// A PDF's text through poppler's C++ library, one page at a time in reading order (columns found by
// poppler's text layout), and its information (title, outline). It runs in the PDF reader helper
// (main.cpp), and in a program that links poppler itself (the fuzzers).
#pragma once

#include <memory>
#include <span>
#include <string>
#include <variant>

#include "documents/pdf_protocol.h"

namespace poppler {
class document;
}

namespace documents::pdf {

class Extractor {
public:
    // The document in the file at `path`, or in `bytes` (which must outlive the extractor).
    static std::variant<std::unique_ptr<Extractor>, NotOpened> open(const std::string& path);
    static std::variant<std::unique_ptr<Extractor>, NotOpened> open(std::span<const char> bytes);
    ~Extractor();
    Extractor(const Extractor&) = delete;
    Extractor& operator=(const Extractor&) = delete;

    // The page count, the title, author and date, and the outline's top-level titles, each within a bound (the outline
    // at a few thousand entries), so that the message holding them stays small.
    Info info() const;
    // Page `index`'s text, its lines ending in '\n'. Empty for a page that cannot be read.
    std::u16string pageText(int index) const;

private:
    explicit Extractor(std::unique_ptr<poppler::document> document);
    static std::variant<std::unique_ptr<Extractor>, NotOpened> checked(poppler::document* document);
    std::unique_ptr<poppler::document> document_;
};

}  // namespace documents::pdf
