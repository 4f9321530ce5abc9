// SPDX-License-Identifier: GPL-3.0-or-later
// Internal to the text front end: which voice reads which script. A Mandarin voice reads runs of
// Latin words with the English voice and has its numbers rewritten into Mandarin words; a voice of
// another language reads runs of Chinese with the Mandarin voice. The caller's voice stays what it
// is: such a run only carries Style::otherScript, and its segment names the engine voice to use.
#pragma once

#include <memory>

#include "speech/text/mandarin/lexicon.h"
#include "speech/text/units.h"
#include "speech/text/user_lexicon.h"
#include "speech/text/voice_markup.h"

namespace speech::text {

bool isLatinLetter(char32_t c);

// Fills voices.mandarin and voices.otherScript for every voice of the table (other-script readers
// only when `mixedScript`).
void findScriptReaders(VoiceTable& voices, bool mixedScript);

// Wraps `inner` so that what it produces is read by the right voice: runs of another script carry
// Style::otherScript, and text a Mandarin voice reads has its numbers rewritten (readMandarin) and,
// with the Mandarin `lexicon`, its Chinese written as pinyin word by word (pinyin_writer.h), the
// user's pinyin entries winning; its tones those spoken, or with `citationTones` the dictionary's.
// Positions stay those of the caller's text.
std::unique_ptr<UnitProducer> makeScriptStage(std::unique_ptr<UnitProducer> inner,
                                              std::shared_ptr<const VoiceTable> voices,
                                              std::shared_ptr<const mandarin::MandarinLexicon> lexicon = nullptr,
                                              const UserLexicon* user = nullptr, bool citationTones = false);

}  // namespace speech::text
