// SPDX-License-Identifier: GPL-3.0-or-later
// The layout of the Mandarin lexicon file, shared by its generator (tools/mandarin_lexicon) and
// its reader (lexicon.cpp). The file is read into memory at run time and used as it is there:
// nothing is parsed at start-up.
//
// All integers are little-endian; every section starts on a 4-byte boundary.
//
//   Header           magic "TLZHLEX1", version, the section table (offset and count of each section).
//   Syllables        `count` pinyin syllables: uint32 offsets[count + 1] into a byte blob that follows
//                    (the offsets array, then the blob). Syllable i is blob[offsets[i], offsets[i+1]):
//                    lower case ASCII, ü written v, a tone digit 1-5 last (5 = neutral), "r5" for an
//                    erhua 儿. Sorted by byte value, so id order is string order. A reading is a run of
//                    uint16 syllable ids.
//   Chars            `count` CharRecord sorted by code point: every Han character the lexicon knows, with
//                    the forms to look it up by (its Simplified form and, where OpenCC gives two, the
//                    second one; a CJK compatibility ideograph maps to its unified character), its most
//                    common Mainland reading, and whether it has more than one reading.
//   Trie nodes       `count` TrieNode in breadth-first order; node 0 is the root. The edges leaving node
//                    n are edges [node[n].firstEdge, node[n + 1].firstEdge) (one extra node closes the
//                    array). Because nodes are numbered breadth-first, edge e leads to node e + 1.
//   Trie edges       `count` uint32 code points, sorted within each node.
//   Entries          `count` WordEntry: a word's log probability (for segmentation) and the offset of
//                    its reading in the Readings section (low 31 bits). A word of n characters has n
//                    syllables. The top bit marks a loose entry: a word only the frequency table
//                    knows (an input method's vocabulary holds phrases such as 得去, 看着我), whose
//                    particles and polyphones the reader's context rules may still read otherwise.
//   Readings         `count` uint16 syllable ids.
//
// Words are keyed by their Simplified form. Traditional text reaches them through the lookup forms of
// the Chars section, which the generator made from OpenCC's tables (variants, characters and phrases:
// the phrases decide the keys of words written in Traditional characters).
#pragma once

#include <cstdint>

namespace speech::text::mandarin::lexicon {

inline constexpr char kMagic[8] = {'T', 'L', 'Z', 'H', 'L', 'E', 'X', '1'};
inline constexpr uint32_t kVersion = 1;
inline constexpr uint32_t kNoEntry = 0xFFFFFFFFu;

enum Section : uint32_t { kSyllables, kChars, kTrieNodes, kTrieEdges, kEntries, kReadings, kSectionCount };

struct SectionRef {
    uint32_t offset;  // from the start of the file
    uint32_t count;   // records in the section (for Syllables: syllables)
};

struct Header {
    char magic[8];
    uint32_t version;
    uint32_t fileSize;
    SectionRef sections[kSectionCount];
};

enum CharFlags : uint16_t {
    kPolyphone = 1,  // more than one Mainland reading (Unihan)
};

struct CharRecord {
    uint32_t cp;
    uint32_t lookup;   // the form words are keyed by (itself when it is Simplified already)
    uint32_t lookup2;  // a second Simplified form (OpenCC's second candidate), or 0
    uint16_t reading;  // syllable id of its most common Mainland reading
    uint16_t flags;
};

struct TrieNode {
    uint32_t firstEdge;
    uint32_t entry;  // index into Entries, or kNoEntry
};

inline constexpr uint32_t kLooseEntry = 0x80000000u;

struct WordEntry {
    float logProb;
    uint32_t reading;  // index into Readings | kLooseEntry

    uint32_t readingIndex() const { return reading & ~kLooseEntry; }
    bool loose() const { return (reading & kLooseEntry) != 0; }
};

static_assert(sizeof(Header) == 64);
static_assert(sizeof(CharRecord) == 16);
static_assert(sizeof(TrieNode) == 8);
static_assert(sizeof(WordEntry) == 8);

}  // namespace speech::text::mandarin::lexicon
