// Text files decode alike whatever their encoding: the decision (mark, UTF-8, detection, fallback),
// the stream of pieces, and the words the voice speaks from each copy of one text.
#include <gtest/gtest.h>

#include <fstream>
#include <optional>

#include "platform/speech/streams.h"
#include "platform/speech/voice.h"
#include "platform/text/decoder.h"
#include "support/doubles.h"
#include "support/encodings.h"

using namespace testing_support;

namespace {

std::span<const uint8_t> bytesOf(std::string_view s) {
    return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

TEST(TextDecoder, EveryCopyOfATextDecodesToIt) {
    const std::u16string expected = u16(kChineseText);
    auto copies = encodedCopies(kChineseText);
    copies.push_back(
        {"UTF-32LE with a byte-order mark", "UTF-32LE", encodeAs(kChineseText, "UTF-32LE", true)});
    copies.push_back(
        {"UTF-32BE with a byte-order mark", "UTF-32BE", encodeAs(kChineseText, "UTF-32BE", true)});
    for (const auto& copy : copies) {
        SCOPED_TRACE(copy.label);
        EXPECT_EQ(text::detectEncoding(bytesOf(copy.bytes), true).name, copy.encoding);
        EXPECT_EQ(utf8(text::decodeText(bytesOf(copy.bytes))), kChineseText);
    }
}

TEST(TextDecoder, PiecesOfEverySizeDecodeLikeTheWhole) {
    // Four-byte GB18030 and UTF-8 sequences and surrogate pairs, and marks, cut at every place.
    const std::string text = std::string(kChineseText) + "😀𠀀€ ok\n";
    for (const auto& [encoding, withMark] :
         {std::pair{"GB18030", false}, std::pair{"UTF-8", true}, std::pair{"UTF-16BE", true}}) {
        const std::string bytes = encodeAs(text, encoding, withMark);
        const text::Encoding found = text::detectEncoding(bytesOf(bytes), true);
        ASSERT_EQ(found.name, encoding);
        for (size_t size = 1; size <= 7; ++size) {
            SCOPED_TRACE(std::string(encoding) + " in pieces of " + std::to_string(size));
            text::Decoder decoder(found);
            std::u16string out;
            for (size_t at = 0; at < bytes.size(); at += size) {
                decoder.decode(bytesOf(std::string_view(bytes).substr(at, size)), false, out);
            }
            decoder.decode({}, true, out);
            EXPECT_EQ(utf8(out), text);
            // Starting over decodes the same again.
            decoder.reset();
            out.clear();
            decoder.decode(bytesOf(bytes), true, out);
            EXPECT_EQ(utf8(out), text);
        }
    }
}

TEST(TextDecoder, WithoutAMarkTheBytesOrTheLocaleDecide) {
    const std::string japanese = "日本語のテキストです。これは例文です。ひらがなとカタカナを含みます。";
    const std::string korean = "한국어 텍스트입니다. 이것은 예문입니다. 안녕하세요, 반갑습니다.";
    const std::string russian = "Это пример русского текста. Он должен быть распознан правильно и прочитан.";
    const std::string utf8Chinese = "今天天气很好，我们去公园散步吧。这个记事本可以朗读你输入的文字。";
    struct Case {
        const char* label;
        std::string bytes;
        bool complete;
        std::string_view locale;
        std::string encoding;
        text::EncodingSource source;
        std::optional<std::string> decoded;  // the text, in UTF-8, when the case is about it
    };
    using enum text::EncodingSource;
    const Case cases[] = {
        {"Shift_JIS, a bad byte", encodeAs(japanese, "Shift_JIS") + "\xFF", true, "UTF-8", "Shift_JIS",
         Detected, japanese + "\uFFFD"},
        {"EUC-KR", encodeAs(korean, "EUC-KR"), true, "UTF-8", "EUC-KR", Detected, korean},
        {"KOI8-R", encodeAs(russian, "KOI8-R"), true, "UTF-8", "KOI8-R", Detected, russian},
        {"windows-1251", encodeAs(russian, "windows-1251"), true, "UTF-8", "windows-1251", Detected, russian},
        {"UTF-8 with a damaged byte", utf8Chinese.substr(0, 30) + "\xB0" + utf8Chinese.substr(30), true,
         "UTF-8", "UTF-8", Detected, utf8Chinese.substr(0, 30) + "\uFFFD" + utf8Chinese.substr(30)},
        {"UTF-8 cut inside a character, more to come", utf8Chinese.substr(0, 31), false, "UTF-8", "UTF-8",
         WellFormedUtf8, std::nullopt},
        {"too short to tell, UTF-8 locale", encodeAs("你好", "GB18030"), true, "UTF-8", "GB18030", Fallback,
         "你好"},
        {"too short to tell, C locale", encodeAs("你好", "GB18030"), true, "ANSI_X3.4-1968", "GB18030",
         Fallback, std::nullopt},
        {"too short to tell, Latin locale", "caf\xE9", true, "ISO-8859-15", "ISO-8859-15", Fallback, "café"},
        {"invalid in every encoding",
         "ok\xFF\xFF"
         "end",
         true, "UTF-8", "GB18030", Fallback, "ok\uFFFD\uFFFDend"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        const text::Encoding found = text::detectEncoding(bytesOf(c.bytes), c.complete, c.locale);
        EXPECT_EQ(found.name, c.encoding);
        EXPECT_EQ(found.source, c.source);
        if (!c.decoded)
            continue;
        text::Decoder decoder(found);
        std::u16string out;
        decoder.decode(bytesOf(c.bytes), true, out);
        EXPECT_EQ(utf8(out), *c.decoded);
    }
}

// Each copy of the text, named in Speak, gives the Word events of the text itself.
TEST(TextDecoder, EveryCopySpeaksTheWordsOfTheText) {
    speech::SpVoice voice(engineWithoutDevices());
    for (const auto& token : voice.GetVoices("", "")) {
        if (token.Id().find("cmn") != std::string::npos)
            voice.SetVoice(token);
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
            if (e.kind == speech::EventKind::Word)
                out.emplace_back(e.characterPosition, e.length);
        }
        return out;
    };
    const auto expected = words(u16(kChineseText), speech::SVSFDefault);
    ASSERT_GE(expected.size(), 20u);
    for (const auto& copy : encodedCopies(kChineseText)) {
        SCOPED_TRACE(copy.label);
        const std::string path = dir.file("text.txt");
        std::ofstream(path, std::ios::binary | std::ios::trunc) << copy.bytes;
        EXPECT_EQ(words(u16(path), speech::SVSFIsFilename), expected);
    }
}

}  // namespace
