// SPDX-License-Identifier: GPL-3.0-or-later
// Fuzzes the user-lexicon reader: any bytes as a PLS file must be either refused with a message or read
// into entries within the reader's limits (graphemes and aliases no longer than it takes, pinyin one
// syllable a character).
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "speech/text/mandarin/reader.h"
#include "speech/text/user_lexicon.h"

// The Mandarin reader's test of Han characters (mandarin/reader.cpp), the one part of the reader the
// lexicon reader calls besides its pinyin: the rest of the reader is not built into the target.
bool speech::text::mandarin::readsAsHan(char32_t c) {
    return (c >= 0x4E00 && c <= 0x9FFF) || (c >= 0x3400 && c <= 0x4DBF) || (c >= 0xF900 && c <= 0xFAFF) ||
           (c >= 0x20000 && c <= 0x3FFFF) || c == 0x3007;
}

namespace {

void check(bool ok) {
    if (!ok) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace speech::text;
    const auto entries = parseLexicon(std::string_view(reinterpret_cast<const char*>(data), size));
    if (!entries) {
        check(entries.fault().message.starts_with("line "));
        return 0;
    }
    for (const UserEntry& e : entries.value()) {
        check(!e.grapheme.empty());
        if (e.pinyin.empty()) {
            check(!e.alias.empty() && e.alias.size() <= kMaxAliasText && e.grapheme.size() <= kMaxAliasGrapheme);
        } else {
            check(e.pinyin.size() == e.grapheme.size() && e.grapheme.size() <= kMaxPinyinWord);
        }
    }
    return 0;
}
