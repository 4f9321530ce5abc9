// SPDX-License-Identifier: GPL-3.0-or-later
// Internal to the document readers: where a PDF's pages come from. The PDF reader helper
// (tallamo-pdf, documents/pdf_protocol.h) reads them in a process of its own, within the bounds of
// Limits; a program that links poppler itself (the fuzzers) reads them in its own process.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "documents/pdf_protocol.h"
#include "documents/reader.h"

namespace documents::detail {

struct PdfPage {
    std::u16string text;
    // Why the page gave no text: the end of "page N was skipped: ...", e.g. "reading it took more
    // than 10 s". Nothing for a page that was read.
    std::optional<std::string> skipped;
};

class PdfPages {
public:
    virtual ~PdfPages() = default;
    // The page count, the information fields and the outline, known from the opening.
    virtual const pdf::Info& info() const = 0;
    // Page `index`, counted from 0. A fault (kCancelled) stops reading.
    virtual base::Result<PdfPage> page(int32_t index) = 0;
    // Reading has ended, or starts again: what the pages held is let go (a helper ends), and the next
    // page is read from a fresh start of the document.
    virtual void finished() = 0;
};

// The helper's pages. Faults: the helper missing (kUnsupportedFormat), a damaged (kDamaged) or
// protected (kProtected) document, one whose opening passes the bounds (kDamaged, with why), and
// kCancelled.
base::Result<std::unique_ptr<PdfPages>> openPdfHelper(const Input& input, const Options& options);

// Defined only where poppler is linked into the program (pdf/in_process.cpp, for the fuzzers): the
// pages are then read in this process, without bounds.
[[gnu::weak]] base::Result<std::unique_ptr<PdfPages>> openPdfInProcess(const Input& input);

}  // namespace documents::detail
