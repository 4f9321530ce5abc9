// SPDX-License-Identifier: GPL-3.0-or-later
// Internal to the text front end: the producers of plain text, held whole or read a piece at a time
// from a stream, every character spoken with one style.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "speech/text/frontend.h"
#include "speech/text/units.h"

namespace speech::text {

// Plain text: every character spoken with the one `style`.
std::unique_ptr<UnitProducer> makePlainProducer(std::shared_ptr<const std::u16string> text, uint32_t style);

// Plain text read a piece at a time; positions count UTF-16 units from the start of the stream, and the
// stream's bookmarks become markers before the character they stand at.
std::unique_ptr<UnitProducer> makeStreamProducer(std::unique_ptr<TextStream> stream, uint32_t style);

}  // namespace speech::text
