// SPDX-License-Identifier: GPL-3.0-or-later
// Internal to the text front end: reading a run of text the way a <context> element asks (digits one
// by one, addresses by their parts, dates with month names), keeping each character's source range.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace speech::text {

enum class ContextKind {
    None,
    Digits,
    Cardinal,
    Phone,
    Url,
    Email,
    DateMdy,
    DateDmy,
    DateYmd,
    DateYm,
    DateMy,
    DateDm,
    DateMd,
    Time,
    Currency
};

struct ContextChar {
    char32_t c = 0;
    int32_t src = 0;
    int32_t srcEnd = 0;
};

// The kind for a context id ("date_mdy", "number_digit", ...); None for ids read as ordinary text.
ContextKind contextOf(std::u16string_view id);

// Rewrites `run` in place. Inserted words take the source range of the character they stand for, so
// positions stay in order and point into the caller's string. A run that does not fit the kind
// (a date that is no date) is left as it is.
void readAs(ContextKind kind, std::vector<ContextChar>& run);

}  // namespace speech::text
