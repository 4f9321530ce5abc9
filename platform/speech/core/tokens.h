// SPDX-License-Identifier: GPL-3.0-or-later
// Object tokens (voices, audio outputs), token collections and the platform's settings category.
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace speech::core {

enum class TokenKind { Voice, AudioOutput };

// Describes one voice or one audio output. Tokens are values: copying one is cheap and safe.
class SpObjectToken {
public:
    SpObjectToken() = default;
    SpObjectToken(TokenKind kind, std::string id, std::string description,
                  std::map<std::string, std::string> attributes = {});

    TokenKind kind() const { return kind_; }
    // A stable identifier: for a voice the engine's voice name ("cmn-latn-pinyin"), for an audio output
    // the server's sink name.
    const std::string& Id() const { return id_; }
    // The readable, list-unique name (UTF-8). `locale` is accepted for the automation signature and ignored.
    std::string GetDescription(int locale = 0) const;
    // An attribute ("Language" as hexadecimal language ids separated by ';', "Gender", "Name", "Age",
    // "Vendor"), or empty.
    std::string GetAttribute(std::string_view name) const;
    const std::map<std::string, std::string>& attributes() const { return attributes_; }

    // Attribute matching as in "Gender=Female;Language=804": every listed pair must match
    // (case-insensitive names; for Language, any of the token's ids). Empty matches everything.
    bool matches(std::string_view requiredAttributes) const;
    // How many pairs of an optional list match (used to order candidates).
    int matchCount(std::string_view optionalAttributes) const;

    friend bool operator==(const SpObjectToken& a, const SpObjectToken& b) {
        return a.kind_ == b.kind_ && a.id_ == b.id_;
    }

private:
    TokenKind kind_ = TokenKind::Voice;
    std::string id_;
    std::string description_;
    std::map<std::string, std::string> attributes_;
};

// A zero-based collection of tokens.
class SpObjectTokens {
public:
    SpObjectTokens() = default;
    explicit SpObjectTokens(std::vector<SpObjectToken> tokens) : tokens_(std::move(tokens)) {}
    long Count() const { return static_cast<long>(tokens_.size()); }
    // Throws Error(kInvalidArg) for an index outside 0..Count()-1.
    const SpObjectToken& Item(long index) const;
    auto begin() const { return tokens_.begin(); }
    auto end() const { return tokens_.end(); }

private:
    std::vector<SpObjectToken> tokens_;
};

// A read-only key of the platform's settings.
class SpDataKey {
public:
    SpDataKey() = default;
    explicit SpDataKey(std::map<std::string, std::string> values) : values_(std::move(values)) {}
    // Throws Error(kNotFound) naming the value when it does not exist.
    std::string GetStringValue(std::string_view name) const;

private:
    std::map<std::string, std::string> values_;
};

// Opens a category of the platform's settings by its id. The one category the platform has is
// "HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Speech", whose "SDKPath" is the folder where the platform's
// samples are installed (ending in a path separator; samples/common/ under it).
class SpObjectTokenCategory {
public:
    // Throws Error(kNotFound) for an unknown id. `createIfNotExist` true is refused: the settings are
    // read-only.
    void SetId(std::string_view id, bool createIfNotExist = false);
    // Throws when no id has been set.
    SpDataKey GetDataKey(int location = 0) const;

private:
    std::string id_;
};

// Where the platform's own data lives (samples, settings): <executable's folder>/../share/tallamo,
// both installed and in the build tree, or empty when there is no such folder. Tests may point it
// elsewhere; an empty path makes the settings category have no "SDKPath".
std::string platformDataDir();
void setPlatformDataDirForTesting(std::string path);

}  // namespace speech::core
