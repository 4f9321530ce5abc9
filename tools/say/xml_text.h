// SPDX-License-Identifier: GPL-3.0-or-later
// Text put into the XML and XHTML documents tallamo-say writes (a DAISY book's).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace say {

// `text` as XML character data, fit also for an attribute value in double quotes, in UTF-8: the
// markup characters (& < > ") escaped, and what XML 1.0 cannot hold at all left out (the control
// characters other than the tab and the line breaks, U+FFFE and U+FFFF); an unpaired surrogate or an
// invalid UTF-8 sequence becomes U+FFFD.
std::string xmlText(std::u16string_view text);
std::string xmlText(std::string_view utf8);

// ` name="value"`: an attribute with its value as xmlText, and the space before it.
std::string xmlAttribute(std::string_view name, std::string_view value);

// `format` (a printf format holding one %zu) with `n`: the numbered names of a book's files and ids.
std::string numbered(const char* format, size_t n);

}  // namespace say
