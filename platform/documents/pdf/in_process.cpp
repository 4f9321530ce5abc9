// SPDX-License-Identifier: GPL-3.0-or-later
// A PDF's pages read in the program's own process, without the helper and its bounds: linked only
// into a program that links poppler itself (the fuzz target, which runs the PDF reader's code under
// the sanitizers that the helper process cannot have).
#include "documents/pdf/extractor.h"
#include "documents/pdf_pages.h"

namespace documents::detail {

namespace {

std::variant<std::unique_ptr<pdf::Extractor>, pdf::NotOpened> openExtractor(const Input& input) {
    return input.bytes ? pdf::Extractor::open(std::span<const char>(*input.bytes)) : pdf::Extractor::open(input.path);
}

class InProcessPages final : public PdfPages {
public:
    InProcessPages(const Input& input, std::unique_ptr<pdf::Extractor> extractor)
        : input_(input), extractor_(std::move(extractor)), info_(extractor_->info()) {}

    const pdf::Info& info() const override { return info_; }
    Result<PdfPage> page(int32_t index) override {
        if (!extractor_) {
            auto opened = openExtractor(input_);
            if (std::holds_alternative<pdf::NotOpened>(opened)) return PdfPage{{}, "it could not be opened again"};
            extractor_ = std::move(std::get<std::unique_ptr<pdf::Extractor>>(opened));
            // Asked again as at the first opening, as the helper does each time it starts: what poppler
            // reads for it (the information dictionary, the outline) may mend the document's cross
            // references, and with them what the pages give.
            (void)extractor_->info();
        }
        return PdfPage{extractor_->pageText(index), std::nullopt};
    }
    void finished() override { extractor_.reset(); }

private:
    Input input_;  // holds a document in memory, which the extractor reads
    std::unique_ptr<pdf::Extractor> extractor_;
    pdf::Info info_;
};

}  // namespace

Result<std::unique_ptr<PdfPages>> openPdfInProcess(const Input& input) {
    auto opened = openExtractor(input);
    if (auto* why = std::get_if<pdf::NotOpened>(&opened)) {
        if (*why == pdf::NotOpened::Protected)
            return fault(errc::kProtected, input, "is protected by a password and cannot be read.");
        return fault(errc::kDamaged, input, "is a damaged PDF file.");
    }
    return std::unique_ptr<PdfPages>(
        std::make_unique<InProcessPages>(input, std::move(std::get<std::unique_ptr<pdf::Extractor>>(opened))));
}

}  // namespace documents::detail
