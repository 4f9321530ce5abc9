// SPDX-License-Identifier: GPL-3.0-or-later
#include "tools/say/timings.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <cstdlib>

#include "base/utf8.h"
#include "speech/names.h"
#include "speech/streams.h"

namespace say {

namespace {

constexpr std::array<std::pair<std::string_view, TimingFormat>, 4> kFormatNames{{{".srt", TimingFormat::Srt},
                                                                                 {".vtt", TimingFormat::Vtt},
                                                                                 {".lrc", TimingFormat::Lrc},
                                                                                 {".json", TimingFormat::Json}}};

// "01:02:03,456" (SubRip), "01:02:03.456" (WebVTT), "62:03.45" (LRC, hundredths).
std::string clock(uint64_t ms, TimingFormat format) {
    char buffer[40];
    if (format == TimingFormat::Lrc) {
        std::snprintf(buffer, sizeof buffer, "%02llu:%02llu.%02llu", static_cast<unsigned long long>(ms / 60000),
                      static_cast<unsigned long long>(ms / 1000 % 60), static_cast<unsigned long long>(ms % 1000 / 10));
    } else {
        std::snprintf(buffer, sizeof buffer, "%02llu:%02llu:%02llu%c%03llu",
                      static_cast<unsigned long long>(ms / 3600000), static_cast<unsigned long long>(ms / 60000 % 60),
                      static_cast<unsigned long long>(ms / 1000 % 60), format == TimingFormat::Srt ? ',' : '.',
                      static_cast<unsigned long long>(ms % 1000));
    }
    return buffer;
}

// Decodes the character reference at `text[i]` ('&'); advances `i` past it. Nothing for a lone '&'.
std::optional<char32_t> characterReference(std::u16string_view text, size_t& i) {
    const size_t end = text.find(u';', i);
    if (end == std::u16string_view::npos || end - i > 10) return std::nullopt;
    const std::string name = base::toUtf8(text.substr(i + 1, end - i - 1));
    std::optional<char32_t> c;
    if (name == "lt")
        c = U'<';
    else if (name == "gt")
        c = U'>';
    else if (name == "amp")
        c = U'&';
    else if (name == "quot")
        c = U'"';
    else if (name == "apos")
        c = U'\'';
    else if (name.size() > 1 && name[0] == '#') {
        const bool hex = name[1] == 'x' || name[1] == 'X';
        char* stop = nullptr;
        const unsigned long value = std::strtoul(name.c_str() + (hex ? 2 : 1), &stop, hex ? 16 : 10);
        if (stop != nullptr && *stop == '\0' && value > 0 && value <= 0x10FFFF) c = static_cast<char32_t>(value);
    }
    if (c) i = end + 1;
    return c;
}

}  // namespace

std::optional<TimingFormat> timingFormatForName(std::string_view path) {
    return speech::byExtension(path, kFormatNames);
}

std::string_view timingExtensions() {
    return ".srt .vtt .lrc .json";
}

std::string jsonQuoted(std::string_view text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c < 0x20) {
                    char buffer[8];
                    std::snprintf(buffer, sizeof buffer, "\\u%04x", c);
                    out += buffer;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out + "\"";
}

TimingRecorder::TimingRecorder(std::u16string text, bool markup) : text_(std::move(text)), markup_(markup) {}

void TimingRecorder::add(const speech::VoiceEvent& event) {
    const Timed timed{event.characterPosition, event.length, event.audioTimeMs, event.audioTimeMs};
    switch (event.kind) {
        case speech::EventKind::Word:
            words_.push_back(timed);
            break;
        case speech::EventKind::Sentence:
            sentences_.push_back(timed);
            break;
        case speech::EventKind::EndStream:
            endMs_ = std::max(endMs_, event.audioTimeMs);
            break;
        default:
            break;
    }
}

std::vector<TimingRecorder::Timed> TimingRecorder::withEnds(const std::vector<Timed>& items, bool words) const {
    std::vector<Timed> out = items;
    auto sentence = sentences_.begin();
    for (size_t i = 0; i < out.size(); ++i) {
        uint64_t end = i + 1 < out.size() ? out[i + 1].startMs : std::max(endMs_, out[i].startMs);
        if (words) {
            // The sentence after this word's start ends the word too.
            while (sentence != sentences_.end() && sentence->startMs <= out[i].startMs) ++sentence;
            if (sentence != sentences_.end()) end = std::min(end, sentence->startMs);
        }
        out[i].endMs = std::max(end, out[i].startMs);
    }
    return out;
}

std::string TimingRecorder::textOf(int32_t position, int32_t length, bool trim) const {
    const auto from = static_cast<size_t>(std::clamp<int32_t>(position, 0, static_cast<int32_t>(text_.size())));
    const std::u16string_view range = std::u16string_view(text_).substr(from, static_cast<size_t>(std::max(length, 0)));
    std::u16string spoken;
    bool space = false;
    auto putSpace = [&] {
        if (space && (!trim || !spoken.empty())) spoken += u' ';
        space = false;
    };
    for (size_t i = 0; i < range.size();) {
        const char16_t c = range[i];
        if (markup_ && c == u'<') {
            const size_t close = range.find(u'>', i);
            i = close == std::u16string_view::npos ? range.size() : close + 1;
            continue;
        }
        if (c < 0x80 && std::isspace(static_cast<int>(c))) {
            space = true;
            ++i;
            continue;
        }
        putSpace();
        if (markup_ && c == u'&') {
            if (auto decoded = characterReference(range, i)) {
                UChar buffer[U16_MAX_LENGTH];
                int32_t n = 0;
                U16_APPEND_UNSAFE(buffer, n, static_cast<UChar32>(*decoded));
                spoken.append(reinterpret_cast<const char16_t*>(buffer), static_cast<size_t>(n));
                continue;
            }
        }
        spoken += c;
        ++i;
    }
    if (!trim) putSpace();
    return base::toUtf8(spoken);
}

std::string TimingRecorder::render(TimingFormat format, CueUnit unit) const {
    const auto words = withEnds(words_, true);
    const auto sentences = withEnds(sentences_, false);
    switch (format) {
        case TimingFormat::Srt:
        case TimingFormat::Vtt:
            return renderCues(format, unit == CueUnit::Word ? words : sentences);
        case TimingFormat::Lrc:
            return renderLrc(words, sentences);
        case TimingFormat::Json:
            return renderJson(words, sentences);
    }
    return {};
}

std::string TimingRecorder::renderCues(TimingFormat format, const std::vector<Timed>& cues) const {
    std::string out = format == TimingFormat::Vtt ? "WEBVTT\n\n" : "";
    int number = 0;
    for (const auto& cue : cues) {
        std::string text = textOf(cue.position, cue.length, true);
        if (text.empty()) continue;
        if (format == TimingFormat::Vtt) {
            // WebVTT cue text is markup of its own: its three special characters are escaped.
            std::string escaped;
            for (char c : text) {
                if (c == '&')
                    escaped += "&amp;";
                else if (c == '<')
                    escaped += "&lt;";
                else if (c == '>')
                    escaped += "&gt;";
                else
                    escaped += c;
            }
            text = std::move(escaped);
        } else {
            out += std::to_string(++number) + "\n";
        }
        out += clock(cue.startMs, format) + " --> " + clock(cue.endMs, format) + "\n" + text + "\n\n";
    }
    return out;
}

std::string TimingRecorder::renderLrc(const std::vector<Timed>& words, const std::vector<Timed>& sentences) const {
    // A line a sentence: its start, then each word's start before the text from that word to the next.
    std::string out;
    auto word = words.begin();
    for (const auto& sentence : sentences) {
        const int32_t end = sentence.position + sentence.length;
        std::string line = "[" + clock(sentence.startMs, TimingFormat::Lrc) + "]";
        int32_t at = sentence.position;
        while (word != words.end() && word->position < sentence.position) ++word;
        for (; word != words.end() && word->position < end; ++word) {
            if (word->position > at) line += textOf(at, word->position - at, false);
            const auto next = std::next(word);
            const int32_t to = next != words.end() && next->position < end ? next->position : end;
            line += "<" + clock(word->startMs, TimingFormat::Lrc) + ">" +
                    textOf(word->position, to - word->position, false);
            at = to;
        }
        if (at < end) line += textOf(at, end - at, false);
        while (!line.empty() && line.back() == ' ') line.pop_back();
        out += line + "\n";
    }
    return out;
}

std::string TimingRecorder::renderJson(const std::vector<Timed>& words, const std::vector<Timed>& sentences) const {
    auto list = [&](const std::vector<Timed>& items) {
        std::string out = "[";
        for (size_t i = 0; i < items.size(); ++i) {
            const auto& t = items[i];
            out += (i ? ",\n  " : "\n  ") + std::string("{\"text\":") + jsonQuoted(textOf(t.position, t.length, true)) +
                   ",\"offset\":" + std::to_string(t.position) + ",\"length\":" + std::to_string(t.length) +
                   ",\"startMs\":" + std::to_string(t.startMs) + ",\"endMs\":" + std::to_string(t.endMs) + "}";
        }
        return out + (items.empty() ? "]" : "\n ]");
    };
    return "{\"words\": " + list(words) + ",\n \"sentences\": " + list(sentences) + "}\n";
}

}  // namespace say
