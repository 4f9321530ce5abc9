// SPDX-License-Identifier: GPL-3.0-or-later
// Small documents made at test time with the libraries that write them (libzip, cairo), for the
// document readers' tests, fuzz targets and benchmarks.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace fixtures {

// A chapter or section: a heading and its paragraphs.
struct Section {
    std::string title;
    std::vector<std::string> paragraphs;
    int level = 1;  // 2: a section of the chapter before it
};

using Entries = std::vector<std::pair<std::string, std::string>>;

// A zip archive in memory with `entries` in order (the first one stored, as EPUB and ODT want their
// mimetype; the rest deflated unless `store`). An entry named in `encrypted` is AES-encrypted.
std::string zipArchive(const Entries& entries, bool store = false, const std::string& encrypted = {});

// The text a reader should give for `sections`: each title and paragraph a paragraph of its own.
std::string expectedText(const std::vector<Section>& sections);

// The entries of an EPUB 3 book with one XHTML file per section (OEBPS/cN.xhtml) and a navigation
// document listing them, unless `nav` is false.
Entries epubEntries(const std::vector<Section>& sections, bool nav = true);
std::string epub(const std::vector<Section>& sections, bool nav = true);
// The entries of a DOCX whose sections start with a "Heading 1" paragraph; `footnote` is attached to the
// first paragraph when not empty.
Entries docxEntries(const std::vector<Section>& sections, const std::string& footnote = {});
std::string docx(const std::vector<Section>& sections, const std::string& footnote = {});
// The entries of an ODT with level-1 headings and an optional footnote in the first paragraph.
Entries odtEntries(const std::vector<Section>& sections, const std::string& footnote = {});
std::string odt(const std::vector<Section>& sections, const std::string& footnote = {});
// An FB2 book with one section per entry.
std::string fb2(const std::vector<Section>& sections, const std::string& bookTitle);
// An HTML page with an h1 per section.
std::string html(const std::vector<Section>& sections, const std::string& title);
// What a document says of itself, for the fixtures that carry it: its author (two for EPUB and FB2,
// which list each apart: "author" and "co-author"), date, language and cover image (its bytes).
struct Facts {
    std::string author;
    std::string coAuthor;
    std::string date;
    std::string language;
    std::string cover;
};
// The same documents with their facts: EPUB 3 (a cover-image item, creators with roles, an illustrator
// among them) or EPUB 2 (a cover meta and opf:role); DOCX with docProps/core.xml and a thumbnail; ODT
// with meta.xml and Thumbnails/thumbnail.png; FB2 with title-info and a coverpage binary; HTML with
// meta elements and <html lang>.
Entries epubEntries(const std::vector<Section>& sections, const Facts& facts, bool epub2 = false);
std::string epub(const std::vector<Section>& sections, const Facts& facts, bool epub2 = false);
std::string docx(const std::vector<Section>& sections, const Facts& facts);
std::string odt(const std::vector<Section>& sections, const Facts& facts);
std::string fb2(const std::vector<Section>& sections, const std::string& bookTitle, const Facts& facts);
std::string html(const std::vector<Section>& sections, const std::string& title, const Facts& facts);
// Base64 of `bytes`, as FB2 holds its images.
std::string base64(const std::string& bytes);
// A PDF with one page per entry, each line drawn on a line of its own, and top-level outline entries;
// its information dictionary holds the facts' author and date (a day).
std::string pdf(const std::vector<std::vector<std::string>>& pages, const std::vector<std::string>& outline = {},
                const Facts& facts = {});
// A one-page PDF with a drawing and no text.
std::string pdfWithoutText();
// A PDF whose standard security handler wants a user password.
std::string pdfWithPassword();

// A page of a hand-made PDF (Helvetica): a line of text, or a bomb: content whose Flate stream
// inflates to `inflatedMb` MB of text-drawing operators from one some 300 times smaller, or forms
// nested nine deep, each drawing the next eight times (134 million words from a few kilobytes).
struct PdfPage {
    enum Kind { Text, Inflating, NestedForms } kind = Text;
    std::string text;
    int inflatedMb = 0;
};
std::string handMadePdf(const std::vector<PdfPage>& pages);

void writeFile(const std::string& path, const std::string& bytes);

}  // namespace fixtures
