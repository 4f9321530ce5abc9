// SPDX-License-Identifier: GPL-3.0-or-later
// The names the platform's users know it by: the API's error (base's), and the types of its public
// surface (object tokens, events, formats, the speak and event flags, a book's tags), which are its
// core's. A program writes speech::Error, speech::SpObjectToken or speech::SVSFIsXML and need not know
// which part of the platform defines them.
#pragma once

#include "base/error.h"
#include "speech/core/book_tags.h"
#include "speech/core/constants.h"
#include "speech/core/events.h"
#include "speech/core/formats.h"
#include "speech/core/languages.h"
#include "speech/core/tokens.h"

namespace speech {

using base::Error;
using base::Fault;
using base::Result;
namespace errc = base::errc;

using namespace core;

}  // namespace speech
