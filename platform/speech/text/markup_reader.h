// SPDX-License-Identifier: GPL-3.0-or-later
// Internal to the text front end: the XML reader the voice's markup and SSML share. It reads a text one
// token at a time, so the same reader both checks a whole text (before anything is spoken) and, run
// again lazily, turns it into styled units with bookmarks and silences between them. What an element
// does is its language's own: each language's reader derives from this one (voice_markup.cpp,
// ssml_reader.cpp).
//
// The reader is strict where a fault would change what is heard (tags, quotes, nesting, character
// references) and lenient where ordinary text meets markup by accident: a "<" not followed by a name
// and an "&" that starts no known entity are spoken as they stand.
#pragma once

#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "speech/text/say_as.h"
#include "speech/text/units.h"
#include "speech/text/voice_markup.h"

namespace speech::text {

struct Attribute {
    std::u16string_view name;
    std::u16string value;  // entities decoded
    size_t position = 0;   // where the value starts
};

// An open element and what is in force inside it.
struct Frame {
    std::u16string_view name;  // as written, to match the end tag
    size_t start = 0;          // where the start tag begins
    Settings settings;
    bool emphasis = false;
    bool spell = false;
    ContextKind context = ContextKind::None;
    // Inside an element whose text is read as something else (a pronunciation, an alias) or not at
    // all: its text is not put.
    bool suppressed = false;
    // Put at the end tag in place of the element's text: the engine's phonemes or other text.
    bool replaced = false;
    bool replacementIsPhonemes = false;
    std::u32string replacement;
    size_t contentStart = 0;
    bool sentence = false;  // a sentence of its own: a break at its start and its end
    uint32_t style = 0;
};

// Throws Error(errc::kMarkup, "XML error at character N: what"); N is a 0-based UTF-16 offset.
[[noreturn]] void markupError(size_t position, const std::string& what);
// A short quote of the text for an error message; control characters shown as spaces.
std::string quoted(std::u16string_view s, size_t limit = 40);
bool equalsIgnoreCase(std::u16string_view a, std::u16string_view b);
bool isXmlSpace(char16_t c);

class MarkupReader {
public:
    // `text`, `context` and the table must outlive the reader.
    MarkupReader(const std::u16string& text, const FrontEndContext& context, std::shared_ptr<const VoiceTable> voices);
    virtual ~MarkupReader() = default;
    MarkupReader(const MarkupReader&) = delete;
    MarkupReader& operator=(const MarkupReader&) = delete;

    void reset();
    bool atEnd() const { return pos_ >= text_.size(); }
    // Reads one token: with a sink it puts its units and markers, without it only checks it. Returns
    // false at the end of the text.
    bool step(UnitSink* sink);
    // The settings in force at the top level, for SVSFPersistXML.
    MarkupState persisted() const;

protected:
    // A start tag `name` at `at`, its attributes in attrs_ and pos_ past it; `empty` for "<x/>".
    virtual void startElement(UnitSink* sink, size_t at, std::u16string_view name, bool empty) = 0;

    // The last attribute of that name (names compared without regard to case), or null.
    const Attribute* attribute(std::u16string_view name) const;
    // Enters an element: a copy of the frame in force, with what belongs to one element alone reset.
    Frame& pushFrame(std::u16string_view name, size_t at);
    void restyle(Frame& f) const;
    // Markers and units the elements put, where the text is read (with a sink, outside suppressed text).
    void putSilence(UnitSink* sink, size_t at, int ms);
    void putBookmark(UnitSink* sink, size_t at, const std::u16string* name);
    void putPhonemes(UnitSink& sink, const std::u32string& phonemes, size_t from, size_t to, const Frame& in);
    // Text read in place of the text from..to (an alias), all of it standing for that range.
    void putReplacement(UnitSink& sink, std::u32string_view text, size_t from, size_t to, const Frame& in);
    // Ends the sentence before `at` (a line break standing for no text), unless a break is there.
    void putSentenceBreak(UnitSink* sink, size_t at);
    // The voice of the table that matches `required` best by `optional`; `current` when it does as
    // well, or when no voice matches.
    int selectVoice(const std::string& required, const std::string& optional, int current) const;
    bool reading(const UnitSink* sink) const { return sink && !stack_.back().suppressed; }

    const std::u16string& text_;
    const FrontEndContext& context_;
    std::shared_ptr<const VoiceTable> voices_;
    size_t pos_ = 0;
    std::vector<Frame> stack_;
    std::vector<Attribute> attrs_;
    bool foldLineBreaks_ = false;  // line breaks and tabs in the text are read as spaces
    // An attribute value longer than this is refused (SSML's may reach the engine's own reader).
    size_t maxAttributeUnits_ = std::numeric_limits<size_t>::max();

private:
    void readText(UnitSink* sink);
    void flushRun(UnitSink& sink, const Frame& top);
    void put(UnitSink& sink, char32_t c, int32_t src, int32_t srcEnd, uint32_t style);
    size_t entity(size_t at, char32_t& c) const;
    size_t find(std::u16string_view what, size_t from) const;
    bool readMarkup(UnitSink* sink);
    void literal(UnitSink* sink, size_t from, size_t to);
    size_t skipSpace(size_t i) const;
    size_t readName(size_t i) const;
    void endTag(UnitSink* sink, size_t at);
    void startTag(UnitSink* sink, size_t at);
    size_t readAttribute(size_t i, size_t at, std::u16string_view element);

    std::vector<ContextChar> run_;
    char32_t last_ = U'\n';  // the last character put
    int64_t silenceMs_ = 0;  // the silences read so far
};

// A text's markup read into units, lazily, by a reader of type R.
template <class R>
class MarkupProducer final : public UnitProducer {
public:
    MarkupProducer(std::shared_ptr<const std::u16string> text, const FrontEndContext& context,
                   std::shared_ptr<const VoiceTable> voices)
        : text_(std::move(text)), context_(context), reader_(*text_, context_, std::move(voices)) {}

    bool fill(UnitSink& sink, uint64_t minUnits) override {
        const uint64_t start = sink.size();
        while (sink.size() - start < minUnits && reader_.step(&sink)) {
        }
        return !reader_.atEnd();
    }
    void restart() override { reader_.reset(); }

private:
    std::shared_ptr<const std::u16string> text_;
    FrontEndContext context_;  // a copy: the source outlives the caller's context
    R reader_;
};

}  // namespace speech::text
