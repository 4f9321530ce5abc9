// SPDX-License-Identifier: GPL-3.0-or-later
// The alias stage: the user's aliases read in place of their graphemes, the longest that fits as a
// whole word, and an alias's text handed on only as it is asked for.
#include "speech/text/alias_stage.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "speech/text/unit_producers.h"

namespace speech::text {
namespace {

// Keeps what the stage passes on.
class Collect final : public UnitSink {
public:
    void put(char32_t cp, int32_t src, int32_t srcEnd, uint32_t) override {
        text += cp;
        ranges.emplace_back(src, srcEnd);
        units += cp > 0xFFFF ? 2 : 1;
    }
    void marker(Marker) override {}
    uint64_t size() const override { return units; }

    std::u32string text;
    std::vector<std::pair<int32_t, int32_t>> ranges;
    uint64_t units = 0;
};

std::unique_ptr<UnitProducer> stage(const std::u16string& text, std::vector<UserEntry> entries) {
    auto lexicon = std::make_shared<const UserLexicon>(UserLexicon{std::move(entries)});
    return makeAliasStage(makePlainProducer(std::make_shared<const std::u16string>(text), 0), lexicon);
}

std::u32string readAll(UnitProducer& producer) {
    Collect sink;
    while (producer.fill(sink, 64)) {
    }
    return sink.text;
}

TEST(AliasStage, ReadsTheLongestAliasThatStandsAsAWholeWord) {
    const std::vector<UserEntry> entries = {
        {U"SQL", {}, U"sequel"}, {U"S", {}, U"ess"},  {U"SQLite", {}, U"sequel light"},
        {U"乐", {}, U"le"},      {U"a b", {}, U"AB"},
    };
    const struct {
        std::u16string text;
        std::u32string read;
    } cases[] = {
        {u"SQL MySQL SQLite SQLx", U"sequel MySQL sequel light SQLx"},
        {u"S. SQ", U"ess. SQ"},
        {u"乐乐x乐", U"lelexle"},
        {u"a b a bc", U"AB a bc"},
        {u"", U""},
    };
    for (const auto& c : cases) {
        auto producer = stage(c.text, entries);
        EXPECT_EQ(readAll(*producer), c.read);
    }
}

// Many graphemes that share their first letters: each place of the text is matched against the
// graphemes it starts, not every one with its first letter.
TEST(AliasStage, FindsItsGraphemeAmongManyThatShareTheirStart) {
    std::vector<UserEntry> entries;
    for (int i = 0; i < 60000; ++i)
        entries.push_back({U"q" + std::u32string(1, U'a' + i % 26) + std::u32string(i / 26 + 1, U'z'), {}, U"!"});
    entries.push_back({U"qaz", {}, U"found"});
    auto producer = stage(u"qaz qazz qb", entries);
    EXPECT_EQ(readAll(*producer), U"found ! qb");
}

// An alias's text is passed on as the sink asks for it: a long alias met many times is never held
// whole, and each of its characters points at the grapheme it stands for.
TEST(AliasStage, HandsALongAliasOnAsItIsAskedFor) {
    const std::u32string alias(kMaxAliasText, U'y');
    std::u16string text;
    for (int i = 0; i < 50; ++i) text += u"x ";
    auto producer = stage(text, {{U"x", {}, alias}});
    Collect sink;
    ASSERT_TRUE(producer->fill(sink, 1));
    EXPECT_EQ(sink.ranges.front(), std::make_pair(int32_t{0}, int32_t{1}));
    uint64_t total = sink.units;
    for (bool more = true; more;) {
        const uint64_t before = sink.units;
        more = producer->fill(sink, 100);
        EXPECT_LE(sink.units - before, 101u);
        total += sink.units - before;
        if (sink.text.size() > 4096) {
            sink.text.clear();
            sink.ranges.clear();
        }
    }
    EXPECT_EQ(total, 50 * (kMaxAliasText + 1));
}

}  // namespace
}  // namespace speech::text
