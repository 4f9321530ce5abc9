// SPDX-License-Identifier: GPL-3.0-or-later
// Replays the inputs the front end's fuzzer once crashed on (tests/fuzz/regressions/) and its seeds
// through the same checks the fuzzer makes.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "base/error.h"
#include "speech/core/constants.h"
#include "speech/text/frontend.h"

using namespace speech;
using namespace speech::text;

namespace {

// The fuzzer's reading of an input: first byte = flags, voice and seek, the rest UTF-16LE text.
void replay(const std::vector<uint8_t>& data) {
    if (data.empty()) return;
    const uint8_t control = data[0];
    auto text = std::make_shared<std::u16string>();
    for (size_t i = 1; i + 1 < data.size(); i += 2) text->push_back(static_cast<char16_t>(data[i] | data[i + 1] << 8));
    static const int32_t kFlags[] = {core::SVSFIsXML, core::SVSFDefault, core::SVSFIsNotXML,
                                     core::SVSFIsXML | core::SVSFPersistXML | core::SVSFNLPSpeakPunc};
    FrontEndContext context;
    context.voices = {
        core::SpObjectToken(core::TokenKind::Voice, "en", "English", {{"Language", "409"}, {"Gender", "Male"}}),
        core::SpObjectToken(core::TokenKind::Voice, "zh", "Chinese", {{"Language", "804"}, {"Gender", "Female"}})};
    context.voice = context.voices[(control >> 6) & 1];
    context.rate = (control >> 2) % 21 - 10;
    // SSML as the voice has it read: by the front end itself.
    context.ssmlToEngine = false;
    MarkupState persisted;
    auto readSome = [&](SegmentSource& source, int limit) {
        for (int k = 0; k < limit; ++k) {
            auto s = source.next();
            if (!s) return;
            ASSERT_EQ(s->sourceOffsets.size(), s->text.size() + 1);
            for (size_t i = 0; i < s->sourceOffsets.size(); ++i) {
                ASSERT_GE(s->sourceOffsets[i], 0);
                ASSERT_LE(static_cast<size_t>(s->sourceOffsets[i]), text->size());
                if (i > 0) {
                    ASSERT_LE(s->sourceOffsets[i - 1], s->sourceOffsets[i]);
                }
            }
            for (auto [a, b] : s->words) ASSERT_TRUE(a < b && static_cast<size_t>(b) <= s->text.size());
        }
    };
    try {
        auto source = openText(text, kFlags[control & 3], context, &persisted);
        readSome(*source, 2000);
        if (control & 0x80) {
            source->seekSentence((control >> 4) & 7);
            readSome(*source, 200);
        }
    } catch (const base::Error& e) {
        EXPECT_EQ(e.code(), base::errc::kMarkup) << e.description();
    }
}

TEST(FrontendFuzzRegressions, EveryStoredInputReadsCleanly) {
    namespace fs = std::filesystem;
    const fs::path root = fs::path(TALLAMO_SOURCE_DIR) / "tests" / "fuzz";
    int count = 0;
    for (const char* folder : {"regressions", "seeds"}) {
        if (!fs::is_directory(root / folder)) continue;
        for (const auto& entry : fs::directory_iterator(root / folder)) {
            if (!entry.is_regular_file() || entry.path().filename().string().starts_with(".")) continue;
            std::ifstream in(entry.path(), std::ios::binary);
            std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            SCOPED_TRACE(entry.path().string());
            replay(data);
            ++count;
        }
    }
    EXPECT_GT(count, 0) << "no seeds found under " << root;
}

}  // namespace
