// SPDX-License-Identifier: GPL-3.0-or-later
#include "speech/text/say_as.h"

#include <array>
#include <optional>
#include <string>

namespace speech::text {

namespace {

bool isDigit(char32_t c) {
    return c >= U'0' && c <= U'9';
}
bool isBlank(char32_t c) {
    return c == U' ' || c == U'\t' || c == U'\r' || c == U'\n';
}

char16_t lower(char16_t c) {
    return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c - u'A' + u'a') : c;
}

// Appends `words` standing for `orig`: every character points at it, trailing blanks just after it.
void say(std::vector<ContextChar>& out, const ContextChar& orig, std::u32string_view words) {
    size_t end = words.size();
    while (end > 0 && isBlank(words[end - 1])) --end;
    for (size_t i = 0; i < words.size(); ++i) {
        const int32_t at = i < end ? orig.src : orig.srcEnd;
        out.push_back({words[i], at, orig.srcEnd});
    }
}
void sayAfter(std::vector<ContextChar>& out, int32_t at, std::u32string_view words) {
    for (char32_t w : words) out.push_back({w, at, at});
}

struct Number {
    size_t begin = 0;
    size_t end = 0;
    int value = 0;
};

// The run as numbers separated by single '/', '-' or '.' characters, with blanks around the whole.
std::optional<std::vector<Number>> numbersOf(const std::vector<ContextChar>& run, size_t& first, size_t& last) {
    first = 0;
    last = run.size();
    while (first < last && isBlank(run[first].c)) ++first;
    while (last > first && isBlank(run[last - 1].c)) --last;
    std::vector<Number> numbers;
    size_t i = first;
    char32_t separator = 0;
    while (i < last) {
        Number n;
        n.begin = i;
        while (i < last && isDigit(run[i].c) && i - n.begin < 6)
            n.value = n.value * 10 + static_cast<int>(run[i++].c - U'0');
        n.end = i;
        if (n.end == n.begin) return std::nullopt;
        numbers.push_back(n);
        if (i == last) break;
        const char32_t sep = run[i].c;
        if (sep != U'/' && sep != U'-' && sep != U'.') return std::nullopt;
        if (separator && sep != separator) return std::nullopt;
        separator = sep;
        ++i;
        if (i == last) return std::nullopt;
    }
    return numbers;
}

constexpr std::array<std::u32string_view, 12> kMonths{U"January",   U"February", U"March",    U"April",
                                                      U"May",       U"June",     U"July",     U"August",
                                                      U"September", U"October",  U"November", U"December"};

// Dates: the month number becomes its name, separators become spaces, the order stays as written.
bool readDate(ContextKind kind, std::vector<ContextChar>& run) {
    size_t first;
    size_t last;
    auto numbers = numbersOf(run, first, last);
    if (!numbers) return false;
    int monthAt = -1;
    size_t count = 0;
    switch (kind) {
        case ContextKind::DateMdy:
            monthAt = 0, count = 3;
            break;
        case ContextKind::DateDmy:
            monthAt = 1, count = 3;
            break;
        case ContextKind::DateYmd:
            monthAt = 1, count = 3;
            break;
        case ContextKind::DateYm:
            monthAt = 1, count = 2;
            break;
        case ContextKind::DateMy:
            monthAt = 0, count = 2;
            break;
        case ContextKind::DateDm:
            monthAt = 1, count = 2;
            break;
        case ContextKind::DateMd:
            monthAt = 0, count = 2;
            break;
        default:
            return false;
    }
    if (numbers->size() != count) return false;
    const Number& m = (*numbers)[static_cast<size_t>(monthAt)];
    if (m.value < 1 || m.value > 12) return false;
    std::vector<ContextChar> out(run.begin(), run.begin() + static_cast<std::ptrdiff_t>(first));
    for (size_t k = 0; k < numbers->size(); ++k) {
        const Number& n = (*numbers)[k];
        if (k > 0) out.push_back({U' ', run[n.begin - 1].src, run[n.begin - 1].srcEnd});
        if (static_cast<int>(k) == monthAt) {
            const ContextChar whole{0, run[n.begin].src, run[n.end - 1].srcEnd};
            say(out, whole, kMonths[static_cast<size_t>(m.value - 1)]);
        } else {
            out.insert(out.end(), run.begin() + static_cast<std::ptrdiff_t>(n.begin),
                       run.begin() + static_cast<std::ptrdiff_t>(n.end));
        }
    }
    out.insert(out.end(), run.begin() + static_cast<std::ptrdiff_t>(last), run.end());
    run = std::move(out);
    return true;
}

// "10:30" is read "10 30", "10:00" "10 o'clock", "10:05" "10 oh 5".
bool readTime(std::vector<ContextChar>& run) {
    std::vector<ContextChar> out;
    bool changed = false;
    for (size_t i = 0; i < run.size(); ++i) {
        const ContextChar& c = run[i];
        const bool between = c.c == U':' && i > 0 && isDigit(run[i - 1].c) && i + 2 < run.size() &&
                             isDigit(run[i + 1].c) && isDigit(run[i + 2].c);
        if (!between) {
            out.push_back(c);
            continue;
        }
        changed = true;
        out.push_back({U' ', c.src, c.srcEnd});
        if (run[i + 1].c == U'0' && run[i + 2].c == U'0') {
            say(out, {0, run[i + 1].src, run[i + 2].srcEnd}, U"o'clock");
            i += 2;
        } else if (run[i + 1].c == U'0') {
            say(out, run[i + 1], U"oh ");
            i += 1;
        }
    }
    if (changed) run = std::move(out);
    return changed;
}

// "$12.50" is read "12 dollars 50 cents".
bool readCurrency(std::vector<ContextChar>& run) {
    size_t first = 0;
    size_t last = run.size();
    while (first < last && isBlank(run[first].c)) ++first;
    while (last > first && isBlank(run[last - 1].c)) --last;
    if (last - first < 2 || run[first].c != U'$') return false;
    size_t i = first + 1;
    const size_t whole = i;
    while (i < last && (isDigit(run[i].c) || run[i].c == U',')) ++i;
    const size_t wholeEnd = i;
    if (wholeEnd == whole) return false;
    size_t cents = 0;
    size_t centsEnd = 0;
    if (i < last && run[i].c == U'.') {
        cents = ++i;
        while (i < last && isDigit(run[i].c)) ++i;
        centsEnd = i;
        if (centsEnd == cents) return false;
    }
    if (i != last) return false;
    std::vector<ContextChar> out(run.begin(), run.begin() + static_cast<std::ptrdiff_t>(first));
    for (size_t k = whole; k < wholeEnd; ++k) {
        if (run[k].c != U',') out.push_back(run[k]);
    }
    const bool one = wholeEnd - whole == 1 && run[whole].c == U'1';
    sayAfter(out, run[wholeEnd - 1].srcEnd, one ? U" dollar" : U" dollars");
    if (cents) {
        out.push_back({U' ', run[cents - 1].src, run[cents - 1].srcEnd});
        out.insert(out.end(), run.begin() + static_cast<std::ptrdiff_t>(cents),
                   run.begin() + static_cast<std::ptrdiff_t>(centsEnd));
        sayAfter(out, run[centsEnd - 1].srcEnd, U" cents");
    }
    out.insert(out.end(), run.begin() + static_cast<std::ptrdiff_t>(last), run.end());
    run = std::move(out);
    return true;
}

}  // namespace

ContextKind contextOf(std::u16string_view id) {
    static const std::array<std::pair<std::u16string_view, ContextKind>, 15> kIds{{
        {u"number_digit", ContextKind::Digits},
        {u"number_cardinal", ContextKind::Cardinal},
        {u"phone_number", ContextKind::Phone},
        {u"web_url", ContextKind::Url},
        {u"email_address", ContextKind::Email},
        {u"date_mdy", ContextKind::DateMdy},
        {u"date_dmy", ContextKind::DateDmy},
        {u"date_ymd", ContextKind::DateYmd},
        {u"date_ym", ContextKind::DateYm},
        {u"date_my", ContextKind::DateMy},
        {u"date_dm", ContextKind::DateDm},
        {u"date_md", ContextKind::DateMd},
        {u"time", ContextKind::Time},
        {u"currency", ContextKind::Currency},
        {u"number_currency", ContextKind::Currency},
    }};
    for (const auto& [name, kind] : kIds) {
        if (id.size() != name.size()) continue;
        bool same = true;
        for (size_t i = 0; i < id.size() && same; ++i) same = lower(id[i]) == name[i];
        if (same) return kind;
    }
    return ContextKind::None;
}

void readAs(ContextKind kind, std::vector<ContextChar>& run) {
    std::vector<ContextChar> out;
    switch (kind) {
        case ContextKind::None:
            return;
        case ContextKind::Digits:
        case ContextKind::Phone:
            // One digit at a time; in a phone number the separators become pauses.
            for (size_t i = 0; i < run.size(); ++i) {
                const ContextChar& c = run[i];
                const bool separator = kind == ContextKind::Phone &&
                                       (c.c == U'-' || c.c == U'.' || c.c == U'(' || c.c == U')' || c.c == U'/');
                if (separator) {
                    say(out, c, U", ");
                    continue;
                }
                out.push_back(c);
                if (isDigit(c.c) && i + 1 < run.size() && !isBlank(run[i + 1].c)) sayAfter(out, c.srcEnd, U" ");
            }
            break;
        case ContextKind::Cardinal:
            // Group separators are not read.
            for (size_t i = 0; i < run.size(); ++i) {
                const bool group =
                    run[i].c == U',' && i > 0 && i + 1 < run.size() && isDigit(run[i - 1].c) && isDigit(run[i + 1].c);
                if (!group) out.push_back(run[i]);
            }
            break;
        case ContextKind::Url:
        case ContextKind::Email:
            for (const ContextChar& c : run) {
                switch (c.c) {
                    case U'.':
                        say(out, c, U" dot ");
                        break;
                    case U'/':
                        say(out, c, U" slash ");
                        break;
                    case U':':
                        say(out, c, U" colon ");
                        break;
                    case U'@':
                        say(out, c, U" at ");
                        break;
                    case U'-':
                        say(out, c, U" dash ");
                        break;
                    case U'_':
                        say(out, c, U" underscore ");
                        break;
                    default:
                        out.push_back(c);
                }
            }
            break;
        case ContextKind::Time:
            readTime(run);
            return;
        case ContextKind::Currency:
            readCurrency(run);
            return;
        default:
            readDate(kind, run);
            return;
    }
    run = std::move(out);
}

}  // namespace speech::text
