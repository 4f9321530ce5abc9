// SPDX-License-Identifier: GPL-3.0-or-later
#include "speech/core/formats.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace speech::core {
namespace {

TEST(FormatTable, EveryEntryRoundTripsThroughItsNameAndNumber) {
    const auto& table = formatTable();
    std::set<std::string_view> names;
    for (size_t i = 0; i < table.size(); ++i) {
        const FormatEntry& e = table[i];
        EXPECT_EQ(e.type, static_cast<int32_t>(4 + i));
        EXPECT_EQ(formatName(e.type), e.name);
        EXPECT_EQ(formatTypeByName(e.name), e.type);
        names.insert(e.name);

        // The number encodes rate, width and channels: 4 + 4r + 2w + c.
        const auto wave = waveFormatOf(e.type);
        ASSERT_TRUE(wave);
        const std::string name(e.name);
        EXPECT_EQ(wave->channels == 2, name.ends_with("Stereo")) << name;
        EXPECT_EQ(wave->bitsPerSample == 16, name.find("16Bit") != std::string::npos) << name;
        EXPECT_EQ(wave->bytesPerFrame(), wave->bitsPerSample / 8 * wave->channels);
    }
    EXPECT_EQ(names.size(), 36u);
}

TEST(FormatTable, KnownEntries) {
    EXPECT_EQ(formatTable().front().name, "SAFT8kHz8BitMono");
    EXPECT_EQ(formatTable().back().name, "SAFT48kHz16BitStereo");
    EXPECT_EQ(formatTypeByName("SAFT22kHz16BitMono"), SAFT22kHz16BitMono);
    EXPECT_EQ(waveFormatOf(22), (WaveFormat{22050, 16, 1}));
    EXPECT_EQ(waveFormatOf(35), (WaveFormat{44100, 16, 2}));
    EXPECT_EQ(waveFormatOf(9), (WaveFormat{11025, 8, 2}));
    EXPECT_EQ(waveFormatOf(12), (WaveFormat{12000, 8, 1}));
    EXPECT_EQ(waveFormatOf(16), (WaveFormat{16000, 8, 1}));
    EXPECT_EQ(waveFormatOf(39)->bytesPerSecond(), 48000 * 4);
}

TEST(FormatTable, UnknownTypesAndNamesGiveNothing) {
    for (int32_t bad : {-1, 0, 1, 3, 40, 100, INT32_MIN, INT32_MAX}) {
        EXPECT_FALSE(waveFormatOf(bad)) << bad;
        EXPECT_TRUE(formatName(bad).empty()) << bad;
    }
    EXPECT_FALSE(formatTypeByName(""));
    EXPECT_FALSE(formatTypeByName("SAFT22kHz16BitMon"));
    EXPECT_FALSE(formatTypeByName("saft22khz16bitmono"));
}

}  // namespace
}  // namespace speech::core
