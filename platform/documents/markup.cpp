// SPDX-License-Identifier: GPL-3.0-or-later
#include "documents/markup.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>
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

std::string folderOf(std::string_view name) {
    const size_t slash = name.rfind('/');
    return slash == std::string_view::npos ? std::string() : std::string(name.substr(0, slash + 1));
}

std::string resolveHref(std::string_view folder, std::string_view href) {
    href = href.substr(0, href.find_first_of("#?"));
    std::string decoded;
    for (size_t i = 0; i < href.size(); ++i) {
        if (href[i] == '%' && i + 2 < href.size() && std::isxdigit(static_cast<unsigned char>(href[i + 1])) &&
            std::isxdigit(static_cast<unsigned char>(href[i + 2]))) {
            decoded.push_back(static_cast<char>(std::stoi(std::string(href.substr(i + 1, 2)), nullptr, 16)));
            i += 2;
        } else {
            decoded.push_back(href[i]);
        }
    }
    const std::string joined = decoded.starts_with('/') ? decoded.substr(1) : std::string(folder) + decoded;
    std::vector<std::string_view> parts;
    std::string_view rest = joined;
    while (!rest.empty()) {
        const size_t slash = rest.find('/');
        const std::string_view part = rest.substr(0, slash);
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
    }
    std::string out;
    for (const auto& part : parts) {
        if (!out.empty()) out.push_back('/');
        out.append(part);
    }
    return out;
}

}  // namespace documents
