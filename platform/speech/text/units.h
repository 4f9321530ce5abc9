// SPDX-License-Identifier: GPL-3.0-or-later
// Internal to the text front end: the stream of visible characters that plain text and markup are
// turned into before it is cut into sentences and segments. Each UTF-16 unit carries the settings in
// force (packed in 32 bits) and where in the caller's string it came from.
#pragma once

#include <unicode/utf16.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "speech/text/frontend.h"

namespace speech::text {

// The settings a character is spoken with. `voice` indexes the source's voice table.
struct Style {
    int voice = 0;  // 0..kMaxVoices-1
    int rate = 0;   // -10..10
    int volume = 100;
    int pitch = 0;  // -10..10
    bool emphasis = false;
    bool phonemes = false;
    // Read by the voice's reader of another script (English for a Mandarin voice, Mandarin for the
    // others) while `voice` stays the caller's.
    bool otherScript = false;

    friend bool operator==(const Style&, const Style&) = default;
};

inline constexpr int kMaxVoices = 1 << 12;
inline constexpr uint32_t kOtherScriptBit = 1u << 31;

inline uint32_t packStyle(const Style& s) {
    return static_cast<uint32_t>(std::clamp(s.voice, 0, kMaxVoices - 1)) |
           static_cast<uint32_t>(std::clamp(s.rate, -10, 10) + 10) << 12 |
           static_cast<uint32_t>(std::clamp(s.volume, 0, 100)) << 17 |
           static_cast<uint32_t>(std::clamp(s.pitch, -10, 10) + 10) << 24 | static_cast<uint32_t>(s.emphasis) << 29 |
           static_cast<uint32_t>(s.phonemes) << 30 | (s.otherScript ? kOtherScriptBit : 0);
}

inline Style unpackStyle(uint32_t v) {
    Style s;
    s.voice = static_cast<int>(v & 0xFFF);
    s.rate = static_cast<int>((v >> 12) & 0x1F) - 10;
    s.volume = static_cast<int>((v >> 17) & 0x7F);
    s.pitch = static_cast<int>((v >> 24) & 0x1F) - 10;
    s.emphasis = (v >> 29) & 1;
    s.phonemes = (v >> 30) & 1;
    s.otherScript = (v & kOtherScriptBit) != 0;
    return s;
}

// One UTF-16 unit of visible text. A supplementary character is two units with the same source
// range. `src`/`srcEnd` is the range of the caller's string the character stands for (an entity, a
// letter, or for inserted characters the text they were made from).
struct Unit {
    uint32_t style = 0;
    int32_t src = 0;
    int32_t srcEnd = 0;
    bool reading = false;  // written by the Mandarin reader (pinyin_writer.h)
};

// A bookmark or a silence between two characters: it happens before the unit at index `unit`.
struct Marker {
    uint64_t unit = 0;  // absolute index in the unit stream
    int32_t silenceMs = 0;
    bool isSilence = false;
    uint32_t style = 0;  // the settings in force where it stands
    int32_t source = 0;  // where its element starts in the caller's string
    SegmentMark mark;
};

// What producers append to. Units are counted from the start of the text (absolute indices) so
// markers stay valid while the consumer drops what it has used.
class UnitSink {
public:
    virtual ~UnitSink() = default;
    // Appends one code point (one or two units).
    virtual void put(char32_t cp, int32_t src, int32_t srcEnd, uint32_t style) = 0;
    // Appends a character of the Mandarin reader's pinyin, which a sink may tell from the text's own.
    virtual void putReading(char32_t cp, int32_t src, int32_t srcEnd, uint32_t style) { put(cp, src, srcEnd, style); }
    virtual void marker(Marker m) = 0;  // its `unit` is filled in by the sink
    virtual uint64_t size() const = 0;  // absolute units appended so far
};

// Turns an input into units a piece at a time.
class UnitProducer {
public:
    virtual ~UnitProducer() = default;
    // Appends until at least `minUnits` more units were appended or the input ends (or pauses).
    // Returns false once the input is exhausted.
    virtual bool fill(UnitSink& sink, uint64_t minUnits) = 0;
    // Starts again from the beginning of the text.
    virtual void restart() = 0;
    // Whether the last fill stopped short because the input paused (TextStream::paused): what was
    // appended is complete for now.
    virtual bool paused() const { return false; }
};

// The code point at `i` in s[0, end): a surrogate pair is read whole, an unpaired surrogate as itself.
// Advances `i` past it. ICU's U16_NEXT with the front end's size_t indices.
inline char32_t nextCodePoint(const char16_t* s, size_t& i, size_t end) {
    UChar32 c;
    U16_NEXT(s, i, end, c);
    return static_cast<char32_t>(c);
}

// Characters that must not reach the synthesizer as they are: NUL and other C0 controls (except
// tab and line breaks) become a space, unpaired surrogates the replacement character.
inline char32_t sanitize(char32_t cp) {
    if (cp < 0x20 && cp != u'\t' && cp != u'\n' && cp != u'\r') return U' ';
    if (cp >= 0xD800 && cp <= 0xDFFF) return 0xFFFD;
    if (cp > 0x10FFFF) return 0xFFFD;
    return cp;
}

}  // namespace speech::text

namespace speech::text {

// Finds word spans with ICU's word break iterator: only spans holding letters, digits or
// ideographs count as words. Reuses one iterator; not thread-safe.
class WordFinder {
public:
    WordFinder();
    ~WordFinder();
    WordFinder(const WordFinder&) = delete;
    WordFinder& operator=(const WordFinder&) = delete;
    // Appends the words of `chars` as UTF-16 index spans.
    void find(const char16_t* chars, int32_t length, std::vector<std::pair<int32_t, int32_t>>& out);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace speech::text
