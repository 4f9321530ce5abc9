// SPDX-License-Identifier: GPL-3.0-or-later
#include "documents/pdf/extractor.h"

#include <algorithm>
#include <limits>
#include <mutex>

#include <poppler-document.h>
#include <poppler-global.h>
#include <poppler-page.h>
#include <poppler-toc.h>

namespace documents::pdf {

namespace {

// The outline's entries and a title's units kept: far beyond any book's table of contents.
constexpr size_t kMaxOutline = 4096;
constexpr size_t kMaxTitleUnits = 1024;

std::u16string_view view(const poppler::ustring& s) {
    return {reinterpret_cast<const char16_t*>(s.data()), s.size()};
}

std::u16string_view cut(std::u16string_view s) {
    return s.substr(0, kMaxTitleUnits);
}

void ignoreMessage(const std::string&, void*) {}

}  // namespace

Extractor::Extractor(std::unique_ptr<poppler::document> document) : document_(std::move(document)) {}
Extractor::~Extractor() = default;

std::variant<std::unique_ptr<Extractor>, NotOpened> Extractor::checked(poppler::document* opened) {
    static std::once_flag quiet;
    std::call_once(quiet, [] { poppler::set_debug_error_function(ignoreMessage, nullptr); });
    std::unique_ptr<poppler::document> document(opened);
    if (!document) return NotOpened::Damaged;
    if (document->is_locked()) return NotOpened::Protected;
    return std::unique_ptr<Extractor>(new Extractor(std::move(document)));
}

std::variant<std::unique_ptr<Extractor>, NotOpened> Extractor::open(const std::string& path) {
    return checked(poppler::document::load_from_file(path));
}

std::variant<std::unique_ptr<Extractor>, NotOpened> Extractor::open(std::span<const char> bytes) {
    if (bytes.size() > static_cast<size_t>(std::numeric_limits<int>::max())) return NotOpened::Damaged;
    return checked(poppler::document::load_from_raw_data(bytes.data(), static_cast<int>(bytes.size())));
}

Info Extractor::info() const {
    Info info;
    info.pages = std::max(0, document_->pages());
    // The document's information dictionary, a named field each.
    const poppler::byte_array title = document_->get_title().to_utf8();
    if (!title.empty())
        info.fields.push_back({"title", std::string(title.begin(), title.end()).substr(0, 4 * kMaxTitleUnits)});
    if (std::unique_ptr<poppler::toc> toc(document_->create_toc()); toc && toc->root()) {
        for (const poppler::toc_item* item : toc->root()->children()) {
            if (info.outline.size() == kMaxOutline) break;
            info.outline.emplace_back(cut(view(item->title())));
        }
    }
    return info;
}

std::u16string Extractor::pageText(int index) const {
    std::unique_ptr<poppler::page> page(document_->create_page(index));
    if (!page) return {};
    return std::u16string(view(page->text(poppler::rectf(), poppler::page::non_raw_non_physical_layout)));
}

}  // namespace documents::pdf
