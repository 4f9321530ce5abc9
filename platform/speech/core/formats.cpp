// SPDX-License-Identifier: GPL-3.0-or-later
#include "speech/core/formats.h"

#include <algorithm>
#include <cctype>
#include <string>

namespace speech::core {
namespace {

constexpr std::array<std::pair<std::string_view, FileCodec>, 8> kCodecNames{{{".wav", FileCodec::Wav},
                                                                             {".flac", FileCodec::Flac},
                                                                             {".ogg", FileCodec::OggVorbis},
                                                                             {".oga", FileCodec::OggVorbis},
                                                                             {".opus", FileCodec::OggOpus},
                                                                             {".mp3", FileCodec::Mp3},
                                                                             {".m4b", FileCodec::M4b},
                                                                             {".m4a", FileCodec::M4a}}};

struct RateName {
    int hz;
    std::string_view label;
};

constexpr std::array<RateName, 9> kRates{{
    {8000, "8kHz"},
    {11025, "11kHz"},
    {12000, "12kHz"},
    {16000, "16kHz"},
    {22050, "22kHz"},
    {24000, "24kHz"},
    {32000, "32kHz"},
    {44100, "44kHz"},
    {48000, "48kHz"},
}};

constexpr int32_t kFirstType = 4;
constexpr int32_t kLastType = 39;

// Names are built once; the table hands out views into these strings.
const std::array<std::string, 36>& formatNames() {
    static const std::array<std::string, 36> names = [] {
        std::array<std::string, 36> out;
        for (int i = 0; i < 36; ++i) {
            const int rate = i / 4;
            const bool wide = (i / 2) % 2 == 1;
            const bool stereo = i % 2 == 1;
            out[static_cast<size_t>(i)] = "SAFT" + std::string(kRates[static_cast<size_t>(rate)].label) +
                                          (wide ? "16Bit" : "8Bit") + (stereo ? "Stereo" : "Mono");
        }
        return out;
    }();
    return names;
}

}  // namespace

const std::array<FormatEntry, 36>& formatTable() {
    static const std::array<FormatEntry, 36> table = [] {
        std::array<FormatEntry, 36> out{};
        for (int i = 0; i < 36; ++i)
            out[static_cast<size_t>(i)] = FormatEntry{formatNames()[static_cast<size_t>(i)], kFirstType + i};
        return out;
    }();
    return table;
}

std::optional<WaveFormat> waveFormatOf(int32_t type) {
    if (type < kFirstType || type > kLastType) return std::nullopt;
    const int i = type - kFirstType;
    WaveFormat f;
    f.sampleRate = kRates[static_cast<size_t>(i / 4)].hz;
    f.bitsPerSample = (i / 2) % 2 == 1 ? 16 : 8;
    f.channels = i % 2 == 1 ? 2 : 1;
    return f;
}

std::string_view formatName(int32_t type) {
    if (type < kFirstType || type > kLastType) return {};
    return formatTable()[static_cast<size_t>(type - kFirstType)].name;
}

std::optional<int32_t> formatTypeByName(std::string_view name) {
    for (const auto& entry : formatTable())
        if (entry.name == name) return entry.type;
    return std::nullopt;
}

std::string lowerExtension(std::string_view path) {
    const size_t dot = path.rfind('.');
    if (dot == std::string_view::npos || path.find('/', dot) != std::string_view::npos) return {};
    std::string extension(path.substr(dot));
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return extension;
}

std::optional<FileCodec> fileCodecForName(std::string_view path) {
    return byExtension(path, kCodecNames);
}

std::string_view fileCodecExtensions() {
    return ".wav .flac .ogg .oga .opus .mp3 .m4b .m4a";
}

}  // namespace speech::core
