// SPDX-License-Identifier: GPL-3.0-or-later
#include "tools/say/daisy_files.h"

#include <algorithm>
#include <cstdio>
#include <limits>

#include "base/utf8.h"
#include "tools/say/xml_text.h"

namespace say {

namespace {

bool blank(char16_t c) {
    return c <= u' ' || c == u'\u00A0' || c == u'\u1680' || (c >= u'\u2000' && c <= u'\u200B') || c == u'\u2028' ||
           c == u'\u2029' || c == u'\u202F' || c == u'\u205F' || c == u'\u3000' || c == u'\uFEFF';
}

// A paragraph ends at a line break (and a page's end, in a PDF's text).
bool lineBreak(char16_t c) {
    return c == u'\n' || c == u'\r' || c == u'\f' || c == u'\u2028' || c == u'\u2029';
}

std::u16string_view trimmed(std::u16string_view text) {
    while (!text.empty() && blank(text.front())) text.remove_prefix(1);
    while (!text.empty() && blank(text.back())) text.remove_suffix(1);
    return text;
}

// "01:02:03.456", or "01:02:03" rounded to the second without `fraction`.
std::string clock(uint64_t ms, bool fraction) {
    if (!fraction) ms = (ms + 500) / 1000 * 1000;
    char buffer[48];
    const auto s = static_cast<unsigned long long>(ms / 1000);
    if (fraction)
        std::snprintf(buffer, sizeof buffer, "%02llu:%02llu:%02llu.%03llu", s / 3600, s / 60 % 60, s % 60,
                      static_cast<unsigned long long>(ms % 1000));
    else
        std::snprintf(buffer, sizeof buffer, "%02llu:%02llu:%02llu", s / 3600, s / 60 % 60, s % 60);
    return buffer;
}

std::string meta(std::string_view name, std::string_view content) {
    return "<meta name=\"" + std::string(name) + "\" content=\"" + xmlText(content) + "\"/>\n";
}

// The start of an XHTML 1.0 document (the NCC, the text) up to its head's title, in the book's language.
std::string xhtmlStart(const DaisyFacts& facts) {
    const std::string language = xmlText(facts.language);
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
           "<!DOCTYPE html PUBLIC \"-//W3C//DTD XHTML 1.0 Transitional//EN\" "
           "\"http://www.w3.org/TR/xhtml1/DTD/xhtml1-transitional.dtd\">\n"
           "<html xmlns=\"http://www.w3.org/1999/xhtml\" xml:lang=\"" +
           language + "\" lang=\"" + language +
           "\">\n<head>\n<meta http-equiv=\"Content-Type\" content=\"text/html; charset=utf-8\"/>\n<title>" +
           xmlText(facts.title) + "</title>\n";
}

// Numbers of the sentences: each section's first, counting from 1 through the book, so that every id
// is unique in every file.
std::vector<size_t> firstSentences(const std::vector<DaisySection>& sections) {
    std::vector<size_t> first;
    size_t next = 1;
    for (const auto& s : sections) {
        first.push_back(next);
        next += s.sentences.size();
    }
    return first;
}

std::vector<int32_t> outlineOf(const std::vector<DaisySection>& sections) {
    std::vector<int32_t> levels;
    for (const auto& s : sections) levels.push_back(s.level);
    return levels;
}

std::string headingName(int32_t level) {
    return "h" + std::to_string(level);
}

// A section in the text: its heading, then a paragraph a line, each sentence's text in a span with its
// id (a sentence over two paragraphs has a span in each, the first with the id). A first line that is
// the section's title is its heading; else the title is put before the text.
std::string sectionText(const DaisySection& section, int32_t level, size_t index, size_t firstSentence) {
    const std::u16string_view text = section.text;
    const auto paragraphs = paragraphsOf(text);
    // The text's first heading, as the NCC's, is the book's "title" heading.
    const std::string opening = "<" + headingName(level) + (index == 0 ? " class=\"title\"" : "") + " id=\"" +
                                numbered("h%04zu", index + 1) + "\">";
    std::string out;
    const bool titleFirst = opensWithTitle(text, paragraphs, section.title);
    if (!titleFirst) out += opening + xmlText(section.title) + "</" + headingName(level) + ">\n";
    return out + markedParagraphs(
                     text, paragraphs, section.sentences, titleFirst ? opening : "",
                     [&](size_t i) { return numbered("t%zu", firstSentence + i); },
                     [&](size_t, size_t from, size_t to, std::string& piece) {
                         piece += xmlText(text.substr(from, to - from));
                     });
}

std::string contentDocument(const DaisyFacts& facts, const std::vector<DaisySection>& sections) {
    std::string out = xhtmlStart(facts) + "</head>\n<body>\n";
    const auto first = firstSentences(sections);
    const auto levels = headingLevels(outlineOf(sections));
    for (size_t i = 0; i < sections.size(); ++i) out += sectionText(sections[i], levels[i], i, first[i]);
    return out + "</body>\n</html>\n";
}

std::string smilDocument(const DaisyFacts& facts, const DaisySection& section, size_t index, size_t firstSentence,
                         uint64_t elapsedMs) {
    std::string out =
        "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
        "<!DOCTYPE smil PUBLIC \"-//W3C//DTD SMIL 1.0//EN\" \"http://www.w3.org/TR/REC-smil/SMIL10.dtd\">\n"
        "<smil>\n<head>\n" +
        meta("dc:format", "Daisy 2.02") + meta("dc:identifier", facts.identifier) + meta("dc:title", facts.title) +
        meta("ncc:generator", facts.generator) + meta("ncc:timeInThisSmil", clock(section.durationMs, true)) +
        meta("ncc:totalElapsedTime", clock(elapsedMs, true)) +
        "<layout>\n<region id=\"txtView\"/>\n</layout>\n</head>\n<body>\n<seq dur=\"" +
        smilSeconds(section.durationMs) + "\">\n";
    const std::string audio = daisyAudioName(index);
    for (size_t i = 0; i < section.sentences.size(); ++i) {
        const DaisySentence& s = section.sentences[i];
        const size_t n = firstSentence + i;
        out += "<par endsync=\"last\" id=\"" + numbered("p%zu", n) + "\">\n<text src=\"content.html#" +
               numbered("t%zu", n) + "\" id=\"" + numbered("x%zu", n) + "\"/>\n<audio src=\"" + audio +
               "\" clip-begin=\"npt=" + smilSeconds(s.startMs) + "\" clip-end=\"npt=" + smilSeconds(s.endMs) +
               "\" id=\"" + numbered("a%zu", n) + "\"/>\n</par>\n";
    }
    return out + "</seq>\n</body>\n</smil>\n";
}

std::string nccDocument(const DaisyFacts& facts, const std::vector<DaisySection>& sections) {
    uint64_t totalMs = 0;
    for (const auto& s : sections) totalMs += s.durationMs;
    const auto levels = headingLevels(outlineOf(sections));
    std::string out = xhtmlStart(facts);
    if (!facts.creator.empty()) out += meta("dc:creator", facts.creator);
    if (!facts.date.empty()) out += meta("dc:date", facts.date);
    out += meta("dc:format", "Daisy 2.02") + meta("dc:identifier", facts.identifier) +
           meta("dc:language", facts.language) + meta("dc:title", facts.title) + meta("ncc:charset", "utf-8") +
           meta("ncc:depth", std::to_string(levels.empty() ? 1 : *std::max_element(levels.begin(), levels.end()))) +
           meta("ncc:files", std::to_string(2 + 2 * sections.size())) + meta("ncc:footnotes", "0") +
           meta("ncc:generator", facts.generator) + meta("ncc:maxPageNormal", "0") +
           meta("ncc:multimediaType", "audioFullText");
    if (!facts.narrator.empty()) out += meta("ncc:narrator", facts.narrator);
    out += meta("ncc:pageFront", "0") + meta("ncc:pageNormal", "0") + meta("ncc:pageSpecial", "0") +
           meta("ncc:prodNotes", "0") + meta("ncc:setInfo", "1 of 1") + meta("ncc:sidebars", "0") +
           meta("ncc:tocItems", std::to_string(sections.size())) + meta("ncc:totalTime", clock(totalMs, false)) +
           "</head>\n<body>\n";
    const auto first = firstSentences(sections);
    for (size_t i = 0; i < sections.size(); ++i) {
        // The NCC's first heading is the book's "title" heading.
        out += "<" + headingName(levels[i]) + (i == 0 ? " class=\"title\"" : "") + " id=\"" +
               numbered("n%04zu", i + 1) + "\"><a href=\"" + numbered("s%04zu.smil", i + 1) + "#" +
               numbered("p%zu", first[i]) + "\">" + xmlText(sections[i].title) + "</a></" + headingName(levels[i]) +
               ">\n";
    }
    return out + "</body>\n</html>\n";
}

}  // namespace

bool hasWords(std::u16string_view text) {
    return !trimmed(text).empty();
}

std::vector<std::pair<size_t, size_t>> paragraphsOf(std::u16string_view text) {
    std::vector<std::pair<size_t, size_t>> paragraphs;
    for (size_t at = 0; at < text.size();) {
        size_t end = at;
        while (end < text.size() && !lineBreak(text[end])) ++end;
        if (hasWords(text.substr(at, end - at))) paragraphs.emplace_back(at, end);
        at = end + 1;
    }
    return paragraphs;
}

std::vector<int32_t> headingLevels(const std::vector<int32_t>& outline) {
    int32_t top = std::numeric_limits<int32_t>::max();
    for (const int32_t level : outline) top = std::min(top, level);
    std::vector<int32_t> levels;
    for (const int32_t level : outline)
        levels.push_back(std::clamp(level - top + 1, 1, levels.empty() ? 1 : std::min(levels.back() + 1, 6)));
    return levels;
}

std::string markedParagraphs(std::u16string_view text, const std::vector<std::pair<size_t, size_t>>& paragraphs,
                             const std::vector<DaisySentence>& sentences, const std::string& headingOpen,
                             const std::function<std::string(size_t)>& sentenceId,
                             const std::function<void(size_t, size_t, size_t, std::string&)>& piece) {
    std::string out;
    std::vector<bool> placed(sentences.size(), false);
    size_t next = 0;
    for (size_t p = 0; p < paragraphs.size(); ++p) {
        const auto [begin, end] = paragraphs[p];
        const bool heading = p == 0 && !headingOpen.empty();
        out += heading ? headingOpen : std::string("<p>");
        while (next < sentences.size() && sentences[next].end <= begin) ++next;
        size_t at = begin;
        for (size_t i = next; i < sentences.size() && sentences[i].begin < end; ++i) {
            const size_t from = std::max(begin, sentences[i].begin);
            const size_t to = std::min(end, sentences[i].end);
            out += xmlText(text.substr(at, from - at));
            out += placed[i] ? std::string("<span>") : "<span id=\"" + sentenceId(i) + "\">";
            piece(i, from, to, out);
            out += "</span>";
            placed[i] = true;
            at = to;
        }
        out += xmlText(text.substr(at, end - at));
        out += heading ? "</" + headingOpen.substr(1, headingOpen.find_first_of(" >") - 1) + ">\n" : "</p>\n";
    }
    return out;
}

bool opensWithTitle(std::u16string_view text, const std::vector<std::pair<size_t, size_t>>& paragraphs,
                    const std::string& title) {
    return !paragraphs.empty() &&
           base::toUtf8(trimmed(text.substr(paragraphs[0].first, paragraphs[0].second - paragraphs[0].first))) ==
               base::toUtf8(trimmed(base::fromUtf8(title)));
}

std::string smilSeconds(uint64_t ms) {
    char buffer[40];
    std::snprintf(buffer, sizeof buffer, "%llu.%03llus", static_cast<unsigned long long>(ms / 1000),
                  static_cast<unsigned long long>(ms % 1000));
    return buffer;
}

std::vector<DaisySentence> daisySentences(std::u16string_view text, const std::vector<SpokenSentence>& spoken,
                                          uint64_t durationMs) {
    std::vector<DaisySentence> kept;
    for (const SpokenSentence& s : spoken) {
        if (s.position < 0 || s.length <= 0 || static_cast<size_t>(s.position) >= text.size()) continue;
        const size_t begin = static_cast<size_t>(s.position);
        const size_t end = std::min(text.size(), begin + static_cast<size_t>(s.length));
        if (!hasWords(text.substr(begin, end - begin)) || s.startMs >= durationMs) continue;
        if (!kept.empty() && (begin < kept.back().end || s.startMs < kept.back().startMs)) continue;
        kept.push_back({begin, end, s.startMs, durationMs});
    }
    for (size_t i = 0; i + 1 < kept.size(); ++i) kept[i].endMs = kept[i + 1].startMs;
    std::erase_if(kept, [](const DaisySentence& s) { return s.endMs <= s.startMs; });
    if (kept.empty() && durationMs > 0 && hasWords(text)) {
        const std::u16string_view words = trimmed(text);
        const auto begin = static_cast<size_t>(words.data() - text.data());
        kept.push_back({begin, begin + words.size(), 0, durationMs});
    }
    return kept;
}

std::string daisyAudioName(size_t index) {
    return numbered("s%04zu.mp3", index + 1);
}

std::vector<std::pair<std::string, std::string>> daisyDocuments(const DaisyFacts& facts,
                                                                const std::vector<DaisySection>& sections) {
    std::vector<std::pair<std::string, std::string>> files;
    files.emplace_back("content.html", contentDocument(facts, sections));
    const auto first = firstSentences(sections);
    uint64_t elapsedMs = 0;
    for (size_t i = 0; i < sections.size(); ++i) {
        files.emplace_back(numbered("s%04zu.smil", i + 1), smilDocument(facts, sections[i], i, first[i], elapsedMs));
        elapsedMs += sections[i].durationMs;
    }
    files.emplace_back("ncc.html", nccDocument(facts, sections));
    return files;
}

}  // namespace say
