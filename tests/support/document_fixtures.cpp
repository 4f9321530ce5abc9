// SPDX-License-Identifier: GPL-3.0-or-later
#include "tests/support/document_fixtures.h"

#include <cairo.h>
#include <zip.h>
#include <zlib.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>
#include <stdexcept>

#include <cairo-pdf.h>

namespace fixtures {
namespace {

// Whether the section `i` is a chapter whose sections follow it (they are nested in it), and whether it
// is the last section of a chapter.
bool opensSections(const std::vector<Section>& sections, size_t i) {
    return sections[i].level == 1 && i + 1 < sections.size() && sections[i + 1].level == 2;
}
bool closesSections(const std::vector<Section>& sections, size_t i) {
    return sections[i].level == 2 && (i + 1 == sections.size() || sections[i + 1].level == 1);
}

std::string escaped(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

void check(bool ok, const char* what) {
    if (!ok) throw std::runtime_error(std::string("fixture: ") + what);
}

cairo_status_t appendTo(void* closure, const unsigned char* data, unsigned int length) {
    static_cast<std::string*>(closure)->append(reinterpret_cast<const char*>(data), length);
    return CAIRO_STATUS_SUCCESS;
}

// A PDF drawn by `draw` on a cairo PDF surface of A4 pages.
template <class Draw>
std::string drawPdf(Draw&& draw) {
    std::string bytes;
    cairo_surface_t* surface = cairo_pdf_surface_create_for_stream(appendTo, &bytes, 595, 842);
    cairo_t* cr = cairo_create(surface);
    draw(surface, cr);
    cairo_destroy(cr);
    cairo_surface_finish(surface);
    const cairo_status_t status = cairo_surface_status(surface);
    cairo_surface_destroy(surface);
    check(status == CAIRO_STATUS_SUCCESS, "cairo could not write the PDF");
    return bytes;
}

// A PDF of `objects` (numbered from 1) with a cross-reference table, `trailer` added to its trailer.
std::string assembledPdf(const std::vector<std::string>& objects, const std::string& trailer) {
    std::string out = "%PDF-1.4\n";
    std::vector<size_t> offsets;
    for (size_t i = 0; i < objects.size(); ++i) {
        offsets.push_back(out.size());
        out += std::to_string(i + 1) + " 0 obj\n" + objects[i] + "\nendobj\n";
    }
    const size_t xref = out.size();
    out += "xref\n0 " + std::to_string(objects.size() + 1) + "\n0000000000 65535 f \n";
    for (size_t offset : offsets) {
        char line[24];
        std::snprintf(line, sizeof line, "%010zu 00000 n \n", offset);
        out += line;
    }
    out += "trailer\n<< /Size " + std::to_string(objects.size() + 1) + " " + trailer + " >>\nstartxref\n" +
           std::to_string(xref) + "\n%%EOF\n";
    return out;
}

std::string pdfStream(const std::string& dictionary, const std::string& data) {
    return "<< " + dictionary + " /Length " + std::to_string(data.size()) + " >>\nstream\n" + data + "\nendstream";
}

// A zlib stream of `mb` MB of text-showing operators whose lines stand 2 points apart down the page
// (each on a baseline of its own, so the text layout keeps every word). One megabyte is compressed
// once, ending in a full flush, after which the compressor starts afresh: every further megabyte
// compresses to the same bytes, which are repeated, and the stream's checksum is combined to match.
std::string inflatingContent(int mb) {
    std::string period = "BT /F1 12 Tf 40 780 Td\n";
    for (int i = 0; i < 370; ++i) period += "(The quick brown fox jumps over the lazy dog.) Tj 0 -2 Td\n";
    period += "ET\n";
    std::string chunk;
    while (chunk.size() < (size_t{1} << 20)) chunk += period;
    z_stream z{};
    check(deflateInit(&z, 9) == Z_OK, "no zlib stream");
    auto deflateChunk = [&](int flush, const std::string& in) {
        std::string out(deflateBound(&z, in.size()) + 64, '\0');
        z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
        z.avail_in = static_cast<uInt>(in.size());
        z.next_out = reinterpret_cast<Bytef*>(out.data());
        z.avail_out = static_cast<uInt>(out.size());
        check(deflate(&z, flush) != Z_STREAM_ERROR && z.avail_in == 0, "zlib could not compress");
        out.resize(out.size() - z.avail_out);
        return out;
    };
    const std::string first = deflateChunk(Z_FULL_FLUSH, chunk);  // with the zlib header
    const std::string again = deflateChunk(Z_FULL_FLUSH, chunk);
    std::string end = deflateChunk(Z_FINISH, {});
    deflateEnd(&z);
    const uLong one =
        adler32(adler32(0, nullptr, 0), reinterpret_cast<const Bytef*>(chunk.data()), static_cast<uInt>(chunk.size()));
    uLong sum = one;
    std::string out = first;
    for (int i = 1; i < mb; ++i) {
        out += again;
        sum = adler32_combine(sum, one, static_cast<z_off_t>(chunk.size()));
    }
    for (int i = 0; i < 4; ++i) end[end.size() - 4 + i] = static_cast<char>((sum >> (8 * (3 - i))) & 0xFF);
    return out + end;
}

}  // namespace

std::string zipArchive(const Entries& entries, bool store, const std::string& encrypted) {
    zip_error_t error;
    zip_error_init(&error);
    zip_source_t* buffer = zip_source_buffer_create(nullptr, 0, 0, &error);
    check(buffer != nullptr, "no zip buffer");
    zip_source_keep(buffer);
    zip_t* zip = zip_open_from_source(buffer, ZIP_TRUNCATE, &error);
    check(zip != nullptr, "cannot start a zip archive");
    for (size_t i = 0; i < entries.size(); ++i) {
        const auto& [name, data] = entries[i];
        zip_source_t* source = zip_source_buffer(zip, data.data(), data.size(), 0);
        const zip_int64_t index = zip_file_add(zip, name.c_str(), source, ZIP_FL_ENC_UTF_8);
        check(index >= 0, "cannot add a zip entry");
        if (i == 0 || store) zip_set_file_compression(zip, static_cast<zip_uint64_t>(index), ZIP_CM_STORE, 0);
        if (name == encrypted) {
            check(zip_file_set_encryption(zip, static_cast<zip_uint64_t>(index), ZIP_EM_AES_256, "secret") == 0,
                  "cannot encrypt a zip entry");
        }
    }
    check(zip_close(zip) == 0, "cannot write the zip archive");
    zip_error_fini(&error);
    check(zip_source_open(buffer) == 0, "cannot read the zip buffer");
    zip_source_seek(buffer, 0, SEEK_END);
    std::string out(static_cast<size_t>(zip_source_tell(buffer)), '\0');
    zip_source_seek(buffer, 0, SEEK_SET);
    check(zip_source_read(buffer, out.data(), out.size()) == static_cast<zip_int64_t>(out.size()), "short zip read");
    zip_source_close(buffer);
    zip_source_free(buffer);
    return out;
}

std::string expectedText(const std::vector<Section>& sections) {
    std::string text;
    for (const auto& s : sections) {
        if (!text.empty()) text += "\n\n";
        text += s.title;
        for (const auto& p : s.paragraphs) text += "\n\n" + p;
    }
    return text;
}

Entries epubEntries(const std::vector<Section>& sections, bool nav) {
    Entries e{{"mimetype", "application/epub+zip"},
              {"META-INF/container.xml",
               "<?xml version=\"1.0\"?><container version=\"1.0\" "
               "xmlns=\"urn:oasis:names:tc:opendocument:xmlns:container\"><rootfiles><rootfile "
               "full-path=\"OEBPS/content.opf\" "
               "media-type=\"application/oebps-package+xml\"/></rootfiles></container>"}};
    std::string manifest = nav ? "<item id=\"nav\" href=\"nav.xhtml\" media-type=\"application/xhtml+xml\" "
                                 "properties=\"nav\"/>"
                               : "";
    std::string spine;
    std::string links;
    for (size_t i = 0; i < sections.size(); ++i) {
        const std::string id = "c" + std::to_string(i + 1);
        manifest += "<item id=\"" + id + "\" href=\"" + id + ".xhtml\" media-type=\"application/xhtml+xml\"/>";
        spine += "<itemref idref=\"" + id + "\"/>";
        const std::string h = "h" + std::to_string(sections[i].level);
        links += "<li><a href=\"" + id + ".xhtml#top\">" + escaped(sections[i].title) + "</a>" +
                 (opensSections(sections, i) ? "<ol>" : "</li>") + (closesSections(sections, i) ? "</ol></li>" : "");
        std::string body = "<" + h + ">" + escaped(sections[i].title) + "</" + h + ">";
        for (const auto& p : sections[i].paragraphs) body += "\n  <p>" + escaped(p) + "</p>";
        e.emplace_back("OEBPS/" + id + ".xhtml",
                       "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE html>\n<html "
                       "xmlns=\"http://www.w3.org/1999/xhtml\"><head><title>" +
                           escaped(sections[i].title) + "</title><style>p { margin: 0 }</style></head><body>" + body +
                           "</body></html>");
    }
    e.emplace_back("OEBPS/content.opf",
                   "<?xml version=\"1.0\" encoding=\"UTF-8\"?><package xmlns=\"http://www.idpf.org/2007/opf\" "
                   "version=\"3.0\" unique-identifier=\"id\"><metadata "
                   "xmlns:dc=\"http://purl.org/dc/elements/1.1/\"><dc:identifier id=\"id\">fixture</dc:identifier>"
                   "<dc:title>Fixture Book</dc:title><dc:language>en</dc:language></metadata><manifest>" +
                       manifest + "</manifest><spine>" + spine + "</spine></package>");
    if (nav) {
        e.emplace_back("OEBPS/nav.xhtml",
                       "<?xml version=\"1.0\" encoding=\"UTF-8\"?><html xmlns=\"http://www.w3.org/1999/xhtml\" "
                       "xmlns:epub=\"http://www.idpf.org/2007/ops\"><head><title>Contents</title></head><body><nav "
                       "epub:type=\"toc\"><ol>" +
                           links + "</ol></nav></body></html>");
    }
    return e;
}

std::string epub(const std::vector<Section>& sections, bool nav) {
    return zipArchive(epubEntries(sections, nav));
}

Entries docxEntries(const std::vector<Section>& sections, const std::string& footnote) {
    const std::string ns = "xmlns:w=\"http://schemas.openxmlformats.org/wordprocessingml/2006/main\"";
    std::string body;
    bool first = true;
    for (const auto& s : sections) {
        body += "<w:p><w:pPr><w:pStyle w:val=\"Heading" + std::to_string(s.level) + "\"/></w:pPr><w:r><w:t>" +
                escaped(s.title) + "</w:t></w:r></w:p>";
        for (const auto& p : s.paragraphs) {
            body += "<w:p><w:r><w:t xml:space=\"preserve\">" + escaped(p) + "</w:t></w:r>";
            if (first && !footnote.empty()) body += "<w:r><w:footnoteReference w:id=\"1\"/></w:r>";
            body += "</w:p>";
            first = false;
        }
    }
    const std::string rels = "http://schemas.openxmlformats.org/officeDocument/2006/relationships/";
    return {
        {"[Content_Types].xml",
         "<?xml version=\"1.0\" encoding=\"UTF-8\"?><Types "
         "xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\"><Default Extension=\"xml\" "
         "ContentType=\"application/xml\"/><Override PartName=\"/word/document.xml\" "
         "ContentType=\"application/vnd.openxmlformats-officedocument.wordprocessingml.document.main+xml\"/"
         "></Types>"},
        {"_rels/.rels",
         "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">"
         "<Relationship Id=\"r1\" Type=\"" +
             rels +
             "officeDocument\" Target=\"word/document.xml\"/>"
             "</Relationships>"},
        {"word/_rels/document.xml.rels",
         "<Relationships "
         "xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\"><Relationship "
         "Id=\"r1\" Type=\"" +
             rels + "styles\" Target=\"styles.xml\"/><Relationship Id=\"r2\" Type=\"" + rels +
             "footnotes\" Target=\"footnotes.xml\"/></Relationships>"},
        {"word/styles.xml", "<w:styles " + ns +
                                "><w:style w:type=\"paragraph\" w:styleId=\"Heading1\"><w:name "
                                "w:val=\"heading 1\"/></w:style><w:style w:type=\"paragraph\" "
                                "w:styleId=\"Heading2\"><w:name w:val=\"heading 2\"/></w:style></w:styles>"},
        {"word/document.xml",
         "<?xml version=\"1.0\" encoding=\"UTF-8\"?><w:document " + ns + "><w:body>" + body + "</w:body></w:document>"},
        {"word/footnotes.xml", "<w:footnotes " + ns +
                                   "><w:footnote w:type=\"separator\" w:id=\"-1\"><w:p><w:r><w:separator/></w:r></w:p>"
                                   "</w:footnote><w:footnote w:id=\"1\"><w:p><w:r><w:t>" +
                                   escaped(footnote) +
                                   "</w:t></w:r></w:p></w:footnote>"
                                   "</w:footnotes>"},
    };
}

std::string docx(const std::vector<Section>& sections, const std::string& footnote) {
    return zipArchive(docxEntries(sections, footnote));
}

Entries odtEntries(const std::vector<Section>& sections, const std::string& footnote) {
    std::string body;
    bool first = true;
    for (const auto& s : sections) {
        body += "<text:h text:outline-level=\"" + std::to_string(s.level) + "\">" + escaped(s.title) + "</text:h>";
        for (const auto& p : s.paragraphs) {
            body += "<text:p>" + escaped(p);
            if (first && !footnote.empty()) {
                body +=
                    "<text:note text:id=\"n1\" "
                    "text:note-class=\"footnote\"><text:note-citation>1</text:note-citation>"
                    "<text:note-body><text:p>" +
                    escaped(footnote) + "</text:p></text:note-body></text:note>";
            }
            body += "</text:p>";
            first = false;
        }
    }
    return {
        {"mimetype", "application/vnd.oasis.opendocument.text"},
        {"content.xml",
         "<?xml version=\"1.0\" encoding=\"UTF-8\"?><office:document-content "
         "xmlns:office=\"urn:oasis:names:tc:opendocument:xmlns:office:1.0\" "
         "xmlns:text=\"urn:oasis:names:tc:opendocument:xmlns:text:1.0\" office:version=\"1.2\"><office:body>"
         "<office:text>" +
             body + "</office:text></office:body></office:document-content>"},
    };
}

std::string odt(const std::vector<Section>& sections, const std::string& footnote) {
    return zipArchive(odtEntries(sections, footnote));
}

std::string fb2(const std::vector<Section>& sections, const std::string& bookTitle) {
    std::string body;
    for (size_t i = 0; i < sections.size(); ++i) {
        body += "<section><title><p>" + escaped(sections[i].title) + "</p></title>";
        for (const auto& p : sections[i].paragraphs) body += "<p>" + escaped(p) + "</p>";
        if (!opensSections(sections, i)) body += "</section>";
        if (closesSections(sections, i)) body += "</section>";
    }
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<FictionBook "
           "xmlns=\"http://www.gribuser.ru/xml/fictionbook/2.0\"><description><title-info><book-title>" +
           escaped(bookTitle) + "</book-title></title-info></description><body>" + body +
           "</body><binary id=\"cover\" content-type=\"image/png\">iVBORw0KGgo=</binary></FictionBook>";
}

std::string html(const std::vector<Section>& sections, const std::string& title) {
    std::string body;
    for (const auto& s : sections) {
        body += "<h" + std::to_string(s.level) + ">" + escaped(s.title) + "</h" + std::to_string(s.level) + ">\n";
        for (const auto& p : s.paragraphs) body += "<p>" + escaped(p) + "</p>\n";
    }
    return "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>" + escaped(title) +
           "</title><script>var hidden = 1;</script></head><body>\n" + body + "</body></html>\n";
}

namespace {

// `entries` with the text of entry `name` changed by `change`.
Entries changed(Entries entries, const std::string& name, const std::function<void(std::string&)>& change) {
    for (auto& [entry, data] : entries) {
        if (entry == name) change(data);
    }
    return entries;
}

void insertBefore(std::string& text, const std::string& mark, const std::string& inserted) {
    const size_t at = text.find(mark);
    check(at != std::string::npos, "no place for the facts");
    text.insert(at, inserted);
}

}  // namespace

std::string base64(const std::string& bytes) {
    static constexpr char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < bytes.size(); i += 3) {
        uint32_t v = static_cast<uint8_t>(bytes[i]) << 16;
        if (i + 1 < bytes.size()) v |= static_cast<uint8_t>(bytes[i + 1]) << 8;
        if (i + 2 < bytes.size()) v |= static_cast<uint8_t>(bytes[i + 2]);
        out += kLetters[v >> 18 & 63];
        out += kLetters[v >> 12 & 63];
        out += i + 1 < bytes.size() ? kLetters[v >> 6 & 63] : '=';
        out += i + 2 < bytes.size() ? kLetters[v & 63] : '=';
        if (out.size() % 77 == 76) out += "\n";  // line breaks, as FB2 files have them
    }
    return out;
}

std::string epub(const std::vector<Section>& sections, const Facts& facts, bool epub2) {
    return zipArchive(epubEntries(sections, facts, epub2));
}

Entries epubEntries(const std::vector<Section>& sections, const Facts& f, bool epub2) {
    Entries entries = changed(epubEntries(sections), "OEBPS/content.opf", [&](std::string& opf) {
        const std::string role = epub2 ? " opf:role=\"aut\"" : "";
        std::string meta = "<dc:creator id=\"a1\"" + role + ">" + escaped(f.author) + "</dc:creator>" +
                           "<dc:creator id=\"a2\"" + (epub2 ? " opf:role=\"ill\"" : "") + ">Ill Ustrator</dc:creator>" +
                           "<dc:creator id=\"a3\"" + role + ">" + escaped(f.coAuthor) + "</dc:creator>";
        if (!epub2) {
            meta +=
                "<meta refines=\"#a1\" property=\"role\" scheme=\"marc:relators\">aut</meta>"
                "<meta refines=\"#a2\" property=\"role\" scheme=\"marc:relators\">ill</meta>";
        }
        meta += "<dc:date" +
                std::string(epub2 ? " opf:event=\"modification\">2020-01-01</dc:date><dc:date "
                                    "opf:event=\"publication\""
                                  : "") +
                ">" + escaped(f.date) + "</dc:date>";
        if (epub2) meta += "<meta name=\"cover\" content=\"cover-image\"/>";
        insertBefore(opf, "</metadata>", meta);
        opf.replace(opf.find("<dc:language>en"), 15, "<dc:language>" + escaped(f.language));
        insertBefore(opf, "</manifest>",
                     "<item id=\"cover-image\" href=\"images/cover.png\" media-type=\"image/png\"" +
                         std::string(epub2 ? "" : " properties=\"cover-image\"") + "/>");
        if (epub2)
            opf.replace(opf.find("version=\"3.0\""), 13, "version=\"2.0\" xmlns:opf=\"http://www.idpf.org/2007/opf\"");
    });
    entries.emplace_back("OEBPS/images/cover.png", f.cover);
    return entries;
}

std::string docx(const std::vector<Section>& sections, const Facts& f) {
    Entries entries = changed(docxEntries(sections), "_rels/.rels", [&](std::string& rels) {
        insertBefore(rels, "</Relationships>",
                     "<Relationship Id=\"r9\" Type=\"http://schemas.openxmlformats.org/package/2006/relationships/"
                     "metadata/thumbnail\" Target=\"docProps/thumbnail.png\"/>");
    });
    entries.emplace_back("docProps/core.xml",
                         "<?xml version=\"1.0\" encoding=\"UTF-8\"?><cp:coreProperties "
                         "xmlns:cp=\"http://schemas.openxmlformats.org/package/2006/metadata/core-properties\" "
                         "xmlns:dc=\"http://purl.org/dc/elements/1.1/\" xmlns:dcterms=\"http://purl.org/dc/terms/\">"
                         "<dc:title>Letter</dc:title><dc:creator>" +
                             escaped(f.author) +
                             "</dc:creator><cp:lastModifiedBy>Someone Else</cp:lastModifiedBy><dcterms:created>" +
                             escaped(f.date) +
                             "</dcterms:created><dcterms:modified>2020-01-01T00:00:00Z</dcterms:modified>"
                             "<dc:language>" +
                             escaped(f.language) + "</dc:language></cp:coreProperties>");
    entries.emplace_back("docProps/thumbnail.png", f.cover);
    return zipArchive(entries);
}

std::string odt(const std::vector<Section>& sections, const Facts& f) {
    Entries entries = odtEntries(sections);
    entries.emplace_back(
        "meta.xml",
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?><office:document-meta "
        "xmlns:office=\"urn:oasis:names:tc:opendocument:xmlns:office:1.0\" "
        "xmlns:meta=\"urn:oasis:names:tc:opendocument:xmlns:meta:1.0\" "
        "xmlns:dc=\"http://purl.org/dc/elements/1.1/\"><office:meta><dc:title>Letter</dc:title>"
        "<meta:initial-creator>" +
            escaped(f.author) + "</meta:initial-creator><dc:creator>Someone Else</dc:creator><meta:creation-date>" +
            escaped(f.date) + "</meta:creation-date><dc:date>2020-01-01T00:00:00</dc:date><dc:language>" +
            escaped(f.language) + "</dc:language></office:meta></office:document-meta>");
    entries.emplace_back("Thumbnails/thumbnail.png", f.cover);
    return zipArchive(entries);
}

std::string fb2(const std::vector<Section>& sections, const std::string& bookTitle, const Facts& f) {
    std::string book = fb2(sections, bookTitle);
    const auto name = [](const std::string& full) {
        const size_t space = full.rfind(' ');
        return "<author><first-name>" + escaped(full.substr(0, space)) + "</first-name><last-name>" +
               escaped(full.substr(space + 1)) + "</last-name></author>";
    };
    insertBefore(book, "<book-title>", "<genre>prose</genre>" + name(f.author) + name(f.coAuthor));
    insertBefore(book, "</title-info>",
                 "<annotation><p>What the book is about.</p></annotation><date value=\"" + escaped(f.date) + "\">" +
                     escaped(f.date.substr(0, 4)) +
                     "</date><coverpage><image "
                     "xmlns:l=\"http://www.w3.org/1999/xlink\" l:href=\"#cover.png\"/></coverpage><lang>" +
                     escaped(f.language) + "</lang>");
    insertBefore(book, "</description>",
                 "<document-info><author><nickname>file maker</nickname></author></document-info>");
    insertBefore(book, "</FictionBook>",
                 "<binary id=\"cover.png\" content-type=\"image/png\">\n" + base64(f.cover) + "\n</binary>");
    return book;
}

std::string html(const std::vector<Section>& sections, const std::string& title, const Facts& f) {
    std::string page = html(sections, title);
    page.replace(page.find("<html>"), 6, "<html lang=\"" + escaped(f.language) + "\">");
    insertBefore(page, "<title>",
                 "<meta name=\"author\" content=\"" + escaped(f.author) + "\"><meta name=\"date\" content=\"" +
                     escaped(f.date) + "\">");
    return page;
}

std::string pdf(const std::vector<std::vector<std::string>>& pages, const std::vector<std::string>& outline,
                const Facts& facts) {
    return drawPdf([&](cairo_surface_t* surface, cairo_t* cr) {
        if (!facts.author.empty())
            cairo_pdf_surface_set_metadata(surface, CAIRO_PDF_METADATA_AUTHOR, facts.author.c_str());
        if (!facts.date.empty()) {
            const std::string day = facts.date + "T00:00:00";
            cairo_pdf_surface_set_metadata(surface, CAIRO_PDF_METADATA_CREATE_DATE, day.c_str());
        }
        cairo_select_font_face(cr, "sans-serif", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
        cairo_set_font_size(cr, 12);
        for (const auto& title : outline) {
            cairo_pdf_surface_add_outline(surface, CAIRO_PDF_OUTLINE_ROOT, title.c_str(), "page=1",
                                          CAIRO_PDF_OUTLINE_FLAG_OPEN);
        }
        for (const auto& lines : pages) {
            double y = 72;
            for (const auto& line : lines) {
                cairo_move_to(cr, 72, y);
                cairo_show_text(cr, line.c_str());
                y += 18;
            }
            cairo_show_page(cr);
        }
    });
}

std::string pdfWithoutText() {
    return drawPdf([](cairo_surface_t*, cairo_t* cr) {
        cairo_rectangle(cr, 100, 100, 200, 300);
        cairo_fill(cr);
        cairo_show_page(cr);
    });
}

std::string pdfWithPassword() {
    // The standard security handler (revision 2) with a user-password check value that the empty
    // password does not give: the document cannot be opened without the password.
    const std::string key32(64, 'A');
    return assembledPdf(
        {
            "<< /Type /Catalog /Pages 2 0 R >>",
            "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
            "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 200 200] >>",
            "<< /Filter /Standard /V 1 /R 2 /O <" + key32 + "> /U <" + key32 + "> /P -4 >>",
        },
        "/Root 1 0 R /Encrypt 4 0 R /ID [<0123456789ABCDEF0123456789ABCDEF> <0123456789ABCDEF0123456789ABCDEF>]");
}

std::string handMadePdf(const std::vector<PdfPage>& pages) {
    // Objects: 1 catalog, 2 page tree, 3 font, 4..13 the forms X0..X9, then a content and a page each.
    constexpr int kDepth = 9;
    constexpr int kFanout = 8;
    constexpr int kFirstForm = 4;
    std::vector<std::string> objects = {"<< /Type /Catalog /Pages 2 0 R >>", "",
                                        "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>"};
    for (int level = 0; level <= kDepth; ++level) {
        std::string content;
        std::string resources = "<< /Font << /F1 3 0 R >> >>";
        if (level == 0) {
            content = "BT /F1 12 Tf 72 700 Td (Hello there) Tj ET\n";
        } else {
            // Each copy a little lower, so that no two words of the page share a spot.
            const double step = 600.0 / std::pow(kFanout, kDepth - level + 1);
            for (int j = 0; j < kFanout; ++j) {
                char line[80];
                std::snprintf(line, sizeof line, "q 1 0 0 1 0 %.6f cm /X%d Do Q\n", -j * step, level - 1);
                content += line;
            }
            resources = "<< /XObject << /X" + std::to_string(level - 1) + " " + std::to_string(kFirstForm + level - 1) +
                        " 0 R >> >>";
        }
        objects.push_back(
            pdfStream("/Type /XObject /Subtype /Form /BBox [0 0 612 792] /Resources " + resources, content));
    }
    std::string kids;
    for (const PdfPage& page : pages) {
        const int content = static_cast<int>(objects.size()) + 1;
        switch (page.kind) {
            case PdfPage::Text:
                objects.push_back(pdfStream("", "BT /F1 12 Tf 72 700 Td (" + page.text + ") Tj ET\n"));
                break;
            case PdfPage::Inflating:
                objects.push_back(pdfStream("/Filter /FlateDecode", inflatingContent(page.inflatedMb)));
                break;
            case PdfPage::NestedForms:
                objects.push_back(pdfStream("", "/X" + std::to_string(kDepth) + " Do\n"));
                break;
        }
        objects.push_back(
            "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Resources << /Font << /F1 3 0 R "
            ">> /XObject << /X" +
            std::to_string(kDepth) + " " + std::to_string(kFirstForm + kDepth) + " 0 R >> >> /Contents " +
            std::to_string(content) + " 0 R >>");
        kids += std::to_string(content + 1) + " 0 R ";
    }
    objects[1] = "<< /Type /Pages /Kids [" + kids + "] /Count " + std::to_string(pages.size()) + " >>";
    return assembledPdf(objects, "/Root 1 0 R");
}

void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    check(out.good(), "cannot write a fixture file");
}

}  // namespace fixtures
