// SPDX-License-Identifier: GPL-3.0-or-later
// Text files decode alike whatever their encoding: the decision (mark, UTF-8, detection, fallback),
// the stream of pieces, and the words the voice speaks from each copy of one text.
#include "encoding/decoder.h"

#include <gtest/gtest.h>

#include <fstream>

#include "speech/streams.h"
#include "speech/voice.h"
#include "tests/support/encodings.h"
#include "tests/support/test_files.h"
#include "tests/support/voice_helpers.h"

using namespace testing_support;

namespace {

std::span<const uint8_t> bytesOf(std::string_view s) {
    return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

std::string decodeInPieces(const encoding::Encoding& encoding, std::string_view bytes, size_t size) {
    encoding::Decoder decoder(encoding);
    std::u16string out;
    for (size_t at = 0; at < bytes.size(); at += size) decoder.decode(bytesOf(bytes.substr(at, size)), false, out);
    decoder.decode({}, true, out);
    return utf8(out);
}

TEST(TextDecoder, EveryCopyDecodesToTheTextWholeAndInPiecesOfEverySize) {
    std::vector<std::pair<std::string, EncodedCopy>> rows;
    for (auto& copy : encodedCopies(kChineseText)) rows.emplace_back(kChineseText, std::move(copy));
    rows.emplace_back(kChineseText, EncodedCopy{"UTF-32LE", "UTF-32LE", encodeAs(kChineseText, "UTF-32LE", true)});
    // Four-byte sequences of GB18030 (and surrogate pairs) cut at every place.
    const std::string beyondTheBmp = std::string(kChineseText) + "😀𠀀€\n";
    rows.emplace_back(beyondTheBmp,
                      EncodedCopy{"GB18030 beyond the BMP", "GB18030", encodeAs(beyondTheBmp, "GB18030")});
    for (const auto& [expected, copy] : rows) {
        const encoding::Encoding found = encoding::detectEncoding(bytesOf(copy.bytes), true);
        EXPECT_EQ(found.name, copy.encoding) << copy.label;
        EXPECT_EQ(utf8(encoding::decodeText(bytesOf(copy.bytes))), expected) << copy.label;
        for (size_t size = 1; size <= 7; ++size) {
            EXPECT_EQ(decodeInPieces(found, copy.bytes, size), expected) << copy.label << ", pieces of " << size;
        }
    }
}

TEST(TextDecoder, WithoutAMarkTheBytesOrTheLocaleDecide) {
    const std::string japanese = "日本語のテキストです。これは例文です。ひらがなとカタカナを含みます。";
    const std::string russian = "Это пример русского текста. Он должен быть распознан правильно и прочитан.";
    const std::string chinese = "今天天气很好，我们去公园散步吧。这个记事本可以朗读你输入的文字。";
    struct Case {
        const char* label;
        std::string bytes;
        std::string_view locale;
        std::string encoding;
        encoding::EncodingSource source;
        std::string decoded;  // in UTF-8
    };
    using enum encoding::EncodingSource;
    const Case cases[] = {
        {"Shift_JIS, a bad byte", encodeAs(japanese, "Shift_JIS") + "\xFF", "UTF-8", "Shift_JIS", Detected,
         japanese + "\uFFFD"},
        {"KOI8-R", encodeAs(russian, "KOI8-R"), "UTF-8", "KOI8-R", Detected, russian},
        {"UTF-8 with a damaged byte", chinese.substr(0, 30) + "\xB0" + chinese.substr(30), "UTF-8", "UTF-8", Detected,
         chinese.substr(0, 30) + "\uFFFD" + chinese.substr(30)},
        {"too short to tell, UTF-8 locale", encodeAs("你好", "GB18030"), "UTF-8", "GB18030", Fallback, "你好"},
        {"too short to tell, Latin locale", "caf\xE9", "ISO-8859-15", "ISO-8859-15", Fallback, "café"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        const encoding::Encoding found = encoding::detectEncoding(bytesOf(c.bytes), true, c.locale);
        EXPECT_EQ(found.name, c.encoding);
        EXPECT_EQ(found.source, c.source);
        EXPECT_EQ(decodeInPieces(found, c.bytes, c.bytes.size()), c.decoded);
    }
}

// Each copy of the text, named in Speak, gives the Word events of the text itself.
TEST(TextDecoder, EveryCopySpeaksTheWordsOfTheText) {
    speech::SpVoice voice(engineWithoutDevices());
    for (const auto& token : voice.GetVoices("", "")) {
        if (token.Id().find("cmn") != std::string::npos) voice.SetVoice(token);
    }
    TempDir dir;
    auto words = [&](std::u16string_view text, int32_t flags) {
        EventLog log(voice);
        auto file = std::make_shared<speech::SpFileStream>();
        file->Format().SetType(speech::SAFT22kHz16BitMono);
        file->Open(dir.file("out.wav"), speech::SSFMCreateForWrite, false);
        voice.SetAudioOutputStream(file);
        voice.Speak(text, flags);
        file->Close();
        std::vector<std::pair<int32_t, int32_t>> out;
        for (const auto& e : log.events()) {
            if (e.kind == speech::EventKind::Word) out.emplace_back(e.characterPosition, e.length);
        }
        return out;
    };
    const auto expected = words(u16(kChineseText), speech::SVSFDefault);
    ASSERT_GE(expected.size(), 20u);
    for (const auto& copy : encodedCopies(kChineseText)) {
        const std::string path = dir.file("text.txt");
        std::ofstream(path, std::ios::binary | std::ios::trunc) << copy.bytes;
        EXPECT_EQ(words(u16(path), speech::SVSFIsFilename), expected) << copy.label;
    }
}

}  // namespace
