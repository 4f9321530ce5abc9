// SPDX-License-Identifier: GPL-3.0-or-later
// Word and sentence timings of one render, written beside its audio: SubRip (.srt) and WebVTT (.vtt)
// with one cue a sentence or a word, enhanced LRC (.lrc) with a line a sentence and a time a word, and
// JSON (.json) with every word and sentence. The times are those of the voice's Word and Sentence
// events of the same render, so they match its audio.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "speech/core/events.h"
#include "speech/names.h"

namespace say {

enum class TimingFormat { Srt, Vtt, Lrc, Json };
enum class CueUnit { Sentence, Word };

// The format a file name's extension asks for (.srt .vtt .lrc .json, in any case), or nothing.
std::optional<TimingFormat> timingFormatForName(std::string_view path);
// The extensions timingFormatForName knows, for messages.
std::string_view timingExtensions();

// `text` quoted as a JSON string (UTF-8 in, control characters escaped).
std::string jsonQuoted(std::string_view text);

class TimingRecorder {
public:
    // `text` is the string the events' positions count in (the text given to Speak); with `markup`,
    // tags are left out of the cue texts and character references decoded.
    TimingRecorder(std::u16string text, bool markup);

    // Takes the Word, Sentence and EndStream events of one stream, in the order they were raised.
    void add(const speech::VoiceEvent& event);
    // The file's contents. A word ends where the next word or sentence starts, a sentence where the
    // next sentence starts; the last ones at the end of the stream.
    std::string render(TimingFormat format, CueUnit unit) const;

private:
    struct Timed {
        int32_t position = 0;
        int32_t length = 0;
        uint64_t startMs = 0;
        uint64_t endMs = 0;
    };
    std::vector<Timed> withEnds(const std::vector<Timed>& items, bool words) const;
    // The spoken text of a range of the source: tags left out, white space run together into one
    // space, and with `trim` none at either end.
    std::string textOf(int32_t position, int32_t length, bool trim) const;
    std::string renderCues(TimingFormat format, const std::vector<Timed>& cues) const;
    std::string renderLrc(const std::vector<Timed>& words, const std::vector<Timed>& sentences) const;
    std::string renderJson(const std::vector<Timed>& words, const std::vector<Timed>& sentences) const;

    std::u16string text_;
    bool markup_;
    std::vector<Timed> words_;
    std::vector<Timed> sentences_;
    uint64_t endMs_ = 0;
};

}  // namespace say
