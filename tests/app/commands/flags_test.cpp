// SPDX-License-Identifier: GPL-3.0-or-later
// The flag word and its six boxes, and what reset makes of them.
#include <QCheckBox>

#include "tests/app/commands/commands_support.h"
#include "tests/app/window_fixture.h"
#include "tests/support/voice_helpers.h"

using namespace commands_test;

namespace {

class FlagsTest : public WindowTest {
protected:
    testing_support::ScriptedBackends backends;
    void SetUp() override {
        useBackends(backends.backends());
        load();
    }
    std::vector<QCheckBox*> boxes() const {
        return {window->chkSpFlagAync,  window->chkSpFlagPurgeBeforeSpeak, window->chkSpFlagIsFilename,
                window->chkSpFlagIsXML, window->chkSpFlagPersistXML,       window->chkSpFlagNLPSpeakPunc};
    }
};

TEST(ApplyFlagBit, SetsForAnyNonZeroStateAndClearsOnlyTheGivenBit) {
    EXPECT_EQ(ParlanMain::ApplyFlagBit(1, 0, 4), 4);
    EXPECT_EQ(ParlanMain::ApplyFlagBit(-1, 8, 4), 12);
    EXPECT_EQ(ParlanMain::ApplyFlagBit(2, 4, 4), 4);
    EXPECT_EQ(ParlanMain::ApplyFlagBit(0, 127, 4), 123);
    EXPECT_EQ(ParlanMain::ApplyFlagBit(0, 0, 64), 0);
    EXPECT_EQ(ParlanMain::ApplyFlagBit(0, -1, 1), -2);
}

TEST_F(FlagsTest, IsXmlBoxSwapsBetweenXmlAndNotXml) {
    ASSERT_EQ(window->SpeakFlags, 11);
    click(window->chkSpFlagIsXML);
    EXPECT_EQ(window->SpeakFlags, 19);
    click(window->chkSpFlagIsXML);
    EXPECT_EQ(window->SpeakFlags, 11);
}

TEST_F(FlagsTest, AllBoxesCheckedGive111AndAllUncheckedGive16) {
    for (QCheckBox* box : boxes()) {
        if (!box->isChecked()) click(box);
    }
    EXPECT_EQ(window->SpeakFlags, 111);
    for (QCheckBox* box : boxes()) click(box);
    EXPECT_EQ(window->SpeakFlags, 16);
}

TEST_F(FlagsTest, EachBoxChangesOnlyItsOwnBitsFromEveryStartingWord) {
    const std::vector<int32_t> masks = {1, 2, 4, 8 | 16, 32, 64};
    for (int start = 0; start < 64; ++start) {
        for (size_t i = 0; i < boxes().size(); ++i) window->setCheckValue(boxes()[i], (start >> i) & 1);
        ASSERT_EQ(window->SpeakFlags, boxesWord(*window)) << "start " << start;
        for (size_t i = 0; i < boxes().size(); ++i) {
            const int32_t before = window->SpeakFlags;
            click(boxes()[i]);
            EXPECT_EQ(window->SpeakFlags ^ before, masks[i]) << "box " << i << " from " << before;
            click(boxes()[i]);
            EXPECT_EQ(window->SpeakFlags, before);
        }
    }
}

TEST_F(FlagsTest, ResetFromEveryCombinationRestoresTheDefaultWordAndBoxes) {
    for (int combination = 0; combination < 64; ++combination) {
        for (size_t i = 0; i < boxes().size(); ++i) window->setCheckValue(boxes()[i], (combination >> i) & 1);
        click(window->ResetBtn);
        EXPECT_EQ(window->SpeakFlags, 11) << "from " << combination;
        EXPECT_EQ(boxesWord(*window), 11) << "from " << combination;
    }
    EXPECT_TRUE(exitStatuses.empty());
}

TEST_F(FlagsTest, TheWordIsWhatSpeakReceives) {
    window->MainTxtBox->setPlainText(QStringLiteral("Hello, world."));
    click(window->chkSpFlagNLPSpeakPunc);
    click(window->SpeakBtn);
    ASSERT_TRUE(waitFor([&] { return !backends.synth->requests().empty(); }));
    EXPECT_TRUE(backends.synth->requests().back().speakPunctuation);

    click(window->chkSpFlagNLPSpeakPunc);
    const size_t before = backends.synth->requests().size();
    click(window->SpeakBtn);
    ASSERT_TRUE(waitFor([&] { return backends.synth->requests().size() > before; }));
    EXPECT_FALSE(backends.synth->requests().back().speakPunctuation);
}

}  // namespace
