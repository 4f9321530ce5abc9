// SPDX-License-Identifier: GPL-3.0-or-later
// The file names tallamo-say makes from titles show what they are: nothing invisible or
// direction-changing survives, text is composed, and a name cut to length keeps its last character
// whole.
#include "tools/say/file_names.h"

#include <gtest/gtest.h>

namespace {

std::string repeat(const std::string& text, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) out += text;
    return out;
}

TEST(FileNames, ATitleBecomesANameThatShowsWhatItIs) {
    const struct {
        const char* name;
        std::string title;
        std::string file;
    } cases[] = {
        {"a right-to-left override", "Invoice \u202Egpj.exe", "01-Invoice gpj.exe"},
        {"a zero-width space and joiner", "Zero\u200Bwidth Joi\u200Dner", "01-Zerowidth Joiner"},
        {"a byte-order mark and a soft hyphen", "\uFEFFSoft\u00ADhyphen", "01-Softhyphen"},
        {"a letter and its mark, composed", "Cafe\u0301", "01-Caf\u00E9"},
        {"a mark kept from its letter by a joiner", "Cafe\u200D\u0301", "01-Caf\u00E9"},
        {"nothing visible", "\u200B\u202E\u200D", "01-chapter"},
        {"line breaks, separators and blanks", " A\u2028line/and\\a\ttab  here. ", "01-A line and a tab here"},
        {"leading dots", "..hidden", "01-hidden"},
        {"invalid UTF-8", "bad \xC3\x28 byte", "01-bad \uFFFD( byte"},
        {"what FAT refuses", "Chapter 1: The \"Start\"? a*b<c>d|e", "01-Chapter 1 The Start a b c d e"},
        {"a path out of the folder", "../../etc/passwd", "01-etc passwd"},
        {"only dots", "..", "01-chapter"},
        {"trailing dots and blanks", "Trailing dots...   ", "01-Trailing dots"},
        {"a delete character", "tab\x7F", "01-tab"},
        {"letters of other scripts", "第二章 «Le Départ»", "01-第二章 «Le Départ»"},
        {"nothing", "", "01-chapter"},
        {"too long", std::string(300, 'z'), "01-" + std::string(100, 'z')},
        {"too long, in a character of three bytes", std::string(40, 'x') + repeat("章", 21),
         "01-" + std::string(40, 'x') + repeat("章", 20)},
    };
    for (const auto& c : cases) EXPECT_EQ(say::chapterFileName(1, 2, c.title), c.file) << c.name;
}

TEST(FileNames, ANameCutToLengthEndsBetweenTwoCharactersAsAReaderSeesThem) {
    // 98 bytes, then "é" written as e and a combining acute accent that cannot be composed with the
    // flag after it: the cut at 100 bytes must not leave the "e" without its accent.
    const std::string title = std::string(98, 'a') + "e\u0301\U0001F1EB\U0001F1F7";
    EXPECT_EQ(say::fileNamePart(title), std::string(98, 'a') + "\u00E9");
    const std::string decomposed = std::string(99, 'a') + "x\u0302";  // x with a circumflex: no precomposed form
    EXPECT_EQ(say::fileNamePart(decomposed), std::string(99, 'a'));
}

}  // namespace
