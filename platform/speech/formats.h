// The 36 PCM formats, numbered as SpeechAudioFormatType: value = 4 + 4*r + 2*w + c.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

namespace speech {

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

}  // namespace speech
