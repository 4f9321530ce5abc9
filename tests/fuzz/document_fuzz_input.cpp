// SPDX-License-Identifier: GPL-3.0-or-later
#include "tests/fuzz/document_fuzz_input.h"

#include <unicode/utf16.h>

#include <memory>
#include <optional>

#include "documents/document.h"
#include "tests/support/document_fixtures.h"

namespace fuzzing {
namespace {

using documents::Chapter;
using documents::Document;

// The entries an archive target's input fills in order; a fixed first entry when the format wants one.
struct ArchiveLayout {
    std::string_view target;
    std::pair<std::string, std::string> first;
    std::vector<std::string> names;
};

const std::vector<ArchiveLayout>& layouts() {
    static const std::vector<ArchiveLayout> all = {
        {"epub",
         {"mimetype", "application/epub+zip"},
         {"META-INF/container.xml", "OEBPS/content.opf", "OEBPS/nav.xhtml", "OEBPS/c1.xhtml", "OEBPS/c2.xhtml",
          "OEBPS/toc.ncx", "META-INF/encryption.xml"}},
        {"docx",
         {},
         {"[Content_Types].xml", "word/_rels/document.xml.rels", "word/document.xml", "word/styles.xml",
          "word/footnotes.xml", "docProps/core.xml"}},
        {"odt", {"mimetype", "application/vnd.oasis.opendocument.text"}, {"content.xml", "meta.xml"}},
    };
    return all;
}

const ArchiveLayout* layoutOf(std::string_view target) {
    for (const auto& l : layouts()) {
        if (l.target == target) return &l;
    }
    return nullptr;
}

std::string documentBytes(std::string_view target, std::string_view data) {
    const ArchiveLayout* layout = layoutOf(target);
    if (!layout || data.starts_with("PK")) return std::string(data);
    fixtures::Entries entries;
    if (!layout->first.first.empty()) entries.push_back(layout->first);
    for (const auto& name : layout->names) {
        const size_t end = data.find(kEntrySeparator);
        entries.emplace_back(name, std::string(data.substr(0, end)));
        if (end == std::string_view::npos) break;
        data.remove_prefix(end + kEntrySeparator.size());
    }
    return fixtures::zipArchive(entries);
}

// The input form of an archive's entries (the fixed first entry left out).
std::string entriesInput(std::string_view target, const fixtures::Entries& entries) {
    const ArchiveLayout& layout = *layoutOf(target);
    std::string out;
    for (size_t i = 0; i < layout.names.size(); ++i) {
        if (i) out += kEntrySeparator;
        for (const auto& [name, bytes] : entries) {
            if (name == layout.names[i]) out += bytes;
        }
    }
    return out;
}

bool validUtf16(const std::u16string& text) {
    for (size_t i = 0; i < text.size(); ++i) {
        if (U16_IS_LEAD(text[i]) && i + 1 < text.size() && U16_IS_TRAIL(text[i + 1])) {
            ++i;
        } else if (U16_IS_SURROGATE(text[i])) {
            return false;
        }
    }
    return true;
}

}  // namespace

std::string fuzzDocument(std::string_view target, std::span<const uint8_t> data) {
    auto bytes = std::make_shared<const std::string>(
        documentBytes(target, std::string_view(reinterpret_cast<const char*>(data.data()), data.size())));
    documents::Options options;
    options.limits.maxExpandedBytes = 16 << 20;
    options.imageAltText = !data.empty() && (data[0] & 1);
    auto opened = Document::openBytes(bytes, "fuzz", options);
    if (!opened) {
        return opened.fault().message.starts_with("The file \"fuzz\" ")
                   ? ""
                   : "a fault not naming the file: " + opened.fault().message;
    }
    Document& document = *opened.value();
    std::u16string text;
    std::optional<std::u16string> first;
    std::vector<Chapter> chapters;
    while (document.read(text, chapters)) {
        if (!first) first = text;
        for (size_t i = 0; i < chapters.size(); ++i) {
            if (chapters[i].number != static_cast<int32_t>(i + 1)) return "chapters out of sequence";
            if (chapters[i].position > text.size()) return "a chapter handed over before its text";
            if (i > 0 && chapters[i].position < chapters[i - 1].position) return "chapters out of order";
        }
    }
    if (!validUtf16(text)) return "an unpaired surrogate in the text";
    if (auto cover = document.cover(); !cover && !cover.fault().message.starts_with("The file \"fuzz\" "))
        return "a cover's fault not naming the file: " + cover.fault().message;
    document.restart();
    std::u16string again;
    std::vector<Chapter> ignored;
    document.read(again, ignored);
    if (again != first.value_or(u"")) return "reading again gave another first piece";
    return {};
}

std::vector<std::pair<std::string, std::string>> documentSeeds(std::string_view target) {
    const std::vector<fixtures::Section> book = {
        {"Chapter One", {"It was a bright cold day in April.", "第一章的文字。"}},
        {"Chapter Two", {"The clocks were striking thirteen."}},
    };
    if (target == "html") {
        return {{"seed-page", fixtures::html(book, "A page")},
                {"seed-hidden",
                 "<!DOCTYPE html><p>Seen<span hidden>no</span><pre> a\n b</pre><img alt=\"pic\"><br>"
                 "<h2>Two</h2><table><tr><td>1</td><td>2</td></tr></table><script>x</script>"}};
    }
    if (target == "fb2") return {{"seed-book", fixtures::fb2(book, "A book")}};
    if (target == "pdf")
        return {{"seed-pages",
                 fixtures::pdf({{"Chapter One", "Some text on the first page."}, {"The end."}}, {"Chapter One"})}};
    if (target == "epub") {
        return {{"seed-nav", entriesInput(target, fixtures::epubEntries(book))},
                {"seed-plain", entriesInput(target, fixtures::epubEntries(book, false))},
                {"seed-archive", fixtures::epub(book)}};
    }
    if (target == "docx") return {{"seed-notes", entriesInput(target, fixtures::docxEntries(book, "A footnote."))}};
    if (target == "odt") return {{"seed-notes", entriesInput(target, fixtures::odtEntries(book, "A footnote."))}};
    return {};
}

}  // namespace fuzzing
