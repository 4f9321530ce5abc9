// SPDX-License-Identifier: GPL-3.0-or-later
// Internal to the text front end: the user's pronunciation lexicons, W3C Pronunciation Lexicon
// (PLS 1.0) files. A lexeme gives its graphemes either pinyin with tone digits (alphabet "x-pinyin",
// for Mandarin words: <phoneme>yue4 qing1</phoneme>) or an alias, other text to read instead ("SQL" read
// as "sequel"), in any language. Where a lexeme has several pronunciations the first is used, as PLS
// says. A lexicon file is untrusted input: it is read whole up to a bounded size, only when it is a
// regular file, without a document type (so no entity is ever declared or expanded) and without the
// network.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/error.h"

namespace speech::text {

struct UserEntry {
    std::u32string grapheme;
    std::vector<std::string> pinyin;  // one syllable a character (see pinyin.h); empty for an alias
    std::u32string alias;
};

// A grapheme read as other text.
struct Alias {
    std::u32string grapheme;
    std::u32string alias;
};

// Every entry of the lexicons loaded, in order: where two give the same grapheme, the later wins.
struct UserLexicon {
    UserLexicon() = default;
    explicit UserLexicon(std::vector<UserEntry> all) : entries(std::move(all)) {}
    // A copy has entries of its own to add to, and makes its aliases afresh.
    UserLexicon(const UserLexicon& other) : entries(other.entries), files(other.files), bytes(other.bytes) {}
    UserLexicon& operator=(const UserLexicon&) = delete;

    std::vector<UserEntry> entries;
    size_t files = 0;    // the lexicon files read into it
    uint64_t bytes = 0;  // their size in all

    // The aliases in effect (the later entry for a grapheme wins; one with pinyin ends an alias),
    // sorted by grapheme, and the longest grapheme among them. Made once, by the first thread that
    // asks (the speech-dispatcher module's lexicon loader, off its protocol loop), then shared by
    // every text read with the lexicon.
    const std::vector<Alias>& aliases() const;
    size_t longestAlias() const;

private:
    struct Made {
        std::once_flag once;
        std::vector<Alias> aliases;
        size_t longest = 0;
    };
    const Made& made() const;
    std::shared_ptr<Made> made_ = std::make_shared<Made>();
};

// The largest lexicon file read, and the most read into one lexicon, in files and in bytes.
inline constexpr size_t kMaxLexiconBytes = 4 << 20;
inline constexpr size_t kMaxLexiconFiles = 8;
inline constexpr uint64_t kMaxLexiconBytesInAll = 16 << 20;
// The longest grapheme given pinyin and the longest given an alias, and the longest alias, in
// characters: they bound the work of matching them at each place of a text and what one match puts out.
inline constexpr size_t kMaxPinyinWord = 64;
inline constexpr size_t kMaxAliasGrapheme = 256;
inline constexpr size_t kMaxAliasText = 10000;

// Parses a PLS document. A fault's message is "line N: reason" (kFile).
base::Result<std::vector<UserEntry>> parseLexicon(std::string_view bytes);

struct LexiconFile {
    std::shared_ptr<const std::vector<UserEntry>> entries;
    uint64_t bytes = 0;  // the file's size
};

// Reads and parses the file at `path`. Only a regular file is read: it is looked at before it is
// opened, and opened without waiting (a FIFO, a socket, a device or a folder is refused, never read).
// A file read before and unchanged since (the same device, inode, size and modification time) is not
// read again. A fault's message is "PATH:N: reason", or "PATH: reason" when the file cannot be read
// (kFile).
base::Result<LexiconFile> loadLexiconFile(const std::string& path);

// The local paths of lexicon URIs (SSML's <lexicon uri>): a path, or a file: URI. A URI of any other
// kind is refused (kFile): a lexicon is never fetched.
base::Result<std::vector<std::string>> lexiconPaths(const std::vector<std::u16string>& uris);

// `base` with the entries of the files at `paths` after its own, within kMaxLexiconFiles and
// kMaxLexiconBytesInAll. A fault names the file, the line and the reason (kFile).
base::Result<std::shared_ptr<const UserLexicon>> withLexiconFiles(std::shared_ptr<const UserLexicon> base,
                                                                  const std::vector<std::string>& paths);

}  // namespace speech::text
