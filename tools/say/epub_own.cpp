// SPDX-License-Identifier: GPL-3.0-or-later
// An EPUB input narrated into an EPUB 3 book of its own files: its XHTML documents written afresh with
// their sentences in spans, its styles, images and fonts as they are, its reading order, and its
// navigation (its own, else one made from its NCX); beside them, in a folder of their own next to the
// package, an audio file and an overlay a spoken document, the navigation when it had none, and the
// highlight's style.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <set>

#include "documents/markup.h"
#include "speech/core/languages.h"
#include "tools/say/book_journal.h"
#include "tools/say/epub.h"
#include "tools/say/epub_archive.h"
#include "tools/say/epub_files.h"
#include "tools/say/epub_source.h"
#include "tools/say/render.h"
#include "tools/say/stop_signals.h"
#include "tools/say/talking_book.h"
#include "tools/say/xml_text.h"

namespace say {

using namespace speech;

namespace {

namespace fs = std::filesystem;

constexpr std::time_t kNoTime = 315532800;  // 1980-01-01T00:00:00Z, the earliest a zip entry holds

// A spoken document of the book.
struct Spoken {
    size_t item = 0;  // in the source book's items
    EpubSection section;
    XhtmlMarks marks;
    std::string audio;  // the audio file's name in the work folder
    RewrittenXhtml written;
};

// A name for the folder of the book's new files beside its package that no file of it is in.
std::string freeFolder(const SourceBook& book, const std::string& packageFolder) {
    for (size_t n = 1;; ++n) {
        const std::string name = n == 1 ? "narration" : numbered("narration-%zu", n);
        const std::string prefix = packageFolder + name + "/";
        if (std::none_of(book.items.begin(), book.items.end(),
                         [&](const SourceItem& item) { return item.path.starts_with(prefix); }))
            return prefix;
    }
}

// A prefix for the spans' ids that no id of the book starts with.
std::string freePrefix(const std::set<std::string>& ids) {
    for (size_t n = 0;; ++n) {
        const std::string prefix = n == 0 ? "tl-" : numbered("tl%zu-", n);
        const auto at = ids.lower_bound(prefix);
        if (at == ids.end() || !at->starts_with(prefix)) return prefix;
    }
}

// The media type the package gives a file: XHTML as XHTML, fonts under the names EPUB 3 knows.
std::string mediaTypeOf(const SourceItem& item) {
    if (xhtmlType(item.mediaType)) return "application/xhtml+xml";
    const std::string& t = item.mediaType;
    const std::string extension = fs::path(item.path).extension().string();
    const bool font = t.find("font") != std::string::npos || t == "application/vnd.ms-opentype" ||
                      extension == ".ttf" || extension == ".otf" || extension == ".woff" || extension == ".woff2";
    if (!font) return t;
    if (extension == ".woff") return "application/font-woff";
    if (extension == ".woff2") return "font/woff2";
    if (extension == ".otf") return "application/vnd.ms-opentype";
    return "application/font-sfnt";
}

bool storedType(std::string_view mediaType) {
    return mediaType == "image/jpeg" || mediaType == "image/png" || mediaType == "image/gif" ||
           mediaType.starts_with("audio/") || mediaType.starts_with("video/");
}

std::string smilDocument(const Spoken& s, const std::string& ownFolder, const std::string& contentPath,
                         OverlayLevel level) {
    const std::string content = relativeHref(ownFolder, contentPath);
    std::string out =
        "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
        "<smil xmlns=\"http://www.w3.org/ns/SMIL\" xmlns:epub=\"http://www.idpf.org/2007/ops\" version=\"3.0\">\n"
        "<body>\n";
    const auto clip = [&](const DaisySentence& d) {
        return "<audio src=\"" + xmlText(s.audio) + "\" clipBegin=\"" + smilSeconds(d.startMs) + "\" clipEnd=\"" +
               smilSeconds(d.endMs) + "\"/>";
    };
    size_t par = 1;
    for (size_t i = 0; i < s.section.sentences.size(); ++i) {
        if (!s.written.sentencePlaced[i]) continue;
        const std::string sentence = content + "#" + s.marks.sentenceIds[i];
        std::string words;
        if (level == OverlayLevel::Word && i < s.section.words.size()) {
            for (size_t k = 0; k < s.section.words[i].size(); ++k) {
                if (!s.written.wordPlaced[i][k]) continue;
                words += "<par id=\"" + numbered("p%zu", par++) + "\"><text src=\"" + xmlText(content) + "#" +
                         s.marks.wordIds[i][k] + "\"/>" + clip(s.section.words[i][k]) + "</par>\n";
            }
        }
        if (!words.empty()) {
            out += "<seq id=\"" + numbered("q%zu", i + 1) + "\" epub:textref=\"" + xmlText(sentence) + "\">\n" + words +
                   "</seq>\n";
        } else {
            out += "<par id=\"" + numbered("p%zu", par++) + "\"><text src=\"" + xmlText(sentence) + "\"/>" +
                   clip(s.section.sentences[i]) + "</par>\n";
        }
    }
    return out + "</body>\n</smil>\n";
}

// The navigation document made for a book without one: its NCX's entries (those that lead to its
// reading order), else one entry a spoken document.
std::string navDocument(const SourceBook& book, const std::vector<Spoken>& spoken, const std::string& ownFolder,
                        const std::string& title, const std::string& language) {
    std::map<std::string, size_t> order;  // a document's place in the reading order
    for (const auto& ref : book.spine) order.emplace(book.items[ref.item].path, order.size());
    // Entries in reading order only: one that leads back (to an earlier document, or to the start of the
    // document the last one led into) is left out.
    std::vector<SourceTocEntry> toc;
    for (const auto& e : book.toc) {
        if (!order.contains(e.path)) continue;
        if (!toc.empty()) {
            const size_t last = order[toc.back().path];
            if (order[e.path] < last || (order[e.path] == last && e.fragment.empty())) continue;
        }
        toc.push_back(e);
    }
    if (toc.empty())
        for (const auto& s : spoken) toc.push_back({book.items[s.item].path, {}, s.section.title, 0});
    std::string out =
        "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<!DOCTYPE html>\n"
        "<html xmlns=\"http://www.w3.org/1999/xhtml\" xmlns:epub=\"http://www.idpf.org/2007/ops\"" +
        xmlAttribute("lang", language) + xmlAttribute("xml:lang", language) +
        ">\n<head>\n<meta charset=\"utf-8\"/>\n<title>" + xmlText(title) +
        "</title>\n</head>\n<body>\n<nav epub:type=\"toc\" id=\"toc\">\n<h1>" + xmlText(title) + "</h1>\n";
    // Nested lists from the entries' depths: a deeper entry opens a list inside the last item.
    int depth = -1;
    for (const auto& e : toc) {
        const int want = std::min(e.depth, depth + 1);
        if (want > depth) {
            out += depth < 0 ? "<ol>\n" : "\n<ol>\n";
            depth = want;
        } else {
            out += "</li>\n";
            for (; depth > want; --depth) out += "</ol>\n</li>\n";
        }
        out += "<li><a href=\"" + xmlText(relativeHref(ownFolder, e.path) + e.fragment) + "\">" + xmlText(e.title) +
               "</a>";
    }
    out += "</li>\n";
    for (; depth > 0; --depth) out += "</ol>\n</li>\n";
    out += "</ol>\n";
    return out + "</nav>\n</body>\n</html>\n";
}

std::string meta(std::string_view property, std::string_view value, std::string_view refines = {}) {
    return "<meta property=\"" + std::string(property) + "\"" +
           (refines.empty() ? std::string() : xmlAttribute("refines", "#" + std::string(refines))) + ">" +
           xmlText(value) + "</meta>\n";
}

}  // namespace

std::optional<int> speakOwnEpub(SpVoice& voice, const Options& o, int32_t format, const Place& place) {
    if (!o.file || o.text || o.readsStandardInput() || namesAPipe(o) || !documents::looksLikeDocument(*o.file))
        return std::nullopt;
    documents::Options reading = documentOptions();
    reading.sourcePlaces = true;
    auto opened = documents::Document::open(*o.file, reading);
    if (!opened) throw Error(opened.fault().code, opened.fault().message);
    documents::Document& document = *opened.value();
    if (document.format() != documents::Format::Epub) return std::nullopt;

    // Refused (DRM) or read before anything is spoken.
    const SourceBook book = readSourceBook(document, *o.file);
    std::u16string text;
    std::vector<documents::Chapter> chapters;
    std::vector<documents::SourceRun> runs;
    while (document.read(text, chapters, runs)) {
    }
    if (const auto& failure = document.failure()) throw Error(failure->code, failure->message);
    if (interrupted()) return interruptedStatus();

    // The text of each markup file: from its first run to the next file's.
    const std::vector<std::string> markupFiles = document.sourceParts();
    std::vector<std::optional<uint64_t>> firstAt(markupFiles.size());
    for (const auto& r : runs)
        if (r.part < markupFiles.size() && !firstAt[r.part]) firstAt[r.part] = r.position;
    std::map<std::string, std::pair<size_t, size_t>> ranges;  // by entry
    std::map<std::string, uint32_t> partOf;
    std::optional<uint32_t> previous;
    for (uint32_t p = 0; p < markupFiles.size(); ++p) {
        if (!firstAt[p]) continue;
        const size_t begin = previous ? static_cast<size_t>(*firstAt[p]) : 0;
        if (previous) ranges[markupFiles[*previous]].second = begin;
        ranges[markupFiles[p]] = {begin, text.size()};
        partOf[markupFiles[p]] = p;
        previous = p;
    }

    const std::string title = !document.title().empty() ? document.title()
                              : !book.title.empty()     ? book.title
                                                        : fs::path(place.leaf).stem().string();
    const std::string language = !book.language.empty()                  ? book.language
                                 : !document.metadata().language.empty() ? document.metadata().language
                                                                         : fallbackLanguage(text, voice.Voice());
    const OverlayLevel level = o.overlay == Options::Overlay::Word ? OverlayLevel::Word : OverlayLevel::Sentence;
    const std::string audioExtension = o.codec == FileCodec::M4a ? "m4a" : "mp3";

    // Every file's bytes; those the archive does not hold (or that cannot be read) are left out.
    std::vector<std::optional<std::string>> bytes(book.items.size());
    std::set<std::string> ids;
    std::vector<std::string> warnings;
    for (size_t i = 0; i < book.items.size(); ++i) {
        if (book.items[i].mediaType == "application/x-dtbncx+xml") continue;
        auto read = document.entry(book.items[i].path);
        if (!read) {
            warnings.push_back("\"" + book.items[i].path + "\" is left out of \"" + place.shown +
                               "\": " + read.fault().message);
            continue;
        }
        bytes[i] = std::move(read.value());
        if (xhtmlType(book.items[i].mediaType)) collectIds(*bytes[i], ids);
    }
    printWarnings(warnings);
    const std::string prefix = freePrefix(ids);
    const std::string packageFolder = documents::folderOf(book.packagePath);
    const std::string ownFolder = freeFolder(book, packageFolder);
    const std::string stylePath = ownFolder + "style.css";

    // A part a document of the reading order that has words, rendered as every book's parts are (on
    // through a journal with --resume).
    std::time_t modified = kNoTime;
    struct stat st {};
    if (::stat(o.file->c_str(), &st) == 0) modified = std::max(st.st_mtime, kNoTime);
    BookInput in;
    in.book.document = true;
    in.book.info.title = title;
    in.book.info.author = document.metadata().author;
    in.book.language = language;
    in.book.chapters = chapters;
    in.identifier = !book.identifier.empty() ? book.identifier : fileIdentifier(*o.file);
    in.modified = modified;
    std::vector<BookPart> parts;
    std::vector<size_t> partItem;
    for (const auto& ref : book.spine) {
        const SourceItem& item = book.items[ref.item];
        const auto range = ranges.find(item.path);
        if (!bytes[ref.item] || range == ranges.end()) continue;
        const auto [begin, end] = range->second;
        if (!hasWords(std::u16string_view(text).substr(begin, end - begin))) continue;
        std::string partTitle = fs::path(item.path).stem().string();
        for (const auto& c : chapters)
            if (c.position >= begin && c.position < end && !c.title.empty()) {
                partTitle = c.title;
                break;
            }
        parts.push_back({partTitle, begin, end});
        partItem.push_back(ref.item);
    }
    in.text = std::move(text);
    if (parts.empty()) throw Error(errc::kFile, "There is no text to speak: the book would be empty.");
    const auto journal = openBookJournal(voice, o, format, in, place);
    WorkFolder work(place);
    const auto heard = speakParts(voice, o, format, in, parts, work.folder(), journal.get(),
                                  [&](size_t index) { return numbered("c%zu.", index + 1) + audioExtension; });
    if (!heard) return interruptedStatus();
    const base::Folder& audioFolder = journal ? journal->folder() : work.folder();

    std::vector<Spoken> spoken;
    size_t sentenceNumber = 1;
    size_t wordNumber = 1;
    for (const SpokenSection& h : *heard) {
        const size_t index = static_cast<size_t>(h.part - parts.data());
        const SourceItem& item = book.items[partItem[index]];
        Spoken s;
        s.item = partItem[index];
        s.audio = h.audio;
        s.section.title = h.part->title;
        s.section.text = in.text.substr(h.part->begin, h.part->end - h.part->begin);
        s.section.durationMs = h.spoken.durationMs;
        s.section.sentences = daisySentences(s.section.text, h.spoken.sentences, s.section.durationMs);
        if (level == OverlayLevel::Word)
            for (const auto& sentence : s.section.sentences)
                s.section.words.push_back(epubWords(s.section.text, sentence, h.spoken.words));
        const uint32_t part = partOf[item.path];
        for (const auto& r : runs)
            if (r.part == part) {
                s.marks.runs.push_back(r);
                s.marks.runs.back().position -= h.part->begin;
            }
        s.marks.sentences = s.section.sentences;
        s.marks.words = s.section.words;
        for (size_t i = 0; i < s.section.sentences.size(); ++i) {
            s.marks.sentenceIds.push_back(prefix + numbered("s%zu", sentenceNumber++));
            s.marks.wordIds.emplace_back();
            if (i < s.section.words.size())
                for (size_t k = 0; k < s.section.words[i].size(); ++k)
                    s.marks.wordIds.back().push_back(prefix + numbered("w%zu", wordNumber++));
        }
        s.written = rewriteXhtml(
            *bytes[s.item],
            XhtmlSettings{language, s.section.title, relativeHref(documents::folderOf(item.path), stylePath)},
            &s.marks);
        // A document none of whose sentences could be placed (the voice spoke only its images' alt
        // text) has no overlay.
        if (std::any_of(s.written.sentencePlaced.begin(), s.written.sentencePlaced.end(), [](bool b) { return b; }))
            spoken.push_back(std::move(s));
    }
    if (spoken.empty()) throw Error(errc::kFile, "Nothing of the text was spoken: the book would be empty.");

    // The package.
    char when[32] = "1980-01-01T00:00:00Z";
    std::tm utc{};
    if (::gmtime_r(&modified, &utc) != nullptr) std::strftime(when, sizeof when, "%Y-%m-%dT%H:%M:%SZ", &utc);
    std::string metadata = "<dc:identifier id=\"book-id\">" + xmlText(in.identifier) + "</dc:identifier>\n<dc:title>" +
                           xmlText(title) + "</dc:title>\n";
    if (!document.metadata().author.empty())
        metadata += "<dc:creator>" + xmlText(document.metadata().author) + "</dc:creator>\n";
    metadata += "<dc:language>" + xmlText(language) + "</dc:language>\n" + meta("dcterms:modified", when);
    uint64_t totalMs = 0;
    for (size_t i = 0; i < spoken.size(); ++i) {
        metadata += meta("media:duration", epubClock(spoken[i].section.durationMs), numbered("o%zu", i + 1));
        totalMs += spoken[i].section.durationMs;
    }
    metadata += meta("media:duration", epubClock(totalMs));
    const std::string narrator = voice.Voice().GetDescription(0);
    if (!narrator.empty()) metadata += meta("media:narrator", narrator);
    metadata += meta("media:active-class", kEpubActiveClass);

    const std::string ownHref = relativeHref(packageFolder, ownFolder);
    std::map<size_t, size_t> spokenOf;  // item -> index in spoken
    for (size_t i = 0; i < spoken.size(); ++i) spokenOf[spoken[i].item] = i;
    std::vector<std::pair<std::string, std::string>> files;  // archive entry, bytes
    std::vector<bool> stored;
    std::string manifest;
    bool hasNav = false;
    for (size_t i = 0; i < book.items.size(); ++i) {
        if (!bytes[i]) continue;
        const SourceItem& item = book.items[i];
        const std::string type = mediaTypeOf(item);
        std::string properties;
        std::string more;
        std::string content;
        if (xhtmlType(item.mediaType)) {
            const auto s = spokenOf.find(i);
            RewrittenXhtml other;
            if (s == spokenOf.end())
                other =
                    rewriteXhtml(*bytes[i], XhtmlSettings{language, fs::path(item.path).stem().string(), {}}, nullptr);
            RewrittenXhtml& written = s != spokenOf.end() ? spoken[s->second].written : other;
            properties = written.properties;
            content = std::move(written.bytes);
            if (s != spokenOf.end()) more = xmlAttribute("media-overlay", numbered("o%zu", s->second + 1));
            if (item.nav) {
                properties = properties.empty() ? "nav" : "nav " + properties;
                hasNav = true;
            }
        } else {
            content = std::move(*bytes[i]);
            if (item.cover) properties = "cover-image";
        }
        manifest += "<item" + xmlAttribute("id", numbered("i%zu", i + 1)) + xmlAttribute("href", item.href) +
                    xmlAttribute("media-type", type) +
                    (properties.empty() ? "" : xmlAttribute("properties", properties)) + more + "/>\n";
        files.emplace_back(item.path, std::move(content));
        stored.push_back(storedType(type));
    }
    for (size_t i = 0; i < spoken.size(); ++i) {
        const std::string smil = numbered("c%zu.smil", i + 1);
        manifest += "<item" + xmlAttribute("id", numbered("o%zu", i + 1)) + xmlAttribute("href", ownHref + smil) +
                    xmlAttribute("media-type", "application/smil+xml") + "/>\n";
        manifest += "<item" + xmlAttribute("id", numbered("a%zu", i + 1)) +
                    xmlAttribute("href", ownHref + spoken[i].audio) +
                    xmlAttribute("media-type", epubMediaType(spoken[i].audio)) + "/>\n";
        files.emplace_back(ownFolder + smil,
                           smilDocument(spoken[i], ownFolder, book.items[spoken[i].item].path, level));
        stored.push_back(false);
    }
    if (!hasNav) {
        manifest += "<item id=\"nav\"" + xmlAttribute("href", ownHref + "nav.xhtml") +
                    " media-type=\"application/xhtml+xml\" properties=\"nav\"/>\n";
        files.emplace_back(ownFolder + "nav.xhtml", navDocument(book, spoken, ownFolder, title, language));
        stored.push_back(false);
    }
    manifest += "<item id=\"style\"" + xmlAttribute("href", ownHref + "style.css") + " media-type=\"text/css\"/>\n";
    files.emplace_back(
        stylePath, "." + std::string(kEpubActiveClass) + " {\n  background-color: #ffe066;\n  color: #000000;\n}\n");
    stored.push_back(false);
    std::string spine;
    for (const auto& ref : book.spine)
        if (bytes[ref.item])
            spine += "<itemref" + xmlAttribute("idref", numbered("i%zu", ref.item + 1)) +
                     (ref.linear ? "" : " linear=\"no\"") + "/>\n";
    const std::string package =
        "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
        "<package xmlns=\"http://www.idpf.org/2007/opf\" version=\"3.0\" unique-identifier=\"book-id\"" +
        xmlAttribute("xml:lang", language) + ">\n<metadata xmlns:dc=\"http://purl.org/dc/elements/1.1/\">\n" +
        metadata + "</metadata>\n<manifest>\n" + manifest + "</manifest>\n<spine>\n" + spine + "</spine>\n</package>\n";
    const std::string container =
        "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
        "<container version=\"1.0\" xmlns=\"urn:oasis:names:tc:opendocument:xmlns:container\">\n<rootfiles>\n"
        "<rootfile" +
        xmlAttribute("full-path", book.packagePath) +
        " media-type=\"application/oebps-package+xml\"/>\n</rootfiles>\n</container>\n";

    const std::string archiveName = "book.epub";
    {
        EpubArchive archive(work.folder().pathOf(archiveName), place.shown, modified);
        archive.addBytes("mimetype", "application/epub+zip", false);
        archive.addBytes("META-INF/container.xml", container, true);
        if (book.encryption) archive.addBytes("META-INF/encryption.xml", *book.encryption, true);
        archive.addBytes(book.packagePath, package, true);
        for (size_t i = 0; i < files.size(); ++i)
            archive.addBytes(files[i].first, std::move(files[i].second), !stored[i]);
        for (const auto& s : spoken) archive.addFile(ownFolder + s.audio, audioFolder.pathOf(s.audio), false);
        archive.close();
    }
    if (interrupted()) return interruptedStatus();
    putInPlace(work, place, archiveName);
    if (journal) journal->remove();
    return kExitSuccess;
}

}  // namespace say
