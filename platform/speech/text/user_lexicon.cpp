// SPDX-License-Identifier: GPL-3.0-or-later
#include "speech/text/user_lexicon.h"

#include <libxml/parser.h>
#include <libxml/parserInternals.h>
#include <libxml/xmlerror.h>
#include <unicode/uchar.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <mutex>
#include <optional>

#include "base/utf8.h"
#include "speech/text/mandarin/pinyin.h"
#include "speech/text/mandarin/reader.h"

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

struct ContextFree {
    void operator()(xmlParserCtxt* c) const {
        xmlFreeDoc(c->myDoc);
        xmlFreeParserCtxt(c);
    }
};

base::Result<std::vector<UserEntry>> PlsReader::parse(std::string_view bytes) {
    static std::once_flag once;
    std::call_once(once, xmlInitParser);
    xmlSAXHandler sax{};
    sax.initialized = XML_SAX2_MAGIC;
    sax.startElementNs = startElement;
    sax.endElementNs = endElement;
    sax.characters = characters;
    sax.cdataBlock = characters;
    sax.internalSubset = documentType;
    sax.getEntity = entity;
    sax.serror = error;
    std::unique_ptr<xmlParserCtxt, ContextFree> context(xmlCreatePushParserCtxt(&sax, this, nullptr, 0, nullptr));
    if (!context) return base::Fault{base::errc::kOutOfMemory, "no memory to read a lexicon"};
    context_ = context.get();
    xmlCtxtUseOptions(context_, XML_PARSE_NONET | XML_PARSE_NOWARNING);
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

base::Result<std::vector<UserEntry>> loadLexiconFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return base::Fault{base::errc::kFile, path + ": " + std::strerror(errno)};
    std::string bytes(kMaxLexiconBytes + 1, '\0');
    in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (in.bad()) return base::Fault{base::errc::kFile, path + ": the file could not be read"};
    bytes.resize(static_cast<size_t>(in.gcount()));
    auto entries = parseLexicon(bytes);
    if (!entries) return base::Fault{base::errc::kFile, path + ":" + entries.fault().message.substr(5)};
    return entries;
}

namespace {

// The value of attribute `name` in a tag's text, or nothing.
std::optional<std::string> tagAttribute(std::u16string_view tag, std::u16string_view name) {
    for (size_t at = tag.find(name); at != std::u16string_view::npos; at = tag.find(name, at + 1)) {
        if (at == 0 || !u_isUWhiteSpace(tag[at - 1])) continue;
        size_t i = at + name.size();
        while (i < tag.size() && u_isUWhiteSpace(tag[i])) ++i;
        if (i >= tag.size() || tag[i] != u'=') continue;
        ++i;
        while (i < tag.size() && u_isUWhiteSpace(tag[i])) ++i;
        if (i >= tag.size() || (tag[i] != u'"' && tag[i] != u'\'')) continue;
        const size_t end = tag.find(tag[i], i + 1);
        if (end == std::u16string_view::npos) return std::nullopt;
        return base::toUtf8(tag.substr(i + 1, end - i - 1));
    }
    return std::nullopt;
}

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

base::Result<std::vector<std::string>> ssmlLexiconPaths(std::u16string_view ssml) {
    std::vector<std::string> out;
    for (size_t at = ssml.find(u"<lexicon"); at != std::u16string_view::npos; at = ssml.find(u"<lexicon", at + 1)) {
        const size_t after = at + 8;
        if (after >= ssml.size() || !(u_isUWhiteSpace(ssml[after]) || ssml[after] == u'/')) continue;
        const size_t end = ssml.find(u'>', after);
        if (end == std::u16string_view::npos) break;
        if (auto uri = tagAttribute(ssml.substr(after, end - after), u"uri")) {
            std::string path = localPath(*uri);
            if (path.empty()) return base::Fault{base::errc::kFile, *uri + ": only a lexicon in a local file is read"};
            out.push_back(std::move(path));
        }
    }
    return out;
}

base::Result<std::shared_ptr<const UserLexicon>> withLexiconFiles(std::shared_ptr<const UserLexicon> base,
                                                                  const std::vector<std::string>& paths) {
    if (paths.empty()) return base;
    auto merged = std::make_shared<UserLexicon>();
    if (base) merged->entries = base->entries;
    for (const std::string& path : paths) {
        auto entries = loadLexiconFile(path);
        if (!entries) return entries.fault();
        for (auto& e : entries.value()) merged->entries.push_back(std::move(e));
    }
    return std::shared_ptr<const UserLexicon>(std::move(merged));
}

}  // namespace speech::text
