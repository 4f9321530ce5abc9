// SPDX-License-Identifier: GPL-3.0-or-later
// Fuzzes the user-lexicon reader: any bytes as a PLS file must be either refused with a message or read
// into entries within the reader's limits (graphemes and aliases no longer than it takes, pinyin one
// syllable a character).
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "speech/text/user_lexicon.h"

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
