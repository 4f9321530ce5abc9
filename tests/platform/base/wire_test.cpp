// SPDX-License-Identifier: GPL-3.0-or-later
// The helpers' messages: what is put is read back as it was, and a payload cut anywhere, or with
// anything after its end, or with a count larger than what follows, is refused rather than read.
#include "base/wire.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace base::wire {
namespace {

enum class Type : uint8_t { Sample = 7 };

struct Message {
    int32_t number = 0;
    std::string name;
    std::u16string text;
    std::vector<int16_t> samples;
    double rate = 0;
    friend bool operator==(const Message&, const Message&) = default;
};

std::vector<uint8_t> encode(const Message& m) {
    Encoder e(Type::Sample);
    e.put(m.number);
    e.put(m.name);
    e.put(m.text);
    e.putArray(std::span<const int16_t>(m.samples));
    e.put(m.rate);
    return std::move(e).finish();
}

std::optional<Message> decode(std::span<const uint8_t> payload) {
    Decoder d(payload);
    Message m;
    m.number = d.get<int32_t>();
    m.name = d.getString();
    m.text = d.getString<char16_t>();
    m.samples = d.getArray<int16_t>();
    m.rate = d.get<double>();
    return ifDone(d, m);
}

const Message kMessage{-42, "voice", u"你好, world", {1, -2, 32767, -32768}, 22050.5};

TEST(Wire, AMessageIsReadBackAsItWasPutWithItsLengthAndType) {
    const std::vector<uint8_t> frame = encode(kMessage);
    ASSERT_GT(frame.size(), kHeaderSize);
    uint32_t length = 0;
    std::memcpy(&length, frame.data(), sizeof length);
    EXPECT_EQ(length, frame.size() - kHeaderSize);
    EXPECT_EQ(frame[4], static_cast<uint8_t>(Type::Sample));
    EXPECT_EQ(decode(std::span(frame).subspan(kHeaderSize)), kMessage);
}

TEST(Wire, APayloadCutAnywhereOrWithBytesAfterItsEndIsRefused) {
    const std::vector<uint8_t> frame = encode(kMessage);
    const std::span<const uint8_t> payload = std::span(frame).subspan(kHeaderSize);
    for (size_t cut = 0; cut < payload.size(); ++cut) EXPECT_EQ(decode(payload.first(cut)), std::nullopt) << cut;
    std::vector<uint8_t> longer(payload.begin(), payload.end());
    longer.push_back(0);
    EXPECT_EQ(decode(longer), std::nullopt);
}

TEST(Wire, ACountLargerThanWhatFollowsIsRefusedWithoutReadingPastTheEnd) {
    for (const uint32_t count : {5u, 0x7fffffffu, 0xffffffffu}) {
        Encoder e(Type::Sample);
        e.put(count);
        e.put(uint16_t{1});
        std::vector<uint8_t> frame = std::move(e).finish();
        Decoder d{std::span<const uint8_t>(frame).subspan(kHeaderSize)};
        EXPECT_TRUE(d.getArray<int16_t>().empty()) << count;
        EXPECT_TRUE(d.failed()) << count;
        EXPECT_EQ(d.get<int32_t>(), 0) << "a failed decoder gives zeros";
    }
}

}  // namespace
}  // namespace base::wire
