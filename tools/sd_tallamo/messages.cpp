// SPDX-License-Identifier: GPL-3.0-or-later
#include "tools/sd_tallamo/messages.h"

#include <algorithm>
#include <array>
#include <optional>

namespace sd_tallamo {

namespace {

bool isXmlSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// Where the content of a <speak> document lies: after its start tag and before its end tag. Nothing
// when the text is no <speak> document (the front end then reads it, and refuses it if it is
// malformed).
struct Content {
    size_t begin = 0;
    size_t end = 0;
};

// The end of the markup (declaration, comment, doctype, tag) at `i`, quotes respected; npos if open.
size_t markupEnd(std::string_view s, size_t i) {
    if (s.substr(i).starts_with("<!--")) {
        const size_t end = s.find("-->", i + 4);
        return end == std::string_view::npos ? end : end + 3;
    }
    char quote = 0;
    for (size_t k = i + 1; k < s.size(); ++k) {
        if (quote) {
            if (s[k] == quote) quote = 0;
        } else if (s[k] == '"' || s[k] == '\'') {
            quote = s[k];
        } else if (s[k] == '>') {
            return k + 1;
        }
    }
    return std::string_view::npos;
}

std::optional<Content> speakContent(std::string_view s) {
    size_t i = 0;
    for (;;) {
        while (i < s.size() && isXmlSpace(s[i])) ++i;
        if (i + 1 >= s.size() || s[i] != '<') return std::nullopt;
        const size_t end = markupEnd(s, i);
        if (end == std::string_view::npos) return std::nullopt;
        if (s[i + 1] != '?' && s[i + 1] != '!') {
            const bool speak = s.substr(i + 1, 5) == "speak" && (isXmlSpace(s[i + 6]) || s[i + 6] == '>');
            if (!speak || s[end - 2] == '/') return std::nullopt;
            const size_t close = s.rfind("</speak");
            if (close == std::string_view::npos || close < end) return std::nullopt;
            return Content{end, close};
        }
        i = end;
    }
}

// The elements around a message's content for the settings the voice has no property for.
std::string around(std::string content, const MessageOptions& options) {
    if (options.spelling) content = "<say-as interpret-as=\"characters\">" + content + "</say-as>";
    if (options.pitch != 0) {
        // A step of the voice's pitch is 5%; speech-dispatcher's 100 is the voice's highest, ten steps.
        const int percent = std::clamp(options.pitch, -100, 100) / 2;
        content = "<prosody pitch=\"" + std::string(percent > 0 ? "+" : "") + std::to_string(percent) + "%\">" +
                  content + "</prosody>";
    }
    return content;
}

std::string speak(const std::string& content) {
    return "<speak>" + content + "</speak>";
}

struct KeyName {
    std::string_view key;
    std::string_view chinese;
};

// Key names speech-dispatcher sends, read in Chinese by a Chinese voice (the rest are read as written,
// English words in a Chinese text being read by the English voice).
constexpr std::array<KeyName, 14> kChineseKeys{{{"space", "空格"},
                                                {"enter", "回车"},
                                                {"return", "回车"},
                                                {"backspace", "退格"},
                                                {"delete", "删除"},
                                                {"tab", "制表"},
                                                {"escape", "退出"},
                                                {"up", "上"},
                                                {"down", "下"},
                                                {"left", "左"},
                                                {"right", "右"},
                                                {"underscore", "下划线"},
                                                {"double-quote", "双引号"},
                                                {"shift", "上档"}}};

std::string keyWord(std::string_view name, bool chinese) {
    if (chinese) {
        for (const auto& k : kChineseKeys) {
            if (k.key == name) return std::string(k.chinese);
        }
    }
    std::string word(name);
    std::replace(word.begin(), word.end(), '-', ' ');
    return escapeXml(word);
}

std::string spelled(std::string_view character) {
    return "<say-as interpret-as=\"characters\">" + escapeXml(character) + "</say-as>";
}

// Whether `s` is one UTF-8 character.
bool oneCharacter(std::string_view s) {
    if (s.empty()) return false;
    const auto lead = static_cast<unsigned char>(s[0]);
    const size_t length = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 0;
    return length == s.size();
}

}  // namespace

std::string escapeXml(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&apos;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::string textMessage(std::string_view data, const MessageOptions& options) {
    const auto content = speakContent(data);
    if (!content) {
        // Not a <speak> document: plain text, unless it is markup the front end is to refuse.
        const size_t first = data.find_first_not_of(" \t\r\n");
        if (first != std::string_view::npos && data[first] == '<') return std::string(data);
        return speak(around(escapeXml(data), options));
    }
    if (!options.spelling && options.pitch == 0) return std::string(data);
    std::string out(data.substr(0, content->begin));
    out += around(std::string(data.substr(content->begin, content->end - content->begin)), options);
    out += data.substr(content->end);
    return out;
}

std::string charMessage(std::string_view character, bool chinese, const MessageOptions& options) {
    MessageOptions plain = options;
    plain.spelling = false;
    if (character == "space") return speak(around(keyWord("space", chinese), plain));
    return speak(around(spelled(character), plain));
}

std::string keyMessage(std::string_view key, bool chinese, const MessageOptions& options) {
    MessageOptions plain = options;
    plain.spelling = false;
    // Prefixes (shift_, control_alt_) come first, joined to the key by underscores.
    std::string out;
    while (!key.empty()) {
        const size_t cut = key.size() > 1 ? key.find('_', 1) : std::string_view::npos;
        const std::string_view part = key.substr(0, cut);
        if (!out.empty()) out += ' ';
        out += oneCharacter(part) ? spelled(part) : keyWord(part, chinese);
        if (cut == std::string_view::npos) break;
        key.remove_prefix(cut + 1);
    }
    return speak(around(out, plain));
}

std::string iconMessage(std::string_view icon, const MessageOptions& options) {
    std::string words(icon);
    std::replace(words.begin(), words.end(), '_', ' ');
    std::replace(words.begin(), words.end(), '-', ' ');
    MessageOptions plain = options;
    plain.spelling = false;
    return speak(around(escapeXml(words), plain));
}

}  // namespace sd_tallamo
