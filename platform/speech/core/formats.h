// SPDX-License-Identifier: GPL-3.0-or-later
// The 36 PCM formats, numbered as SpeechAudioFormatType: value = 4 + 4*r + 2*w + c.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace speech::core {

struct WaveFormat {
    int sampleRate = 22050;  // Hz
    int bitsPerSample = 16;  // 8 (unsigned) or 16 (signed)
    int channels = 1;        // 1 or 2
    int bytesPerFrame() const { return bitsPerSample / 8 * channels; }
    int bytesPerSecond() const { return bytesPerFrame() * sampleRate; }
    friend bool operator==(const WaveFormat&, const WaveFormat&) = default;
};

struct FormatEntry {
    std::string_view name;  // "SAFT22kHz16BitMono"
    int32_t type;           // 22
};

inline constexpr int32_t SAFT22kHz16BitMono = 22;
inline constexpr int32_t kDefaultFormatType = SAFT22kHz16BitMono;

// All 36 entries in ascending type order (4..39).
const std::array<FormatEntry, 36>& formatTable();

// The wave format of a type number, or nothing for any value outside 4..39.
std::optional<WaveFormat> waveFormatOf(int32_t type);

// The name of a type ("SAFT8kHz8BitMono"), or empty for an unknown type.
std::string_view formatName(int32_t type);

// The type whose name is given, or nothing.
std::optional<int32_t> formatTypeByName(std::string_view name);

// The containers and codecs a file stream writes. WAV is the default: a plain WAV file, which becomes
// an RF64 file only when its audio passes the 4 GB that a plain WAV header can count. M4b and M4a are
// AAC in MP4: an audiobook (remembering its place in players) or a song.
enum class FileCodec { Wav, Flac, OggVorbis, OggOpus, Mp3, M4b, M4a };

// The extension of a file name (".wav"), in lower case; empty when the name has none.
std::string lowerExtension(std::string_view path);

// The value that `table` (lower-case extensions such as ".wav", each with its value) gives the file
// name `path`'s extension, in any case; nothing for another extension or none.
template <class Value, size_t N>
std::optional<Value> byExtension(std::string_view path,
                                 const std::array<std::pair<std::string_view, Value>, N>& table) {
    const std::string extension = lowerExtension(path);
    for (const auto& [name, value] : table) {
        if (name == extension) return value;
    }
    return std::nullopt;
}

// The codec a file name's extension asks for (.wav .flac .ogg .oga .opus .mp3 .m4b .m4a, in any case),
// or nothing.
std::optional<FileCodec> fileCodecForName(std::string_view path);
// The extensions fileCodecForName knows, for messages: ".wav .flac .ogg .oga .opus .mp3 .m4b .m4a".
std::string_view fileCodecExtensions();

}  // namespace speech::core
