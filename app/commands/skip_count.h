// SPDX-License-Identifier: GPL-3.0-or-later
// The sentence count typed into SkipTxtBox, read as a 16-bit signed integer.
#pragma once

#include <QString>
#include <cstdint>

// Accepts surrounding blanks, an optional sign, decimal digits and at most one decimal point (at
// least one digit in all). A fraction is rounded to the nearest integer, an exact half to the even
// neighbour. Throws speech::Error (kInvalidArg) with a readable description when the text is empty,
// is not such a number, or rounds to a value outside -32768..32767.
int16_t parseSkipCount(const QString& text);
