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

std::string utf8(const poppler::ustring& s) {
    const poppler::byte_array bytes = s.to_utf8();
    return std::string(bytes.begin(), bytes.end()).substr(0, 4 * kMaxTitleUnits);
}

// A PDF date ("D:YYYYMMDDHHmmSSOHH'mm'", every part after the year optional) to the day, as ISO 8601
// writes it ("1851-10-18", "1851-10", "1851"); anything else as it stands. Read here rather than
// through poppler's date, a time_t, which holds no year before 1970 and makes up the parts not given.
std::string isoDate(std::string raw) {
    if (raw.starts_with("D:")) raw.erase(0, 2);
    size_t digits = 0;
    while (digits < raw.size() && digits < 8 && raw[digits] >= '0' && raw[digits] <= '9') ++digits;
    if (digits < 4 || digits % 2 != 0) return raw;
    std::string date = raw.substr(0, 4);
    for (size_t at = 4; at < digits; at += 2) date += "-" + raw.substr(at, 2);
    return date;
}

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
    for (auto [name, value] :
         {std::pair{"title", utf8(document_->get_title())}, std::pair{"author", utf8(document_->get_author())},
          std::pair{"date", isoDate(utf8(document_->info_key("CreationDate")))}}) {
        if (!value.empty()) info.fields.push_back({name, std::move(value)});
    }
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
