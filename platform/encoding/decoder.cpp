// SPDX-License-Identifier: GPL-3.0-or-later
#include "encoding/decoder.h"

#include <langinfo.h>
#include <locale.h>
#include <unicode/ucnv.h>
#include <unicode/ucnv_cb.h>
#include <unicode/ucsdet.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <array>
#include <new>
#include <optional>
#include <utility>

namespace encoding {
namespace {

using namespace std::string_view_literals;

// ICU's charset detection gives a confidence from 0 to 100. Texts of a few dozen characters in a
// multi-byte encoding score 100; single-byte encodings score 40 to 70 on real text, and short Chinese
// texts often score 20 to 30 as some single-byte encoding, which the fallback reads better.
constexpr int32_t kConfident = 50;
// Detection looks at this much of the text, starting a little before its first byte that is not
// UTF-8 (the text around it tells single-byte encodings apart). ICU's recognizers settle within a few
// hundred bytes; a larger sample only makes the first piece of a big file slower.
constexpr size_t kDetectionSample = 16 << 10;
constexpr size_t kDetectionContext = 1 << 10;
// ICU rates a sample UTF-8 at 25 or more only when it holds well-formed multi-byte sequences and at
// most one bad one for ten good ones.
constexpr int32_t kMostlyUtf8 = 25;

struct DetectorCloser {
    void operator()(UCharsetDetector* detector) const { ucsdet_close(detector); }
};
using DetectorPtr = std::unique_ptr<UCharsetDetector, DetectorCloser>;

struct Mark {
    std::string_view bytes;
    const char* encoding;
};
// UTF-32LE before UTF-16LE: its mark begins with UTF-16LE's.
constexpr std::array kMarks{
    Mark{"\xEF\xBB\xBF"sv, "UTF-8"}, Mark{"\xFF\xFE\0\0"sv, "UTF-32LE"}, Mark{"\0\0\xFE\xFF"sv, "UTF-32BE"},
    Mark{"\xFF\xFE"sv, "UTF-16LE"},  Mark{"\xFE\xFF"sv, "UTF-16BE"},
};

std::optional<Encoding> byteOrderMark(std::span<const uint8_t> head) {
    const std::string_view start(reinterpret_cast<const char*>(head.data()), head.size());
    for (const Mark& mark : kMarks) {
        if (start.starts_with(mark.bytes)) {
            return Encoding{mark.encoding, mark.bytes.size(), EncodingSource::ByteOrderMark};
        }
    }
    return std::nullopt;
}

// The offset of the first sequence in `head` that is not well-formed UTF-8, or npos. Unless `head` is
// the whole text, a well-formed start of a sequence cut off by its end counts as well-formed.
size_t firstInvalidUtf8(std::span<const uint8_t> head, bool complete) {
    const auto length = static_cast<int32_t>(head.size());
    for (int32_t i = 0; i < length;) {
        const int32_t start = i;
        UChar32 c;
        U8_NEXT(head.data(), i, length, c);
        if (c >= 0) continue;
        const bool cutOff = !complete && i == length && U8_IS_LEAD(head[static_cast<size_t>(start)]);
        return cutOff ? std::string_view::npos : static_cast<size_t>(start);
    }
    return std::string_view::npos;
}

bool isLegacyEncoding(std::string_view name) {
    constexpr std::array kNames{"GB18030"sv, "Big5"sv, "Shift_JIS"sv, "EUC-JP"sv, "EUC-KR"sv, "KOI8-R"sv};
    return name.starts_with("windows-125") || name.starts_with("ISO-8859-") ||
           std::find(kNames.begin(), kNames.end(), name) != kNames.end();
}

// ICU's detection over `sample`: UTF-8 when the sample is mostly well-formed UTF-8 (a UTF-8 file with
// a damaged byte), else the most likely legacy encoding ICU is confident of.
std::optional<std::string> detectedEncoding(std::span<const uint8_t> sample) {
    UErrorCode err = U_ZERO_ERROR;
    DetectorPtr detector(ucsdet_open(&err));
    if (U_FAILURE(err)) return std::nullopt;
    ucsdet_enableInputFilter(detector.get(), true);  // markup tags say nothing about the encoding
    ucsdet_setText(detector.get(), reinterpret_cast<const char*>(sample.data()), static_cast<int32_t>(sample.size()),
                   &err);
    int32_t count = 0;
    const UCharsetMatch** matches = ucsdet_detectAll(detector.get(), &count, &err);
    if (U_FAILURE(err)) return std::nullopt;
    const std::span<const UCharsetMatch*> found(matches, static_cast<size_t>(count));
    auto nameOf = [&](const UCharsetMatch* match) { return std::string_view(ucsdet_getName(match, &err)); };
    if (std::any_of(found.begin(), found.end(), [&](const UCharsetMatch* match) {
            return nameOf(match) == "UTF-8" && ucsdet_getConfidence(match, &err) >= kMostlyUtf8;
        })) {
        return "UTF-8";
    }
    for (const UCharsetMatch* match : found) {  // most confident first
        if (ucsdet_getConfidence(match, &err) < kConfident) break;
        if (isLegacyEncoding(nameOf(match))) return std::string(nameOf(match));
    }
    return std::nullopt;
}

// The codeset of the user's locale (LC_ALL, LC_CTYPE, LANG). Read through newlocale rather than
// ICU's default converter, which follows the process's current locale (the C locale unless the
// program has called setlocale) instead of the user's.
std::string userLocaleCodeset() {
    locale_t loc = newlocale(LC_CTYPE_MASK, "", static_cast<locale_t>(nullptr));
    if (loc == static_cast<locale_t>(nullptr)) return "UTF-8";
    std::string codeset = nl_langinfo_l(CODESET, loc);
    freelocale(loc);
    return codeset;
}

// ICU substitutes U+001A, a control character, for bad bytes in some legacy encodings (Shift_JIS,
// EUC-JP, EUC-KR); every bad sequence becomes U+FFFD here whatever the encoding.
void substituteReplacementCharacter(const void*, UConverterToUnicodeArgs* args, const char*, int32_t,
                                    UConverterCallbackReason reason, UErrorCode* err) {
    if (reason > UCNV_IRREGULAR) return;  // reset, close, clone: nothing to write
    *err = U_ZERO_ERROR;
    const UChar replacement = 0xFFFD;
    ucnv_cbToUWriteUChars(args, &replacement, 1, 0, err);
}

// A converter to UTF-16 for `name`; null when ICU does not know the encoding.
ConverterPtr openConverter(const std::string& name) {
    UErrorCode err = U_ZERO_ERROR;
    ConverterPtr converter(ucnv_open(name.c_str(), &err));
    if (U_FAILURE(err)) return nullptr;
    ucnv_setToUCallBack(converter.get(), substituteReplacementCharacter, nullptr, nullptr, nullptr, &err);
    return converter;
}

std::string fallbackEncoding(std::string_view localeCodeset) {
    std::string codeset = localeCodeset.empty() ? userLocaleCodeset() : std::string(localeCodeset);
    // The C locale's ASCII says nothing about the files its user reads; it counts as UTF-8.
    const bool utf8 = codeset.empty() || ucnv_compareNames(codeset.c_str(), "UTF-8") == 0 ||
                      ucnv_compareNames(codeset.c_str(), "ANSI_X3.4-1968") == 0 ||
                      ucnv_compareNames(codeset.c_str(), "ASCII") == 0;
    return utf8 || !openConverter(codeset) ? "GB18030" : codeset;
}

}  // namespace

Encoding detectEncoding(std::span<const uint8_t> head, bool complete, std::string_view localeCodeset) {
    if (auto marked = byteOrderMark(head)) return *marked;
    if (head.size() > kLeadingPart) {
        head = head.first(kLeadingPart);
        complete = false;
    }
    const size_t invalid = firstInvalidUtf8(head, complete);
    if (invalid == std::string_view::npos) return {"UTF-8", 0, EncodingSource::WellFormedUtf8};
    size_t from = invalid - std::min(invalid, kDetectionContext);
    while (from < invalid && U8_IS_TRAIL(head[from])) ++from;  // on a character of the valid part
    const auto sample = head.subspan(from, std::min(kDetectionSample, head.size() - from));
    if (auto detected = detectedEncoding(sample)) return {*detected, 0, EncodingSource::Detected};
    return {fallbackEncoding(localeCodeset), 0, EncodingSource::Fallback};
}

void ConverterCloser::operator()(UConverter* converter) const {
    ucnv_close(converter);
}

Decoder::Decoder(Encoding encoding) : encoding_(std::move(encoding)), converter_(openConverter(encoding_.name)) {
    if (!converter_) {
        encoding_.name = "UTF-8";
        converter_ = openConverter(encoding_.name);  // algorithmic: needs no ICU data
        if (!converter_) throw std::bad_alloc();
    }
    markLeft_ = encoding_.markLength;
}

Decoder::~Decoder() = default;
Decoder::Decoder(Decoder&&) noexcept = default;
Decoder& Decoder::operator=(Decoder&&) noexcept = default;

void Decoder::decode(std::span<const uint8_t> bytes, bool last, std::u16string& out) {
    const size_t skip = std::min(markLeft_, bytes.size());
    bytes = bytes.subspan(skip);
    markLeft_ -= skip;
    const char* source = reinterpret_cast<const char*>(bytes.data());
    const char* sourceEnd = source + bytes.size();
    std::array<UChar, 8192> buffer;
    for (;;) {
        UChar* target = buffer.data();
        UErrorCode err = U_ZERO_ERROR;
        ucnv_toUnicode(converter_.get(), &target, buffer.data() + buffer.size(), &source, sourceEnd, nullptr, last,
                       &err);
        out.append(buffer.data(), static_cast<size_t>(target - buffer.data()));
        if (err != U_BUFFER_OVERFLOW_ERROR) return;
    }
}

void Decoder::reset() {
    ucnv_resetToUnicode(converter_.get());
    markLeft_ = encoding_.markLength;
}

bool looksBinary(std::span<const uint8_t> head) {
    if (head.empty() || byteOrderMark(head)) return false;
    head = head.first(std::min<size_t>(head.size(), 65536));
    const auto control = std::count_if(head.begin(), head.end(), [](uint8_t b) {
        return b < 0x20 && b != '\t' && b != '\n' && b != '\r' && b != '\f' && b != '\v' && b != 0x1B;
    });
    return static_cast<size_t>(control) * 10 > head.size();
}

std::u16string decodeText(std::span<const uint8_t> bytes) {
    Decoder decoder(detectEncoding(bytes, true));
    std::u16string out;
    out.reserve(bytes.size());  // no byte gives more than one unit
    decoder.decode(bytes, true, out);
    return out;
}

}  // namespace encoding
