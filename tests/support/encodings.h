// SPDX-License-Identifier: GPL-3.0-or-later
// Copies of one text in the encodings a text file may come in, made with ICU as the test runs.
#pragma once

#include <gtest/gtest.h>
#include <unicode/ucnv.h>

#include <string>
#include <string_view>
#include <vector>

namespace testing_support {

// Chinese in traditional characters (so that Big5 holds it too), with Latin words and digits.
inline constexpr std::string_view kChineseText =
    "春眠不覺曉，處處聞啼鳥。夜來風雨聲，花落知多少。\n"
    "今天天氣很好，我們去公園散步吧。這本記事本可以朗讀你輸入的文字，版本 2 也能讀 English 單詞。\n";

inline std::string convertText(std::string_view bytes, const char* from, const char* to) {
    UErrorCode err = U_ZERO_ERROR;
    std::string out(bytes.size() * 4 + 8, '\0');
    const int32_t length = ucnv_convert(to, from, out.data(), static_cast<int32_t>(out.size()), bytes.data(),
                                        static_cast<int32_t>(bytes.size()), &err);
    EXPECT_TRUE(U_SUCCESS(err)) << from << " to " << to << ": " << u_errorName(err);
    out.resize(U_SUCCESS(err) ? static_cast<size_t>(length) : 0);
    return out;
}

// `utf8` in `encoding`, after a byte-order mark when `withMark`; fails the test when the encoding
// cannot hold every character.
inline std::string encodeAs(std::string_view utf8, const char* encoding, bool withMark = false) {
    const std::string text = (withMark ? "\uFEFF" : "") + std::string(utf8);
    std::string bytes = convertText(text, "UTF-8", encoding);
    EXPECT_EQ(convertText(bytes, encoding, "UTF-8"), text) << encoding << " cannot hold the text";
    return bytes;
}

struct EncodedCopy {
    std::string label;
    std::string encoding;  // the encoding a decoder should find for it
    std::string bytes;
};

// `utf8` as UTF-8 with and without a byte-order mark, UTF-16 LE and BE with one, GB18030 and Big5.
inline std::vector<EncodedCopy> encodedCopies(std::string_view utf8) {
    return {
        {"UTF-8", "UTF-8", encodeAs(utf8, "UTF-8")},
        {"UTF-8 with a mark", "UTF-8", encodeAs(utf8, "UTF-8", true)},
        {"UTF-16LE with a mark", "UTF-16LE", encodeAs(utf8, "UTF-16LE", true)},
        {"UTF-16BE with a mark", "UTF-16BE", encodeAs(utf8, "UTF-16BE", true)},
        {"GB18030", "GB18030", encodeAs(utf8, "GB18030")},
        {"Big5", "Big5", encodeAs(utf8, "Big5")},
    };
}

}  // namespace testing_support
