// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/commands/skip_count.h"

#include <gtest/gtest.h>

#include "base/error.h"

namespace {

// The description of the error the text raises, or "" when it parses.
std::string failure(const QString& text) {
    try {
        parseSkipCount(text);
    } catch (const base::Error& error) {
        EXPECT_EQ(error.code(), base::errc::kInvalidArg);
        return error.description();
    }
    return {};
}

TEST(SkipCount, WholeNumbersWithSignAndBlanks) {
    EXPECT_EQ(parseSkipCount("0"), 0);
    EXPECT_EQ(parseSkipCount("7"), 7);
    EXPECT_EQ(parseSkipCount("+3"), 3);
    EXPECT_EQ(parseSkipCount("-12"), -12);
    EXPECT_EQ(parseSkipCount("  42 "), 42);
    EXPECT_EQ(parseSkipCount("0007"), 7);
    EXPECT_EQ(parseSkipCount("32767"), 32767);
    EXPECT_EQ(parseSkipCount("-32768"), -32768);
}

TEST(SkipCount, FractionsRoundToNearestAndHalvesToEven) {
    EXPECT_EQ(parseSkipCount("2.5"), 2);
    EXPECT_EQ(parseSkipCount("3.5"), 4);
    EXPECT_EQ(parseSkipCount("0.5"), 0);
    EXPECT_EQ(parseSkipCount("-0.5"), 0);
    EXPECT_EQ(parseSkipCount("-1.5"), -2);
    EXPECT_EQ(parseSkipCount("-2.5"), -2);
    EXPECT_EQ(parseSkipCount("2.49999"), 2);
    EXPECT_EQ(parseSkipCount("2.500001"), 3);  // more than a half, however little
    EXPECT_EQ(parseSkipCount("2.6"), 3);
    EXPECT_EQ(parseSkipCount(".5"), 0);
    EXPECT_EQ(parseSkipCount("1.50"), 2);
    EXPECT_EQ(parseSkipCount("5."), 5);
    EXPECT_EQ(parseSkipCount("-32768.5"), -32768);  // the even neighbour is still in range
    EXPECT_EQ(parseSkipCount("32766.5"), 32766);
}

TEST(SkipCount, TextThatIsNotANumberIsRefusedWithADescription) {
    for (const char* text : {"abc", "1a", "1.2.3", "--1", "+", "-", ".", "1e3", "0x10", "1 2", "１２"}) {
        const std::string description = failure(QString::fromUtf8(text));
        EXPECT_NE(description.find("not a number"), std::string::npos) << text << ": " << description;
    }
    EXPECT_NE(failure("").find("empty"), std::string::npos);
    EXPECT_NE(failure("   ").find("empty"), std::string::npos);
}

TEST(SkipCount, ValuesOutsideSixteenBitsAreRefused) {
    for (const char* text : {"32768", "-32769", "32767.5", "-32768.51", "100000", "99999999999999999999"}) {
        const std::string description = failure(text);
        EXPECT_NE(description.find("outside"), std::string::npos) << text << ": " << description;
    }
}

}  // namespace
