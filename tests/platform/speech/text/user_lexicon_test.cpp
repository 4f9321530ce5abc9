// SPDX-License-Identifier: GPL-3.0-or-later
// The user's pronunciation lexicons (W3C PLS): what a good file gives, and why a bad one is refused.
#include "speech/text/user_lexicon.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "base/child_process.h"
#include "tests/support/test_files.h"
#include "tests/support/utf16.h"

namespace speech::text {
namespace {

std::string pls(const std::string& body, const std::string& alphabet = "x-pinyin") {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<lexicon version=\"1.0\" xmlns=\"http://www.w3.org/2005/01/pronunciation-lexicon\" alphabet=\"" +
           alphabet + "\" xml:lang=\"zh-CN\">\n" + body + "</lexicon>\n";
}

std::string repeated(const std::string& piece, size_t times) {
    std::string out;
    for (size_t i = 0; i < times; ++i) out += piece;
    return out;
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
        {pls("<lexeme><grapheme>" + repeated("乐", 65) + "</grapheme><phoneme>" + repeated("le4 ", 65) +
             "</phoneme></lexeme>\n"),
         "line 3: a <grapheme> of more than 64 characters for pinyin"},
        {pls("\n<lexeme><grapheme>" + repeated("a", 257) + "</grapheme><alias>b</alias></lexeme>\n"),
         "line 4: a <grapheme> of more than 256 characters for an alias"},
        {pls("<lexeme><grapheme>a</grapheme>\n<alias>" + repeated("b", 10001) + "</alias></lexeme>\n"),
         "line 4: an <alias> of more than 10000 characters"},
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

TEST(UserLexicon, NamesTheFileAndTakesOnlyLocalUris) {
    testing_support::TempDir dir;
    const std::string bad = dir.file("bad.pls");
    std::ofstream(bad) << pls("<lexeme><grapheme>乐清</grapheme>\n</lexeme>\n");
    const auto refused = loadLexiconFile(bad);
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.fault().message, bad + ":3: a <lexeme> without a <phoneme> or an <alias>");
    EXPECT_NE(loadLexiconFile(dir.file("missing.pls")).fault().message.find(dir.file("missing.pls") + ": "),
              std::string::npos);

    const auto paths = lexiconPaths({u"file:///a%20b/x.pls", u"y.pls"});
    ASSERT_TRUE(paths.ok());
    EXPECT_EQ(paths.value(), (std::vector<std::string>{"/a b/x.pls", "y.pls"}));
    const auto remote = lexiconPaths({u"https://example.org/x.pls"});
    ASSERT_FALSE(remote.ok());
    EXPECT_NE(remote.fault().message.find("only a lexicon in a local file"), std::string::npos);
}

}  // namespace
}  // namespace speech::text

namespace speech::text {
namespace {

// A lexicon that is not a regular file is refused at once, never opened for reading where that could
// wait (a FIFO with no writer, the program's own input) or read without end (a device).
TEST(UserLexicon, RefusesWhatIsNotARegularFileWithoutWaiting) {
    testing_support::TempDir dir;
    const std::string fifo = dir.file("lexicon.pls");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    int pipe[2];
    ASSERT_EQ(::pipe(pipe), 0);
    const base::UniqueFd readEnd(pipe[0]), writeEnd(pipe[1]);
    const std::string pipePath = "/proc/self/fd/" + std::to_string(pipe[0]);
    const struct {
        std::string path;
        const char* why;
    } cases[] = {
        {fifo, "a FIFO is not read as a lexicon"},
        {pipePath, "a FIFO is not read as a lexicon"},
        {dir.path(), "a folder is not read as a lexicon"},
        {"/dev/zero", "a device is not read as a lexicon"},
    };
    for (const auto& c : cases) {
        const auto file = loadLexiconFile(c.path);
        ASSERT_FALSE(file.ok()) << c.path;
        EXPECT_EQ(file.fault().message, c.path + ": " + c.why);
    }
}

TEST(UserLexicon, KeepsToItsLimitsInFilesAndBytesMergesOnceAndReadsAChangedFileAgain) {
    testing_support::TempDir dir;
    const std::string one = dir.file("one.pls");
    std::ofstream(one) << pls("<lexeme><grapheme>a</grapheme><alias>b</alias></lexeme>");
    std::shared_ptr<const UserLexicon> lexicon;
    for (size_t i = 0; i < kMaxLexiconFiles; ++i) {
        auto more = withLexiconFiles(lexicon, {one});
        ASSERT_TRUE(more.ok()) << more.fault().message;
        lexicon = more.value();
    }
    EXPECT_EQ(lexicon->entries.size(), kMaxLexiconFiles);
    const auto ninth = withLexiconFiles(lexicon, {one});
    ASSERT_FALSE(ninth.ok());
    EXPECT_EQ(ninth.fault().message, one + ": more than 8 lexicon files are not read");

    // Four files of just under 4 MB each pass 16 MB in all.
    const std::string big = dir.file("big.pls");
    std::ofstream(big) << pls(std::string(kMaxLexiconBytes - 200, ' '));
    const auto tooMuch = withLexiconFiles(nullptr, {big, big, big, big, big});
    ASSERT_FALSE(tooMuch.ok());
    EXPECT_EQ(tooMuch.fault().message, big + ": lexicons of more than 16 MB in all are not read");

    // Merged again onto the same lexicon, the same files give the merge made before, whose aliases are
    // made once (the module prepares a message's lexicons off its protocol loop for the Speak on it);
    // a file changed since gives a new one.
    const auto first = withLexiconFiles(nullptr, {one});
    const auto second = withLexiconFiles(nullptr, {one});
    ASSERT_TRUE(first.ok() && second.ok());
    EXPECT_EQ(first.value(), second.value());
    EXPECT_EQ(&first.value()->aliases(), &second.value()->aliases());
    std::ofstream(one) << pls("<lexeme><grapheme>a</grapheme><alias>changed</alias></lexeme>");
    const auto third = withLexiconFiles(nullptr, {one});
    ASSERT_TRUE(third.ok());
    EXPECT_NE(third.value(), first.value());
    ASSERT_EQ(third.value()->aliases().size(), 1u);
    EXPECT_EQ(third.value()->aliases().front().alias, U"changed");
    const auto changed = loadLexiconFile(one);
    ASSERT_TRUE(changed.ok());
    ASSERT_EQ(changed.value().entries->size(), 1u);
    EXPECT_EQ(changed.value().entries->front().alias, U"changed");
}

}  // namespace
}  // namespace speech::text
