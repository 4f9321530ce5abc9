// SPDX-License-Identifier: GPL-3.0-or-later
// Text files carry no declaration of their encoding, so every reader of one (the voice speaking a file
// name, the window's Open, the command-line tools) decides it here the same way and decodes it to
// UTF-16 through ICU:
//   1. a byte-order mark decides (UTF-8, UTF-16 LE/BE, UTF-32 LE/BE);
//   2. else a leading part that is well-formed UTF-8 makes the text UTF-8;
//   3. else ICU's charset detection picks among the legacy encodings it knows (GB18030, Big5,
//      Shift_JIS, EUC-JP, EUC-KR, KOI8-R, the windows-125x and ISO-8859 families) when it is confident;
//   4. else GB18030 when the user's locale is UTF-8 (this program's users read Chinese, and most
//      legacy Chinese text files are GBK/GB18030), or the locale's own encoding otherwise.
// Decoding is a stream: a text may be given in pieces of any size, and a sequence cut between two
// pieces is decoded whole. Every invalid or unmappable sequence becomes U+FFFD and decoding goes on.
// No Qt: the platform and the window share this.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

struct UConverter;

namespace encoding {

// What decided an encoding.
enum class EncodingSource { ByteOrderMark, WellFormedUtf8, Detected, Fallback };

struct Encoding {
    std::string name;       // an ICU converter name: "UTF-8", "UTF-16LE", "GB18030", "Big5", "windows-1251", ...
    size_t markLength = 0;  // the bytes of the byte-order mark that opens the text; they are not decoded
    EncodingSource source = EncodingSource::WellFormedUtf8;
};

// How much of a text's start is judged for UTF-8. An invalid sequence after it does not change the
// decision; it becomes U+FFFD.
inline constexpr size_t kLeadingPart = size_t{1} << 20;

// Decides the encoding of a text from its first bytes (only the first kLeadingPart are looked at).
// `complete`: `head` is the whole text; otherwise a UTF-8 sequence cut at its end is not held against
// UTF-8. `localeCodeset` is the fallback's locale encoding ("UTF-8", "ISO-8859-15", ...); empty means
// the user's locale (LC_ALL, LC_CTYPE, LANG), where the C locale counts as UTF-8.
Encoding detectEncoding(std::span<const uint8_t> head, bool complete, std::string_view localeCodeset = {});

struct ConverterCloser {
    void operator()(UConverter* converter) const;
};
using ConverterPtr = std::unique_ptr<UConverter, ConverterCloser>;

// Decodes one text, given in pieces, from one encoding.
class Decoder {
public:
    // An encoding ICU does not know decodes as UTF-8; encoding() then names UTF-8.
    explicit Decoder(Encoding encoding);
    ~Decoder();
    Decoder(Decoder&&) noexcept;
    Decoder& operator=(Decoder&&) noexcept;

    const Encoding& encoding() const { return encoding_; }

    // Appends the UTF-16 of `bytes`, the text's next piece, to `out`. A sequence cut at the end of a
    // piece is finished by the next one. `last` ends the text: an unfinished sequence then becomes
    // U+FFFD (an empty last piece just ends it).
    void decode(std::span<const uint8_t> bytes, bool last, std::u16string& out);
    // Starts the text over from its first byte (its byte-order mark is skipped again).
    void reset();

private:
    Encoding encoding_;
    ConverterPtr converter_;
    size_t markLeft_ = 0;  // bytes of the byte-order mark not yet skipped
};

// Whether the bytes that open a file say it is not text: no byte-order mark, and largely control
// codes among the first 64 KB (a text's own are tabs, line and page breaks and escapes).
bool looksBinary(std::span<const uint8_t> head);

// Decodes a whole text held in memory, its encoding decided by detectEncoding.
std::u16string decodeText(std::span<const uint8_t> bytes);

}  // namespace encoding
