// SPDX-License-Identifier: GPL-3.0-or-later
// Mandarin readings of numbers. Where the written form leaves a choice, the reading is the one a
// newsreader on the national news uses; forms that cannot be read better are left to the engine.
#include "speech/text/mandarin_numbers.h"

#include <unicode/uchar.h>

#include <algorithm>
#include <array>
#include <optional>
#include <string>
#include <string_view>

#include "speech/text/script_runs.h"

namespace speech::text {

namespace {

using Run = std::vector<ContextChar>;

constexpr std::u32string_view kDigitNames = U"零一二三四五六七八九";

// Chinese text often writes digits and signs in their fullwidth forms; they are matched as ASCII.
char32_t fold(char32_t c) {
    return c >= 0xFF01 && c <= 0xFF5E ? c - 0xFEE0 : c;
}

bool isDigit(char32_t c) {
    return c >= U'0' && c <= U'9';
}

// Digits one by one. In codes (telephone, ID and account numbers) 1 is 幺, as it is said so that it is
// not heard as 七; years and decimals say 一.
std::u32string digitNames(std::u32string_view digits, bool code = false) {
    std::u32string out;
    for (char32_t d : digits) out += code && d == U'1' ? U'幺' : kDigitNames[d - U'0'];
    return out;
}

std::u32string_view withoutLeadingZeros(std::u32string_view digits) {
    while (digits.size() > 1 && digits.front() == U'0') digits.remove_prefix(1);
    return digits;
}

int valueOf(std::u32string_view digits) {
    int v = 0;
    for (char32_t d : digits) v = v * 10 + static_cast<int>(d - U'0');
    return v;
}

// 1..9999 inside a number: 一千零五, 三百二十. Where the section opens the number, 10..19 are 十, 十一,
// ... and 2 before 千 is 两 (两千五百, as it is said).
std::u32string section(int v, bool leading) {
    static constexpr std::array<int, 4> kScale{1000, 100, 10, 1};
    static constexpr std::u32string_view kPlaces = U"千百十";
    std::u32string out;
    bool zero = false;
    for (size_t k = 0; k < kScale.size(); ++k) {
        const int d = v / kScale[k] % 10;
        if (d == 0) {
            zero = !out.empty();
            continue;
        }
        if (zero) out += U'零';
        zero = false;
        const bool first = leading && out.empty();
        if (first && k == 0 && d == 2) {
            out += U'两';
        } else if (!(first && k == 2 && d == 1)) {
            out += kDigitNames[static_cast<size_t>(d)];
        }
        if (k < kPlaces.size()) out += kPlaces[k];
    }
    return out;
}

// An integer of at most 16 digits, in sections of four: 一千二百万, 一亿零五, 两万.
std::u32string cardinal(std::u32string_view digits) {
    digits = withoutLeadingZeros(digits);
    if (digits == U"0") return U"零";
    static constexpr std::array<std::u32string_view, 4> kUnits{U"", U"万", U"亿", U"万亿"};
    std::u32string out;
    bool gap = false;
    for (size_t k = (digits.size() + 3) / 4; k-- > 0;) {
        const size_t end = digits.size() - 4 * k;
        const size_t begin = end >= 4 ? end - 4 : 0;
        const int v = valueOf(digits.substr(begin, end - begin));
        if (v == 0) {
            gap = !out.empty();
            continue;
        }
        if (!out.empty() && (gap || v < 1000)) out += U'零';
        gap = false;
        out += out.empty() && v == 2 && k > 0 ? std::u32string(U"两") : section(v, out.empty());
        out += kUnits[k];
    }
    return out;
}

// Codes are read digit by digit: a leading zero, or seven digits and more with no separators
// (telephone and ID numbers are written so; amounts that long carry separators).
bool isCode(std::u32string_view digits, bool grouped) {
    return (!grouped && digits.size() >= 7) || (digits.size() > 1 && digits.front() == U'0');
}

// An integer as written.
std::optional<std::u32string> integer(std::u32string_view digits, bool grouped) {
    if (isCode(digits, grouped)) return digitNames(digits, true);
    if (digits.size() > 16) return std::nullopt;
    return cardinal(digits);
}

// Minutes and seconds: 05 is 零五.
std::u32string clockField(std::u32string_view digits) {
    return digits.size() == 2 && digits[0] == U'0' && digits[1] != U'0' ? U"零" + cardinal(digits) : cardinal(digits);
}

struct Number {
    enum class Kind { Integer, Decimal, Date, Time, Ratio, Fraction, Version };
    Kind kind = Kind::Integer;
    std::vector<std::u32string> parts;  // digit strings: integer and fraction; date, time or version fields
    bool grouped = false;               // written with thousands separators
    char32_t sign = 0;                  // '-' or '+'
    char32_t per = 0;                   // '%' or '‰'
    size_t end = 0;                     // just after it in the run

    bool isQuantity() const { return kind == Kind::Integer || kind == Kind::Decimal; }
    bool isCode() const { return kind == Kind::Integer && speech::text::isCode(parts.front(), grouped); }
    // For the order of a range's ends.
    double value() const {
        if (kind == Kind::Time) return valueOf(parts[0]) * 60.0 + valueOf(parts[1]);
        double v = 0;
        for (char32_t d : parts[0]) v = v * 10 + (d - U'0');
        if (kind == Kind::Decimal) {
            double scale = 0.1;
            for (char32_t d : parts[1]) v += (d - U'0') * scale, scale /= 10;
        }
        return v;
    }
};

// What the words around a number decide about its reading.
struct Around {
    bool year = false;         // 年 follows four digits: 二零二六年
    bool money = false;        // an amount of money: trailing decimal zeros are not read
    bool measure = false;      // a measure word or unit follows: a lone 2 is 两
    bool temperature = false;  // below zero is 零下
};

struct Unit {
    std::u32string_view written;
    std::u32string_view read;
    bool temperature = false;
};

// Longer forms first, so the longest one written is taken.
constexpr std::array<Unit, 24> kUnits{{
    {U"km/h", U"千米每小时"},
    {U"m/s", U"米每秒"},
    {U"km²", U"平方千米"},
    {U"cm²", U"平方厘米"},
    {U"m²", U"平方米"},
    {U"cm³", U"立方厘米"},
    {U"m³", U"立方米"},
    {U"℃", U"摄氏度", true},
    {U"°C", U"摄氏度", true},
    {U"℉", U"华氏度", true},
    {U"°F", U"华氏度", true},
    {U"°", U"度"},
    // km and kg are read by their standard names, which the table of legal units and the news use
    // alike beside 千米每小时 (公里 and 公斤 are their everyday names).
    {U"km", U"千米"},
    {U"kg", U"千克"},
    {U"cm", U"厘米"},
    {U"mm", U"毫米"},
    {U"mg", U"毫克"},
    {U"ml", U"毫升"},
    {U"mL", U"毫升"},
    {U"m", U"米"},
    {U"g", U"克"},
    {U"L", U"升"},
    {U"t", U"吨"},
    {U"Hz", U"赫兹"},
}};

// Measure words after which a lone 2 is 两 (两个, 两年, 两点).
constexpr std::u32string_view kMeasureWords = U"个位名次天年种件条张岁倍人本辆台家只项份点层块元百千万亿";

std::u32string_view currencyName(char32_t c) {
    switch (c) {
        case U'¥':
        case U'￥':
            return U"元";
        case U'$':
        case U'＄':
            return U"美元";
        case U'€':
            return U"欧元";
        case U'£':
        case U'￡':
            return U"英镑";
        default:
            return {};
    }
}

struct Token {
    size_t end = 0;
    std::u32string reading;
};

class Reader {
public:
    Reader(const Run& run, char32_t before) : run_(run), before_(before) {}

    bool digitAt(size_t i) const { return isDigit(at(i)); }

    // A number with whatever is read with it: a sign, a currency, a range, a unit.
    std::optional<Token> token(size_t i) const {
        static constexpr std::u32string_view kStarts = U"+-−¥￥$€£￡Nn№";
        if (!digitAt(i) && kStarts.find(at(i)) == std::u32string_view::npos) return std::nullopt;
        if (glued(i)) return std::nullopt;
        if (auto t = numbered(i)) return t;
        const std::u32string_view currency = currencyName(run_[i].c);
        auto first = number(currency.empty() ? i : i + 1);
        if (!first) return std::nullopt;
        if (!currency.empty() && (first->sign || first->per || !first->isQuantity())) return std::nullopt;
        if (first->kind == Number::Kind::Integer && ordinalAt(first->end)) return std::nullopt;
        std::optional<Number> second = currency.empty() ? rangeEnd(*first) : std::nullopt;
        const size_t numbersEnd = second ? second->end : first->end;

        size_t end = numbersEnd;
        const Unit* unit = first->isQuantity() ? unitAt(numbersEnd, end) : nullptr;
        const char32_t next = at(end);
        Around around;
        around.year = !unit && next == U'年';
        around.money = !currency.empty() || next == U'元' || next == U'块' || (at(end + 1) == U'元' && isHan(next));
        around.measure =
            (unit ? !unit->temperature : kMeasureWords.find(next) != std::u32string_view::npos) && at(i - 1) != U'第';
        around.temperature = unit && unit->temperature;

        // "25-30%" is 百分之二十五到三十.
        char32_t per = 0;
        if (second && second->per && !first->per) std::swap(per, second->per);
        auto reading = read(*first, around);
        if (!reading) return std::nullopt;
        if (second) {
            auto to = read(*second, around);
            if (!to) return std::nullopt;
            *reading += U'到' + *to;
        }
        if (per) *reading = perName(per) + *reading;
        if (!currency.empty()) {
            // ¥3亿 is 三亿元.
            if (next == U'万' || next == U'亿') *reading += run_[end++].c;
            *reading += currency;
        }
        if (unit) *reading += unit->read;
        return Token{end, std::move(*reading)};
    }

    // Where the digits and separators that begin at `i` end, so that a number glued to a word is
    // passed over whole.
    size_t skipNumber(size_t i) const {
        while (digitAt(i) ||
               (std::u32string_view(U".,:/-").find(at(i)) != std::u32string_view::npos && digitAt(i + 1))) {
            ++i;
        }
        return i;
    }

private:
    char32_t at(size_t i) const {
        if (i == static_cast<size_t>(-1)) return fold(before_);
        return i < run_.size() ? fold(run_[i].c) : 0;
    }
    size_t digitsEnd(size_t i) const {
        while (digitAt(i)) ++i;
        return i;
    }
    std::u32string digits(size_t from, size_t to) const {
        std::u32string out;
        for (size_t i = from; i < to; ++i) out += at(i);
        return out;
    }
    // A number right after a Latin letter or a digit is part of a word ("MP3", "A4", "COVID-19").
    bool glued(size_t i) const {
        const char32_t p = at(i - 1);
        return isDigit(p) || isLatinLetter(p) || (p == U'-' && isLatinLetter(at(i - 2)));
    }
    // English ordinals ("1st", "4th") are left to the English voice.
    bool ordinalAt(size_t e) const {
        static constexpr std::array<std::u32string_view, 4> kSuffixes{U"st", U"nd", U"rd", U"th"};
        const std::u32string suffix{static_cast<char32_t>(u_tolower(static_cast<UChar32>(at(e)))),
                                    static_cast<char32_t>(u_tolower(static_cast<UChar32>(at(e + 1))))};
        return std::find(kSuffixes.begin(), kSuffixes.end(), suffix) != kSuffixes.end() && !isLatinLetter(at(e + 2));
    }

    static std::u32string perName(char32_t per) { return per == U'%' ? U"百分之" : U"千分之"; }

    // No.5 and №5: 五号.
    std::optional<Token> numbered(size_t i) const {
        size_t p = 0;
        if (run_[i].c == U'№') {
            p = i + 1;
        } else if ((at(i) == U'N' || at(i) == U'n') && (at(i + 1) == U'o' || at(i + 1) == U'O') && at(i + 2) == U'.') {
            p = i + 3;
        } else {
            return std::nullopt;
        }
        if (at(p) == U' ') ++p;
        auto n = number(p);
        if (!n || n->kind != Number::Kind::Integer || n->sign || n->per) return std::nullopt;
        auto reading = integer(n->parts[0], n->grouped);
        if (!reading) return std::nullopt;
        return Token{n->end, *reading + U"号"};
    }

    std::optional<Number> number(size_t i) const {
        Number n;
        const char32_t c = at(i);
        if ((c == U'-' || c == U'−' || c == U'+') && digitAt(i + 1)) {
            n.sign = c == U'+' ? U'+' : U'-';
            ++i;
        }
        if (!digitAt(i)) return std::nullopt;
        const size_t a = digitsEnd(i);
        const char32_t separator = at(a);
        if (!n.sign && a - i == 4 && (separator == U'-' || separator == U'/' || separator == U'.')) {
            if (auto d = date(i, a, separator)) return d;
        }
        if (!n.sign && a - i <= 2 && separator == U':') {
            if (auto t = timeOrRatio(i, a)) return t;
        }
        if (!n.sign && a - i <= 3 && separator == U'/') {
            if (auto f = fraction(i, a)) return f;
        }
        n.parts.push_back(digits(i, a));
        size_t e = a;
        // Thousands separators: after one to three digits, groups of exactly three. Only the ASCII
        // comma: the fullwidth one is Chinese punctuation.
        if (a - i <= 3) {
            while (run_.size() > e && run_[e].c == U',' && digitsEnd(e + 1) == e + 4) {
                n.parts[0] += digits(e + 1, e + 4);
                n.grouped = true;
                e += 4;
            }
        }
        if (at(e) == U'.' && digitAt(e + 1)) {
            n.kind = Number::Kind::Decimal;
            const size_t f = digitsEnd(e + 1);
            n.parts.push_back(digits(e + 1, f));
            e = f;
            // Versions: 1.2.3 is 一点二点三.
            if (!n.grouped && at(e) == U'.' && digitAt(e + 1)) {
                n.kind = Number::Kind::Version;
                while (at(e) == U'.' && digitAt(e + 1)) {
                    const size_t g = digitsEnd(e + 1);
                    n.parts.push_back(digits(e + 1, g));
                    e = g;
                }
            }
        }
        if (n.kind != Number::Kind::Version && (at(e) == U'%' || at(e) == U'‰')) n.per = at(e++);
        n.end = e;
        return n;
    }

    // 2026-12-07, 2026/12/7, 2026.12.07; a year and a month alone only with '-' or '/' (2026.12 is a
    // decimal number).
    std::optional<Number> date(size_t i, size_t a, char32_t separator) const {
        const size_t m = digitsEnd(a + 1);
        if (m == a + 1 || m - (a + 1) > 2) return std::nullopt;
        const int month = valueOf(digits(a + 1, m));
        if (month < 1 || month > 12) return std::nullopt;
        Number n;
        n.kind = Number::Kind::Date;
        n.parts = {digits(i, a), digits(a + 1, m)};
        n.end = m;
        if (at(m) == separator && digitAt(m + 1)) {
            const size_t d = digitsEnd(m + 1);
            const int day = valueOf(digits(m + 1, std::min(d, m + 3)));
            if (d - (m + 1) > 2 || day < 1 || day > 31) return std::nullopt;
            n.parts.push_back(digits(m + 1, d));
            n.end = d;
        } else if (separator == U'.') {
            return std::nullopt;
        }
        return n;
    }

    // 3:45 and 14:30:15 are times; with minutes that are not two digits it is a score or a scale,
    // 3:2 being 三比二.
    std::optional<Number> timeOrRatio(size_t i, size_t a) const {
        const size_t m = digitsEnd(a + 1);
        if (m == a + 1 || m - (a + 1) > 3) return std::nullopt;
        Number n;
        n.parts = {digits(i, a), digits(a + 1, m)};
        n.end = m;
        const bool clock = m - (a + 1) == 2 && valueOf(n.parts[0]) <= 24 && valueOf(n.parts[1]) <= 59;
        n.kind = clock ? Number::Kind::Time : Number::Kind::Ratio;
        if (clock && at(m) == U':' && digitsEnd(m + 1) == m + 3 && valueOf(digits(m + 1, m + 3)) <= 59) {
            n.parts.push_back(digits(m + 1, m + 3));
            n.end = m + 3;
        }
        return n;
    }

    // 1/3 is 三分之一. Two numbers of up to three digits without leading zeros (dates are written
    // with the year first, and 01/05 is no fraction).
    std::optional<Number> fraction(size_t i, size_t a) const {
        const size_t d = digitsEnd(a + 1);
        if (d == a + 1 || d - (a + 1) > 3 || at(i) == U'0' || at(a + 1) == U'0' || at(d) == U'/') {
            return std::nullopt;
        }
        Number n;
        n.kind = Number::Kind::Fraction;
        n.parts = {digits(i, a), digits(a + 1, d)};
        n.end = d;
        return n;
    }

    // The second end of a range (3-5, 3~5, 9:00-17:00), read with 到. A '-' joins only numbers in
    // order that are not codes, so that 010-12345678 and a score like 3-2 are not ranges.
    std::optional<Number> rangeEnd(const Number& first) const {
        const char32_t op = at(first.end);
        if (op != U'-' && op != U'~' && op != U'～' && op != U'–' && op != U'〜') return std::nullopt;
        if (!digitAt(first.end + 1)) return std::nullopt;
        auto second = number(first.end + 1);
        if (!second) return std::nullopt;
        const bool sameKind = (first.isQuantity() && second->isQuantity()) ||
                              (first.kind == Number::Kind::Time && second->kind == Number::Kind::Time);
        if (!sameKind || first.isCode() || second->isCode()) return std::nullopt;
        if (op == U'-' && !(first.value() < second->value())) return std::nullopt;
        return second;
    }

    // A unit right after a number, or after one space ("5 km"). A unit written in letters must not
    // run on into a word ("5 mice").
    const Unit* unitAt(size_t e, size_t& end) const {
        const size_t p = at(e) == U' ' ? e + 1 : e;
        for (const Unit& u : kUnits) {
            size_t k = 0;
            while (k < u.written.size() && at(p + k) == u.written[k]) ++k;
            if (k < u.written.size()) continue;
            if (isLatinLetter(u.written.back()) && isLatinLetter(at(p + k))) continue;
            end = p + k;
            return &u;
        }
        return nullptr;
    }

    std::optional<std::u32string> read(const Number& n, const Around& around) const {
        std::u32string body;
        const auto& parts = n.parts;
        switch (n.kind) {
            case Number::Kind::Integer:
                if (around.year && parts[0].size() == 4 && !n.grouped && !n.sign && !n.per) {
                    body = digitNames(parts[0]);
                } else if (around.measure && parts[0] == U"2" && !n.sign && !n.per) {
                    body = U"两";
                } else if (auto r = integer(parts[0], n.grouped)) {
                    body = *r;
                } else {
                    return std::nullopt;
                }
                break;
            case Number::Kind::Decimal: {
                auto whole = integer(parts[0], true);
                if (!whole) return std::nullopt;
                std::u32string_view fraction = parts[1];
                if (around.money) {
                    while (!fraction.empty() && fraction.back() == U'0') fraction.remove_suffix(1);
                }
                body = *whole;
                if (!fraction.empty()) body += U'点' + digitNames(fraction);
                break;
            }
            case Number::Kind::Date:
                body = digitNames(parts[0]) + U'年' + cardinal(parts[1]) + U'月';
                if (parts.size() == 3) body += cardinal(parts[2]) + U'日';
                break;
            case Number::Kind::Time: {
                const std::u32string_view hour = withoutLeadingZeros(parts[0]);
                body = (hour == U"2" ? std::u32string(U"两") : cardinal(hour)) + U'点';
                if (parts.size() == 3 || parts[1] != U"00") body += clockField(parts[1]) + U'分';
                if (parts.size() == 3) body += clockField(parts[2]) + U'秒';
                break;
            }
            case Number::Kind::Ratio:
                body = cardinal(parts[0]) + U'比' + cardinal(parts[1]);
                break;
            case Number::Kind::Fraction:
                body = cardinal(parts[1]) + U"分之" + cardinal(parts[0]);
                break;
            case Number::Kind::Version:
                for (size_t k = 0; k < parts.size(); ++k) {
                    if (k > 0) body += U'点';
                    body += cardinal(parts[k]);
                }
                break;
        }
        if (n.per) body = perName(n.per) + body;
        if (n.sign == U'+') body = U'正' + body;
        if (n.sign == U'-') body = (around.temperature ? U"零下" : U"负") + body;
        return body;
    }

    const Run& run_;
    char32_t before_;
};

}  // namespace

void readMandarin(std::vector<ContextChar>& run, char32_t before) {
    if (std::none_of(run.begin(), run.end(), [](const ContextChar& c) { return isDigit(fold(c.c)); })) return;
    const Reader reader(run, before);
    Run out;
    out.reserve(run.size() + run.size() / 2);
    for (size_t i = 0; i < run.size();) {
        if (auto t = reader.token(i)) {
            const int32_t src = run[i].src;
            const int32_t srcEnd = run[t->end - 1].srcEnd;
            for (char32_t c : t->reading) out.push_back({c, src, srcEnd});
            i = t->end;
            continue;
        }
        const size_t end = reader.digitAt(i) ? reader.skipNumber(i) : i + 1;
        out.insert(out.end(), run.begin() + static_cast<std::ptrdiff_t>(i),
                   run.begin() + static_cast<std::ptrdiff_t>(end));
        i = end;
    }
    run = std::move(out);
}

}  // namespace speech::text
