// SPDX-License-Identifier: GPL-3.0-or-later
#include "speech/pipeline/event_placer.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>

#include "speech/core/constants.h"

namespace speech::pipeline {

namespace {

// Audio level events are computed over blocks of this many milliseconds.
constexpr int kLevelBlockMs = 50;

// Among events at the same offset: what ends comes before what begins, a sentence before its first
// word, a phoneme before its viseme, the level last.
int rank(core::EventKind kind) {
    switch (kind) {
        case core::EventKind::EnginePrivate:
            return 0;
        case core::EventKind::VoiceChange:
            return 1;
        case core::EventKind::Bookmark:
            return 2;
        case core::EventKind::Sentence:
            return 3;
        case core::EventKind::Word:
            return 4;
        case core::EventKind::Phoneme:
            return 5;
        case core::EventKind::Viseme:
            return 6;
        case core::EventKind::AudioLevel:
            return 7;
        case core::EventKind::StartStream:
        case core::EventKind::EndStream:
            break;
    }
    return 8;
}

}  // namespace

EventPlacer::EventPlacer(const text::Segment& segment, const core::SpObjectToken& voiceBefore, int32_t interests,
                         int sampleRate)
    : segment_(segment),
      sampleRate_(sampleRate),
      silence_(static_cast<uint64_t>(std::max(0, segment.silenceMs)) * static_cast<uint64_t>(sampleRate) / 1000),
      levelBlock_(static_cast<size_t>(sampleRate * kLevelBlockMs / 1000)),
      wantWords_((interests & core::SVEWordBoundary) != 0),
      wantPhonemes_((interests & core::SVEPhoneme) != 0),
      wantVisemes_((interests & core::SVEViseme) != 0),
      wantLevels_((interests & core::SVEAudioLevel) != 0),
      wantPrivate_((interests & core::SVEPrivate) != 0) {
    if (!(segment.voice == voiceBefore)) {
        PlacedEvent change = at(core::EventKind::VoiceChange, 0);
        change.event.token = std::make_shared<const core::SpObjectToken>(segment.voice);
        place(std::move(change));
    }
    for (const text::SegmentMark& mark : segment.marks) {
        PlacedEvent bookmark = at(core::EventKind::Bookmark, 0);
        bookmark.event.bookmark = mark.text;
        bookmark.event.bookmarkId = mark.id;
        place(std::move(bookmark));
    }
    if (segment.startsSentence) {
        PlacedEvent sentence = at(core::EventKind::Sentence, silence_);
        sentence.event.characterPosition = segment.sentencePosition;
        sentence.event.length = segment.sentenceLength;
        sentence.sentence = segment.sentenceIndex;
        place(std::move(sentence));
    }
}

PlacedEvent EventPlacer::at(core::EventKind kind, uint64_t sample) const {
    PlacedEvent placed;
    placed.sample = sample;
    placed.event.kind = kind;
    return placed;
}

void EventPlacer::place(PlacedEvent placed) {
    placed_.push_back(std::move(placed));
}

int32_t EventPlacer::sourceAt(int32_t codePoint) const {
    const auto& offsets = segment_.sourceOffsets;
    codePoint = std::clamp(codePoint, 0, static_cast<int32_t>(segment_.text.size()));
    return static_cast<size_t>(codePoint) < offsets.size() ? offsets[static_cast<size_t>(codePoint)] : 0;
}

void EventPlacer::addSamples(std::span<const int16_t> samples) {
    samples_ += samples.size();
    if (!wantLevels_) return;
    while (!samples.empty()) {
        const size_t take = std::min(samples.size(), levelBlock_ - levelCount_);
        for (const int16_t s : samples.first(take)) levelSum_ += double(s) * double(s);
        levelCount_ += take;
        samples = samples.subspan(take);
        if (levelCount_ == levelBlock_) {
            placeLevel(samples_ - samples.size() - levelCount_, levelSum_, levelCount_);
            levelSum_ = 0;
            levelCount_ = 0;
        }
    }
}

void EventPlacer::placeLevel(uint64_t start, double sumOfSquares, size_t count) {
    PlacedEvent level = at(core::EventKind::AudioLevel, start);
    const double rms = std::sqrt(sumOfSquares / static_cast<double>(count));
    level.event.audioLevel = static_cast<int32_t>(std::min(100.0, std::round(rms * 100.0 / 8192.0)));
    place(std::move(level));
}

void EventPlacer::addEvent(const engine::SynthEvent& event) {
    const uint64_t sample = silence_ + event.sample;
    switch (event.kind) {
        case engine::SynthEvent::Kind::Word:
            if (!wantWords_) return;
            if (word_) placeWord(*word_, &event);
            word_ = Held{event, sample};
            return;
        case engine::SynthEvent::Kind::Phoneme:
            if (!wantPhonemes_ && !wantVisemes_) return;
            if (phoneme_) placePhoneme(*phoneme_, &event, sample);
            phoneme_ = Held{event, sample};
            return;
        case engine::SynthEvent::Kind::Mark: {
            PlacedEvent bookmark = at(core::EventKind::Bookmark, sample);
            bookmark.event.bookmark = event.name;
            bookmark.event.bookmarkId = std::atoi(event.name.c_str());
            place(std::move(bookmark));
            return;
        }
        case engine::SynthEvent::Kind::Clause: {
            // The engine's own clause ends: its data is where the clause ended in the caller's text.
            if (!wantPrivate_) return;
            PlacedEvent clause = at(core::EventKind::EnginePrivate, sample);
            clause.event.engineData = sourceAt(event.textPosition);
            place(std::move(clause));
            return;
        }
        case engine::SynthEvent::Kind::Sentence:
        case engine::SynthEvent::Kind::End:
            return;
    }
}

void EventPlacer::placeWord(const Held& word, const engine::SynthEvent* next) {
    // The engine's word is snapped to the front end's spans; the engine's own boundaries are
    // unreliable for numbers, abbreviations, long tokens and characters it cannot read.
    const engine::SynthEvent& ev = word.event;
    const int32_t nextEngineWord = next != nullptr ? next->textPosition : static_cast<int32_t>(segment_.text.size());
    const auto& words = segment_.words;
    const auto it = std::find_if(words.begin(), words.end(), [&](const auto& w) { return w.second > ev.textPosition; });
    if (it == words.end()) return;
    // A word reported between spans stands for the next span when the engine reports nothing else
    // before it (it merged the span into what it read there).
    if (it->first >= ev.textPosition + std::max(ev.length, 1) && it->first >= nextEngineWord) return;
    if (it->first < lastWordEnd_) return;  // a repeat or a step back
    const int32_t from = sourceAt(it->first);
    const int32_t to = sourceAt(it->second);
    if (to <= from) return;
    lastWordEnd_ = it->second;
    PlacedEvent placed = at(core::EventKind::Word, word.sample);
    placed.event.characterPosition = from;
    placed.event.length = to - from;
    place(std::move(placed));
}

void EventPlacer::placePhoneme(const Held& phoneme, const engine::SynthEvent* next, uint64_t nextSample) {
    const uint64_t rate = static_cast<uint64_t>(sampleRate_);
    const auto duration =
        static_cast<int32_t>(((std::max(nextSample, phoneme.sample) - phoneme.sample) * 1000 + rate / 2) / rate);
    const int32_t feature = (phoneme.event.stressed ? core::SVF_Stressed : core::SVF_None) |
                            (segment_.emphasis ? core::SVF_Emphasis : core::SVF_None);
    auto make = [&](core::EventKind kind, int32_t current, int32_t following) {
        PlacedEvent placed = at(kind, phoneme.sample);
        placed.event.duration = duration;
        placed.event.current = current;
        placed.event.next = following;
        placed.event.feature = feature;
        place(std::move(placed));
    };
    if (wantPhonemes_) make(core::EventKind::Phoneme, phoneme.event.phoneId, next != nullptr ? next->phoneId : 0);
    if (wantVisemes_) make(core::EventKind::Viseme, phoneme.event.viseme, next != nullptr ? next->viseme : 0);
}

void EventPlacer::finish() {
    if (finished_) return;
    if (word_) placeWord(*word_, nullptr);
    if (phoneme_) placePhoneme(*phoneme_, nullptr, samples_);
    word_.reset();
    phoneme_.reset();
    if (levelCount_ > 0) placeLevel(samples_ - levelCount_, levelSum_, levelCount_);
    levelCount_ = 0;
    // The engine never places an event past its audio; should it, the event goes to the end.
    for (PlacedEvent& p : placed_) p.sample = std::min(p.sample, samples_);
    finished_ = true;
}

uint64_t EventPlacer::horizon() const {
    if (finished_) return std::numeric_limits<uint64_t>::max();
    // Events still to come lie at or after the audio received (the engine sends them ahead of it).
    uint64_t h = samples_;
    if (word_) h = std::min(h, word_->sample);
    if (phoneme_) h = std::min(h, phoneme_->sample);
    if (wantLevels_) h = std::min(h, samples_ - levelCount_);
    return h;
}

std::vector<PlacedEvent> EventPlacer::take() {
    const uint64_t h = horizon();
    std::stable_sort(placed_.begin(), placed_.end(), [](const PlacedEvent& a, const PlacedEvent& b) {
        return a.sample != b.sample ? a.sample < b.sample : rank(a.event.kind) < rank(b.event.kind);
    });
    const auto end = std::find_if(placed_.begin(), placed_.end(), [&](const PlacedEvent& p) { return p.sample >= h; });
    std::vector<PlacedEvent> out(std::make_move_iterator(placed_.begin()), std::make_move_iterator(end));
    placed_.erase(placed_.begin(), end);
    // An engine that reports an event behind one already handed out cannot move time back.
    for (PlacedEvent& p : out) {
        p.sample = std::max(p.sample, released_);
        released_ = p.sample;
    }
    return out;
}

}  // namespace speech::pipeline
