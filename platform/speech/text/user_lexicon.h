// SPDX-License-Identifier: GPL-3.0-or-later
// Internal to the text front end: the user's pronunciation lexicons, W3C Pronunciation Lexicon
// (PLS 1.0) files. A lexeme gives its graphemes either pinyin with tone digits (alphabet "x-pinyin",
// for Mandarin words: <phoneme>yue4 qing1</phoneme>) or an alias, other text to read instead ("SQL" read
// as "sequel"), in any language. Where a lexeme has several pronunciations the first is used, as PLS
// says. A lexicon file is untrusted input: it is read whole up to a bounded size, without a document
// type (so no entity is ever declared or expanded) and without the network.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.h"

namespace speech::text {

struct UserEntry {
    std::u32string grapheme;
    std::vector<std::string> pinyin;  // one syllable a character (see pinyin.h); empty for an alias
    std::u32string alias;
};

// Every entry of the lexicons loaded, in order: where two give the same grapheme, the later wins.
struct UserLexicon {
    std::vector<UserEntry> entries;
};

// The largest lexicon file read.
inline constexpr size_t kMaxLexiconBytes = 4 << 20;

// Parses a PLS document. A fault's message is "line N: reason" (kFile).
base::Result<std::vector<UserEntry>> parseLexicon(std::string_view bytes);

// Reads and parses the file at `path`. A fault's message is "PATH:N: reason", or "PATH: reason" when
// the file cannot be read (kFile).
base::Result<std::vector<UserEntry>> loadLexiconFile(const std::string& path);

// The lexicons an SSML text names (<lexicon uri="..."/>), as local paths: a path, or a file: URI. A
// URI of any other kind is refused (kFile): a lexicon is never fetched.
base::Result<std::vector<std::string>> ssmlLexiconPaths(std::u16string_view ssml);

// `base` with the entries of the files at `paths` after its own. A fault names the file, the line and
// the reason (kFile).
base::Result<std::shared_ptr<const UserLexicon>> withLexiconFiles(std::shared_ptr<const UserLexicon> base,
                                                                  const std::vector<std::string>& paths);

}  // namespace speech::text
