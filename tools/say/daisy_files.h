// SPDX-License-Identifier: GPL-3.0-or-later
// The documents of a DAISY 2.02 talking book (full text and audio) from what its render gave: the
// navigation control centre (ncc.html) with a heading a section, the text (content.html) with each
// sentence in a span, and a SMIL 1.0 file a section that ties each sentence to its clip of the
// section's MP3 file. The same sections and facts give the same bytes.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace say {

// A sentence of a section: its text, text[begin, end) in UTF-16 units, and its clip of the audio.
struct DaisySentence {
    size_t begin = 0;
    size_t end = 0;
    uint64_t startMs = 0;
    uint64_t endMs = 0;
    friend bool operator==(const DaisySentence&, const DaisySentence&) = default;
};

// A section of the book (a chapter, or the text before the first one): its heading, its text as it
// was spoken, its sentences in order, and its audio's length.
struct DaisySection {
    std::string title;  // UTF-8
    std::u16string text;
    std::vector<DaisySentence> sentences;
    uint64_t durationMs = 0;
    int32_t level = 1;  // in the book's outline: its heading is h1, h2, ...
};

// What the NCC says of the book besides its sections. Empty ones are left out (the creator, the date).
struct DaisyFacts {
    std::string title;
    std::string creator;
    std::string date;
    std::string language;
    std::string identifier;
    std::string narrator;
    std::string generator;  // "Tallamo 1.2.0"
};

// A sentence as the voice's Sentence event gave it: where it is in the text spoken and when it starts.
struct SpokenSentence {
    int32_t position = 0;
    int32_t length = 0;
    uint64_t startMs = 0;
};

// The sentences of a section with their clips, from the events of its render: each clip ends where the
// next sentence starts, the last at the audio's end. A sentence of blanks only, one that goes back in
// the text or in time, or one whose clip would be empty is left out. When none is left, the section's
// words are one sentence that takes all its audio.
std::vector<DaisySentence> daisySentences(std::u16string_view text, const std::vector<SpokenSentence>& spoken,
                                          uint64_t durationMs);

// Whether the text has anything but blanks.
bool hasWords(std::u16string_view text);

// The paragraphs of a text, [begin, end) in UTF-16 units: its lines that have words (a paragraph ends at
// a line break, and at a page's end in a PDF's text).
std::vector<std::pair<size_t, size_t>> paragraphsOf(std::u16string_view text);

// Whether the first paragraph is the title (blanks aside): it is then the section's heading.
bool opensWithTitle(std::u16string_view text, const std::vector<std::pair<size_t, size_t>>& paragraphs,
                    const std::string& title);

// A section's paragraphs as XHTML: a `p` a paragraph (the first as the `h1` that `headingOpen` opens,
// when it is given), each sentence's text in a span whose first piece has the id `sentenceId(i)` (a
// sentence over two paragraphs has a span in each). `piece(i, from, to, out)` writes the text [from, to)
// of sentence i into its span (the text escaped, or each word in a span of its own).
// The heading level (1 to 6) of each of the sections at `outline`'s levels: the highest of them 1, none
// more than one below the heading before it, the first 1 (a book's first heading is an h1, and no level
// is skipped).
std::vector<int32_t> headingLevels(const std::vector<int32_t>& outline);

std::string markedParagraphs(std::u16string_view text, const std::vector<std::pair<size_t, size_t>>& paragraphs,
                             const std::vector<DaisySentence>& sentences, const std::string& headingOpen,
                             const std::function<std::string(size_t)>& sentenceId,
                             const std::function<void(size_t, size_t, size_t, std::string&)>& piece);

// A SMIL time in seconds to the millisecond: "1.234s".
std::string smilSeconds(uint64_t ms);

// The name of the audio file of the section at `index` (0 based): "s0001.mp3".
std::string daisyAudioName(size_t index);

// The book's documents, each a file name and its bytes: content.html, a SMIL file a section
// (s0001.smil, ...) and last ncc.html. Every section has at least one sentence.
std::vector<std::pair<std::string, std::string>> daisyDocuments(const DaisyFacts& facts,
                                                                const std::vector<DaisySection>& sections);

// What an NCC this program made says of its maker: a book whose ncc.html holds this was made by it.
inline constexpr std::string_view kDaisyGeneratorMeta = "<meta name=\"ncc:generator\" content=\"Tallamo ";

}  // namespace say
