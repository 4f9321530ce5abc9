// SPDX-License-Identifier: GPL-3.0-or-later
// A file replaced in one step: whatever is at its name (nothing, a file, a link, a pipe, a folder),
// a name the user gave follows a link to the file it names, a name the program made replaces the link
// itself and never touches its target, and a file made in a folder stays there when the folder moves.
#include "base/files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "tests/support/test_files.h"

namespace base {
namespace {

namespace fs = std::filesystem;
using Link = ReplacingFile::Link;

std::string contents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

void write(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

TEST(ReplacingFile, WhatIsAtTheNameIsReplacedOrRefusedAsItsPlaceSays) {
    const struct {
        const char* name;
        void (*plant)(const testing_support::TempDir& dir);  // at dir/"name", the victim at dir/"victim"
        Link link;
        std::string refused;  // the end of the fault's message; empty: replaced
        bool nameIsALink;     // what is left at the name afterwards
        std::string victim;   // what the victim holds afterwards
    } cases[] = {
        {"nothing", [](const testing_support::TempDir&) {}, Link::Replace, "", false, "victim"},
        {"a file", [](const testing_support::TempDir& d) { write(d.file("name"), "old"); }, Link::Replace, "", false,
         "victim"},
        {"a link the program's name meets",
         [](const testing_support::TempDir& d) { fs::create_symlink(d.file("victim"), d.file("name")); }, Link::Replace,
         "", false, "victim"},
        {"a link the user named",
         [](const testing_support::TempDir& d) { fs::create_symlink(d.file("victim"), d.file("name")); }, Link::Follow,
         "", true, "new"},
        {"a dangling link",
         [](const testing_support::TempDir& d) { fs::create_symlink(d.file("gone"), d.file("name")); }, Link::Replace,
         "", false, "victim"},
        {"a pipe", [](const testing_support::TempDir& d) { ::mkfifo(d.file("name").c_str(), 0600); }, Link::Replace,
         "it is not a regular file.", false, "victim"},
        {"a folder", [](const testing_support::TempDir& d) { fs::create_directory(d.file("name")); }, Link::Replace,
         "it is a folder.", false, "victim"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        testing_support::TempDir dir;
        write(dir.file("victim"), "victim");
        c.plant(dir);
        auto folder = Folder::open(dir.path());
        ASSERT_TRUE(folder.ok());
        const ReplacingFile::Place place = c.link == Link::Replace
                                               ? ReplacingFile::Place{&folder.value(), "name", Link::Replace}
                                               : ReplacingFile::Place{nullptr, dir.file("name"), Link::Follow};
        auto file = ReplacingFile::create(place);
        if (!c.refused.empty()) {
            ASSERT_FALSE(file.ok());
            EXPECT_EQ(file.fault().message, "Cannot create the file \"" + dir.file("name") + "\": " + c.refused);
            continue;
        }
        ASSERT_TRUE(file.ok()) << file.fault().message;
        ASSERT_TRUE(file.value().write("new").ok());
        ASSERT_TRUE(file.value().putInPlace().ok());
        EXPECT_EQ(fs::is_symlink(dir.file("name")), c.nameIsALink);
        EXPECT_EQ(contents(dir.file("name")), "new");
        EXPECT_EQ(contents(dir.file("victim")), c.victim);
        EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 2) << "a temporary left";
    }
}

TEST(ReplacingFile, AFileMadeInAFolderStaysThereWhenTheFolderIsMovedAndALinkTakesItsPlace) {
    testing_support::TempDir dir;
    fs::create_directory(dir.file("out"));
    fs::create_directory(dir.file("elsewhere"));
    auto folder = Folder::open(dir.file("out"));
    ASSERT_TRUE(folder.ok());
    auto file = ReplacingFile::create({&folder.value(), "chapter.wav", Link::Replace});
    ASSERT_TRUE(file.ok());
    fs::rename(dir.file("out"), dir.file("moved"));
    fs::create_directory_symlink(dir.file("elsewhere"), dir.file("out"));
    ASSERT_TRUE(file.value().write("audio").ok());
    ASSERT_TRUE(file.value().putInPlace().ok());
    EXPECT_EQ(contents(dir.file("moved/chapter.wav")), "audio");
    EXPECT_TRUE(fs::is_empty(dir.file("elsewhere")));
}

}  // namespace
}  // namespace base
