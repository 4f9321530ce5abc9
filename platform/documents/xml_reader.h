// SPDX-License-Identifier: GPL-3.0-or-later
// Internal to the document readers: HTML and XML read through libxml2's push parsers with a SAX
// handler, so no tree is ever built and a file of any size is read a chunk at a time. The bytes are
// decoded to UTF-8 by ICU first, from the encoding the file shows (byte-order mark, XML declaration,
// HTML meta charset), with invalid sequences as U+FFFD; libxml2 is told to ignore the declarations.
// XML entities other than the five predefined ones are never expanded, external ones never loaded,
// and nothing is fetched from the network.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "documents/reader.h"
#include "encoding/decoder.h"

namespace documents::detail {

enum class Syntax { Xml, Html };

// An element's attributes as the parser gives them: local names and UTF-8 values.
class Attributes {
public:
    std::optional<std::string_view> get(std::string_view name) const;
    // Every attribute, name and value, in the order the element has them.
    std::vector<std::pair<std::string_view, std::string_view>> all() const;

private:
    friend class MarkupParser;
    const unsigned char* const* html_ = nullptr;  // name, value, name, value, ..., null
    const unsigned char* const* xml_ = nullptr;   // (local name, prefix, URI, value, value end) per attribute
    int xmlCount_ = 0;
};

class MarkupHandler {
public:
    virtual ~MarkupHandler() = default;
    // Element names are local names (no prefix); HTML names are lower case.
    virtual void startElement(std::string_view name, const Attributes& attributes) = 0;
    virtual void endElement(std::string_view name) = 0;
    virtual void characters(std::string_view utf8) = 0;
};

// A handler made of three functions, for the small files read whole (packages, navigation, styles).
struct CallbackHandler final : MarkupHandler {
    std::function<void(std::string_view, const Attributes&)> start = [](std::string_view, const Attributes&) {};
    std::function<void(std::string_view)> end = [](std::string_view) {};
    std::function<void(std::string_view)> text = [](std::string_view) {};
    void startElement(std::string_view name, const Attributes& attributes) override { start(name, attributes); }
    void endElement(std::string_view name) override { end(name); }
    void characters(std::string_view utf8) override { text(utf8); }
};

// The encoding of a markup file from its first bytes (`complete` when they are the whole file): a
// byte-order mark, else the XML declaration or an HTML meta charset; else UTF-8 for XML, as XML says,
// and for HTML what the platform's text decoder finds (UTF-8, ICU's detection, the fallback).
encoding::Encoding sniffEncoding(std::string_view head, Syntax syntax, bool complete);

class MarkupParser {
public:
    MarkupParser(Syntax syntax, MarkupHandler& handler);
    ~MarkupParser();
    MarkupParser(const MarkupParser&) = delete;
    MarkupParser& operator=(const MarkupParser&) = delete;

    // Parses the next bytes (the encoding is judged from the first ones); `last` ends the input. A
    // handler that threw stops the parse with a fault.
    base::Result<void> feed(std::string_view bytes, bool last);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Parses a small document held whole.
base::Result<void> parseWhole(std::string_view bytes, Syntax syntax, MarkupHandler& handler);

// Reads a byte stream through a parser, one chunk per step.
class MarkupPump {
public:
    MarkupPump(std::unique_ptr<ByteStream> bytes, Syntax syntax, MarkupHandler& handler);
    // Parses the next chunk; false once the stream has been read to its end.
    base::Result<bool> step();

private:
    std::unique_ptr<ByteStream> bytes_;
    MarkupParser parser_;
    std::string chunk_;
    bool done_ = false;
};

// A document that is one markup file (HTML), read a chunk at a time through a `Handler` that also
// knows the document's title and metadata.
template <class Handler>
class MarkupFileReader final : public Reader {
public:
    template <class... Args>
    MarkupFileReader(std::unique_ptr<ByteStream> bytes, Syntax syntax, Args&&... args)
        : handler_(std::forward<Args>(args)...), pump_(std::move(bytes), syntax, handler_) {}

    base::Result<bool> step() override { return pump_.step(); }
    std::string title() const override { return plainTitle(handler_.title()); }
    Metadata metadata() const override { return handler_.metadata(); }

private:
    Handler handler_;
    MarkupPump pump_;
};

template <class Handler, class... Args>
base::Result<std::unique_ptr<Reader>> openMarkupFile(const Input& input, const Options& options, Syntax syntax,
                                                     Args&&... args) {
    auto bytes = openInputStream(input, options.limits.maxExpandedBytes);
    if (!bytes) return bytes.fault();
    return std::unique_ptr<Reader>(
        std::make_unique<MarkupFileReader<Handler>>(std::move(bytes.value()), syntax, std::forward<Args>(args)...));
}

}  // namespace documents::detail
