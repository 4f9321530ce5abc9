// SPDX-License-Identifier: GPL-3.0-or-later
// The documents of an EPUB 3 talking book with Media Overlays, from what its render gave: an XHTML
// content document a section (each sentence in a span with its id, and at word level each word in a
// span inside it), a SMIL 3.0 overlay a section that ties each sentence (or each word of a sentence)
// to its clip of the section's audio file, the navigation document, the style that highlights what is
// being read, and the package document that lists them all. The same sections and facts give the same
// bytes.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tools/say/daisy_files.h"

namespace say {

enum class OverlayLevel { Sentence, Word };

// A section of the book (a chapter, or the text before the first one) as it was spoken: its sentences
// and, for each sentence, its words, all with their clips.
struct EpubSection {
    std::string title;  // UTF-8
    std::u16string text;
    std::vector<DaisySentence> sentences;
    std::vector<std::vector<DaisySentence>> words;  // one list a sentence (empty at sentence level)
    uint64_t durationMs = 0;
    int32_t level = 1;  // in the book's outline: its entry's depth in the navigation
};

// What the package says of the book besides its sections.
struct EpubFacts {
    std::string title;
    std::string creator;  // left out when empty
    std::string language;
    std::string identifier;
    std::string narrator;
    std::time_t modified = 0;
    std::string audioExtension;  // "mp3", "m4a"
    std::string coverName;       // "cover.jpg", or empty for none
    OverlayLevel level = OverlayLevel::Sentence;
};

// The words of a sentence with their clips, from the voice's Word events (in the same text): the words
// that start inside the sentence and have words, in order; each clip from the word's start (not before
// the sentence's) to the next word's, the last to the sentence's end. A word that starts at or past the
// sentence's end is left out.
std::vector<DaisySentence> epubWords(std::u16string_view text, const DaisySentence& sentence,
                                     const std::vector<SpokenSentence>& spoken);

// The name of a section's files: "c1.xhtml", "c1.smil" and its audio "c1.mp3" (index 0 based).
std::string epubFileName(size_t index, std::string_view extension);

// The media type of a file the book holds, by its extension: XHTML, SMIL, CSS, MP3, MP4 audio, JPEG, PNG.
std::string_view epubMediaType(std::string_view name);

// The style the book's overlays name as their active class.
inline constexpr std::string_view kEpubActiveClass = "-epub-media-overlay-active";

// The book's documents under its EPUB/ folder, each a file name and its bytes: the content documents,
// the overlays, nav.xhtml, style.css and last package.opf (which lists them, the audio files and the
// cover too). Every section has at least one sentence.
std::vector<std::pair<std::string, std::string>> epubDocuments(const EpubFacts& facts,
                                                               const std::vector<EpubSection>& sections);

// "0:01:02.345": a clock value for media:duration.
std::string epubClock(uint64_t ms);

}  // namespace say
