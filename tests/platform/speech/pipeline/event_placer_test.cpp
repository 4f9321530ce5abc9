// SPDX-License-Identifier: GPL-3.0-or-later
// The event placer without an engine: raw engine events and samples in, voice events at sample offsets
// out, in stream order however the input is split.
#include "speech/pipeline/event_placer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "speech/core/constants.h"

using namespace speech;
using namespace speech::pipeline;

namespace {

constexpr int kRate = 22050;
constexpr int32_t kAll = core::SVEAllEvents;
const core::SpObjectToken kVoiceA(core::TokenKind::Voice, "a", "A");
const core::SpObjectToken kVoiceB(core::TokenKind::Voice, "b", "B");

// "one two three" at UTF-16 offset 100 of the caller's string, one word span per word.
text::Segment threeWords(int32_t silenceMs = 0) {
    text::Segment s;
    s.text = U"one two three";
    for (int32_t i = 0; i <= 13; ++i) s.sourceOffsets.push_back(100 + i);
    s.words = {{0, 3}, {4, 7}, {8, 13}};
    s.voice = kVoiceA;
    s.silenceMs = silenceMs;
    s.startsSentence = true;
    s.sentencePosition = 100;
    s.sentenceLength = 13;
    return s;
}

engine::SynthEvent word(int32_t position, uint64_t sample, int32_t length = 3) {
    engine::SynthEvent e;
    e.kind = engine::SynthEvent::Kind::Word;
    e.textPosition = position;
    e.sample = sample;
    e.length = length;
    return e;
}

engine::SynthEvent phoneme(uint64_t sample, int32_t id, bool stressed = false) {
    engine::SynthEvent e;
    e.kind = engine::SynthEvent::Kind::Phoneme;
    e.sample = sample;
    e.phoneId = id;
    e.viseme = id % 22;
    e.stressed = stressed;
    return e;
}

engine::SynthEvent clause(int32_t position, uint64_t sample) {
    engine::SynthEvent e;
    e.kind = engine::SynthEvent::Kind::Clause;
    e.textPosition = position;
    e.sample = sample;
    return e;
}

// One event as the tests compare it: its kind, offset and its main argument.
struct Seen {
    core::EventKind kind;
    uint64_t sample;
    int64_t value;  // Word/Sentence: position; Phoneme/Viseme: duration; AudioLevel: level; EnginePrivate: data
    friend bool operator==(const Seen&, const Seen&) = default;
};

std::ostream& operator<<(std::ostream& out, const Seen& s) {
    return out << core::eventTitle(s.kind) << "@" << s.sample << "=" << s.value;
}

Seen seen(const PlacedEvent& p) {
    const core::VoiceEvent& e = p.event;
    int64_t value = 0;
    switch (e.kind) {
        case core::EventKind::Word:
        case core::EventKind::Sentence:
            value = e.characterPosition;
            break;
        case core::EventKind::Phoneme:
        case core::EventKind::Viseme:
            value = e.duration;
            break;
        case core::EventKind::AudioLevel:
            value = e.audioLevel;
            break;
        case core::EventKind::EnginePrivate:
            value = e.engineData;
            break;
        case core::EventKind::Bookmark:
            value = e.bookmarkId;
            break;
        default:
            break;
    }
    return {e.kind, p.sample, value};
}

// Feeds the engine's output in pieces of `piece` samples (its events ahead of the audio they fall in,
// as the engine sends them), taking what is final after each piece; returns everything placed.
std::vector<PlacedEvent> place(const text::Segment& segment, const std::vector<engine::SynthEvent>& events,
                               const std::vector<int16_t>& audio, size_t piece, int32_t interests = kAll,
                               const core::SpObjectToken& before = kVoiceA) {
    EventPlacer placer(segment, before, interests, kRate);
    std::vector<PlacedEvent> out;
    auto takeAll = [&] {
        for (auto& p : placer.take()) out.push_back(std::move(p));
    };
    placer.addSamples(std::vector<int16_t>(placer.silence(), 0));
    size_t next = 0;
    for (size_t at = 0; at < audio.size(); at += piece) {
        const size_t end = std::min(audio.size(), at + piece);
        while (next < events.size() && events[next].sample < end) placer.addEvent(events[next++]);
        placer.addSamples(std::span<const int16_t>(audio).subspan(at, end - at));
        takeAll();
    }
    while (next < events.size()) placer.addEvent(events[next++]);
    placer.finish();
    takeAll();
    return out;
}

std::vector<Seen> seenOf(const std::vector<PlacedEvent>& placed, std::initializer_list<core::EventKind> kinds) {
    std::vector<Seen> out;
    for (const auto& p : placed) {
        if (std::find(kinds.begin(), kinds.end(), p.event.kind) != kinds.end()) out.push_back(seen(p));
    }
    return out;
}

}  // namespace

TEST(EventPlacer, PlacesEachKindWhereItsSoundIs) {
    const std::vector<int16_t> quiet(4410, 0);
    struct Case {
        const char* name;
        text::Segment segment;
        std::vector<engine::SynthEvent> events;
        std::initializer_list<core::EventKind> kinds;
        std::vector<Seen> expected;
    };
    const Case cases[] = {
        {"words snap to the spans, at their UTF-16 offsets; a repeat is dropped",
         threeWords(),
         {word(0, 0), word(4, 1000), word(4, 1500), word(8, 2000, 5)},
         {core::EventKind::Word},
         {{core::EventKind::Word, 0, 100}, {core::EventKind::Word, 1000, 104}, {core::EventKind::Word, 2000, 108}}},
        {"a silence moves everything after it, the sentence included",
         threeWords(100),
         {word(0, 0), phoneme(500, 7)},
         {core::EventKind::Sentence, core::EventKind::Word, core::EventKind::Phoneme},
         {{core::EventKind::Sentence, 2205, 100},
          {core::EventKind::Word, 2205, 100},
          {core::EventKind::Phoneme, 2705, 177}}},
        {"a phoneme lasts until the next, the last until the segment's end",
         threeWords(),
         {phoneme(0, 3), phoneme(2205, 4)},
         {core::EventKind::Phoneme, core::EventKind::Viseme},
         {{core::EventKind::Phoneme, 0, 100},
          {core::EventKind::Viseme, 0, 100},
          {core::EventKind::Phoneme, 2205, 100},
          {core::EventKind::Viseme, 2205, 100}}},
        {"an event the engine puts past its audio lies at the end",
         threeWords(),
         {word(0, 0), word(4, 9000)},
         {core::EventKind::Word},
         {{core::EventKind::Word, 0, 100}, {core::EventKind::Word, 4410, 104}}},
        {"a clause end carries where it ended in the caller's string",
         threeWords(),
         {clause(7, 1200)},
         {core::EventKind::EnginePrivate},
         {{core::EventKind::EnginePrivate, 1200, 107}}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(seenOf(place(c.segment, c.events, quiet, quiet.size()), c.kinds), c.expected) << c.name;
    }
}

TEST(EventPlacer, PhonemesCarryTheNextOneAndTheirStressAndEmphasis) {
    text::Segment segment = threeWords();
    segment.emphasis = true;
    const auto placed = place(segment, {phoneme(0, 30, true), phoneme(100, 31)}, std::vector<int16_t>(300, 0), 300);
    std::vector<std::tuple<core::EventKind, int32_t, int32_t, int32_t>> got;  // kind, current, next, feature
    for (const auto& p : placed) {
        if (p.event.kind == core::EventKind::Phoneme || p.event.kind == core::EventKind::Viseme)
            got.emplace_back(p.event.kind, p.event.current, p.event.next, p.event.feature);
    }
    const int32_t both = core::SVF_Stressed | core::SVF_Emphasis;
    EXPECT_EQ(got, (decltype(got){{core::EventKind::Phoneme, 30, 31, both},
                                  {core::EventKind::Viseme, 30 % 22, 31 % 22, both},
                                  {core::EventKind::Phoneme, 31, 0, core::SVF_Emphasis},
                                  {core::EventKind::Viseme, 31 % 22, 0, core::SVF_Emphasis}}));
}

TEST(EventPlacer, StartsWithTheVoiceChangeAndBookmarksOnlyWhenThereAreAny) {
    text::Segment segment = threeWords();
    segment.marks = {{"7 seven", 7, 100}};
    auto kinds = [&](const core::SpObjectToken& before) {
        std::vector<core::EventKind> out;
        for (const auto& p : place(segment, {}, {}, 1, kAll, before)) out.push_back(p.event.kind);
        return out;
    };
    EXPECT_EQ(kinds(kVoiceB),
              (std::vector{core::EventKind::VoiceChange, core::EventKind::Bookmark, core::EventKind::Sentence}));
    EXPECT_EQ(kinds(kVoiceA), (std::vector{core::EventKind::Bookmark, core::EventKind::Sentence}));
}

// Audio levels are measured from the samples as they come, words and phonemes wait for the next one;
// however the engine's output is split, the events come out the same and never go back in the stream.
TEST(EventPlacer, OutputIsInStreamOrderAndTheSameHoweverTheInputIsSplit) {
    std::vector<int16_t> audio(22050);
    for (size_t i = 0; i < audio.size(); ++i) audio[i] = static_cast<int16_t>((i / 50) % 2 ? 6000 : -6000);
    std::vector<engine::SynthEvent> events = {word(0, 0),    phoneme(0, 1),    phoneme(3000, 2),  clause(3, 6000),
                                              word(4, 6100), phoneme(6100, 3), phoneme(15000, 4), word(8, 15000, 5)};
    const auto whole = place(threeWords(20), events, audio, audio.size());
    std::vector<Seen> expected;
    for (const auto& p : whole) expected.push_back(seen(p));
    ASSERT_GT(expected.size(), 25u);
    for (size_t piece : {1u, 64u, 1000u, 1102u, 5000u}) {
        const auto split = place(threeWords(20), events, audio, piece);
        std::vector<Seen> got;
        for (const auto& p : split) got.push_back(seen(p));
        EXPECT_EQ(got, expected) << "pieces of " << piece;
        for (size_t i = 1; i < split.size(); ++i) {
            ASSERT_LE(split[i - 1].sample, split[i].sample) << "pieces of " << piece << ", event " << i;
        }
    }
}
