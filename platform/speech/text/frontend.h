// SPDX-License-Identifier: GPL-3.0-or-later
// The text front end: turns what Speak was given (plain text, the voice's XML markup, or SSML) into
// segments the synthesizer reads one at a time, each with a map back to the caller's string, so that
// every word, sentence and bookmark position is a UTF-16 offset into the text as passed, markup
// included. Segments are produced lazily, so a long text starts speaking at once and memory stays
// bounded by a few segments.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "speech/core/tokens.h"

namespace speech::text {

namespace mandarin {
class MandarinLexicon;
}  // namespace mandarin
struct UserLexicon;

// Settings that empty markup elements change and SVSFPersistXML carries over to later Speak calls.
struct MarkupState {
    std::optional<core::SpObjectToken> voice;  // set by an empty <voice>/<lang>
    std::optional<int> absoluteRate;           // <rate absspeed>
    int relativeRate = 0;                      // <rate speed>
    std::optional<int> volume;                 // <volume level>
    std::optional<int> absolutePitch;          // <pitch absmiddle>
    int relativePitch = 0;                     // <pitch middle>
    friend bool operator==(const MarkupState&, const MarkupState&) = default;
};

// The voice's settings at the time of Speak, and what markup may refer to.
struct FrontEndContext {
    std::vector<core::SpObjectToken> voices;  // the installed voices, for <voice> and <lang>
    core::SpObjectToken voice;                // the voice's own voice
    int rate = 0;                             // -10..10
    int volume = 100;                         // 0..100
    MarkupState persisted;                    // carried over from earlier Speak calls (SVSFPersistXML)
    // Runs of Latin words in a Mandarin voice's text are read by the English voice, runs of Chinese
    // in another voice's text by the Mandarin voice.
    bool mixedScript = true;
    // Who reads SSML: the front end itself, into segments like any other text (its voices, script runs
    // and Mandarin reader), or, while this is set, the engine's own SSML reader, handed the text as it
    // stands in pieces cut between sentences. The voice (SpVoice) clears it.
    bool ssmlToEngine = true;
    // Chinese that a Mandarin voice reads is read word by word with this lexicon and handed to the
    // engine as pinyin; without it, as it is written (the engine reads it by its own rules).
    std::shared_ptr<const mandarin::MandarinLexicon> mandarinLexicon;
    // Its pinyin with the dictionary's tones (and the changes of 一 and 不), for printing the reading,
    // rather than the tones spoken after third-tone sandhi, which the engine is sent to speak.
    bool citationTones = false;
    // The user's pronunciations: pinyin for Chinese words and aliases, winning over everything else.
    std::shared_ptr<const UserLexicon> userLexicon;
};

struct SegmentMark {
    std::string text;            // the mark text unchanged
    int32_t id = 0;              // its leading decimal integer, 0 when none
    int32_t sourcePosition = 0;  // UTF-16 offset of the element in the caller's string
};

struct Segment {
    // What the synthesizer reads. Empty for a pure silence or a pure bookmark segment.
    std::u32string text;
    // sourceOffsets[i] is the UTF-16 offset in the caller's string of code point i of `text`;
    // sourceOffsets[text.size()] is the offset just after the last one. Size text.size() + 1.
    std::vector<int32_t> sourceOffsets;
    // Word spans [first, last) in code point indices of `text`, in order, for snapping the engine's
    // word events. Empty spans never appear.
    std::vector<std::pair<int32_t, int32_t>> words;
    // The spans [first, last) of `text` that the Mandarin reader wrote: a word's pinyin as the engine
    // is sent it ("yin2hang2"), one span a word, in order.
    std::vector<std::pair<int32_t, int32_t>> readings;

    // Settings in force (absolute, markup applied to the voice's own settings).
    core::SpObjectToken voice;
    // When not empty, the engine reads this segment with this voice instead of voice.Id() (a run of
    // another script); the caller's voice (VoiceChange, token) is unchanged.
    std::string engineVoiceId;
    int rate = 0;      // -10..10
    int volume = 100;  // 0..100
    int pitch = 0;     // -10..10
    bool emphasis = false;
    bool phonemes = false;  // text holds phoneme codes for the engine
    bool ssml = false;      // text is SSML for the engine's own reader (FrontEndContext::ssmlToEngine)
    bool speakPunctuation = false;

    int32_t silenceMs = 0;           // silence to insert before the text
    std::vector<SegmentMark> marks;  // bookmarks at the start of this segment, in order

    // Sentence bookkeeping: the sentence this segment belongs to (0-based within the text), and
    // whether it opens that sentence. The sentence's position and length are UTF-16 units in the
    // caller's string.
    long sentenceIndex = 0;
    bool startsSentence = false;
    // Whether the sentence ends with this segment's text (false for the pieces of a sentence that
    // markup or length cut up, which are read on without a sentence pause).
    bool endsSentence = true;
    int32_t sentencePosition = 0;
    int32_t sentenceLength = 0;
};

class SegmentSource {
public:
    virtual ~SegmentSource() = default;
    // The next segment, or nothing at the end of the text.
    virtual std::optional<Segment> next() = 0;
    // Repositions so that next() returns the first segment of sentence `index`. Returns false (and
    // leaves the position at the end) when the text has fewer sentences.
    virtual bool seekSentence(long index) = 0;
    // Whether the text stopped coming for now (a pipe whose writer waits after a line): the segments
    // handed out are all there is until it goes on, and next() would wait for that.
    virtual bool paused() const { return false; }
};

// Text that arrives a piece at a time (a text file being decoded).
class TextStream {
public:
    virtual ~TextStream() = default;
    // Appends the next piece of the text to `out`; false (and nothing appended) at the end.
    virtual bool read(std::u16string& out) = 0;
    // Starts again from the beginning of the text.
    virtual void restart() = 0;
    // Bookmarks the text places (a document's chapter starts), in order, each with its UTF-16 offset
    // from the start of the stream as sourcePosition; those not yet handed over. Asked after each read,
    // so a mark comes no later than the piece it stands in.
    virtual std::vector<SegmentMark> takeMarks() { return {}; }
    // Whether the text stopped coming for a while without ending (a pipe whose writer waits after a
    // line): read then returned true with nothing, and what came before is complete for now. The next
    // read waits for more.
    virtual bool paused() const { return false; }
};

// Whether `c` is written in the Han script (Unicode script property Han).
bool isHan(char32_t c);

// Whether a text whose first UTF-16 unit is `first` is read as markup under the speak `flags`.
bool readsAsMarkup(int32_t flags, std::optional<char16_t> first);

// Opens `text` for speaking with the speak `flags` (SVSFIsXML, SVSFIsNotXML, SVSFPersistXML,
// SVSFNLPSpeakPunc count here; SVSFIsFilename must already have been resolved by the caller).
// Markup is checked whole before this returns: malformed markup throws Error(errc::kMarkup) whose
// description gives the character position and what was wrong. When SVSFPersistXML is set,
// `*persistOut` (if not null) receives the state after the whole text.
std::unique_ptr<SegmentSource> openText(std::shared_ptr<const std::u16string> text, int32_t flags,
                                        const FrontEndContext& context, MarkupState* persistOut);

// The uri of each <lexicon> element of an SSML text, in order; throws Error(errc::kMarkup) like openText
// for markup that is not well-formed.
std::vector<std::u16string> ssmlLexicons(const std::u16string& ssml);

// Opens plain text that is read a piece at a time while it is spoken (markup is checked whole, so a
// text that readsAsMarkup goes to openText instead). Positions are UTF-16 offsets from the start of
// the stream.
std::unique_ptr<SegmentSource> openTextStream(std::unique_ptr<TextStream> text, int32_t flags,
                                              const FrontEndContext& context, MarkupState* persistOut);

}  // namespace speech::text
