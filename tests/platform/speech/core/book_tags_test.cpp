// SPDX-License-Identifier: GPL-3.0-or-later
// A book's tags and chapter marks as every file format gets them: titles made safe for players, marks
// ordered, led and numbered, times rounded so that a chapter never starts after its first word.
#include "speech/core/book_tags.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace speech::core {
namespace {

TEST(TagText, MakesTitlesSafeForEveryPlayer) {
    const std::string longTitle(5000, 'x');
    std::string longCjk;
    for (int i = 0; i < 200; ++i) longCjk += "章";  // three bytes each
    const struct {
        std::string in;
        size_t max;
        std::string out;
    } rows[] = {
        {"  Chapter\t1:\nThe  Beginning \r\n", 100, "Chapter 1: The Beginning"},
        {"\u202Eevil\u202C \u2066isolated\u2069\u200F", 100, "evil isolated"},
        {"A\x01"
         "B\x7F"
         "C\xC2\x85"
         "D",
         100, "A B C D"},  // C0, DEL and C1 (NEL) controls
        {"bad \xFF\xFE bytes", 100, "bad \uFFFD\uFFFD bytes"},
        {longTitle, 255, std::string(255, 'x')},
        {longCjk, 255, longCjk.substr(0, 255)},         // 85 whole characters
        {longCjk, 254, longCjk.substr(0, 252)},         // never half a character
        {"../../etc/passwd", 100, "../../etc/passwd"},  // a tag is no path: only file names are made safe
    };
    for (const auto& row : rows) EXPECT_EQ(tagText(row.in, row.max), row.out) << row.in.substr(0, 40);
}

TEST(FileChapters, OrdersDropsAndLeads) {
    const struct {
        const char* what;
        std::vector<ChapterMark> in;
        uint64_t total;
        std::vector<ChapterMark> out;
    } rows[] = {
        {"none: none", {}, 1000, {}},
        {"text before the first chapter is led by the book", {{"One", 100}}, 1000, {{"Book", 0}, {"One", 100}}},
        {"a chapter at the start needs no lead", {{"One", 0}, {"Two", 500}}, 1000, {{"One", 0}, {"Two", 500}}},
        {"out of order, sorted", {{"Two", 500}, {"One", 0}}, 1000, {{"One", 0}, {"Two", 500}}},
        {"an empty heading gives way", {{"Part I", 0}, {"Chapter 1", 0}}, 1000, {{"Chapter 1", 0}}},
        {"past the end, dropped", {{"One", 0}, {"Late", 1000}}, 1000, {{"One", 0}}},
        {"all past the end, the lead stays", {{"Late", 2000}}, 1000, {{"Book", 0}}},
        {"no title, numbered", {{"One", 0}, {" \n", 10}}, 1000, {{"One", 0}, {"Chapter 2", 10}}},
        {"a hostile title, cut and cleaned",
         {{std::string(5000, 'y') + "\u202E", 0}},
         1000,
         {{std::string(kMaxChapterTitleBytes, 'y'), 0}}},
    };
    for (const auto& row : rows) EXPECT_EQ(fileChapters(row.in, "Book", row.total), row.out) << row.what;
}

TEST(BookTags, TimesRatesAndYears) {
    EXPECT_EQ(frameToMs(22049, 22050), 999u);  // rounded down: never after the word starts
    EXPECT_EQ(frameToMs(22050, 22050), 1000u);
    EXPECT_EQ(frameToMs(uint64_t{1} << 62, 48000), (uint64_t{1} << 62) / 48);
    const std::vector<ChapterMark> marks{{"A", 22050}, {"B", 22051}, {"C", uint64_t{1} << 50}};
    EXPECT_EQ(marksAtRate(marks, 22050, 48000),
              (std::vector<ChapterMark>{
                  {"A", 48000},
                  {"B", 48002},
                  {"C", (uint64_t{1} << 50) / 22050 * 48000 + (uint64_t{1} << 50) % 22050 * 48000 / 22050}}));
    for (const auto& [date, year] : std::vector<std::pair<std::string, std::string>>{{"1851-10-18", "1851"},
                                                                                     {"1851", "1851"},
                                                                                     {"2004-05-01T00:00:00Z", "2004"},
                                                                                     {"18511", ""},
                                                                                     {"c. 1850", ""},
                                                                                     {"", ""}})
        EXPECT_EQ(yearOf(date), year) << date;
    const BookInfo book{"Moby-Dick", "Herman Melville", "1851-10-18", "\xFF\xD8\xFF"};
    const FileTags chapter = chapterFileTags(book, "Loomings", 1, 135);
    EXPECT_EQ(chapter.title, "Loomings");
    EXPECT_EQ(chapter.album, "Moby-Dick");
    EXPECT_EQ(chapter.artist, "Herman Melville");
    EXPECT_EQ(chapter.year, "1851");
    EXPECT_EQ(chapter.track, 1);
    EXPECT_EQ(chapter.trackTotal, 135);
    EXPECT_EQ(imageKind(chapter.cover), ImageKind::Jpeg);
}

}  // namespace
}  // namespace speech::core
