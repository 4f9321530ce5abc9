// SPDX-License-Identifier: GPL-3.0-or-later
#include "speech/text/user_lexicon.h"

#include <fcntl.h>
#include <libxml/parser.h>
#include <libxml/parserInternals.h>
#include <libxml/xmlerror.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <utility>

#include "base/child_process.h"
#include "base/utf8.h"
#include "speech/text/mandarin/pinyin.h"
#include "speech/text/mandarin/reader.h"
#include "xml/push_parser.h"

namespace speech::text {

namespace {

std::string_view view(const xmlChar* s) {
    return s ? std::string_view(reinterpret_cast<const char*>(s)) : std::string_view();
}

// Blanks at both ends and runs of blanks inside become one space (a grapheme split over lines).
std::string collapsed(std::string_view s) {
    std::string out;
    bool blank = false;
    for (char c : s) {
        if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
            blank = !out.empty();
            continue;
        }
        if (blank) out += ' ';
        blank = false;
        out += c;
    }
    return out;
}

bool isPinyinAlphabet(std::string_view a) {
    return a == "x-pinyin" || a == "X-PINYIN" || a == "x-Pinyin";
}

// A PLS document read through libxml2's SAX interface: the lexemes as they close, or the first fault.
class PlsReader {
public:
    base::Result<std::vector<UserEntry>> parse(std::string_view bytes);

private:
    struct Lexeme {
        std::vector<std::string> graphemes;
        std::optional<UserEntry> pronunciation;  // the first one
        int line = 0;
    };

    static PlsReader& of(void* user) { return *static_cast<PlsReader*>(user); }
    int line() const { return context_ ? xmlSAX2GetLineNumber(context_) : 0; }
    void fail(std::string reason, int at = 0) {
        if (fault_) return;
        fault_ = "line " + std::to_string(at ? at : line()) + ": " + reason;
        if (context_) xmlStopParser(context_);
    }

    void start(std::string_view name, const xmlChar** attributes, int count);
    void end(std::string_view name);
    void closeLexeme();
    std::optional<std::string> attribute(const xmlChar** attributes, int count, std::string_view name) const;

    static void startElement(void* user, const xmlChar* name, const xmlChar*, const xmlChar*, int, const xmlChar**,
                             int count, int, const xmlChar** attributes) {
        of(user).start(view(name), attributes, count);
    }
    static void endElement(void* user, const xmlChar* name, const xmlChar*, const xmlChar*) {
        of(user).end(view(name));
    }
    static void characters(void* user, const xmlChar* text, int length) {
        PlsReader& self = of(user);
        if (self.collecting_) self.text_.append(reinterpret_cast<const char*>(text), static_cast<size_t>(length));
    }
    // No document type: it is where entities would be declared, or an external one loaded.
    static void documentType(void* user, const xmlChar*, const xmlChar*, const xmlChar*) {
        of(user).fail("a document type declaration is not allowed in a lexicon");
    }
    static xmlEntityPtr entity(void* user, const xmlChar* name) {
        if (xmlEntityPtr predefined = xmlGetPredefinedEntity(name)) return predefined;
        of(user).fail("the entity \"" + std::string(view(name)) + "\" is not allowed in a lexicon");
        return nullptr;
    }
    static void error(void* user, xmlErrorPtr e) {
        if (!e || e->level < XML_ERR_ERROR) return;
        std::string message = e->message ? e->message : "malformed XML";
        while (!message.empty() && (message.back() == '\n' || message.back() == ' ')) message.pop_back();
        of(user).fail(message, e->line);
    }

    xmlParserCtxtPtr context_ = nullptr;
    std::optional<std::string> fault_;
    std::vector<UserEntry> entries_;
    std::string alphabet_ = "";  // the lexicon's own
    int depth_ = 0;
    std::optional<Lexeme> lexeme_;
    bool collecting_ = false;
    std::string text_;
    std::string elementAlphabet_;
};

std::optional<std::string> PlsReader::attribute(const xmlChar** attributes, int count, std::string_view name) const {
    for (int i = 0; i < count; ++i) {
        const xmlChar** a = attributes + 5 * i;  // local name, prefix, URI, value, value end
        if (view(a[0]) == name) {
            return std::string(reinterpret_cast<const char*>(a[3]), static_cast<size_t>(a[4] - a[3]));
        }
    }
    return std::nullopt;
}

void PlsReader::start(std::string_view name, const xmlChar** attributes, int count) {
    ++depth_;
    if (depth_ == 1) {
        if (name != "lexicon") return fail("the root element is <" + std::string(name) + ">, not <lexicon>");
        if (auto version = attribute(attributes, count, "version"); version && *version != "1.0") {
            return fail("version " + *version + " of the lexicon format is not supported (1.0 is)");
        }
        alphabet_ = attribute(attributes, count, "alphabet").value_or("");
    } else if (depth_ == 2) {
        if (name == "lexeme") {
            // Assigned rather than emplaced: clang 14 cannot default-construct a nested struct with
            // member initializers through std::optional::emplace.
            lexeme_ = Lexeme{};
            lexeme_->line = line();
        } else if (name != "meta" && name != "metadata") {
            fail("<" + std::string(name) + "> is not an element of a lexicon");
        }
    } else if (depth_ == 3 && lexeme_) {
        if (name != "grapheme" && name != "phoneme" && name != "alias" && name != "example") {
            return fail("<" + std::string(name) + "> is not an element of a lexeme");
        }
        collecting_ = true;
        text_.clear();
        elementAlphabet_ = attribute(attributes, count, "alphabet").value_or(alphabet_);
    } else if (collecting_) {
        fail("<" + std::string(name) + "> cannot stand inside a grapheme or a pronunciation");
    }
}

void PlsReader::end(std::string_view name) {
    const int depth = depth_--;
    if (depth == 2 && name == "lexeme" && lexeme_) return closeLexeme();
    if (depth != 3 || !collecting_) return;
    collecting_ = false;
    const std::string text = collapsed(text_);
    if (name == "grapheme") {
        if (text.empty()) return fail("an empty <grapheme>");
        lexeme_->graphemes.push_back(text);
        return;
    }
    if (name == "example" || lexeme_->pronunciation) return;
    if (text.empty()) return fail("an empty <" + std::string(name) + ">");
    UserEntry pronunciation;
    if (name == "alias") {
        pronunciation.alias = base::toUtf32(text);
        if (pronunciation.alias.size() > kMaxAliasText) {
            return fail("an <alias> of more than " + std::to_string(kMaxAliasText) + " characters");
        }
    } else if (!isPinyinAlphabet(elementAlphabet_)) {
        return fail(elementAlphabet_.empty()
                        ? "a <phoneme> needs alphabet=\"x-pinyin\""
                        : "the alphabet \"" + elementAlphabet_ + "\" is not supported (x-pinyin is)");
    } else if (!mandarin::normalisePinyin(text, pronunciation.pinyin)) {
        return fail("\"" + text + "\" is not pinyin with a tone digit after each syllable");
    }
    lexeme_->pronunciation = std::move(pronunciation);
}

// Pinyin written for a word, one syllable a character; an erhua syllable stands for its character
// and the 儿 after it ("nar3" for 哪儿).
std::optional<std::vector<std::string>> fitSyllables(std::u32string_view word, const std::vector<std::string>& in) {
    std::vector<std::string> out;
    size_t i = 0;
    for (const std::string& s : in) {
        if (i >= word.size()) return std::nullopt;
        const bool erhua = s.size() >= 3 && s[s.size() - 2] == 'r' && s.substr(0, s.size() - 1) != "er";
        if (erhua && i + 1 < word.size() && word[i + 1] == U'儿') {
            out.push_back(s.substr(0, s.size() - 2) + s.back());
            out.push_back("r5");
            i += 2;
        } else {
            out.push_back(s);
            ++i;
        }
    }
    if (i != word.size()) return std::nullopt;
    return out;
}

void PlsReader::closeLexeme() {
    Lexeme lexeme = std::move(*lexeme_);
    lexeme_.reset();
    if (lexeme.graphemes.empty()) return fail("a <lexeme> without a <grapheme>", lexeme.line);
    if (!lexeme.pronunciation) return fail("a <lexeme> without a <phoneme> or an <alias>", lexeme.line);
    for (const std::string& g : lexeme.graphemes) {
        UserEntry entry = *lexeme.pronunciation;
        entry.grapheme = base::toUtf32(g);
        const size_t longest = entry.pinyin.empty() ? kMaxAliasGrapheme : kMaxPinyinWord;
        if (entry.grapheme.size() > longest) {
            return fail("a <grapheme> of more than " + std::to_string(longest) + " characters" +
                            (entry.pinyin.empty() ? " for an alias" : " for pinyin"),
                        lexeme.line);
        }
        if (!entry.pinyin.empty()) {
            if (!std::all_of(entry.grapheme.begin(), entry.grapheme.end(), mandarin::readsAsHan)) {
                return fail("pinyin is for Han characters, and \"" + g + "\" has others", lexeme.line);
            }
            auto fitted = fitSyllables(entry.grapheme, entry.pinyin);
            if (!fitted) {
                return fail("the pinyin has " + std::to_string(entry.pinyin.size()) + " syllables for the " +
                                std::to_string(entry.grapheme.size()) + " characters of \"" + g + "\"",
                            lexeme.line);
            }
            entry.pinyin = std::move(*fitted);
        }
        entries_.push_back(std::move(entry));
    }
}

base::Result<std::vector<UserEntry>> PlsReader::parse(std::string_view bytes) {
    xmlSAXHandler sax = xml::saxHandler();
    sax.startElementNs = startElement;
    sax.endElementNs = endElement;
    sax.characters = characters;
    sax.cdataBlock = characters;
    sax.internalSubset = documentType;
    sax.getEntity = entity;
    sax.serror = error;
    xml::PushParser context = xml::openXmlParser(sax, this, XML_PARSE_NOWARNING);
    if (!context) return base::Fault{base::errc::kOutOfMemory, "no memory to read a lexicon"};
    context_ = context.get();
    xmlParseChunk(context_, bytes.data(), static_cast<int>(bytes.size()), 1);
    if (!fault_ && depth_ != 0) fail("the lexicon ends before its elements are closed");
    if (!fault_ && (context_->wellFormed == 0)) fail("malformed XML");
    context_ = nullptr;
    if (fault_) return base::Fault{base::errc::kFile, *fault_};
    return std::move(entries_);
}

}  // namespace

base::Result<std::vector<UserEntry>> parseLexicon(std::string_view bytes) {
    if (bytes.size() > kMaxLexiconBytes) {
        return base::Fault{base::errc::kFile, "line 1: a lexicon larger than " +
                                                  std::to_string(kMaxLexiconBytes >> 20) + " MB is not read"};
    }
    if (bytes.empty()) return base::Fault{base::errc::kFile, "line 1: the file is empty"};
    return PlsReader().parse(bytes);
}

namespace {

// What a file is, for a message saying why it is not read as a lexicon.
std::string kindOf(mode_t mode) {
    if (S_ISDIR(mode)) return "a folder";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISSOCK(mode)) return "a socket";
    if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
    return "not a regular file";
}

// A file as it was when it was parsed: unchanged while all four are.
struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    int64_t modifiedSeconds = 0;
    int64_t modifiedNanoseconds = 0;
    friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};

FileIdentity identityOf(const struct stat& st) {
    return {st.st_dev, st.st_ino, st.st_size, st.st_mtim.tv_sec, st.st_mtim.tv_nsec};
}

// The lexicons parsed last, so a message or a text that names one again (the module's SSML) does not
// read it again. A few are kept: what they hold is bounded by the limits of a lexicon.
class ParsedLexicons {
public:
    std::shared_ptr<const std::vector<UserEntry>> find(const FileIdentity& id) {
        std::lock_guard lock(mutex_);
        for (const auto& [key, entries] : kept_) {
            if (key == id) return entries;
        }
        return nullptr;
    }
    void keep(const FileIdentity& id, std::shared_ptr<const std::vector<UserEntry>> entries) {
        std::lock_guard lock(mutex_);
        if (kept_.size() >= kMaxLexiconFiles) kept_.erase(kept_.begin());
        kept_.emplace_back(id, std::move(entries));
    }

private:
    std::mutex mutex_;
    std::vector<std::pair<FileIdentity, std::shared_ptr<const std::vector<UserEntry>>>> kept_;
};

ParsedLexicons& parsedLexicons() {
    static ParsedLexicons cache;
    return cache;
}

base::Fault fileFault(const std::string& path, const std::string& reason) {
    return base::Fault{base::errc::kFile, path + ": " + reason};
}

}  // namespace

base::Result<LexiconFile> loadLexiconFile(const std::string& path) {
    // Looked at before it is opened, so that opening has no effect of its own (a tape, a terminal),
    // and opened without waiting, so that a file replaced by a FIFO in between cannot block.
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return fileFault(path, std::strerror(errno));
    if (!S_ISREG(st.st_mode)) return fileFault(path, kindOf(st.st_mode) + " is not read as a lexicon");
    const base::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (fd.get() < 0) return fileFault(path, std::strerror(errno));
    if (::fstat(fd.get(), &st) != 0) return fileFault(path, std::strerror(errno));
    if (!S_ISREG(st.st_mode)) return fileFault(path, kindOf(st.st_mode) + " is not read as a lexicon");
    if (st.st_size > static_cast<off_t>(kMaxLexiconBytes)) {
        return fileFault(path, "a lexicon larger than " + std::to_string(kMaxLexiconBytes >> 20) + " MB is not read");
    }
    const FileIdentity id = identityOf(st);
    if (auto entries = parsedLexicons().find(id))
        return LexiconFile{std::move(entries), static_cast<uint64_t>(st.st_size)};
    // Read to its end, or one byte past the limit (a file that grows while it is read).
    std::string bytes(kMaxLexiconBytes + 1, '\0');
    size_t got = 0;
    while (got < bytes.size()) {
        const ssize_t n = ::read(fd.get(), bytes.data() + got, bytes.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return fileFault(path, std::strerror(errno));
        if (n == 0) break;
        got += static_cast<size_t>(n);
    }
    bytes.resize(got);
    auto entries = parseLexicon(bytes);
    if (!entries) return base::Fault{base::errc::kFile, path + ":" + entries.fault().message.substr(5)};
    auto parsed = std::make_shared<const std::vector<UserEntry>>(std::move(entries.value()));
    parsedLexicons().keep(id, parsed);
    return LexiconFile{std::move(parsed), got};
}

namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// A local path from a lexicon's URI (a path, or file: with %-escapes); empty for any other scheme.
std::string localPath(const std::string& uri) {
    std::string rest = uri;
    if (rest.starts_with("file://")) {
        rest = rest.substr(7);
        if (!rest.starts_with("/")) return {};  // file://host/...
    } else if (rest.starts_with("file:")) {
        rest = rest.substr(5);
    } else if (const size_t colon = rest.find(':'); colon != std::string::npos && rest.find('/') > colon) {
        return {};  // http:, https:, ...
    }
    std::string out;
    for (size_t i = 0; i < rest.size(); ++i) {
        if (rest[i] == '%' && i + 2 < rest.size() && hexValue(rest[i + 1]) >= 0 && hexValue(rest[i + 2]) >= 0) {
            out += static_cast<char>(hexValue(rest[i + 1]) * 16 + hexValue(rest[i + 2]));
            i += 2;
        } else {
            out += rest[i];
        }
    }
    return out;
}

}  // namespace

base::Result<std::vector<std::string>> lexiconPaths(const std::vector<std::u16string>& uris) {
    std::vector<std::string> out;
    for (const std::u16string& u : uris) {
        const std::string uri = base::toUtf8(u);
        std::string path = localPath(uri);
        if (path.empty()) return base::Fault{base::errc::kFile, uri + ": only a lexicon in a local file is read"};
        out.push_back(std::move(path));
    }
    return out;
}

const UserLexicon::Made& UserLexicon::made() const {
    std::call_once(made_->once, [this] {
        std::map<std::u32string, std::u32string> aliases;  // the later entry for a grapheme wins
        for (const UserEntry& e : entries) {
            if (e.pinyin.empty() && !e.alias.empty() && !e.grapheme.empty()) {
                aliases[e.grapheme] = e.alias;
            } else {
                aliases.erase(e.grapheme);
            }
        }
        made_->aliases.reserve(aliases.size());  // a map's order is the graphemes' order
        for (auto& [grapheme, alias] : aliases) {
            made_->longest = std::max(made_->longest, grapheme.size());
            made_->aliases.push_back({grapheme, std::move(alias)});
        }
    });
    return *made_;
}

const std::vector<Alias>& UserLexicon::aliases() const {
    return made().aliases;
}

size_t UserLexicon::longestAlias() const {
    return made().longest;
}

namespace {

// The lexicon merged last, with what it was merged from: the module reads a message's lexicons off
// its protocol loop, and the Speak that follows on the loop then finds them merged (and their aliases
// made), instead of merging megabytes of entries where a STOP waits.
struct LastMerged {
    std::mutex mutex;
    std::weak_ptr<const UserLexicon> base;
    const UserLexicon* basePointer = nullptr;
    std::vector<FileIdentity> files;
    std::vector<std::string> paths;
    std::shared_ptr<const UserLexicon> merged;
};

LastMerged& lastMerged() {
    static LastMerged last;
    return last;
}

}  // namespace

base::Result<std::shared_ptr<const UserLexicon>> withLexiconFiles(std::shared_ptr<const UserLexicon> base,
                                                                  const std::vector<std::string>& paths) {
    if (paths.empty()) return base;
    std::vector<FileIdentity> identities;
    for (const std::string& path : paths) {
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) break;
        identities.push_back(identityOf(st));
    }
    const bool cacheable = identities.size() == paths.size();
    LastMerged& last = lastMerged();
    if (cacheable) {
        std::lock_guard lock(last.mutex);
        const bool sameBase = base ? last.base.lock() == base : last.basePointer == nullptr && last.merged;
        if (last.merged && sameBase && last.paths == paths && last.files == identities) return last.merged;
    }
    auto merged = std::make_shared<UserLexicon>(base ? UserLexicon(*base) : UserLexicon());
    for (const std::string& path : paths) {
        if (merged->files >= kMaxLexiconFiles) {
            return fileFault(path, "more than " + std::to_string(kMaxLexiconFiles) + " lexicon files are not read");
        }
        auto file = loadLexiconFile(path);
        if (!file) return file.fault();
        merged->files += 1;
        merged->bytes += file.value().bytes;
        if (merged->bytes > kMaxLexiconBytesInAll) {
            return fileFault(path, "lexicons of more than " + std::to_string(kMaxLexiconBytesInAll >> 20) +
                                       " MB in all are not read");
        }
        const auto& entries = *file.value().entries;
        merged->entries.insert(merged->entries.end(), entries.begin(), entries.end());
    }
    std::shared_ptr<const UserLexicon> result(std::move(merged));
    if (cacheable) {
        std::lock_guard lock(last.mutex);
        last.base = base;
        last.basePointer = base.get();
        last.files = std::move(identities);
        last.paths = paths;
        last.merged = result;
    }
    return result;
}

}  // namespace speech::text
