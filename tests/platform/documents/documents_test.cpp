// SPDX-License-Identifier: GPL-3.0-or-later
// The document readers on small documents made at test time: the text in reading order, the chapters
// with their titles at their positions, pieces that arrive as they are read, and a clear fault for
// every damaged, hostile or protected input.
#include <gtest/gtest.h>

#include <functional>

#include "documents/document.h"
#include "documents/markup.h"
#include "tests/support/document_fixtures.h"
#include "tests/support/encodings.h"
#include "tests/support/test_files.h"
#include "tests/support/utf16.h"

namespace documents {
namespace {

using fixtures::Section;
using testing_support::u16;
using testing_support::utf8;

const std::vector<Section> kBook = {
    {"Chapter One", {"It was a bright cold day in April, and the clocks were striking thirteen."}},
    {"Chapter Two", {"Outside, even through the shut window-pane, the world looked cold."}},
};
const std::string kNote = "A note at the foot of the page.";

struct Read {
    std::string text;
    std::vector<Chapter> chapters;
};

// Reads a document to its end, checking that every chapter comes with (or before) the text it starts.
Read readAll(Document& document) {
    std::u16string text;
    std::vector<Chapter> chapters;
    while (document.read(text, chapters)) {
        for (const auto& c : chapters) EXPECT_LE(c.position, text.size()) << c.title;
    }
    EXPECT_FALSE(document.failure().has_value()) << document.failure()->message;
    return {utf8(text), chapters};
}

// The chapters a reader should find in `text`: one per section, at its title.
std::vector<Chapter> chaptersOf(const std::vector<Section>& sections, const std::string& text) {
    std::vector<Chapter> out;
    const std::u16string units = u16(text);
    size_t from = 0;
    for (const auto& s : sections) {
        from = units.find(u16(s.title), from);
        out.push_back(Chapter{static_cast<int32_t>(out.size() + 1), s.title, from});
    }
    return out;
}

// Every format gives its text and chapters, the same again after a restart; a chapter's sections (an
// h2, a second-level heading or table of contents entry, a nested section) are chapters of level 2.
TEST(Documents, EveryFormatGivesItsTextInOrderWithItsChapters) {
    const std::vector<Section> outline = {
        {"Part One", {"Its start."}}, {"A Section", {"Inside it."}, 2}, {"Part Two", {"The end."}}};
    // The outline as an EPUB 2 whose NCX nests the section's navPoint in its chapter's.
    fixtures::Entries ncxBook = fixtures::epubEntries(outline, false);
    for (auto& [name, bytes] : ncxBook)
        if (name == "OEBPS/content.opf") {
            bytes.insert(bytes.find("</manifest>"),
                         "<item id=\"ncx\" href=\"toc.ncx\" media-type=\"application/x-dtbncx+xml\"/>");
            bytes.replace(bytes.find("<spine>"), 7, "<spine toc=\"ncx\">");
        }
    const auto point = [](int n, const std::string& title, const std::string& inside) {
        return "<navPoint id=\"p" + std::to_string(n) + "\"><navLabel><text>" + title +
               "</text></navLabel><content src=\"c" + std::to_string(n) + ".xhtml\"/>" + inside + "</navPoint>";
    };
    ncxBook.emplace_back("OEBPS/toc.ncx", "<ncx xmlns=\"http://www.daisy.org/z3986/2005/ncx/\"><navMap>" +
                                              point(1, "Part One", point(2, "A Section", "")) +
                                              point(3, "Part Two", "") + "</navMap></ncx>");
    std::vector<std::vector<std::string>> pages;
    for (const auto& s : kBook) pages.push_back({s.title, s.paragraphs[0]});
    const std::string book = fixtures::expectedText(kBook);
    const std::string withNote = book + "\n\n" + kNote;
    const struct {
        const char* file;
        std::string bytes;
        Format format;
        std::string text;
        std::string title;
        std::string outlined;  // `outline` in the format (none: its outline is flat)
    } cases[] = {
        {"book.epub", fixtures::epub(kBook), Format::Epub, book, "Fixture Book", fixtures::epub(outline)},
        {"plain.epub", fixtures::epub(kBook, false), Format::Epub, book, "Fixture Book", fixtures::zipArchive(ncxBook)},
        {"page.html", fixtures::html(kBook, "The Page"), Format::Html, book, "The Page", fixtures::html(outline, "")},
        {"letter.docx", fixtures::docx(kBook, kNote), Format::Docx, withNote, "", fixtures::docx(outline, "")},
        {"letter.odt", fixtures::odt(kBook, kNote), Format::Odt, withNote, "", fixtures::odt(outline, "")},
        {"book.fb2", fixtures::fb2(kBook, "Fiction Book"), Format::Fb2, book, "Fiction Book",
         fixtures::fb2(outline, "")},
        {"book.pdf", fixtures::pdf(pages, {"Chapter One", "Chapter Two"}), Format::Pdf, book, "", ""},
    };
    testing_support::TempDir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        fixtures::writeFile(dir.file(c.file), c.bytes);
        auto opened = Document::open(dir.file(c.file));
        ASSERT_TRUE(opened.ok()) << opened.fault().message;
        Document& document = *opened.value();
        EXPECT_EQ(document.format(), c.format);
        EXPECT_EQ(document.title(), c.title);
        const Read first = readAll(document);
        EXPECT_EQ(first.text, c.text);
        EXPECT_EQ(first.chapters, chaptersOf(kBook, c.text));
        document.restart();
        const Read again = readAll(document);
        EXPECT_EQ(again.text, first.text);
        EXPECT_EQ(again.chapters, first.chapters);

        if (c.outlined.empty()) continue;
        fixtures::writeFile(dir.file(c.file), c.outlined);
        auto outlined = Document::open(dir.file(c.file));
        ASSERT_TRUE(outlined.ok()) << outlined.fault().message;
        std::vector<std::pair<std::string, int32_t>> levels;
        for (const auto& chapter : readAll(*outlined.value()).chapters)
            levels.emplace_back(chapter.title, chapter.level);
        EXPECT_EQ(levels,
                  (std::vector<std::pair<std::string, int32_t>>{{"Part One", 1}, {"A Section", 2}, {"Part Two", 1}}));
    }
}

TEST(Documents, TextArrivesAsItIsRead) {
    const struct {
        const char* name;
        std::string bytes;
    } cases[] = {
        {"a PDF page by page", fixtures::pdf({{"The first page."}, {"The second page."}})},
        {"an EPUB chapter by chapter", fixtures::epub(kBook)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto opened = Document::openBytes(std::make_shared<const std::string>(c.bytes), c.name);
        ASSERT_TRUE(opened.ok()) << opened.fault().message;
        std::u16string text;
        std::vector<Chapter> chapters;
        ASSERT_TRUE(opened.value()->read(text, chapters));
        const size_t first = text.size();
        EXPECT_GT(first, 0u);
        while (opened.value()->read(text, chapters)) {
        }
        EXPECT_GT(text.size(), first) << "the first piece held the whole text";
    }
}

// An EPUB's entries with `change` applied.
std::string epubWith(const std::function<void(fixtures::Entries&)>& change, const std::string& encrypted = {}) {
    fixtures::Entries entries = fixtures::epubEntries(kBook);
    change(entries);
    return fixtures::zipArchive(entries, false, encrypted);
}

TEST(Documents, BadInputsGiveAClearFault) {
    const std::string epub = fixtures::epub(kBook);
    const std::string huge(3 << 20, ' ');
    Options small;
    small.limits.maxExpandedBytes = 1 << 20;
    small.limits.maxRatio = 1 << 30;
    const struct {
        const char* name;
        std::string bytes;
        Options options;
        int32_t code;
        const char* says;
    } cases[] = {
        {"a truncated archive", epub.substr(0, epub.size() / 2), {}, errc::kDamaged, "damaged"},
        {"a missing spine item",
         epubWith([](auto& e) { std::erase_if(e, [](auto& x) { return x.first == "OEBPS/c2.xhtml"; }); }),
         {},
         errc::kDamaged,
         "OEBPS/c2.xhtml"},
        {"DRM",
         epubWith([](auto& e) {
             e.emplace_back("META-INF/encryption.xml",
                            "<encryption "
                            "xmlns=\"urn:oasis:names:tc:opendocument:xmlns:container\"><EncryptedData><CipherData><"
                            "CipherReference URI=\"OEBPS/c1.xhtml\"/></CipherData></EncryptedData></encryption>");
         }),
         {},
         errc::kProtected,
         "DRM"},
        {"an encrypted entry", epubWith([](auto&) {}, "OEBPS/c1.xhtml"), {}, errc::kProtected, "encrypted"},
        {"a zip bomb by ratio",
         epubWith([&](auto& e) { e[2].second.insert(e[2].second.find("<h1>"), huge); }),
         {},
         errc::kTooLarge,
         "100 times"},
        {"a zip bomb by size", epubWith([&](auto& e) { e[2].second.insert(e[2].second.find("<h1>"), huge); }), small,
         errc::kTooLarge, "1 MB"},
        {"an archive of something else",
         fixtures::zipArchive({{"readme.txt", "hello"}}),
         {},
         errc::kNotADocument,
         "EPUB"},
        {"a PDF without a text layer", fixtures::pdfWithoutText(), {}, errc::kNoText, "no text to read"},
        {"a PDF with a password", fixtures::pdfWithPassword(), {}, errc::kProtected, "password"},
        {"a damaged PDF", fixtures::pdf({{"Some text."}}).substr(0, 40), {}, errc::kDamaged, "damaged"},
        {"plain text", "Just some text.", {}, errc::kNotADocument, "not a document"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto opened = Document::openBytes(std::make_shared<const std::string>(c.bytes), "bad.file", c.options);
        ASSERT_FALSE(opened.ok());
        EXPECT_EQ(opened.fault().code, c.code) << opened.fault().message;
        EXPECT_NE(opened.fault().message.find("The file \"bad.file\""), std::string::npos) << opened.fault().message;
        EXPECT_NE(opened.fault().message.find(c.says), std::string::npos) << opened.fault().message;
    }
}

// Each reader's own small broken inputs: refused with a fault of the right kind, or read as far as
// they go, never a crash or a hang (an entry's text cut short is what a reader can still give).
TEST(Documents, EachReaderRefusesOrReadsSafelyItsBrokenInputs) {
    const auto without = [](fixtures::Entries entries, const std::string& name) {
        std::erase_if(entries, [&](auto& e) { return e.first == name; });
        return fixtures::zipArchive(entries);
    };
    const auto cut = [](fixtures::Entries entries, const std::string& name) {
        for (auto& e : entries)
            if (e.first == name) e.second.resize(e.second.size() / 2);
        return fixtures::zipArchive(entries);
    };
    const std::string fb2 = fixtures::fb2(kBook, "Book");
    const std::string html = fixtures::html(kBook, "Book");
    const struct {
        const char* name;
        std::string bytes;
        int32_t code;  // 0: it opens, and reading it gives `text`
        std::string text;
    } cases[] = {
        {"EPUB without its container", without(fixtures::epubEntries(kBook), "META-INF/container.xml"), errc::kDamaged,
         ""},
        {"EPUB whose package is cut", cut(fixtures::epubEntries(kBook), "OEBPS/content.opf"), errc::kNoText, ""},
        {"EPUB whose chapter is cut", cut(fixtures::epubEntries(kBook), "OEBPS/c2.xhtml"), 0, "Chapter One"},
        {"DOCX without its document", without(fixtures::docxEntries(kBook), "word/document.xml"), errc::kDamaged, ""},
        {"DOCX whose document is cut", cut(fixtures::docxEntries(kBook), "word/document.xml"), 0, "Chapter One"},
        {"DOCX without its styles", without(fixtures::docxEntries(kBook), "word/styles.xml"), 0, "Chapter Two"},
        {"ODT without its content", without(fixtures::odtEntries(kBook), "content.xml"), errc::kDamaged, ""},
        {"ODT whose content is cut", cut(fixtures::odtEntries(kBook), "content.xml"), 0, "Chapter One"},
        {"FB2 cut in half", fb2.substr(0, fb2.size() / 2), 0, "Chapter One"},
        {"FB2 without a body", "<?xml version=\"1.0\"?><FictionBook><description/></FictionBook>", errc::kNoText, ""},
        {"HTML cut in half", html.substr(0, html.size() / 2), 0, "Chapter One"},
        {"HTML of markup alone", "<html><body><img src='a.png'><br></body></html>", errc::kNoText, ""},
        {"PDF cut at its body", fixtures::pdf({{"Some text."}}).substr(0, 200), errc::kDamaged, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto opened = Document::openBytes(std::make_shared<const std::string>(c.bytes), "broken.file");
        if (c.code != 0) {
            ASSERT_FALSE(opened.ok());
            EXPECT_EQ(opened.fault().code, c.code) << opened.fault().message;
            EXPECT_NE(opened.fault().message.find("\"broken.file\""), std::string::npos) << opened.fault().message;
            continue;
        }
        ASSERT_TRUE(opened.ok()) << opened.fault().message;
        std::u16string text;
        std::vector<Chapter> chapters;
        while (opened.value()->read(text, chapters)) {
        }
        EXPECT_NE(utf8(text).find(c.text), std::string::npos) << utf8(text);
    }
}

TEST(Documents, HostileOrBrokenMarkupIsReadSafely) {
    testing_support::TempDir dir;
    fixtures::writeFile(dir.file("secret.txt"), "SECRET");
    const std::string entities =
        "<?xml version=\"1.0\"?>\n<!DOCTYPE FictionBook [<!ENTITY xxe SYSTEM \"file://" + dir.file("secret.txt") +
        "\"><!ENTITY a \"lol\"><!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;\">"
        "<!ENTITY c \"&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;\"><!ENTITY d \"&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;\">]>"
        "<FictionBook><body><section><p>Before &xxe; &d; after &amp; done.</p></section></body>"
        "</FictionBook>";
    std::string deep = "<html><body>";
    for (int i = 0; i < 20000; ++i) deep += "<div>";
    deep += "Deep text.</body></html>";
    const struct {
        const char* name;
        std::string bytes;
        std::string expected;
    } cases[] = {
        {"external and nested entities", entities, "Before after & done."},
        {"invalid UTF-8 in XHTML", epubWith([](auto& e) { e[2].second.insert(e[2].second.find("</h1>"), "\xFF\xC3"); }),
         "Chapter One\xEF\xBF\xBD\xEF\xBF\xBD\n\nIt was"},
        {"Chinese HTML without a charset",
         "<html><body><p>" + testing_support::encodeAs(testing_support::kChineseText, "GB18030") + "</p></body></html>",
         "春眠不覺曉，處處聞啼鳥。"},
        {"a declared legacy encoding",
         "<?xml version=\"1.0\" "
         "encoding=\"windows-1251\"?><FictionBook><body><p>\xCF\xF0\xE8\xE2\xE5\xF2</p></body></FictionBook>",
         "Привет"},
        {"UTF-16 HTML", std::string("\xFF\xFE<\0h\0t\0m\0l\0>\0H\0i\0", 18), "Hi"},
        {"hidden content",
         "<!DOCTYPE html><p>Seen<span hidden>no</span> <b style='display: none'>no</b>and "
         "<rt>no</rt>kept</p>",
         "Seen and kept"},
        {"deep nesting", deep, "Deep text."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto opened = Document::openBytes(std::make_shared<const std::string>(c.bytes), c.name);
        ASSERT_TRUE(opened.ok()) << opened.fault().message;
        const std::string text = readAll(*opened.value()).text;
        EXPECT_NE(text.find(c.expected), std::string::npos) << text;
        EXPECT_EQ(text.find("SECRET"), std::string::npos);
        EXPECT_EQ(text.find("lollol"), std::string::npos);
    }
}

TEST(Documents, GiveTheirAuthorDateLanguageAndCover) {
    // The cover's bytes are handed out as stored: the readers do not look inside the image.
    const std::string cover = std::string("\x89PNG\r\n\x1a\n", 8) + std::string(300, '\x07') + "end";
    const fixtures::Facts facts{"Herman Melville", "Mary Shelley", "1851-10-18", "en-GB", cover};
    const Metadata two{"Herman Melville, Mary Shelley", "1851-10-18", "en-GB"};
    const Metadata one{"Herman Melville", "1851-10-18", "en-GB"};
    const struct {
        const char* name;
        std::string bytes;
        Metadata metadata;
        std::optional<std::string> cover;
    } cases[] = {
        {"EPUB 3", fixtures::epub(kBook, facts), two, cover},
        {"EPUB 2", fixtures::epub(kBook, facts, true), two, cover},
        {"DOCX", fixtures::docx(kBook, facts), one, cover},
        {"ODT", fixtures::odt(kBook, facts), one, cover},
        {"FB2", fixtures::fb2(kBook, "Fiction Book", facts), two, cover},
        {"HTML", fixtures::html(kBook, "The Page", facts), one, std::nullopt},
        {"PDF", fixtures::pdf({{"Call me Ishmael."}}, {}, facts), {"Herman Melville", "1851-10-18", ""}, std::nullopt},
        {"EPUB without any", fixtures::epub(kBook), {"", "", "en"}, std::nullopt},
        {"DOCX without any", fixtures::docx(kBook), {}, std::nullopt},
        {"PDF without any", fixtures::handMadePdf({{fixtures::PdfPage::Text, "Call me Ishmael."}}), {}, std::nullopt},
        {"FB2 whose binaries are not its cover", fixtures::fb2(kBook, "Fiction Book"), {}, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto opened = Document::openBytes(std::make_shared<const std::string>(c.bytes), c.name);
        ASSERT_TRUE(opened.ok()) << opened.fault().message;
        EXPECT_EQ(opened.value()->metadata(), c.metadata);
        readAll(*opened.value());  // the cover is there after the text, too
        auto read = opened.value()->cover();
        ASSERT_TRUE(read.ok()) << read.fault().message;
        EXPECT_EQ(read.value(), c.cover);
    }
}

TEST(Documents, ABrokenCoverIsAFaultOfItsOwn) {
    const fixtures::Facts facts{"A", "B", "2001", "en", std::string(4096, 'x')};
    Options small;
    small.limits.maxMetadataBytes = 1000;
    std::string badBase64 = fixtures::fb2(kBook, "Book", facts);
    badBase64.insert(badBase64.find("\n</binary>"), "*");
    std::string noBinary = fixtures::fb2(kBook, "Book", facts);
    noBinary.replace(noBinary.find("id=\"cover.png\""), 14, "id=\"other.png\"");
    const struct {
        const char* name;
        std::string bytes;
        Options options;
        int32_t code;
    } cases[] = {
        {"an EPUB whose cover is missing",
         [&] {
             auto entries = fixtures::epubEntries(kBook, facts);
             std::erase_if(entries, [](auto& e) { return e.first == "OEBPS/images/cover.png"; });
             return fixtures::zipArchive(entries);
         }(),
         {},
         errc::kDamaged},
        {"an EPUB cover past the limit", fixtures::epub(kBook, facts), small, errc::kTooLarge},
        {"an FB2 cover past the limit", fixtures::fb2(kBook, "Book", facts), small, errc::kTooLarge},
        {"an FB2 cover that is not base64", badBase64, {}, errc::kDamaged},
        {"an FB2 cover whose binary is missing", noBinary, {}, errc::kDamaged},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto opened = Document::openBytes(std::make_shared<const std::string>(c.bytes), "book", c.options);
        ASSERT_TRUE(opened.ok()) << opened.fault().message;
        // The text is read whatever the cover's state.
        EXPECT_FALSE(readAll(*opened.value()).text.empty());
        auto read = opened.value()->cover();
        ASSERT_FALSE(read.ok());
        EXPECT_EQ(read.fault().code, c.code) << read.fault().message;
        EXPECT_NE(read.fault().message.find("The file \"book\""), std::string::npos) << read.fault().message;
    }
}

TEST(Documents, OnlyDocumentsLookLikeDocuments) {
    const struct {
        std::string head;
        bool document;
    } cases[] = {
        {"%PDF-1.7\n", true},
        {"PK\x03\x04", true},
        {"\xEF\xBB\xBF<!-- c --><!DOCTYPE html><p>", true},
        {"<?xml version=\"1.0\"?>\n<FictionBook xmlns=\"x\">", true},
        {"<HTML lang=en>", true},
        {"<speak version=\"1.0\">Hi</speak>", false},
        {"<volume level=\"50\">Hi</volume>", false},
        {"<htmlish/>", false},
        {"Plain text about <html>.", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(looksLikeDocument(std::span(reinterpret_cast<const uint8_t*>(c.head.data()), c.head.size())),
                  c.document)
            << c.head;
    }
}

// With their sources kept, an EPUB's and an HTML page's text comes in runs, each the very characters of
// its markup file's character data as walkMarkup gives it, and every character but the blanks between
// words and blocks (and alt text) is in one; without, there are none and the text is the same.
TEST(Documents, SourceRunsAreTheMarkupsOwnCharacters) {
    const std::string page =
        "<html><head><title>T</title><style>p{}</style></head><body><h1>One &amp; <em>two</em></h1>"
        "<p>A sen&#233;tence across <b>bold\n   text</b>, ruby <ruby>漢<rt>kan</rt></ruby> and 𝄞.</p>"
        "<pre>kept\n  as is</pre><p hidden=\"\">hidden</p><img alt=\"Alt text\" src=\"x.png\"/></body></html>";
    auto epub = fixtures::epubEntries(kBook);
    for (auto& [name, bytes] : epub)
        if (name == "OEBPS/c2.xhtml") bytes = page;
    const struct {
        const char* name;
        std::string bytes;
        std::vector<std::string> parts;
    } cases[] = {
        {"EPUB", fixtures::zipArchive(epub), {"OEBPS/c1.xhtml", "OEBPS/c2.xhtml"}},
        {"HTML", page, {""}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Options options;
        options.imageAltText = true;
        options.sourcePlaces = true;
        auto opened = Document::openBytes(std::make_shared<const std::string>(c.bytes), "doc", options);
        ASSERT_TRUE(opened) << opened.fault().message;
        std::u16string text;
        std::vector<Chapter> chapters;
        std::vector<SourceRun> runs;
        while (opened.value()->read(text, chapters, runs)) {
        }
        ASSERT_EQ(opened.value()->sourceParts(), c.parts);
        options.sourcePlaces = false;
        auto plain = Document::openBytes(std::make_shared<const std::string>(c.bytes), "doc", options);
        ASSERT_TRUE(plain);
        EXPECT_EQ(readAll(*plain.value()).text, utf8(text));
        std::vector<bool> covered(text.size(), false);
        for (const auto& r : runs) {
            ASSERT_LT(r.part, c.parts.size());
            std::string bytes = c.bytes;
            if (!c.parts[r.part].empty()) {
                auto entry = opened.value()->entry(c.parts[r.part]);
                ASSERT_TRUE(entry);
                bytes = entry.value();
            }
            struct Data final : MarkupVisitor {
                std::string all;
                void start(std::string_view, std::span<const Attribute>) override {}
                void end(std::string_view) override {}
                void text(std::string_view utf8) override { all.append(utf8); }
            } data;
            ASSERT_TRUE(walkMarkup(bytes, data));
            ASSERT_LE(r.position + r.length, text.size());
            EXPECT_EQ(u16(data.all).substr(r.offset, r.length), text.substr(r.position, r.length));
            std::fill_n(covered.begin() + static_cast<std::ptrdiff_t>(r.position), r.length, true);
        }
        const std::u16string alt = u"Alt text";
        const size_t altAt = text.find(alt);
        ASSERT_NE(altAt, std::u16string::npos);
        for (size_t i = 0; i < text.size(); ++i) {
            const bool blank = text[i] == u' ' || text[i] == u'\n';
            const bool isAlt = i >= altAt && i < altAt + alt.size();
            EXPECT_EQ(covered[i], !blank && !isAlt) << i << ": " << utf8(text.substr(i, 10));
        }
        EXPECT_EQ(text.find(u"kan"), std::u16string::npos);
    }
}

}  // namespace
}  // namespace documents
