// SPDX-License-Identifier: GPL-3.0-or-later
#include "speech/core/tokens.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "base/error.h"

namespace speech::core {
namespace {

namespace fs = std::filesystem;

SpObjectToken voice(std::string id, std::string language, std::string gender) {
    return SpObjectToken(TokenKind::Voice, id, id + " voice",
                         {{"Language", std::move(language)}, {"Gender", std::move(gender)}, {"Name", id}});
}

TEST(ObjectToken, AttributeMatching) {
    const SpObjectToken us = voice("en-us", "409;9", "Male");
    const SpObjectToken zh = voice("cmn", "804;4", "Female");

    EXPECT_TRUE(us.matches(""));
    EXPECT_TRUE(us.matches("Language=409"));
    EXPECT_TRUE(us.matches("language=9"));     // names are case-insensitive
    EXPECT_TRUE(us.matches("Language=0409"));  // ids are numbers, not strings
    EXPECT_FALSE(us.matches("Language=809"));
    EXPECT_TRUE(us.matches("Language=809;409"));  // any of several ids
    EXPECT_TRUE(zh.matches("Gender=female;Language=804"));
    EXPECT_FALSE(zh.matches("Gender=Female;Language=409"));
    EXPECT_TRUE(zh.matches(" Gender = Female ; "));
    EXPECT_TRUE(zh.matches("Gender!=Male"));
    EXPECT_FALSE(us.matches("Gender!=Male"));
    EXPECT_TRUE(us.matches("Name"));  // a bare name asks for the attribute to exist
    EXPECT_FALSE(us.matches("Age"));
    EXPECT_FALSE(us.matches("Age=Adult"));
    EXPECT_FALSE(us.matches("Language=zz"));

    EXPECT_EQ(zh.matchCount("Gender=Female;Language=409;Name=cmn"), 2);
    EXPECT_EQ(us.matchCount(""), 0);
    EXPECT_EQ(us.GetAttribute("GENDER"), "Male");
    EXPECT_EQ(us.GetAttribute("Vendor"), "");
    EXPECT_EQ(us.GetDescription(1033), "en-us voice");
    EXPECT_EQ(us, voice("en-us", "", ""));  // identity is kind and id
    EXPECT_FALSE(us == zh);
}

TEST(ObjectTokens, ItemOutsideTheCollectionIsAnError) {
    const SpObjectTokens tokens({voice("a", "409", "Male"), voice("b", "809", "Male")});
    EXPECT_EQ(tokens.Count(), 2);
    EXPECT_EQ(tokens.Item(1).Id(), "b");
    for (long bad : {-1L, 2L, 100L}) {
        try {
            tokens.Item(bad);
            ADD_FAILURE() << bad;
        } catch (const base::Error& e) {
            EXPECT_EQ(e.code(), base::errc::kInvalidArg);
            EXPECT_NE(e.description().find(std::to_string(bad)), std::string::npos) << e.description();
            EXPECT_NE(e.description().find("0 to 1"), std::string::npos) << e.description();
        }
    }
    EXPECT_THROW(SpObjectTokens().Item(0), base::Error);
}

// Points the platform's data folder at `dir` for one test.
class DataDir {
public:
    explicit DataDir(std::string dir) { setPlatformDataDirForTesting(std::move(dir)); }
    ~DataDir() { setPlatformDataDirForTesting(TALLAMO_SOURCE_DIR "/platform/data"); }
};

std::string sdkPath() {
    SpObjectTokenCategory category;
    category.SetId("HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Speech", false);
    return category.GetDataKey(0).GetStringValue("SDKPath");
}

TEST(TokenCategory, SdkPathPointsAtTheSamples) {
    const std::string path = sdkPath();
    ASSERT_FALSE(path.empty());
    EXPECT_EQ(path.back(), '/');
    const fs::path common = fs::path(path) / "samples" / "common";
    ASSERT_TRUE(fs::is_directory(common)) << common;
    int texts = 0;
    for (const auto& entry : fs::directory_iterator(common)) {
        std::ifstream in(entry.path());
        std::string content((std::istreambuf_iterator<char>(in)), {});
        EXPECT_GT(content.size(), 20u) << entry.path();
        ++texts;
    }
    EXPECT_GE(texts, 3);
}

TEST(TokenCategory, NoSamplesMeansNoSdkPath) {
    const fs::path dir = fs::temp_directory_path() / "tallamo-no-samples";
    fs::create_directories(dir);
    for (const std::string& d : {std::string(), dir.string(), std::string("/no/such/folder")}) {
        DataDir data(d);
        try {
            sdkPath();
            ADD_FAILURE() << "SDKPath found in \"" << d << "\"";
        } catch (const base::Error& e) {
            EXPECT_EQ(e.code(), base::errc::kNotFound);
            EXPECT_NE(e.description().find("SDKPath"), std::string::npos) << e.description();
        }
    }
    fs::create_directories(dir / "samples" / "common");
    {
        DataDir data(dir.string());
        EXPECT_EQ(sdkPath(), dir.string() + "/");
    }
    fs::remove_all(dir);
}

TEST(TokenCategory, UnknownIdsValuesAndCreationAreRefused) {
    SpObjectTokenCategory category;
    EXPECT_THROW(category.GetDataKey(0), base::Error);  // no id yet
    try {
        category.SetId("HKEY_LOCAL_MACHINE\\SOFTWARE\\Other", false);
        ADD_FAILURE();
    } catch (const base::Error& e) {
        EXPECT_EQ(e.code(), base::errc::kNotFound);
        EXPECT_NE(e.description().find("Other"), std::string::npos);
    }
    EXPECT_THROW(category.SetId("HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Speech", true), base::Error);
    category.SetId("hkey_local_machine\\software\\microsoft\\speech", false);
    try {
        category.GetDataKey(0).GetStringValue("NoSuchValue");
        ADD_FAILURE();
    } catch (const base::Error& e) {
        EXPECT_EQ(e.code(), base::errc::kNotFound);
        EXPECT_NE(e.description().find("NoSuchValue"), std::string::npos);
    }
}

}  // namespace
}  // namespace speech::core
