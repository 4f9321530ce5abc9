// SPDX-License-Identifier: GPL-3.0-or-later
// A PDF's pages read in the program's own process, without the helper and its bounds: linked only
// into a program that links poppler itself (the fuzz target, which runs the PDF reader's code under
// the sanitizers that the helper process cannot have).
#include "documents/pdf/extractor.h"
#include "documents/pdf_pages.h"

namespace documents::detail {

namespace {

class InProcessPages final : public PdfPages {
public:
    InProcessPages(std::shared_ptr<const std::string> bytes, std::unique_ptr<pdf::Extractor> extractor)
        : bytes_(std::move(bytes)), extractor_(std::move(extractor)), info_(extractor_->info()) {}

    const pdf::Info& info() const override { return info_; }
    Result<PdfPage> page(int32_t index) override { return PdfPage{extractor_->pageText(index), std::nullopt}; }

private:
    std::shared_ptr<const std::string> bytes_;  // what the extractor reads, for a document in memory
    std::unique_ptr<pdf::Extractor> extractor_;
    pdf::Info info_;
};

}  // namespace

Result<std::unique_ptr<PdfPages>> openPdfInProcess(const Input& input) {
    auto opened =
        input.bytes ? pdf::Extractor::open(std::span<const char>(*input.bytes)) : pdf::Extractor::open(input.path);
    if (auto* why = std::get_if<pdf::NotOpened>(&opened)) {
        if (*why == pdf::NotOpened::Protected)
            return fault(errc::kProtected, input, "is protected by a password and cannot be read.");
        return fault(errc::kDamaged, input, "is a damaged PDF file.");
    }
    return std::unique_ptr<PdfPages>(
        std::make_unique<InProcessPages>(input.bytes, std::move(std::get<std::unique_ptr<pdf::Extractor>>(opened))));
}

}  // namespace documents::detail
