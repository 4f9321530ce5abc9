// SPDX-License-Identifier: GPL-3.0-or-later
// The Mandarin reader over the lexicon the build makes from Debian's data: words and their
// readings, the context rules, the caller's positions, user words, and the lexicon file's checks; the
// polyphone model: a table compiled and loaded, what it may change in the reader's reading (and what
// not: user words, neutral tones, readings it is unsure of), and the files it refuses.
#include "speech/text/mandarin/reader.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

#include "base/paths.h"
#include "base/utf8.h"
#include "speech/text/mandarin/pinyin.h"
#include "speech/text/mandarin/polyphone_model.h"
#include "speech/text/mandarin/tone_sandhi.h"
#include "tests/support/test_files.h"
#include "tests/support/utf16.h"

namespace speech::text::mandarin {
namespace {

std::shared_ptr<const MandarinLexicon> lexicon() {
    std::string problem;
    auto lex = installedMandarinLexicon(&problem);
    EXPECT_NE(lex, nullptr) << problem;
    return lex;
}

// The syllables of `text`, separated by spaces; with `spoken`, their tones as spoken.
std::string syllables(MandarinReader& reader, std::u16string_view text, bool spoken = false) {
    PinyinReading reading;
    const std::u32string text32 = base::toUtf32(base::toUtf8(text));
    if (spoken) {
        reader.read(std::span<const char32_t>(text32), reading);
        applyThirdToneSandhi(text32, reading);
    } else {
        reader.read(text, reading);
    }
    std::string out;
    for (const auto& s : reading.syllables) out += (out.empty() ? "" : " ") + std::string(s.pinyin());
    return out;
}

struct Case {
    std::u16string_view text;
    const char* pinyin;
    bool spoken = false;  // the tones spoken, third-tone sandhi applied
};

TEST(MandarinReader, ReadsWordsRulesNeutralTonesToneChangesErhuaNamesPlacesAndSpokenTones) {
    auto lex = lexicon();
    ASSERT_NE(lex, nullptr);
    MandarinReader reader(*lex);
    const Case cases[] = {
        // Words whose characters read otherwise on their own.
        {u"银行", "yin2 hang2"},
        {u"行长", "hang2 zhang3"},
        {u"长大", "zhang3 da4"},
        {u"重新", "chong2 xin1"},
        {u"音乐", "yin1 yue4"},
        {u"觉得", "jue2 de5"},
        {u"睡觉", "shui4 jiao4"},
        {u"了解", "liao3 jie3"},
        {u"调皮", "tiao2 pi2"},
        {u"为了", "wei4 le5"},
        {u"什么", "shen2 me5"},
        // One-character polyphones by their context.
        {u"他慢慢地走", "ta1 man4 man4 de5 zou3"},
        {u"他跑得快", "ta1 pao3 de5 kuai4"},
        {u"我得走了", "wo3 dei3 zou3 le5"},
        {u"我们得去银行", "wo3 men5 dei3 qu4 yin2 hang2"},
        {u"他得了第一名", "ta1 de2 le5 di4 yi1 ming2"},
        {u"看着我", "kan4 zhe5 wo3"},
        {u"我睡不着", "wo3 shui4 bu5 zhao2"},
        {u"你还钱了吗", "ni3 huan2 qian2 le5 ma5"},
        {u"他还没来", "ta1 hai2 mei2 lai2"},
        {u"数一数", "shu3 yi5 shu3"},
        {u"一只猫", "yi4 zhi1 mao1"},
        {u"这种花", "zhe4 zhong3 hua1"},
        {u"去种树", "qu4 zhong4 shu4"},
        {u"把他当朋友", "ba3 ta1 dang4 peng2 you5"},
        {u"以人民为中心", "yi3 ren2 min2 wei2 zhong1 xin1"},
        {u"下个星期", "xia4 ge4 xing1 qi1"},
        // Neutral tones: words, suffixes, reduplication.
        {u"东西", "dong1 xi5"},
        {u"知道", "zhi1 dao5"},
        {u"明白", "ming2 bai5"},
        {u"意思", "yi4 si5"},
        {u"先生", "xian1 sheng5"},
        {u"妈妈", "ma1 ma5"},
        {u"看看", "kan4 kan5"},
        {u"桌子上", "zhuo1 zi5 shang5"},
        {u"看一看", "kan4 yi5 kan4"},
        {u"是不是", "shi4 bu5 shi4"},
        {u"我们商量一下", "wo3 men5 shang1 liang5 yi2 xia4"},
        // 一 and 不 by what follows; 一 keeps yī counting and at the end.
        {u"一个", "yi2 ge4"},
        {u"一天", "yi4 tian1"},
        {u"不对", "bu2 dui4"},
        {u"不好", "bu4 hao3"},
        {u"第一", "di4 yi1"},
        {u"统一", "tong3 yi1"},
        {u"一九八四年", "yi1 jiu3 ba1 si4 nian2"},
        // Erhua: one syllable.
        {u"哪儿", "nar3"},
        {u"一点儿", "yi4 dianr3"},
        {u"女儿", "nv3 er2"},
        // Traditional characters read as their Simplified forms; a character alone takes a full tone.
        {u"銀行", "yin2 hang2"},
        {u"著名", "zhu4 ming2"},
        {u"看著", "kan4 zhe5"},
        {u"什麼東西", "shen2 me5 dong1 xi5"},
        {u"楚", "chu3"},
        {u"么", "me5"},
        {u"儿儿", "er2 er2"},
        // A surname before a title, or made a name by 老 and 小.
        {u"单先生是我的老师", "shan4 xian1 sheng5 shi4 wo3 de5 lao3 shi1"},
        {u"解老师好", "xie4 lao3 shi1 hao3"},
        {u"仇某", "qiu2 mou3"},
        {u"找小查", "zhao3 xiao3 zha1"},
        {u"一张单子", "yi4 zhang1 dan1 zi5"},
        // A person's name: from the vocabulary's names and CC-CEDICT's surnames, or a surname opening
        // a clause before a given name; not a verb before its object, nor a foreign name's sound.
        {u"单田芳的评书", "shan4 tian2 fang1 de5 ping2 shu1"},
        {u"曾国藩是湖南人", "zeng1 guo2 fan1 shi4 hu2 nan2 ren2"},
        {u"解缙是才子", "xie4 jin4 shi4 cai2 zi3"},
        {u"种花是一种乐趣", "zhong4 hua1 shi4 yi4 zhong3 le4 qu4"},
        {u"查一下", "cha2 yi2 xia4"},
        {u"查尔斯来了", "cha2 er3 si1 lai2 le5"},
        // Places whose names read otherwise; 北上 "go north".
        {u"六安瓜片", "lu4 an1 gua1 pian4"},
        {u"从东莞出发", "cong2 dong1 guan3 chu1 fa1"},
        {u"蚌埠和丽水", "beng4 bu4 he2 li2 shui3"},
        {u"宝应和于都", "bao3 ying4 he2 yu2 du1"},
        {u"北上广深", "bei3 shang4 guang3 shen1"},
        {u"桌子上", "zhuo1 zi5 shang5"},
        // Verb senses by what follows.
        {u"锅里的汤盛出来吧", "guo1 li5 de5 tang1 cheng2 chu1 lai5 ba5"},
        {u"妈妈在给孩子缝扣子", "ma1 ma5 zai4 gei3 hai2 zi5 feng2 kou4 zi5"},
        {u"盛开的花", "sheng4 kai1 de5 hua1"},
        {u"门缝", "men2 feng4"},
        // A particle the segmenter would take into a word.
        {u"他去了解放路", "ta1 qu4 le5 jie3 fang4 lu4"},
        {u"我要去了解一下", "wo3 yao4 qu4 liao3 jie3 yi2 xia4"},
        // The polyphone model's words, and where a clause begins tells it nothing.
        {u"好的", "hao3 de5"},
        {u"这个角色由他来演", "zhe4 ge5 jue2 se4 you2 ta1 lai2 yan3"},
        // Third tones as they are spoken (the tones the engine is sent).
        // Inside a word first.
        {u"你好", "ni2 hao3", true},
        {u"展览馆", "zhan2 lan2 guan3", true},
        {u"洗脸水", "xi2 lian2 shui3", true},
        // A one-syllable word before a two-syllable word keeps a half third.
        {u"好旅馆", "hao3 lv2 guan3", true},
        {u"小老虎", "xiao3 lao2 hu3", true},
        {u"马老师", "ma3 lao3 shi1", true},
        // None between a word of two syllables and a word that opens a predicate; one-syllable words
        // group from the right.
        {u"小组很好", "xiao2 zu3 hen2 hao3", true},
        {u"小组很忙", "xiao2 zu3 hen3 mang2", true},
        {u"我很好", "wo3 hen2 hao3", true},
        // None across punctuation or other text.
        {u"你好，我好", "ni2 hao3 wo2 hao3", true},
        {u"你 我", "ni3 wo3", true},
    };
    for (const Case& c : cases)
        EXPECT_EQ(syllables(reader, c.text, c.spoken), c.pinyin) << testing_support::utf8(c.text);
}

TEST(MandarinReader, KeepsTheCallersPositionsAndWords) {
    auto lex = lexicon();
    ASSERT_NE(lex, nullptr);
    MandarinReader reader(*lex);
    PinyinReading r;
    // Erhua joins two characters; other characters end clauses and are not read.
    reader.read(std::u16string_view(u"哪兒好？銀行"), r);
    ASSERT_EQ(r.syllables.size(), 4u);
    EXPECT_EQ(r.syllables[0].pinyin(), "nar3");
    EXPECT_EQ(std::make_pair(r.syllables[0].begin, r.syllables[0].end), std::make_pair(0, 2));
    ASSERT_EQ(r.words.size(), 3u);
    EXPECT_EQ(std::make_pair(r.words[2].begin, r.words[2].end), std::make_pair(4, 6));  // 銀行, one word
    EXPECT_EQ(r.words[2].syllableCount, 2u);
    // UTF-16 positions past a supplementary character.
    reader.read(std::u16string_view(u"\U00020000银行"), r);
    ASSERT_FALSE(r.words.empty());
    EXPECT_EQ(std::make_pair(r.words.back().begin, r.words.back().end), std::make_pair(2, 4));
}

TEST(MandarinReader, UserWordsWinOverEverything) {
    auto lex = lexicon();
    ASSERT_NE(lex, nullptr);
    MandarinReader reader(*lex);
    std::vector<std::string> pinyin;
    ASSERT_TRUE(normalisePinyin("yin2 xing2", pinyin));
    EXPECT_TRUE(reader.addUserWord(U"银行", pinyin));
    ASSERT_TRUE(normalisePinyin("Yue4qing0", pinyin));
    EXPECT_TRUE(reader.addUserWord(U"乐清", pinyin));
    EXPECT_FALSE(reader.addUserWord(U"音乐", {"yin1"}));  // one syllable short
    const Case cases[] = {
        {u"这家银行", "zhe4 jia1 yin2 xing2"},
        {u"這家銀行", "zhe4 jia1 yin2 xing2"},  // the Simplified entry serves Traditional text
        {u"乐清人", "yue4 qing5 ren2"},
        {u"音乐", "yin1 yue4"},
    };
    for (const Case& c : cases) EXPECT_EQ(syllables(reader, c.text), c.pinyin) << testing_support::utf8(c.text);
}

TEST(MandarinPinyin, WritesWhatTheVoiceReadsAndReadsItBack) {
    const struct {
        std::vector<std::string> word;
        const char* engine;
    } words[] = {
        {{"yin2", "hang2"}, "yin2hang2"},
        {{"nar3"}, "na3r"},
        {{"zher4"}, "zhe4r"},
        {{"er2", "zi5"}, "er2zi5"},
        {{"dianr3", "a5"}, "dian3r'a5"},
        {{"wanr2", "ren2"}, "wan2rren2"},
    };
    for (const auto& w : words) {
        std::string engine;
        for (size_t k = 0; k < w.word.size(); ++k)
            appendEngineSyllable(w.word[k], k + 1 < w.word.size() ? w.word[k + 1] : std::string_view{}, engine);
        EXPECT_EQ(engine, w.engine);
        const std::u32string sent(engine.begin(), engine.end());
        EXPECT_EQ(syllablesOfEngineWord(sent), w.word) << engine;
    }
    const std::pair<const char*, const char*> marks[] = {
        {"yin2", "yín"}, {"hao3", "hǎo"}, {"lv4", "lǜ"}, {"nv3", "nǚ"},   {"gou3", "gǒu"}, {"gui4", "guì"},
        {"liu2", "liú"}, {"nar3", "nǎr"}, {"de5", "de"}, {"jue2", "jué"}, {"er2", "ér"},
    };
    for (const auto& [numbered, marked] : marks) EXPECT_EQ(withToneMark(numbered), marked);
    std::vector<std::string> s;
    EXPECT_TRUE(normalisePinyin("  NU:3 lü4\tde0 ", s));
    EXPECT_EQ(s, (std::vector<std::string>{"nv3", "lv4", "de5"}));
    for (const char* bad : {"", "yin", "yin9", "yin2 hang", "y-in2", "v1",
                            "\xC3\xBC"
                            "1",
                            "xyz3", "van2"})
        EXPECT_FALSE(normalisePinyin(bad, s)) << bad;
}

TEST(MandarinLexicon, RefusesDamagedFilesWithTheirName) {
    testing_support::TempDir dir;
    std::ifstream in(base::installedDataFile("mandarin.lex"), std::ios::binary);
    const std::string good((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_GT(good.size(), 64u);
    std::string badMagic = good;
    badMagic[0] = 'X';
    std::string farSection = good;
    farSection[16] = '\xFF';  // the syllables' offset, far past the end
    farSection[19] = '\x7F';
    for (const std::string& bytes :
         {good.substr(0, 40), good.substr(0, good.size() / 2), badMagic, farSection, std::string()}) {
        const std::string name = dir.file("mandarin.lex");
        std::ofstream(name, std::ios::binary | std::ios::trunc) << bytes;
        std::string error;
        EXPECT_EQ(MandarinLexicon::open(name, error), nullptr);
        EXPECT_NE(error.find(name), std::string::npos) << error;
    }
    std::string error;
    const std::string fifo = dir.file("fifo.lex");  // refused at once, never waited on
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& name : {std::string("/nonexistent/mandarin.lex"), fifo, dir.path()}) {
        EXPECT_EQ(MandarinLexicon::open(name, error), nullptr);
        EXPECT_NE(error.find(name), std::string::npos) << error;
    }

    // A file whose header is whole but whose contents are damaged gives wrong readings, and never a
    // read outside it (the sanitizer builds would see one).
    std::string scrambled = good;
    for (size_t i = 64; i < scrambled.size(); i += 61) scrambled[i] = static_cast<char>(scrambled[i] * 31 + 7);
    const std::string name = dir.file("scrambled.lex");
    std::ofstream(name, std::ios::binary | std::ios::trunc) << scrambled;
    auto lex = MandarinLexicon::open(name, error);
    ASSERT_NE(lex, nullptr) << error;
    MandarinReader reader(*lex);
    PinyinReading reading;
    reader.read(std::u16string_view(u"我们明天得去银行办一点儿事，看看長大了的孩子們。"), reading);
    EXPECT_FALSE(reading.words.empty());
}

std::string compiled(const std::string& table) {
    std::istringstream in(table);
    std::string error;
    std::string bytes = PolyphoneModel::compile(in, error);
    EXPECT_FALSE(bytes.empty()) << error;
    return bytes;
}

// The installed lexicon opened afresh (so the test can give it a model of its own).
std::unique_ptr<MandarinLexicon> openLexicon() {
    std::string error;
    auto lex = MandarinLexicon::open(base::installedDataFile("mandarin.lex").string(), error);
    EXPECT_NE(lex, nullptr) << error;
    return lex;
}

// A program keeps the lexicon and model it read, whatever happens to their files: a file copied over
// in place (truncated, then written again) under a mapping would kill the program with SIGBUS.
TEST(MandarinLexicon, SurvivesItsFileRewrittenInPlace) {
    testing_support::TempDir dir;
    std::ifstream in(base::installedDataFile("mandarin.lex"), std::ios::binary);
    const std::string good((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::string name = dir.file("mandarin.lex");
    std::ofstream(name, std::ios::binary) << good;
    std::string error;
    auto lex = MandarinLexicon::open(name, error);
    ASSERT_NE(lex, nullptr) << error;
    MandarinReader reader(*lex);
    const std::string before = syllables(reader, u"我们明天得去银行办事");
    ASSERT_EQ(::truncate(name.c_str(), 0), 0);
    std::ofstream(name, std::ios::binary | std::ios::app) << good.substr(0, 4096);
    EXPECT_EQ(syllables(reader, u"我们明天得去银行办事"), before);
    EXPECT_EQ(syllables(reader, u"长大了的孩子们都很好"), "zhang3 da4 le5 de5 hai2 zi5 men5 dou1 hen3 hao3");
}

TEST(PolyphoneModel, ChangesOnlyWhatItIsSureOfAndLeavesUserWordsAndNeutralTones) {
    auto lex = openLexicon();
    ASSERT_NE(lex, nullptr);
    MandarinReader rulesOnly(*lex);
    const std::string before = syllables(rulesOnly, u"他们的角色");
    // 角 in the word 角色 read jue2; 的 given a full tone (the rules' neutral one stays); 他 given
    // another tone too weakly to change it.
    std::string error;
    lex->setModel(PolyphoneModel::fromBytes(compiled("# a comment\n"
                                                     "角\tjue2\tw=角色\t2.5\n"
                                                     "的\tde2\tb\t3\n"
                                                     "他\tta3\tb\t0.5\n"),
                                            error));
    ASSERT_NE(lex->model(), nullptr) << error;
    MandarinReader reader(*lex);
    EXPECT_EQ(syllables(reader, u"他们的角色"), "ta1 men5 de5 jue2 se4") << "without the model: " << before;
    EXPECT_EQ(syllables(reader, u"角落"), syllables(rulesOnly, u"角落"));  // another word: no feature fires
    ASSERT_TRUE(reader.addUserWord(U"角色", {"jiao3", "se4"}));
    EXPECT_EQ(syllables(reader, u"他们的角色"), "ta1 men5 de5 jiao3 se4");
}

TEST(PolyphoneModel, RefusesBadTablesAndDamagedFilesAndTheReaderKeepsItsRules) {
    for (const char* table : {"角\tjue2\tb\n", "角\tjue9\tb\t1\n", "角色\tjue2\tb\t1\n", "角\tjue2\t\t1\n",
                              "角\tJUE2\tb\t1\n", "角\tjue2\tb\tx\n"}) {
        std::istringstream in(table);
        std::string error;
        EXPECT_TRUE(PolyphoneModel::compile(in, error).empty()) << table;
        EXPECT_NE(error.find("line 1"), std::string::npos) << error;
    }
    const std::string good = compiled("角\tjue2\tw=角色\t2\n角\tjiao3\tb\t1\n");
    std::string badMagic = good, farWeight = good, badReading = good, longer = good + "x";
    badMagic[0] = 'X';
    farWeight[32 + 8] = '\x7F';               // the first feature's first weight, past the end
    badReading[badReading.size() - 8] = 'J';  // the last reading, no longer lower case
    testing_support::TempDir dir;
    for (const std::string& bytes : {std::string(), good.substr(0, 31), good.substr(0, good.size() - 1), badMagic,
                                     farWeight, badReading, longer}) {
        const std::string name = dir.file("mandarin.model");
        std::ofstream(name, std::ios::binary | std::ios::trunc) << bytes;
        std::string error;
        EXPECT_EQ(PolyphoneModel::load(name, error), nullptr);
        EXPECT_NE(error.find(name), std::string::npos) << error;
    }
    std::string error;
    EXPECT_EQ(PolyphoneModel::load(dir.file("none.model"), error), nullptr);
    EXPECT_NE(error.find("none.model"), std::string::npos);
    EXPECT_NE(PolyphoneModel::fromBytes(good, error), nullptr) << error;
}

}  // namespace
}  // namespace speech::text::mandarin
