// SPDX-License-Identifier: GPL-3.0-or-later
// SSML spoken by the voice: read by the front end (not handed to the engine as SSML), its Chinese read
// by the Mandarin reader, its marks raised as bookmarks in their place and its words pointing into the
// SSML as written.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "speech/streams.h"
#include "speech/voice.h"
#include "tests/support/test_files.h"
#include "tests/support/voice_helpers.h"

using namespace speech;
using namespace testing_support;

namespace {

TEST(VoiceSsml, SsmlIsReadByTheFrontEndWithItsMarksInTheirPlace) {
    ScriptedBackends b;
    SpVoice voice(b.backends());
    EventLog log(voice);
    TempDir dir;
    auto file = std::make_shared<SpFileStream>();
    file->Format().SetType(SAFT22kHz16BitMono);
    file->Open(dir.file("ssml.wav"), SSFMCreateForWrite, false);
    voice.SetAudioOutputStream(file);
    const std::u16string ssml =
        u"<speak xml:lang='zh'>利率是3.5%。<mark name='one'/>Hello <mark name='two'/>world</speak>";
    voice.Speak(ssml, SVSFIsXML);
    file->Close();

    std::u32string read;
    for (const auto& r : b.synth->requests()) {
        EXPECT_FALSE(r.ssml);
        read += r.text;
    }
    EXPECT_NE(read.find(U"百分之三点五"), std::u32string::npos);
    EXPECT_EQ(read.find(U"<mark"), std::u32string::npos);

    std::vector<std::string> marks;
    std::vector<std::u16string> words;
    for (const auto& e : log.events()) {
        if (e.kind == EventKind::Bookmark) marks.push_back(e.bookmark);
        if (e.kind == EventKind::Word) words.push_back(ssml.substr(e.characterPosition, e.length));
    }
    EXPECT_EQ(marks, (std::vector<std::string>{"one", "two"}));
    EXPECT_NE(std::find(words.begin(), words.end(), u"Hello"), words.end());
    EXPECT_NE(std::find(words.begin(), words.end(), u"world"), words.end());
}

}  // namespace
