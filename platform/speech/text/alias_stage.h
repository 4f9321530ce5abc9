// SPDX-License-Identifier: GPL-3.0-or-later
// Internal to the text front end: the user's aliases (user_lexicon.h), read instead of what they stand
// for. A grapheme that starts or ends with a letter or digit of an alphabet matches whole words only
// ("SQL" is not found in "MySQL"); one of Han characters matches wherever it is written. The alias's
// characters take the source range of the whole grapheme, so it stays one word that points at what
// the user wrote.
#pragma once

#include <memory>

#include "speech/text/units.h"
#include "speech/text/user_lexicon.h"

namespace speech::text {

// Wraps `inner` so that the aliases of `user` are read in place of their graphemes; returns `inner`
// itself when there are none.
std::unique_ptr<UnitProducer> makeAliasStage(std::unique_ptr<UnitProducer> inner,
                                             std::shared_ptr<const UserLexicon> user);

}  // namespace speech::text
