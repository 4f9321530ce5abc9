#include "encodings.h"

#include <gtest/gtest.h>
#include <unicode/ucnv.h>

namespace testing_support {
namespace {

std::string convert(std::string_view bytes, const char* from, const char* to) {
    UErrorCode err = U_ZERO_ERROR;
    std::string out(bytes.size() * 4 + 8, '\0');
    const int32_t length = ucnv_convert(to, from, out.data(), static_cast<int32_t>(out.size()), bytes.data(),
                                        static_cast<int32_t>(bytes.size()), &err);
    EXPECT_TRUE(U_SUCCESS(err)) << from << " to " << to << ": " << u_errorName(err);
    out.resize(U_SUCCESS(err) ? static_cast<size_t>(length) : 0);
    return out;
}

}  // namespace

std::string encodeAs(std::string_view utf8, const char* encoding, bool withMark) {
    const std::string text = (withMark ? "\xEF\xBB\xBF" : "") + std::string(utf8);
    std::string bytes = convert(text, "UTF-8", encoding);
    EXPECT_EQ(convert(bytes, encoding, "UTF-8"), text) << encoding << " cannot hold the text";
    return bytes;
}

std::vector<EncodedCopy> encodedCopies(std::string_view utf8) {
    return {
        {"UTF-8", "UTF-8", encodeAs(utf8, "UTF-8")},
        {"UTF-8 with a byte-order mark", "UTF-8", encodeAs(utf8, "UTF-8", true)},
        {"UTF-16LE with a byte-order mark", "UTF-16LE", encodeAs(utf8, "UTF-16LE", true)},
        {"UTF-16BE with a byte-order mark", "UTF-16BE", encodeAs(utf8, "UTF-16BE", true)},
        {"GB18030", "GB18030", encodeAs(utf8, "GB18030")},
        {"Big5", "Big5", encodeAs(utf8, "Big5")},
    };
}

}  // namespace testing_support
