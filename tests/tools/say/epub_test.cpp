// SPDX-License-Identifier: GPL-3.0-or-later
// tallamo-say's EPUB 3 books, read back by one validator: the archive (mimetype first and stored), the
// package lists every file and nothing else, every overlay's text points at an id of its content
// document, its clips are in order and inside the decoded audio (as libavcodec decodes it, the
// encoder's delay left out), the overlays' durations add up to the book's; at word level each word's
// clip lies inside its sentence's; a one-chapter text's clips start where that audio, lined up with a
// WAV render of the text, has the render's events. Every input format at both levels (an EPUB keeping its own files,
// styles, image, font and markup, its spans on the right text), and the inputs and options that are
// refused with nothing written.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <zip.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "tests/support/audio_files.h"
#include "tests/support/document_fixtures.h"
#include "tests/tools/say/book_xml.h"
#include "tests/tools/say/say_process.h"

namespace fs = std::filesystem;
using namespace say_test;

namespace {

constexpr uint64_t kRate = 22050;  // the books' format, SAFT22kHz16BitMono

struct Clip {
    uint64_t begin = 0;
    uint64_t end = 0;
};

struct EpubBook {
    std::map<std::string, std::string> meta;  // dc:* elements and the metas that refine nothing
    std::vector<std::string> toc;             // the navigation document's titles
    std::vector<int> tocLevels;               // the lists each title is in
    bool cover = false;
    std::map<std::string, Clip> sentences;           // "EPUB/c1.xhtml#s3": its clip (sentence level)
    std::map<std::string, std::vector<Clip>> words;  // "EPUB/c1.xhtml#s3": its words' clips (word level)
    std::map<std::string, std::string> files;        // every entry and its bytes
    std::vector<std::string> wordTexts;              // the text of each word's span, in order
    std::vector<uint64_t> onsets;                    // every clip's begin, in reading order
    std::vector<float> firstAudio;                   // the first overlay's audio, decoded
};

// "1.234s" in milliseconds.
uint64_t secondsMs(const std::string& value) {
    EXPECT_TRUE(value.ends_with("s")) << value;
    return static_cast<uint64_t>(std::stod(value) * 1000 + 0.5);
}

// "0:01:02.345" in milliseconds.
uint64_t clockValueMs(const std::string& value) {
    unsigned h = 0, m = 0, s = 0, ms = 0;
    EXPECT_EQ(std::sscanf(value.c_str(), "%u:%2u:%2u.%3u", &h, &m, &s, &ms), 4) << value;
    return ((h * 60ull + m) * 60 + s) * 1000 + ms;
}

// Reads the archive: its entries in order, the first the stored "mimetype".
std::map<std::string, std::string> entries(const fs::path& path) {
    std::map<std::string, std::string> files;
    int error = 0;
    zip_t* z = zip_open(path.c_str(), ZIP_RDONLY, &error);
    if (z == nullptr) {
        ADD_FAILURE() << path << " is not a zip archive";
        return files;
    }
    for (zip_int64_t i = 0; i < zip_get_num_entries(z, 0); ++i) {
        zip_stat_t st;
        zip_stat_index(z, static_cast<zip_uint64_t>(i), 0, &st);
        std::string bytes(st.size, '\0');
        zip_file_t* f = zip_fopen_index(z, static_cast<zip_uint64_t>(i), 0);
        EXPECT_EQ(zip_fread(f, bytes.data(), st.size), static_cast<zip_int64_t>(st.size)) << st.name;
        zip_fclose(f);
        if (i == 0) {
            EXPECT_STREQ(st.name, "mimetype");
            EXPECT_EQ(st.comp_method, ZIP_CM_STORE);
            EXPECT_EQ(bytes, "application/epub+zip");
        }
        files[st.name] = std::move(bytes);
    }
    zip_discard(z);
    return files;
}

// The entry an href in the entry `base` names (its fragment left out).
std::string resolved(const std::string& base, const std::string& href) {
    return (fs::path(base).parent_path() / href.substr(0, href.find('#'))).lexically_normal().string();
}

// Reads the book at `path` and checks everything in it that ties one file to another.
EpubBook checkEpub(const fs::path& path, const fs::path& scratch) {
    EpubBook book;
    book.files = entries(path);
    std::string opfPath;
    if (const auto container = parseBytes(book.files["META-INF/container.xml"], "container.xml"))
        eachElement(xmlDocGetRootElement(container.get()), [&](xmlNode* e) {
            if (nameOf(e) == "rootfile") opfPath = attribute(e, "full-path");
        });
    const auto opf = parseBytes(book.files[opfPath], opfPath);
    if (!opf) return book;
    struct Item {
        std::string href, type, properties, overlay;
    };
    std::map<std::string, Item> items;  // by id
    std::map<std::string, uint64_t> durations;
    std::vector<std::string> spine;
    eachElement(xmlDocGetRootElement(opf.get()), [&](xmlNode* e) {
        const std::string name = nameOf(e);
        const std::string text = textOf(e);
        if (e->ns && e->ns->prefix && std::string(reinterpret_cast<const char*>(e->ns->prefix)) == "dc")
            book.meta["dc:" + name] = text;
        if (name == "meta" && attribute(e, "refines").empty()) book.meta[attribute(e, "property")] = text;
        if (name == "meta" && attribute(e, "property") == "media:duration" && !attribute(e, "refines").empty())
            durations[attribute(e, "refines").substr(1)] = clockValueMs(text);
        if (name == "item")
            items[attribute(e, "id")] = {attribute(e, "href"), attribute(e, "media-type"), attribute(e, "properties"),
                                         attribute(e, "media-overlay")};
        if (name == "itemref") spine.push_back(attribute(e, "idref"));
    });
    std::set<std::string> listed{"mimetype", "META-INF/container.xml", opfPath};
    if (book.files.count("META-INF/encryption.xml")) listed.insert("META-INF/encryption.xml");
    for (const auto& [id, item] : items) {
        const std::string path = resolved(opfPath, item.href);
        EXPECT_TRUE(book.files.count(path)) << item.href << " is listed and missing";
        listed.insert(path);
        if (item.properties == "cover-image") book.cover = true;
        if (item.properties != "nav") continue;
        if (const auto nav = parseBytes(book.files[path], item.href))
            eachElement(xmlDocGetRootElement(nav.get()), [&](xmlNode* e) {
                if (nameOf(e) != "a") return;
                book.toc.push_back(textOf(e));
                int lists = 0;
                for (xmlNode* up = e->parent; up != nullptr && up->type == XML_ELEMENT_NODE; up = up->parent)
                    lists += nameOf(up) == "ol" ? 1 : 0;
                book.tocLevels.push_back(lists);
            });
    }
    for (const auto& [name, bytes] : book.files) EXPECT_TRUE(listed.count(name)) << name << " is not listed";

    uint64_t sumMs = 0;
    for (const auto& id : spine) {
        const Item& content = items[id];
        const std::string contentPath = resolved(opfPath, content.href);
        SCOPED_TRACE(content.href);
        if (!items.count(content.overlay)) {
            ADD_FAILURE() << "every content document has its overlay";
            continue;
        }
        std::set<std::string> ids;
        std::vector<std::string> spans;  // their ids
        if (const auto doc = parseBytes(book.files[contentPath], content.href))
            eachElement(xmlDocGetRootElement(doc.get()), [&](xmlNode* e) {
                if (const auto i = attribute(e, "id"); !i.empty()) {
                    EXPECT_TRUE(ids.insert(i).second) << i;
                }
                // A sentence's span that goes on after an element it cannot hold has no id.
                if (nameOf(e) != "span" || attribute(e, "id").empty()) return;
                spans.push_back(attribute(e, "id"));
                if (nameOf(e->parent) == "span") book.wordTexts.push_back(textOf(e));
            });
        std::set<std::string> pointedAt;
        const std::string smilPath = resolved(opfPath, items[content.overlay].href);
        const auto pointsIntoContent = [&](const std::string& src) {
            const auto hash = src.find('#');
            EXPECT_EQ(resolved(smilPath, src), contentPath);
            EXPECT_TRUE(hash != std::string::npos && ids.count(src.substr(hash + 1))) << src;
            if (hash != std::string::npos) pointedAt.insert(src.substr(hash + 1));
        };
        const auto smil = parseBytes(book.files[smilPath], content.overlay);
        if (!smil) continue;
        std::string audio;
        uint64_t decodedMs = 0;
        uint64_t lastEnd = 0;
        std::string sentence;  // the seq's, at word level
        eachElement(xmlDocGetRootElement(smil.get()), [&](xmlNode* e) {
            const std::string name = nameOf(e);
            if (name == "seq") {
                sentence = contentPath + "#" + attribute(e, "textref").substr(attribute(e, "textref").find('#') + 1);
                pointsIntoContent(attribute(e, "textref"));
            }
            if (name == "text") {
                pointsIntoContent(attribute(e, "src"));
                if (nameOf(e->parent->parent) != "seq") sentence.clear();
                if (sentence.empty())
                    sentence = contentPath + "#" + attribute(e, "src").substr(attribute(e, "src").find('#') + 1);
            }
            if (name != "audio") return;
            if (audio.empty()) {
                audio = attribute(e, "src");
                const fs::path file = scratch / "audio";
                fixtures::writeFile(file, book.files[resolved(smilPath, audio)]);
                auto decoded = testing_support::decodeAudio(file);
                decodedMs = decoded.size() * 1000 / kRate;
                if (book.firstAudio.empty()) book.firstAudio = std::move(decoded);
                fs::remove(file);
            }
            EXPECT_EQ(attribute(e, "src"), audio) << "one audio file a content document";
            const Clip clip{secondsMs(attribute(e, "clipBegin")), secondsMs(attribute(e, "clipEnd"))};
            EXPECT_LE(lastEnd, clip.begin) << "clips in order, none overlapping";
            EXPECT_LT(clip.begin, clip.end);
            EXPECT_LE(clip.end, decodedMs) << "inside the decoded audio";
            lastEnd = clip.end;
            book.onsets.push_back(clip.begin);
            if (nameOf(e->parent->parent) == "seq")
                book.words[sentence].push_back(clip);
            else
                book.sentences[sentence] = clip;
        });
        EXPECT_EQ(durations[content.overlay], lastEnd) << "the last clip ends the overlay";
        for (const auto& span : spans)
            EXPECT_TRUE(pointedAt.count(span)) << "all the text read is highlighted: " << span;
        sumMs += durations[content.overlay];
    }
    EXPECT_EQ(clockValueMs(book.meta["media:duration"]), sumMs);
    EXPECT_EQ(book.meta["media:active-class"], "-epub-media-overlay-active");
    EXPECT_TRUE(std::any_of(book.files.begin(), book.files.end(), [&](const auto& file) {
        return file.first.ends_with(".css") &&
               file.second.find("." + book.meta["media:active-class"] + " {") != std::string::npos;
    })) << "a style sheet highlights the active class";
    EXPECT_FALSE(book.meta["media:narrator"].empty());
    EXPECT_FALSE(book.meta["dc:language"].empty());
    return book;
}

void change(fixtures::Entries& entries, const std::string& name, const std::function<void(std::string&)>& how) {
    for (auto& [n, bytes] : entries)
        if (n == name) how(bytes);
}

// An encryption.xml that encrypts `entry` with `algorithm`.
std::string encryption(const std::string& algorithm, const std::string& entry) {
    return "<encryption xmlns=\"urn:oasis:names:tc:opendocument:xmlns:container\"><EncryptedData "
           "xmlns=\"http://www.w3.org/2001/04/xmlenc#\"><EncryptionMethod Algorithm=\"" +
           algorithm + "\"/><CipherData><CipherReference URI=\"" + entry +
           "\"/></CipherData></EncryptedData></encryption>";
}

std::string utcTime(std::time_t t) {
    char buffer[32];
    std::tm utc{};
    gmtime_r(&t, &utc);
    std::strftime(buffer, sizeof buffer, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return buffer;
}

}  // namespace

// Every input format at sentence and at word level becomes a book whose parts all fit; the words' clips
// lie inside their sentences' (both books have the same sentences); the same command gives the same
// bytes again.
TEST(SayEpub, EveryInputAtBothLevelsBecomesABookWhosePartsAllFit) {
    Folder dir;
    const std::vector<fixtures::Section> chapters = {
        {"Chapter One", {"It was a bright cold day in April. The clocks were striking thirteen."}},
        {"第二章", {"外面很冷。风很大。"}, 2},  // a section of chapter one: listed inside its entry
        {"Chapter Three & Four", {"The hallway smelt of boiled cabbage < and old rag mats."}},
    };
    const fixtures::Facts facts{"Ann Author", "", "2001", "en", testing_support::pngImage(32, 40)};
    fixtures::writeFile(dir / "book.epub", fixtures::epub(chapters, facts));
    fixtures::writeFile(dir / "book.docx", fixtures::docx(chapters, facts));
    fixtures::writeFile(dir / "book.odt", fixtures::odt(chapters, facts));
    fixtures::writeFile(dir / "book.fb2", fixtures::fb2(chapters, "Fixture Book", facts));
    fixtures::writeFile(dir / "book.html", fixtures::html(chapters, "Fixture Book", facts));
    fixtures::writeFile(dir / "chinese.txt", "他在银行工作。今天很冷。\n");
    fixtures::writeFile(dir / "book.pdf", fixtures::pdf({{"One page of words. And a second sentence."}}));
    // A sentence broken over two lines is highlighted whole: the voice ends a sentence at a line break.
    fixtures::writeFile(dir / "notes.txt", "First line here. A second sentence\nthat goes on.\n\nAnother paragraph.\n");
    // An EPUB of its own markup: a style sheet, an image, an obfuscated font, an "a name", ids like the
    // spans' own, a sentence across <em> and one that starts inside it, ruby and a footnote.
    const std::string css = "p { margin: 0 }\n";
    const std::string png = testing_support::pngImage(8, 8);
    const std::string font(512, '\x7f');
    const std::string fontEncryption = encryption("http://www.idpf.org/2008/embedding", "OEBPS/font.ttf");
    auto own = fixtures::epubEntries({{"Own", {}}});
    change(own, "OEBPS/c1.xhtml", [](std::string& page) {
        page =
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?><html xmlns=\"http://www.w3.org/1999/xhtml\" "
            "xmlns:epub=\"http://www.idpf.org/2007/ops\"><head><title>Own</title><link rel=\"stylesheet\" "
            "href=\"style.css\"/></head><body><h1><a name=\"top\"></a>Own</h1><p id=\"tl-s1\">Call me "
            "Ishmael. Some years ago, <em>never mind how long</em>, I went to sea.<a epub:type=\"noteref\" "
            "href=\"#n1\">1</a></p><p id=\"s1\"><img src=\"figure.png\" alt=\"Drawing of a whale\"/> It was cold. "
            "<em>It "
            "was dark. The wind</em> blew hard.</p><p>The city of <ruby>Tokyo<rp>(</rp><rt>toe key "
            "oh</rt><rp>)</rp></ruby> is far.</p><aside epub:type=\"footnote\" id=\"n1\"><p>A "
            "note.</p></aside></body></html>";
    });
    change(own, "OEBPS/content.opf", [](std::string& opf) {
        opf.insert(opf.find("</manifest>"),
                   "<item id=\"css\" href=\"style.css\" media-type=\"text/css\"/><item id=\"png\" "
                   "href=\"figure.png\" media-type=\"image/png\"/><item id=\"font\" href=\"font.ttf\" "
                   "media-type=\"application/x-font-ttf\"/>");
    });
    own.insert(own.end(), {{"OEBPS/style.css", css},
                           {"OEBPS/figure.png", png},
                           {"OEBPS/font.ttf", font},
                           {"META-INF/encryption.xml", fontEncryption}});
    fixtures::writeFile(dir / "own.epub", fixtures::zipArchive(own));
    const struct {
        std::string input;
        bool fromStandardInput;
        std::vector<std::string> toc;
        std::string title;
        std::string audio;  // --overlay-audio
    } cases[] = {
        {"notes.txt", false, {"notes"}, "notes", "mp3"},
        {"book.epub", false, {"Chapter One", "第二章", "Chapter Three & Four"}, "Fixture Book", "m4a"},
        {"book.epub", true, {"Chapter One", "第二章", "Chapter Three & Four"}, "Fixture Book", "mp3"},
        {"book.docx", false, {"Chapter One", "第二章", "Chapter Three & Four"}, "Letter", "mp3"},
        {"book.odt", false, {"Chapter One", "第二章", "Chapter Three & Four"}, "Letter", "mp3"},
        {"book.fb2", false, {"Chapter One", "第二章", "Chapter Three & Four"}, "Fixture Book", "mp3"},
        {"book.html", false, {"Chapter One", "第二章", "Chapter Three & Four"}, "Fixture Book", "mp3"},
        {"book.pdf", false, {"book"}, "book", "mp3"},
        {"chinese.txt", false, {"chinese"}, "chinese", "m4a"},
        {"own.epub", false, {"Own"}, "Fixture Book", "mp3"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.input + (c.fromStandardInput ? " on standard input" : "") + " " + c.audio);
        struct stat st {};
        ASSERT_EQ(::stat((dir / c.input).c_str(), &st), 0);
        // A one-chapter text's book has the audio of a WAV render of the text.
        const bool oneChapterText = c.input.ends_with(".txt");
        SayRun reference;
        std::vector<float> referenceAudio;
        if (oneChapterText) {
            reference = runSay({"--format", "SAFT22kHz16BitMono", "--file", dir / c.input, "--output",
                                dir / "reference.wav", "--events"});
            ASSERT_EQ(reference.status, 0) << reference.err;
            referenceAudio = testing_support::decodeAudio(dir / "reference.wav");
            fs::remove(dir / "reference.wav");
        }
        std::map<std::string, EpubBook> books;
        for (const std::string level : {"sentence", "word"}) {
            SCOPED_TRACE(level);
            const std::string out = dir / ("out-" + level + ".EPUB");
            std::vector<std::string> args{"--format", "SAFT22kHz16BitMono", "--output", out, "--overlay",
                                          level,      "--overlay-audio",    c.audio};
            if (!c.fromStandardInput) args.insert(args.end(), {"--file", dir / c.input});
            const SayRun r = runSay(args, c.fromStandardInput ? fs::path(dir / c.input) : fs::path("/dev/null"));
            ASSERT_EQ(r.status, 0) << r.err;
            EpubBook& book = books[level] = checkEpub(out, dir.path);
            EXPECT_EQ(book.toc, c.toc);
            const std::vector<int> levels = c.toc.size() == 3 ? std::vector<int>{1, 2, 1} : std::vector<int>{1};
            EXPECT_EQ(book.tocLevels, levels);
            EXPECT_EQ(book.meta["dc:title"], c.title);
            EXPECT_EQ(book.meta["dcterms:modified"], utcTime(st.st_mtime));
            if (oneChapterText)
                expectClipsOnTheirOnsets(book.onsets, book.firstAudio,
                                         eventTimes(reference, level == "word" ? "Word" : "Sentence"), referenceAudio,
                                         kRate);
            if (c.input.starts_with("book.") && c.input != "book.pdf") {
                EXPECT_EQ(book.meta["dc:creator"], "Ann Author");
            }
            if (c.input == "book.epub" || c.input == "book.fb2") {
                EXPECT_TRUE(book.cover);
            }
            // An EPUB keeps its identifier; any other input has one made from its checksum.
            // (An EPUB on standard input is read as a text.)
            EXPECT_EQ(book.meta["dc:identifier"].starts_with("tallamo-"),
                      !c.input.ends_with(".epub") || c.fromStandardInput);
            if (c.input == "own.epub") {
                EXPECT_EQ(book.files["OEBPS/style.css"], css);
                EXPECT_EQ(book.files["OEBPS/figure.png"], png);
                EXPECT_EQ(book.files["OEBPS/font.ttf"], font);
                EXPECT_EQ(book.files["META-INF/encryption.xml"], fontEncryption);
                const std::string& page = book.files["OEBPS/c1.xhtml"];
                EXPECT_NE(page.find("<a id=\"top\"/>"), std::string::npos) << page;
                EXPECT_NE(page.find("<img src=\"figure.png\" alt=\"Drawing of a whale\"/>"), std::string::npos) << page;
                if (level == "sentence") {
                    EXPECT_NE(page.find("\">Some years ago, <em>never mind how long</em>, I went to sea.<a"),
                              std::string::npos)
                        << "a sentence's span holds an element inside it whole: " << page;
                    EXPECT_NE(page.find("\">The wind</span></em> <span>blew hard.</span>"), std::string::npos)
                        << "a sentence that starts inside an element goes on in a span after it: " << page;
                    EXPECT_NE(page.find("\">The city of <ruby>Tokyo<rp>(</rp><rt>toe key oh</rt>"), std::string::npos)
                        << page;
                } else {
                    for (const char* unspoken : {"toe", "key", "oh", "Drawing", "whale"})
                        EXPECT_EQ(std::count(book.wordTexts.begin(), book.wordTexts.end(), unspoken), 0)
                            << unspoken << " (ruby's reading, an image's alt text) is not read";
                    EXPECT_NE(page.find("\">Tokyo</span><rp>(</rp><rt>toe key oh</rt>"), std::string::npos) << page;
                }
            }
            if (level == "sentence" && c.input == "notes.txt") {
                const SayRun again = runSay(args);
                ASSERT_EQ(again.status, 0) << again.err;
                EXPECT_TRUE(books[level].files == entries(out)) << "the same bytes again";
            }
        }
        const EpubBook& sentences = books["sentence"];
        const EpubBook& words = books["word"];
        EXPECT_TRUE(words.sentences.empty() || !words.words.empty()) << "a word level book times words";
        for (const auto& [sentence, clips] : words.words) {
            SCOPED_TRACE(sentence);
            ASSERT_TRUE(sentences.sentences.count(sentence)) << "the same sentences at both levels";
            const Clip whole = sentences.sentences.at(sentence);
            for (const Clip& w : clips) {
                EXPECT_LE(whole.begin, w.begin);
                EXPECT_LE(w.end, whole.end);
            }
        }
        EXPECT_EQ(words.words.size() + words.sentences.size(), sentences.sentences.size());
        if (c.input == "chinese.txt") {
            EXPECT_EQ(words.wordTexts, (std::vector<std::string>{"他", "在", "银行", "工作", "今天", "很", "冷"}))
                << "the reader's words";
            EXPECT_EQ(words.meta.at("dc:language"), "zh") << "Chinese, whichever voice reads the rest";
        }
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path), fs::directory_iterator()), 11)
        << "nothing left beside the books";
}

// Options that do not go with an EPUB book and inputs without a book in them are refused, with nothing
// written under the name or beside it.
TEST(SayEpub, WhatCannotMakeABookIsRefusedWithNothingWritten) {
    Folder dir;
    fixtures::writeFile(dir / "in.txt", "Some words.");
    fixtures::writeFile(dir / "blank.txt", " \n\n ");
    fs::create_directory(dir / "folder.epub");
    fixtures::writeFile(dir / "broken.epub", fixtures::epub({{"One", {"Text."}}}).substr(0, 200));
    auto locked = fixtures::epubEntries({{"One", {"Text."}}});
    const std::string aes = "http://www.w3.org/2001/04/xmlenc#aes128-cbc";
    locked.emplace_back("META-INF/encryption.xml", encryption(aes, "OEBPS/c1.xhtml"));
    fixtures::writeFile(dir / "locked.epub", fixtures::zipArchive(locked));
    // Its text can be read, but what it encrypts besides could not be kept: DRM all the same.
    auto drm = fixtures::epubEntries({{"One", {"Text."}}});
    drm.emplace_back("META-INF/encryption.xml", encryption(aes, "OEBPS/nav.xhtml"));
    fixtures::writeFile(dir / "drm.epub", fixtures::zipArchive(drm));
    const struct {
        const char* name;
        std::vector<std::string> args;
        int status;
        const char* message;
    } cases[] = {
        {"--chapters", {"--file", dir / "in.txt", "--chapters"}, 2, "--chapters does not go with an EPUB book"},
        {"--timings", {"--file", dir / "in.txt", "--timings", dir / "t.srt"}, 2, "--timings does not go"},
        {"--resume without a file", {"--resume", "Some words."}, 2, "--resume needs --file"},
        {"Opus", {"--file", dir / "in.txt", "--overlay-audio", "opus"}, 2, "cannot be Opus"},
        {"an overlay unit of its own", {"--file", dir / "in.txt", "--overlay", "line"}, 2, "sentence or word"},
        {"a text without words", {"--file", dir / "blank.txt"}, 1, "no text"},
        {"a broken EPUB", {"--file", dir / "broken.epub"}, 1, "broken.epub"},
        {"an encrypted EPUB", {"--file", dir / "locked.epub"}, 1, "locked.epub"},
        {"an EPUB that encrypts more than fonts", {"--file", dir / "drm.epub"}, 1, "protected by DRM"},
        {"a folder under the name", {"--file", dir / "in.txt", "--output", dir / "folder.epub"}, 1, "is a folder"},
    };
    const auto listing = [&] {
        std::set<std::string> names;
        for (const auto& e : fs::directory_iterator(dir.path)) names.insert(e.path().filename());
        return names;
    };
    const auto before = listing();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> args{"--output", dir / "out.epub"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const SayRun r = runSay(args);
        EXPECT_EQ(r.status, c.status) << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_EQ(listing(), before) << r.err;
    }
    // The overlay options are for a book only.
    const SayRun r = runSay({"--output", dir / "out.mp3", "--overlay", "word", "Words."});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("goes with an EPUB book"), std::string::npos) << r.err;
}
