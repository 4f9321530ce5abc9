// SPDX-License-Identifier: GPL-3.0-or-later
#include "documents/xml_reader.h"

#include <libxml/HTMLparser.h>
#include <libxml/entities.h>
#include <libxml/parser.h>
#include <unicode/ucnv.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <array>
#include <cstring>

#include "xml/push_parser.h"

namespace documents::detail {
namespace {

constexpr size_t kChunk = 64 * 1024;
constexpr size_t kSniffBytes = 1024;
// Distinct entity names a document may use; past this they all stand for one empty entity.
constexpr int kMaxEntityNames = 1024;

struct DocFree {
    void operator()(xmlDoc* doc) const { xmlFreeDoc(doc); }
};

encoding::ConverterPtr openConverter(const std::string& name) {
    UErrorCode status = U_ZERO_ERROR;
    encoding::ConverterPtr c(ucnv_open(name.c_str(), &status));
    if (U_FAILURE(status)) c.reset();
    return c;
}

bool startsWith(std::string_view s, std::string_view prefix) {
    return s.substr(0, prefix.size()) == prefix;
}

char lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

size_t findNoCase(std::string_view s, std::string_view what, size_t from = 0) {
    auto it = std::search(s.begin() + static_cast<std::ptrdiff_t>(std::min(from, s.size())), s.end(), what.begin(),
                          what.end(), [](char a, char b) { return lower(a) == lower(b); });
    return it == s.end() ? std::string_view::npos : static_cast<size_t>(it - s.begin());
}

// The value after `key` = in `s` (quoted or not), as an encoding name.
std::string declaredValue(std::string_view s, std::string_view key) {
    size_t at = findNoCase(s, key);
    if (at == std::string_view::npos) return {};
    at += key.size();
    while (at < s.size() && (s[at] == ' ' || s[at] == '=' || s[at] == '"' || s[at] == '\'')) ++at;
    size_t end = at;
    while (end < s.size() && (std::isalnum(static_cast<unsigned char>(s[end])) || std::strchr("-_.:", s[end]))) ++end;
    return std::string(s.substr(at, end - at));
}

// Decodes bytes in one encoding into UTF-8 through ICU, a piece at a time; invalid bytes become U+FFFD.
class Utf8Transcoder {
public:
    explicit Utf8Transcoder(const std::string& encoding) : from_(openConverter(encoding)), to_(openConverter("UTF-8")) {
        if (!from_) from_ = openConverter("UTF-8");
    }

    void convert(std::string_view bytes, bool flush, std::string& out) {
        const char* source = bytes.data();
        const char* sourceEnd = source + bytes.size();
        size_t used = out.size();
        for (;;) {
            out.resize(used + std::max<size_t>(bytes.size() * 2, 4096));
            char* target = out.data() + used;
            UErrorCode status = U_ZERO_ERROR;
            ucnv_convertEx(to_.get(), from_.get(), &target, out.data() + out.size(), &source, sourceEnd, pivot_.data(),
                           &pivotSource_, &pivotTarget_, pivot_.data() + pivot_.size(), reset_, flush, &status);
            reset_ = false;
            used = static_cast<size_t>(target - out.data());
            if (status != U_BUFFER_OVERFLOW_ERROR) break;
        }
        out.resize(used);
    }

private:
    encoding::ConverterPtr from_;
    encoding::ConverterPtr to_;
    std::array<UChar, 4096> pivot_{};
    UChar* pivotSource_ = pivot_.data();
    UChar* pivotTarget_ = pivot_.data();
    bool reset_ = true;
};

std::string_view view(const xmlChar* s) {
    return s ? std::string_view(reinterpret_cast<const char*>(s)) : std::string_view();
}

}  // namespace

std::optional<std::string_view> Attributes::get(std::string_view name) const {
    if (html_) {
        for (auto* a = html_; a[0]; a += 2) {
            if (view(a[0]) == name) return view(a[1]);
        }
    }
    for (int i = 0; i < xmlCount_; ++i) {
        const unsigned char* const* a = xml_ + 5 * i;
        if (view(a[0]) == name) {
            return std::string_view(reinterpret_cast<const char*>(a[3]), static_cast<size_t>(a[4] - a[3]));
        }
    }
    return std::nullopt;
}

std::vector<std::pair<std::string_view, std::string_view>> Attributes::all() const {
    std::vector<std::pair<std::string_view, std::string_view>> out;
    if (html_) {
        for (auto* a = html_; a[0]; a += 2) out.emplace_back(view(a[0]), view(a[1]));
    }
    for (int i = 0; i < xmlCount_; ++i) {
        const unsigned char* const* a = xml_ + 5 * i;
        out.emplace_back(view(a[0]),
                         std::string_view(reinterpret_cast<const char*>(a[3]), static_cast<size_t>(a[4] - a[3])));
    }
    return out;
}

encoding::Encoding sniffEncoding(std::string_view head, Syntax syntax, bool complete) {
    const encoding::Encoding found =
        encoding::detectEncoding(std::span(reinterpret_cast<const uint8_t*>(head.data()), head.size()), complete);
    if (found.source == encoding::EncodingSource::ByteOrderMark) return found;
    if (startsWith(head, std::string_view("<\0?\0", 4))) return {"UTF-16LE", 0, encoding::EncodingSource::Detected};
    if (startsWith(head, std::string_view("\0<\0?", 4))) return {"UTF-16BE", 0, encoding::EncodingSource::Detected};
    head = head.substr(0, kSniffBytes);
    std::string declared;
    if (startsWith(head, "<?xml")) declared = declaredValue(head.substr(0, head.find("?>")), "encoding");
    if (declared.empty() && syntax == Syntax::Html) {
        for (size_t meta = findNoCase(head, "<meta"); meta != std::string_view::npos && declared.empty();
             meta = findNoCase(head, "<meta", meta + 5)) {
            declared = declaredValue(head.substr(meta, head.find('>', meta) - meta), "charset");
        }
    }
    if (syntax == Syntax::Html) {
        // As browsers do: a meta tag cannot declare UTF-16 (it was read as ASCII), and Latin-1 means
        // windows-1252.
        std::string lowered = declared;
        std::transform(lowered.begin(), lowered.end(), lowered.begin(), lower);
        if (lowered.starts_with("utf-16")) declared = "UTF-8";
        if (lowered == "iso-8859-1" || lowered == "latin1" || lowered == "us-ascii" || lowered == "ascii") {
            declared = "windows-1252";
        }
    }
    if (!declared.empty() && openConverter(declared)) return {declared, 0, encoding::EncodingSource::Detected};
    if (syntax == Syntax::Html) return found;
    return {"UTF-8", 0, encoding::EncodingSource::Fallback};
}

struct MarkupParser::Impl {
    Syntax syntax;
    MarkupHandler& handler;
    std::optional<Utf8Transcoder> transcoder;
    std::string head;  // bytes held until there are enough to judge the encoding
    std::string utf8;
    std::optional<base::Fault> failure;
    std::unique_ptr<xmlDoc, DocFree> entities;  // what entity names resolve to
    int entityNames = 0;
    xml::PushParser context;  // last, so it is freed first

    Impl(Syntax s, MarkupHandler& h) : syntax(s), handler(h) {}

    static Impl& of(void* user) { return *static_cast<Impl*>(user); }

    // Runs a handler call; an exception (out of memory) must not cross libxml2, so it stops the parse.
    template <class F>
    static void guarded(void* user, F&& call) {
        Impl& self = of(user);
        if (self.failure) return;
        try {
            call(self.handler);
        } catch (const std::exception& e) {
            self.failure = base::Fault{base::errc::kUnexpected, e.what()};
            xmlStopParser(self.context.get());
        }
    }

    static void startXml(void* user, const xmlChar* name, const xmlChar*, const xmlChar*, int, const xmlChar**,
                         int count, int, const xmlChar** attributes) {
        Attributes a;
        a.xml_ = attributes;
        a.xmlCount_ = count;
        guarded(user, [&](MarkupHandler& h) { h.startElement(view(name), a); });
    }
    static void endXml(void* user, const xmlChar* name, const xmlChar*, const xmlChar*) {
        guarded(user, [&](MarkupHandler& h) { h.endElement(view(name)); });
    }
    static void startHtml(void* user, const xmlChar* name, const xmlChar** attributes) {
        static const xmlChar* const kNone[] = {nullptr};
        Attributes a;
        a.html_ = attributes ? attributes : kNone;
        guarded(user, [&](MarkupHandler& h) { h.startElement(view(name), a); });
    }
    static void endHtml(void* user, const xmlChar* name) {
        guarded(user, [&](MarkupHandler& h) { h.endElement(view(name)); });
    }
    static void characters(void* user, const xmlChar* text, int length) {
        guarded(user, [&](MarkupHandler& h) {
            h.characters(std::string_view(reinterpret_cast<const char*>(text), static_cast<size_t>(length)));
        });
    }
    // The five predefined entities; HTML's named characters (&nbsp; in a book); and for any other name,
    // declared or not, nothing: declared entities are never expanded nor external ones loaded. Every
    // name resolves, so an unknown one is not an error that would make libxml2 drop the entities
    // after it.
    static xmlEntityPtr entity(void* user, const xmlChar* name) {
        if (xmlEntityPtr predefined = xmlGetPredefinedEntity(name)) return predefined;
        Impl& self = of(user);
        if (!self.entities) {
            self.entities.reset(xmlNewDoc(reinterpret_cast<const xmlChar*>("1.0")));
            if (!self.entities) return nullptr;
            xmlCreateIntSubset(self.entities.get(), reinterpret_cast<const xmlChar*>("x"), nullptr, nullptr);
        }
        if (xmlEntityPtr known = xmlGetDocEntity(self.entities.get(), name)) return known;
        if (++self.entityNames > kMaxEntityNames) name = reinterpret_cast<const xmlChar*>("unknown");
        std::string content;
        if (const htmlEntityDesc* html = htmlEntityLookup(name)) {
            char utf8[U8_MAX_LENGTH];
            int32_t n = 0;
            U8_APPEND_UNSAFE(utf8, n, html->value);
            content.assign(utf8, static_cast<size_t>(n));
        }
        if (xmlEntityPtr known = xmlGetDocEntity(self.entities.get(), name)) return known;
        return xmlAddDocEntity(self.entities.get(), name, XML_INTERNAL_GENERAL_ENTITY, nullptr, nullptr,
                               reinterpret_cast<const xmlChar*>(content.c_str()));
    }
    static void ignoreError(void*, xmlErrorPtr) {}

    void create() {
        xmlSAXHandler sax = xml::saxHandler();
        sax.characters = characters;
        sax.cdataBlock = characters;
        sax.ignorableWhitespace = characters;
        sax.getEntity = entity;
        sax.serror = ignoreError;
        if (syntax == Syntax::Html) {
            sax.startElement = startHtml;
            sax.endElement = endHtml;
            context = xml::openHtmlParser(
                sax, this, HTML_PARSE_RECOVER | HTML_PARSE_NOERROR | HTML_PARSE_NOWARNING | HTML_PARSE_IGNORE_ENC);
        } else {
            sax.startElementNs = startXml;
            sax.endElementNs = endXml;
            context = xml::openXmlParser(
                sax, this, XML_PARSE_RECOVER | XML_PARSE_NOERROR | XML_PARSE_NOWARNING | XML_PARSE_IGNORE_ENC);
        }
        if (!context) throw std::bad_alloc();
    }
};

MarkupParser::MarkupParser(Syntax syntax, MarkupHandler& handler) : impl_(std::make_unique<Impl>(syntax, handler)) {
    impl_->create();
}

MarkupParser::~MarkupParser() = default;

base::Result<void> MarkupParser::feed(std::string_view bytes, bool last) {
    Impl& d = *impl_;
    if (d.failure) return *d.failure;
    if (!d.transcoder) {
        d.head.append(bytes);
        if (d.head.size() < kSniffBytes && !last) return {};
        const encoding::Encoding encoding = sniffEncoding(d.head, d.syntax, last);
        d.transcoder.emplace(encoding.name);
        d.head.erase(0, encoding.markLength);
        bytes = d.head;
    }
    d.utf8.clear();
    d.transcoder->convert(bytes, last, d.utf8);
    d.head.clear();
    const auto size = static_cast<int>(d.utf8.size());
    if (d.syntax == Syntax::Html) {
        htmlParseChunk(d.context.get(), d.utf8.data(), size, last);
    } else {
        xmlParseChunk(d.context.get(), d.utf8.data(), size, last);
    }
    if (d.failure) return *d.failure;
    return {};
}

base::Result<void> parseWhole(std::string_view bytes, Syntax syntax, MarkupHandler& handler) {
    MarkupParser parser(syntax, handler);
    return parser.feed(bytes, true);
}

MarkupPump::MarkupPump(std::unique_ptr<ByteStream> bytes, Syntax syntax, MarkupHandler& handler)
    : bytes_(std::move(bytes)), parser_(syntax, handler) {}

base::Result<bool> MarkupPump::step() {
    if (done_) return false;
    chunk_.resize(kChunk);
    auto got = bytes_->read(chunk_);
    if (!got) return got.fault();
    chunk_.resize(got.value());
    done_ = got.value() == 0;
    auto fed = parser_.feed(chunk_, done_);
    if (!fed) return fed.fault();
    return true;
}

}  // namespace documents::detail
