// SPDX-License-Identifier: GPL-3.0-or-later
// UTF-8 <-> UTF-16 for test literals.
#pragma once

#include <string>
#include <string_view>

#include "base/utf8.h"

namespace testing_support {

inline std::u16string u16(std::string_view utf8) {
    return base::fromUtf8(utf8);
}
inline std::string utf8(std::u16string_view text) {
    return base::toUtf8(text);
}

}  // namespace testing_support
