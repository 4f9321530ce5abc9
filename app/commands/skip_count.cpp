// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/commands/skip_count.h"

#include <algorithm>
#include <cstdint>
#include <string>

#include "base/error.h"
#include "speech/names.h"

namespace {

[[noreturn]] void fail(const std::string& description) {
    throw speech::Error(speech::errc::kInvalidArg, description);
}

bool isAsciiDigit(QChar c) {
    return c >= u'0' && c <= u'9';
}

}  // namespace

int16_t parseSkipCount(const QString& text) {
    const QString body = text.trimmed();
    const std::string shown = "\"" + text.toStdString() + "\"";
    if (body.isEmpty()) fail("The skip count is empty; enter a whole number of sentences.");

    qsizetype pos = 0;
    bool negative = false;
    if (body[0] == u'+' || body[0] == u'-') {
        negative = body[0] == u'-';
        ++pos;
    }

    // The magnitude is kept exactly: the integer part as a number (capped once it is out of range
    // anyway), the fraction only as far as rounding needs it.
    constexpr int64_t kCap = 100000;
    int64_t whole = 0;
    int digits = 0;
    for (; pos < body.size() && isAsciiDigit(body[pos]); ++pos, ++digits) {
        whole = std::min<int64_t>(whole * 10 + (body[pos].unicode() - u'0'), kCap);
    }
    int firstFraction = -1;    // the first digit after the point, -1 when there is none
    bool restNonZero = false;  // any later fraction digit that is not 0
    if (pos < body.size() && body[pos] == u'.') {
        for (++pos; pos < body.size() && isAsciiDigit(body[pos]); ++pos, ++digits) {
            const int d = body[pos].unicode() - u'0';
            if (firstFraction < 0) {
                firstFraction = d;
            } else if (d != 0) {
                restNonZero = true;
            }
        }
    }
    if (digits == 0 || pos != body.size()) fail("The skip count " + shown + " is not a number.");

    const bool roundUp = firstFraction > 5 || (firstFraction == 5 && (restNonZero || whole % 2 == 1));
    if (roundUp) ++whole;
    const int64_t value = negative ? -whole : whole;
    if (value < INT16_MIN || value > INT16_MAX) {
        fail("The skip count " + shown + " is outside the range -32768 to 32767.");
    }
    return static_cast<int16_t>(value);
}
