// SPDX-License-Identifier: GPL-3.0-or-later
#include "speech/pipeline/synthesis_ahead.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <numeric>
#include <vector>

namespace speech::pipeline {
namespace {

// Notes which requests start a run, and answers each with nothing.
class RecordingSynthesizer final : public engine::Synthesizer {
public:
    std::vector<core::SpObjectToken> voices() override { return {}; }
    int sampleRate() const override { return 22050; }
    base::Result<void> synthesize(const engine::SynthRequest& request, engine::SynthSink&) override {
        std::lock_guard lock(mutex_);
        fresh_.push_back(request.fresh);
        called_.notify_all();
        return {};
    }
    // Whether each request started a run, once `count` have come (empty if they do not come).
    std::vector<bool> awaitFresh(size_t count) {
        std::unique_lock lock(mutex_);
        called_.wait_for(lock, std::chrono::seconds(10), [&] { return fresh_.size() >= count; });
        return fresh_.size() >= count ? fresh_ : std::vector<bool>{};
    }

private:
    std::mutex mutex_;
    std::condition_variable called_;
    std::vector<bool> fresh_;
};

// The lengths of the chains `fresh` cuts segments of `segmentLength` into.
std::vector<size_t> chainLengths(const std::vector<bool>& fresh, size_t segmentLength) {
    std::vector<size_t> chains;
    for (const bool starts : fresh) {
        if (starts || chains.empty()) chains.push_back(0);
        chains.back() += segmentLength;
    }
    return chains;
}

TEST(SynthesisAhead, ChainsGetShorterTowardsAKnownEndOfTheText) {
    struct Case {
        bool endKnown;
        std::vector<size_t> chains;
    };
    // Sixty segments of sixty letters. Knowing the end, each chain is about a third of the text left
    // where it starts, none shorter than 200 letters but the last; not knowing it, chains stay full.
    const Case cases[] = {
        {true, {1200, 840, 540, 360, 240, 240, 180}},
        {false, {1200, 1200, 1200}},
    };
    constexpr size_t kSegments = 60;
    constexpr size_t kLength = 60;
    for (const Case& c : cases) {
        RecordingSynthesizer synthesizer;
        {
            SynthesisAhead ahead(synthesizer, 1, kSegments, kSegments, false, [] {});
            for (size_t i = 0; i < kSegments; ++i) {
                text::Segment segment;
                segment.text.assign(kLength, U'a');
                std::optional<size_t> left;
                if (c.endKnown && (kSegments - 1 - i) * kLength < SynthesisAhead::kTailLookahead)
                    left = (kSegments - 1 - i) * kLength;
                engine::SynthRequest request;
                request.text = segment.text;
                ASSERT_TRUE(ahead.hasRoom());
                ahead.add(std::move(segment), std::move(request), static_cast<int32_t>(kLength), left);
            }
            const auto fresh = synthesizer.awaitFresh(kSegments);
            ASSERT_EQ(fresh.size(), kSegments);
            EXPECT_EQ(chainLengths(fresh, kLength), c.chains) << (c.endKnown ? "end known" : "end unknown");
        }
    }
}

}  // namespace
}  // namespace speech::pipeline
