// SPDX-License-Identifier: GPL-3.0-or-later
#include "tools/say/epub_files.h"

#include <algorithm>
#include <cstdio>

#include "base/utf8.h"
#include "tools/say/xml_text.h"

namespace say {

namespace {

// The start of an XHTML content document (or the navigation document) up to its head's title.
std::string xhtmlStart(const EpubFacts& facts, std::string_view title) {
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<!DOCTYPE html>\n"
           "<html xmlns=\"http://www.w3.org/1999/xhtml\" xmlns:epub=\"http://www.idpf.org/2007/ops\"" +
           xmlAttribute("lang", facts.language) + xmlAttribute("xml:lang", facts.language) +
           ">\n<head>\n<meta charset=\"utf-8\"/>\n<title>" + xmlText(title) + "</title>\n";
}

// The first sentence's and the first word's number of each section, counting from 1 through the book,
// so that every id is unique in the book.
struct FirstIds {
    std::vector<size_t> sentence;
    std::vector<size_t> word;
};

FirstIds firstIds(const std::vector<EpubSection>& sections) {
    FirstIds first;
    size_t sentence = 1;
    size_t word = 1;
    for (const auto& s : sections) {
        first.sentence.push_back(sentence);
        first.word.push_back(word);
        sentence += s.sentences.size();
        for (const auto& words : s.words) word += words.size();
    }
    return first;
}

// The words of the sentence `i` of a section, if the overlay is at word level.
const std::vector<DaisySentence>* wordsOf(const EpubFacts& facts, const EpubSection& section, size_t i) {
    if (facts.level != OverlayLevel::Word || i >= section.words.size() || section.words[i].empty()) return nullptr;
    return &section.words[i];
}

// A section's body: its heading, then a paragraph a line, each sentence's text in a span with its id
// (a sentence over two paragraphs has a span in each, the first with the id), and at word level each
// word in a span of its own inside. A first line that is the section's title is its heading; else the
// title is put before the text, where it is not read.
std::string contentBody(const EpubFacts& facts, const EpubSection& section, size_t firstSentence, size_t firstWord) {
    const std::u16string_view text = section.text;
    const auto paragraphs = paragraphsOf(text);
    const bool titleFirst = opensWithTitle(text, paragraphs, section.title);
    std::string out = "<section>\n";
    if (!titleFirst) out += "<h1>" + xmlText(section.title) + "</h1>\n";
    const auto& sentences = section.sentences;
    std::vector<size_t> wordIds;  // each sentence's first word's number
    for (size_t i = 0, next = firstWord; i < sentences.size(); ++i) {
        wordIds.push_back(next);
        if (const auto* words = wordsOf(facts, section, i)) next += words->size();
    }
    std::vector<std::vector<bool>> wordPlaced(sentences.size());
    out += markedParagraphs(
        text, paragraphs, sentences, titleFirst ? "<h1>" : "",
        [&](size_t i) { return numbered("s%zu", firstSentence + i); },
        [&](size_t i, size_t from, size_t to, std::string& piece) {
            size_t at = from;
            if (const auto* words = wordsOf(facts, section, i)) {
                wordPlaced[i].resize(words->size(), false);
                for (size_t k = 0; k < words->size(); ++k) {
                    const size_t wordFrom = std::max(at, (*words)[k].begin);
                    const size_t wordTo = std::min(to, (*words)[k].end);
                    if (wordFrom >= wordTo) continue;
                    piece += xmlText(text.substr(at, wordFrom - at));
                    piece += wordPlaced[i][k] ? std::string("<span>")
                                              : "<span id=\"" + numbered("w%zu", wordIds[i] + k) + "\">";
                    piece += xmlText(text.substr(wordFrom, wordTo - wordFrom)) + "</span>";
                    wordPlaced[i][k] = true;
                    at = wordTo;
                }
            }
            piece += xmlText(text.substr(at, to - at));
        });
    return out + "</section>\n";
}

std::string contentDocument(const EpubFacts& facts, const EpubSection& section, size_t firstSentence,
                            size_t firstWord) {
    return xhtmlStart(facts, section.title) +
           "<link rel=\"stylesheet\" type=\"text/css\" href=\"style.css\"/>\n</head>\n<body>\n" +
           contentBody(facts, section, firstSentence, firstWord) + "</body>\n</html>\n";
}

std::string clip(std::string_view audio, const DaisySentence& s) {
    return "<audio src=\"" + std::string(audio) + "\" clipBegin=\"" + smilSeconds(s.startMs) + "\" clipEnd=\"" +
           smilSeconds(s.endMs) + "\"/>";
}

// The overlay: a par a sentence, or at word level a seq a sentence that holds a par a word.
std::string overlayDocument(const EpubFacts& facts, const EpubSection& section, size_t index, size_t firstSentence,
                            size_t firstWord) {
    const std::string content = epubFileName(index, "xhtml");
    const std::string audio = epubFileName(index, facts.audioExtension);
    std::string out =
        "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
        "<smil xmlns=\"http://www.w3.org/ns/SMIL\" xmlns:epub=\"http://www.idpf.org/2007/ops\" version=\"3.0\">\n"
        "<body>\n";
    size_t word = firstWord;
    for (size_t i = 0; i < section.sentences.size(); ++i) {
        const std::string sentence = content + "#" + numbered("s%zu", firstSentence + i);
        if (const auto* words = wordsOf(facts, section, i)) {
            out += "<seq id=\"" + numbered("q%zu", firstSentence + i) + "\" epub:textref=\"" + sentence + "\">\n";
            for (const DaisySentence& w : *words) {
                out += "<par id=\"" + numbered("pw%zu", word) + "\"><text src=\"" + content + "#" +
                       numbered("w%zu", word) + "\"/>" + clip(audio, w) + "</par>\n";
                ++word;
            }
            out += "</seq>\n";
        } else {
            out += "<par id=\"" + numbered("p%zu", firstSentence + i) + "\"><text src=\"" + sentence + "\"/>" +
                   clip(audio, section.sentences[i]) + "</par>\n";
        }
    }
    return out + "</body>\n</smil>\n";
}

std::string navDocument(const EpubFacts& facts, const std::vector<EpubSection>& sections) {
    std::string out = xhtmlStart(facts, facts.title) + "</head>\n<body>\n<nav epub:type=\"toc\" id=\"toc\">\n<h1>" +
                      xmlText(facts.title) + "</h1>\n<ol>\n";
    // A section of a chapter is listed inside the chapter's entry.
    std::vector<int32_t> outline;
    for (const auto& s : sections) outline.push_back(s.level);
    const auto levels = headingLevels(outline);
    int32_t depth = 1;  // the lists open
    for (size_t i = 0; i < sections.size(); ++i) {
        if (i > 0 && levels[i] > depth) {
            out += "\n<ol>\n";
            ++depth;
        } else if (i > 0) {
            out += "</li>\n";
        }
        for (; depth > levels[i]; --depth) out += "</ol>\n</li>\n";
        out += "<li><a href=\"" + epubFileName(i, "xhtml") + "\">" + xmlText(sections[i].title) + "</a>";
    }
    if (!sections.empty()) out += "</li>\n";
    for (; depth > 1; --depth) out += "</ol>\n</li>\n";
    return out + "</ol>\n</nav>\n</body>\n</html>\n";
}

std::string styleSheet() {
    return "." + std::string(kEpubActiveClass) +
           " {\n  background-color: #ffe066;\n  color: #000000;\n}\n"
           "p {\n  line-height: 1.5;\n}\n";
}

std::string meta(std::string_view property, std::string_view value, std::string_view refines = {}) {
    return "<meta property=\"" + std::string(property) + "\"" +
           (refines.empty() ? std::string() : xmlAttribute("refines", "#" + std::string(refines))) + ">" +
           xmlText(value) + "</meta>\n";
}

std::string item(std::string_view id, std::string_view href, std::string_view more = {}) {
    return "<item" + xmlAttribute("id", id) + xmlAttribute("href", href) +
           xmlAttribute("media-type", epubMediaType(href)) + std::string(more) + "/>\n";
}

std::string packageDocument(const EpubFacts& facts, const std::vector<EpubSection>& sections) {
    char modified[32] = "1980-01-01T00:00:00Z";
    std::tm utc{};
    if (::gmtime_r(&facts.modified, &utc) != nullptr)
        std::strftime(modified, sizeof modified, "%Y-%m-%dT%H:%M:%SZ", &utc);
    std::string out =
        "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
        "<package xmlns=\"http://www.idpf.org/2007/opf\" version=\"3.0\" unique-identifier=\"book-id\"" +
        xmlAttribute("xml:lang", facts.language) +
        ">\n<metadata xmlns:dc=\"http://purl.org/dc/elements/1.1/\">\n<dc:identifier id=\"book-id\">" +
        xmlText(facts.identifier) + "</dc:identifier>\n<dc:title>" + xmlText(facts.title) + "</dc:title>\n";
    if (!facts.creator.empty()) out += "<dc:creator>" + xmlText(facts.creator) + "</dc:creator>\n";
    out += "<dc:language>" + xmlText(facts.language) + "</dc:language>\n" + meta("dcterms:modified", modified);
    uint64_t totalMs = 0;
    for (size_t i = 0; i < sections.size(); ++i) {
        out += meta("media:duration", epubClock(sections[i].durationMs), numbered("o%zu", i + 1));
        totalMs += sections[i].durationMs;
    }
    out += meta("media:duration", epubClock(totalMs));
    if (!facts.narrator.empty()) out += meta("media:narrator", facts.narrator);
    out += meta("media:active-class", kEpubActiveClass) + "</metadata>\n<manifest>\n" +
           item("nav", "nav.xhtml", " properties=\"nav\"") + item("style", "style.css");
    if (!facts.coverName.empty()) out += item("cover", facts.coverName, " properties=\"cover-image\"");
    for (size_t i = 0; i < sections.size(); ++i) {
        out += item(numbered("c%zu", i + 1), epubFileName(i, "xhtml"),
                    xmlAttribute("media-overlay", numbered("o%zu", i + 1)));
        out += item(numbered("o%zu", i + 1), epubFileName(i, "smil"));
        out += item(numbered("a%zu", i + 1), epubFileName(i, facts.audioExtension));
    }
    out += "</manifest>\n<spine>\n";
    for (size_t i = 0; i < sections.size(); ++i) out += "<itemref idref=\"" + numbered("c%zu", i + 1) + "\"/>\n";
    return out + "</spine>\n</package>\n";
}

}  // namespace

std::vector<DaisySentence> epubWords(std::u16string_view text, const DaisySentence& sentence,
                                     const std::vector<SpokenSentence>& spoken) {
    std::vector<DaisySentence> words;
    for (const SpokenSentence& w : spoken) {
        if (w.position < 0 || w.length <= 0) continue;
        const auto begin = static_cast<size_t>(w.position);
        if (begin < sentence.begin || begin >= sentence.end) continue;
        const size_t end = std::min(sentence.end, begin + static_cast<size_t>(w.length));
        const uint64_t start = std::max(w.startMs, sentence.startMs);
        if (!hasWords(text.substr(begin, end - begin)) || start >= sentence.endMs) continue;
        if (!words.empty() && (begin < words.back().end || start < words.back().startMs)) continue;
        words.push_back({begin, end, start, sentence.endMs});
    }
    for (size_t i = 0; i + 1 < words.size(); ++i) words[i].endMs = words[i + 1].startMs;
    std::erase_if(words, [](const DaisySentence& w) { return w.endMs <= w.startMs; });
    return words;
}

std::string epubFileName(size_t index, std::string_view extension) {
    return numbered("c%zu.", index + 1) + std::string(extension);
}

std::string_view epubMediaType(std::string_view name) {
    const auto dot = name.rfind('.');
    const std::string_view extension = dot == std::string_view::npos ? std::string_view() : name.substr(dot + 1);
    if (extension == "xhtml") return "application/xhtml+xml";
    if (extension == "smil") return "application/smil+xml";
    if (extension == "css") return "text/css";
    if (extension == "mp3") return "audio/mpeg";
    if (extension == "m4a") return "audio/mp4";
    if (extension == "jpg") return "image/jpeg";
    if (extension == "png") return "image/png";
    return "application/octet-stream";
}

std::string epubClock(uint64_t ms) {
    char buffer[48];
    const auto s = static_cast<unsigned long long>(ms / 1000);
    std::snprintf(buffer, sizeof buffer, "%llu:%02llu:%02llu.%03llu", s / 3600, s / 60 % 60, s % 60,
                  static_cast<unsigned long long>(ms % 1000));
    return buffer;
}

std::vector<std::pair<std::string, std::string>> epubDocuments(const EpubFacts& facts,
                                                               const std::vector<EpubSection>& sections) {
    std::vector<std::pair<std::string, std::string>> files;
    const FirstIds first = firstIds(sections);
    for (size_t i = 0; i < sections.size(); ++i) {
        files.emplace_back(epubFileName(i, "xhtml"),
                           contentDocument(facts, sections[i], first.sentence[i], first.word[i]));
        files.emplace_back(epubFileName(i, "smil"),
                           overlayDocument(facts, sections[i], i, first.sentence[i], first.word[i]));
    }
    files.emplace_back("nav.xhtml", navDocument(facts, sections));
    files.emplace_back("style.css", styleSheet());
    files.emplace_back("package.opf", packageDocument(facts, sections));
    return files;
}

}  // namespace say
