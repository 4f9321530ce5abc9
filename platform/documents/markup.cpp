// SPDX-License-Identifier: GPL-3.0-or-later
#include "documents/markup.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "documents/xml_reader.h"

namespace documents {
namespace {

// The bytes in the chunks a reader's archive entry gives, so that the parse is the readers' own.
class BytesStream final : public detail::ByteStream {
public:
    explicit BytesStream(std::string_view bytes) : bytes_(bytes) {}
    base::Result<size_t> read(std::span<char> out) override {
        const size_t n = std::min(out.size(), bytes_.size());
        std::memcpy(out.data(), bytes_.data(), n);
        bytes_.remove_prefix(n);
        return n;
    }

private:
    std::string_view bytes_;
};

class Relay final : public detail::MarkupHandler {
public:
    explicit Relay(MarkupVisitor& visitor) : visitor_(visitor) {}
    void startElement(std::string_view name, const detail::Attributes& attributes) override {
        const auto all = attributes.all();
        visitor_.start(name, all);
    }
    void endElement(std::string_view name) override { visitor_.end(name); }
    void characters(std::string_view utf8) override { visitor_.text(utf8); }

private:
    MarkupVisitor& visitor_;
};

}  // namespace

base::Result<void> walkMarkup(std::string_view bytes, MarkupVisitor& visitor) {
    Relay relay(visitor);
    detail::MarkupPump pump(std::make_unique<BytesStream>(bytes), detail::Syntax::Html, relay);
    for (;;) {
        auto stepped = pump.step();
        if (!stepped) return stepped.fault();
        if (!stepped.value()) return {};
    }
}

bool hasToken(std::string_view list, std::string_view word) {
    size_t at = 0;
    while ((at = list.find(word, at)) != std::string_view::npos) {
        const size_t end = at + word.size();
        if ((at == 0 || list[at - 1] == ' ') && (end == list.size() || list[end] == ' ')) return true;
        at = end;
    }
    return false;
}

}  // namespace documents
