// SPDX-License-Identifier: GPL-3.0-or-later
// Fuzzes the text front end: any text, any speak flags, reading and seeking must neither crash nor
// break the segment invariants (offsets in order and inside the text, words inside the segment).
// The first byte picks the flags, the voice (English or Mandarin) and a seek; the rest is the text as
// UTF-16 (little-endian pairs).
#include <cstddef>
#include <cstdint>
#include <string>

#include "base/error.h"
#include "speech/core/constants.h"
#include "speech/text/frontend.h"

namespace {

void check(bool ok) {
    if (!ok) __builtin_trap();
}

void readSome(speech::text::SegmentSource& source, size_t textSize, int limit) {
    long lastSentence = -1;
    for (int k = 0; k < limit; ++k) {
        auto s = source.next();
        if (!s) return;
        check(s->sourceOffsets.size() == s->text.size() + 1);
        for (size_t i = 0; i < s->sourceOffsets.size(); ++i) {
            check(s->sourceOffsets[i] >= 0 && static_cast<size_t>(s->sourceOffsets[i]) <= textSize);
            if (i > 0) check(s->sourceOffsets[i - 1] <= s->sourceOffsets[i]);
        }
        int32_t previousEnd = 0;
        for (auto [a, b] : s->words) {
            check(a >= previousEnd && a < b && static_cast<size_t>(b) <= s->text.size());
            previousEnd = b;
        }
        check(s->text.size() <= 4096 || s->phonemes);
        check(s->sentenceIndex >= lastSentence);
        check(s->sentencePosition >= 0 && s->sentenceLength >= 0 &&
              static_cast<size_t>(s->sentencePosition) + static_cast<size_t>(s->sentenceLength) <= textSize);
        check(s->rate >= -10 && s->rate <= 10 && s->volume >= 0 && s->volume <= 100 && s->pitch >= -10 &&
              s->pitch <= 10);
        check(s->silenceMs >= 0);
        lastSentence = s->sentenceIndex;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const uint8_t control = data[0];
    auto text = std::make_shared<std::u16string>();
    for (size_t i = 1; i + 1 < size; i += 2) text->push_back(static_cast<char16_t>(data[i] | data[i + 1] << 8));

    static const int32_t kFlags[] = {
        speech::core::SVSFIsXML, speech::core::SVSFDefault, speech::core::SVSFIsNotXML,
        speech::core::SVSFIsXML | speech::core::SVSFPersistXML | speech::core::SVSFNLPSpeakPunc};
    speech::text::FrontEndContext context;
    context.voices = {speech::core::SpObjectToken(speech::core::TokenKind::Voice, "en", "English",
                                                  {{"Language", "409"}, {"Gender", "Male"}}),
                      speech::core::SpObjectToken(speech::core::TokenKind::Voice, "zh", "Chinese",
                                                  {{"Language", "804"}, {"Gender", "Female"}})};
    context.voice = context.voices[(control >> 6) & 1];
    context.rate = (control >> 2) % 21 - 10;
    // SSML as the voice has it read: by the front end itself.
    context.ssmlToEngine = false;
    speech::text::MarkupState persisted;
    try {
        auto source = speech::text::openText(text, kFlags[control & 3], context, &persisted);
        readSome(*source, text->size(), 2000);
        if (control & 0x80) {
            source->seekSentence((control >> 4) & 7);
            readSome(*source, text->size(), 200);
            source->seekSentence(0);
            readSome(*source, text->size(), 50);
        }
    } catch (const base::Error& e) {
        check(e.code() == base::errc::kMarkup);
    }
    return 0;
}
