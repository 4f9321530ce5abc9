// SPDX-License-Identifier: GPL-3.0-or-later
#include "speech/core/tokens.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <filesystem>
#include <mutex>
#include <optional>
#include <system_error>

#include "base/error.h"
#include "base/paths.h"

namespace speech::core {

namespace {

bool equalsIgnoreCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
    return s;
}

std::vector<std::string_view> split(std::string_view s, char sep) {
    std::vector<std::string_view> parts;
    size_t start = 0;
    for (;;) {
        const size_t at = s.find(sep, start);
        parts.push_back(trim(s.substr(start, at == std::string_view::npos ? std::string_view::npos : at - start)));
        if (at == std::string_view::npos) break;
        start = at + 1;
    }
    return parts;
}

std::optional<unsigned long> parseHex(std::string_view s) {
    s = trim(s);
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) s.remove_prefix(2);
    if (s.empty()) return std::nullopt;
    unsigned long value = 0;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value, 16);
    if (ec != std::errc() || end != s.data() + s.size()) return std::nullopt;
    return value;
}

bool isLanguage(std::string_view name) {
    return equalsIgnoreCase(name, "Language");
}

// One condition of an attribute list: "Name=Value", "Name!=Value" or "Name" (must be present).
// A Language condition may list several ids ("Language=409;9"); any of them matches.
struct Condition {
    std::string_view name;
    std::vector<std::string_view> values;
    bool negated = false;
    bool presence = false;
};

std::vector<Condition> parseConditions(std::string_view list) {
    std::vector<Condition> out;
    for (std::string_view part : split(list, ';')) {
        if (part.empty()) continue;
        const size_t eq = part.find('=');
        if (eq == std::string_view::npos) {
            // A bare hex number right after a Language condition is another id for it.
            if (!out.empty() && isLanguage(out.back().name) && !out.back().presence && parseHex(part)) {
                out.back().values.push_back(part);
                continue;
            }
            out.push_back(Condition{part, {}, false, true});
            continue;
        }
        Condition c;
        const bool negated = eq > 0 && part[eq - 1] == '!';
        c.name = trim(part.substr(0, negated ? eq - 1 : eq));
        c.values.push_back(trim(part.substr(eq + 1)));
        c.negated = negated;
        out.push_back(c);
    }
    return out;
}

}  // namespace

SpObjectToken::SpObjectToken(TokenKind kind, std::string id, std::string description,
                             std::map<std::string, std::string> attributes)
    : kind_(kind), id_(std::move(id)), description_(std::move(description)), attributes_(std::move(attributes)) {}

std::string SpObjectToken::GetDescription(int /*locale*/) const {
    return description_;
}

std::string SpObjectToken::GetAttribute(std::string_view name) const {
    for (const auto& [key, value] : attributes_)
        if (equalsIgnoreCase(key, name)) return value;
    return {};
}

namespace {

bool conditionHolds(const SpObjectToken& token, const Condition& c) {
    bool present = false;
    for (const auto& [key, value] : token.attributes())
        if (equalsIgnoreCase(key, c.name)) present = true;
    if (c.presence) return present;
    const std::string actual = token.GetAttribute(c.name);
    bool equal = false;
    if (isLanguage(c.name)) {
        for (std::string_view have : split(actual, ';')) {
            const auto haveId = parseHex(have);
            for (std::string_view want : c.values) {
                const auto wantId = parseHex(want);
                if (haveId && wantId && *haveId == *wantId) equal = true;
            }
        }
    } else {
        equal = present && equalsIgnoreCase(actual, c.values.front());
    }
    return c.negated ? !equal : equal;
}

}  // namespace

bool SpObjectToken::matches(std::string_view requiredAttributes) const {
    for (const Condition& c : parseConditions(requiredAttributes))
        if (!conditionHolds(*this, c)) return false;
    return true;
}

int SpObjectToken::matchCount(std::string_view optionalAttributes) const {
    int count = 0;
    for (const Condition& c : parseConditions(optionalAttributes))
        if (conditionHolds(*this, c)) ++count;
    return count;
}

const SpObjectToken& SpObjectTokens::Item(long index) const {
    if (index < 0 || index >= Count()) {
        const std::string range =
            tokens_.empty() ? "the collection is empty" : "valid indexes are 0 to " + std::to_string(Count() - 1);
        throw base::Error(base::errc::kInvalidArg, "There is no item " + std::to_string(index) + ": " + range + ".");
    }
    return tokens_[static_cast<size_t>(index)];
}

std::string SpDataKey::GetStringValue(std::string_view name) const {
    for (const auto& [key, value] : values_)
        if (equalsIgnoreCase(key, name)) return value;
    throw base::Error(base::errc::kNotFound, "The speech setting \"" + std::string(name) + "\" does not exist.");
}

namespace {

constexpr std::string_view kSpeechCategory = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Speech";

std::mutex& dataDirMutex() {
    static std::mutex m;
    return m;
}

std::optional<std::string>& dataDirOverride() {
    static std::optional<std::string> dir;
    return dir;
}

std::string installedDataDir() {
    const auto exeDir = base::executableDir();
    if (exeDir.empty()) return {};
    const auto dir = exeDir / ".." / "share" / "tallamo";
    std::error_code ec;
    if (!std::filesystem::is_directory(dir, ec)) return {};
    return std::filesystem::weakly_canonical(dir, ec).string();
}

}  // namespace

std::string platformDataDir() {
    {
        std::lock_guard lock(dataDirMutex());
        if (dataDirOverride()) return *dataDirOverride();
    }
    return installedDataDir();
}

void setPlatformDataDirForTesting(std::string path) {
    std::lock_guard lock(dataDirMutex());
    dataDirOverride() = std::move(path);
}

void SpObjectTokenCategory::SetId(std::string_view id, bool createIfNotExist) {
    if (createIfNotExist)
        throw base::Error(base::errc::kAccessDenied, "The speech settings are read-only: the category \"" +
                                                         std::string(id) + "\" cannot be created.");
    if (!equalsIgnoreCase(id, kSpeechCategory))
        throw base::Error(base::errc::kNotFound, "The speech settings have no category \"" + std::string(id) + "\".");
    id_ = std::string(kSpeechCategory);
}

SpDataKey SpObjectTokenCategory::GetDataKey(int /*location*/) const {
    if (id_.empty()) throw base::Error(base::errc::kNotFound, "No speech settings category has been opened.");
    std::map<std::string, std::string> values;
    const std::string dir = platformDataDir();
    std::error_code ec;
    if (!dir.empty() && std::filesystem::is_directory(std::filesystem::path(dir) / "samples" / "common", ec)) {
        std::string path = dir;
        if (path.back() != '/') path += '/';
        values["SDKPath"] = path;
    }
    return SpDataKey(std::move(values));
}

}  // namespace speech::core
