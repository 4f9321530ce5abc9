// Copies of one text in the encodings a text file may come in, made with ICU while the test runs.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace testing_support {

// A Chinese text (traditional characters, so that Big5 holds it too) with Latin words and digits.
inline constexpr std::string_view kChineseText =
    "春眠不覺曉，處處聞啼鳥。夜來風雨聲，花落知多少。\n"
    "今天天氣很好，我們去公園散步吧。這本記事本可以朗讀你輸入的文字，版本 2 也能讀 English 單詞。\n";

struct EncodedCopy {
    std::string label;     // "GB18030", "UTF-16LE with a byte-order mark", ...
    std::string encoding;  // the encoding a decoder should find for it
    std::string bytes;
};

// `utf8` converted to `encoding`, after a byte-order mark when `withMark`. A character the encoding
// cannot hold fails the calling test.
std::string encodeAs(std::string_view utf8, const char* encoding, bool withMark = false);

// `utf8` as UTF-8 with and without a byte-order mark, UTF-16 LE and BE with one, GB18030 and Big5.
std::vector<EncodedCopy> encodedCopies(std::string_view utf8);

}  // namespace testing_support
