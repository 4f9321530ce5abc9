// SPDX-License-Identifier: GPL-3.0-or-later
// What the talking-book writers compute without speaking: the heading levels a book's outline takes,
// and the links between an EPUB's entries (resolved as the readers resolve them, and written back).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "documents/markup.h"
#include "tools/say/daisy_files.h"
#include "tools/say/epub_source.h"

namespace {

TEST(BookFiles, AnOutlineTakesHeadingLevelsThatStartAtOneAndSkipNone) {
    const struct {
        std::vector<int32_t> outline;
        std::vector<int32_t> levels;
    } rows[] = {
        {{}, {}},
        {{1, 2, 2, 1}, {1, 2, 2, 1}},
        {{2, 3, 2}, {1, 2, 1}},                                // the highest level is h1
        {{2, 1, 2}, {1, 1, 2}},                                // the first heading is an h1
        {{1, 3, 4}, {1, 2, 3}},                                // no level skipped
        {{1, 2, 3, 4, 5, 6, 7, 8}, {1, 2, 3, 4, 5, 6, 6, 6}},  // h6 at most
    };
    for (const auto& row : rows) EXPECT_EQ(say::headingLevels(row.outline), row.levels);
}

TEST(BookFiles, LinksResolveInsideTheArchiveAndRelativeLinksLeadBack) {
    const struct {
        const char* folder;
        const char* href;
        const char* entry;
    } links[] = {
        {"OEBPS/", "c1.xhtml#top", "OEBPS/c1.xhtml"},
        {"OEBPS/Text/", "../Images/a%20b.png?v=2", "OEBPS/Images/a b.png"},
        {"OEBPS/", "/META-INF/container.xml", "META-INF/container.xml"},
        {"OEBPS/", "../../../../etc/passwd", "etc/passwd"},  // never above the archive's root
        {"", "./a/./b//c", "a/b/c"},
        {"", "100%25%zz", "100%%zz"},  // an escape that is not one is kept
    };
    for (const auto& l : links) EXPECT_EQ(documents::resolveHref(l.folder, l.href), l.entry) << l.href;
    EXPECT_EQ(documents::folderOf("OEBPS/Text/c1.xhtml"), "OEBPS/Text/");
    EXPECT_EQ(documents::folderOf("content.opf"), "");

    const struct {
        const char* folder;
        const char* entry;
    } entries[] = {
        {"OEBPS/", "OEBPS/c1.xhtml"}, {"OEBPS/Text/", "OEBPS/Images/a b#1%.png"}, {"", "EPUB/style.css"},
        {"A/B/", "C/d.xhtml"},        {"OEBPS/Text/", "OEBPS/Text2/x.xhtml"},
    };
    for (const auto& e : entries) {
        const std::string href = say::relativeHref(e.folder, e.entry);
        EXPECT_EQ(href.find_first_of(" #?"), std::string::npos) << href;
        EXPECT_EQ(documents::resolveHref(e.folder, href), e.entry) << href;
    }
}

}  // namespace
