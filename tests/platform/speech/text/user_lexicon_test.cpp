// SPDX-License-Identifier: GPL-3.0-or-later
// The user's pronunciation lexicons (W3C PLS): what a good file gives, and why a bad one is refused.
#include "speech/text/user_lexicon.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "tests/support/test_files.h"
#include "tests/support/utf16.h"

namespace speech::text {
namespace {

std::string pls(const std::string& body, const std::string& alphabet = "x-pinyin") {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<lexicon version=\"1.0\" xmlns=\"http://www.w3.org/2005/01/pronunciation-lexicon\" alphabet=\"" +
           alphabet + "\" xml:lang=\"zh-CN\">\n" + body + "</lexicon>\n";
}

TEST(UserLexicon, GivesPinyinEntriesAndAliases) {
    const auto entries =
        parseLexicon(pls("  <lexeme><grapheme>乐清</grapheme><phoneme>yue4 qing1</phoneme></lexeme>\n"
                         "  <lexeme><grapheme>SQL</grapheme><grapheme>sql</grapheme><alias>sequel</alias>"
                         "<alias>ess queue ell</alias></lexeme>\n"
                         "  <lexeme><grapheme>哪儿</grapheme><phoneme>NAR3</phoneme></lexeme>\n"
                         "  <lexeme><grapheme>W3C</grapheme><alias>World  Wide\n Web Consortium</alias></lexeme>\n"
                         "  <lexeme><grapheme>行</grapheme><phoneme alphabet=\"x-pinyin\">hang2</phoneme>"
                         "<example>银行</example></lexeme>\n"));
    ASSERT_TRUE(entries.ok()) << entries.fault().message;
    const auto& e = entries.value();
    ASSERT_EQ(e.size(), 6u);
    EXPECT_EQ(e[0].grapheme, U"乐清");
    EXPECT_EQ(e[0].pinyin, (std::vector<std::string>{"yue4", "qing1"}));
    EXPECT_EQ(e[1].alias, U"sequel");  // the first pronunciation
    EXPECT_EQ(e[2].grapheme, U"sql");
    EXPECT_EQ(e[2].alias, U"sequel");
    EXPECT_EQ(e[3].pinyin, (std::vector<std::string>{"na3", "r5"}));  // erhua: one syllable, two characters
    EXPECT_EQ(e[4].alias, U"World Wide Web Consortium");
    EXPECT_EQ(e[5].pinyin, (std::vector<std::string>{"hang2"}));
}

TEST(UserLexicon, RefusesAMalformedFileWithItsLineAndReason) {
    const struct {
        std::string text;
        const char* fault;  // what the message holds
    } cases[] = {
        {pls("<lexeme>\n<phoneme>a1</phoneme></lexeme>\n"), "line 3: a <lexeme> without a <grapheme>"},
        {pls("\n<lexeme><grapheme>乐清</grapheme></lexeme>\n"), "line 4: a <lexeme> without a <phoneme> or an <alias>"},
        {pls("<lexeme><grapheme>乐清</grapheme>\n<phoneme>yue9 qing1</phoneme></lexeme>\n"),
         "line 4: \"yue9 qing1\" is not pinyin"},
        {pls("<lexeme><grapheme>乐清</grapheme><phoneme>yue4</phoneme></lexeme>\n"),
         "line 3: the pinyin has 1 syllables for the 2 characters of \"乐清\""},
        {pls("<lexeme><grapheme>SQL</grapheme><phoneme>si1</phoneme></lexeme>\n"), "line 3: pinyin is for Han"},
        {pls("<lexeme><grapheme>tomato</grapheme><phoneme>təˈmɑːtoʊ</phoneme></lexeme>\n", "ipa"),
         "line 3: the alphabet \"ipa\" is not supported"},
        {pls("<lexeme><grapheme></grapheme><alias>x</alias></lexeme>\n"), "line 3: an empty <grapheme>"},
        {pls("<lexeme><grapheme>a</grapheme><alias>b</alias>\n"), "line 4:"},  // not closed
        {pls("<word>x</word>\n"), "line 3: <word> is not an element of a lexicon"},
        {"<?xml version=\"1.0\"?>\n<speak/>\n", "line 2: the root element is <speak>, not <lexicon>"},
        {"<?xml version=\"1.0\"?>\n<!DOCTYPE lexicon [<!ENTITY x SYSTEM \"file:///etc/passwd\">]>\n"
         "<lexicon version=\"1.0\"><lexeme><grapheme>a</grapheme><alias>&x;</alias></lexeme></lexicon>",
         "line 2: a document type declaration is not allowed"},
        {pls("<lexeme><grapheme>a</grapheme><alias>&x;</alias></lexeme>\n"), "line 3:"},
        {"", "line 1: the file is empty"},
        {std::string(kMaxLexiconBytes + 1, ' '), "line 1: a lexicon larger than"},
    };
    for (const auto& c : cases) {
        const auto entries = parseLexicon(c.text);
        ASSERT_FALSE(entries.ok()) << c.text;
        EXPECT_EQ(entries.fault().code, base::errc::kFile);
        EXPECT_NE(entries.fault().message.find(c.fault), std::string::npos)
            << entries.fault().message << "\nexpected: " << c.fault;
    }
}

TEST(UserLexicon, NamesTheFileAndFindsTheLexiconsAnSsmlTextNames) {
    testing_support::TempDir dir;
    const std::string bad = dir.file("bad.pls");
    std::ofstream(bad) << pls("<lexeme><grapheme>乐清</grapheme>\n</lexeme>\n");
    const auto refused = loadLexiconFile(bad);
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.fault().message, bad + ":3: a <lexeme> without a <phoneme> or an <alias>");
    EXPECT_NE(loadLexiconFile(dir.file("missing.pls")).fault().message.find(dir.file("missing.pls") + ": "),
              std::string::npos);

    const auto paths = ssmlLexiconPaths(
        u"<speak><lexicon uri=\"file:///a%20b/x.pls\"/><lexicon xml:id='l' uri='y.pls'/>"
        u"<lexiconx uri=\"no\"/><p>text</p></speak>");
    ASSERT_TRUE(paths.ok());
    EXPECT_EQ(paths.value(), (std::vector<std::string>{"/a b/x.pls", "y.pls"}));
    const auto remote = ssmlLexiconPaths(u"<speak><lexicon uri=\"https://example.org/x.pls\"/></speak>");
    ASSERT_FALSE(remote.ok());
    EXPECT_NE(remote.fault().message.find("only a lexicon in a local file"), std::string::npos);
}

}  // namespace
}  // namespace speech::text
