// SPDX-License-Identifier: GPL-3.0-or-later
// Audio files for tests and benchmarks: speech-like samples, small cover images, files written through
// libsndfile, and a reading of a file's tags, chapters and audio through libavformat and libavcodec
// (what ffprobe shows and most players use), and of a WAV file's cue points and labels through
// libsndfile.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace testing_support {

// Syllable-like tones and noise between pauses, 16-bit mono, the same for the same seed.
std::vector<int16_t> speechLike(uint64_t frames, int sampleRate, uint32_t seed);

// Images of the given size, encoded by libavcodec.
std::string pngImage(int width, int height);
std::string jpegImage(int width, int height);

// Writes 16-bit samples into `path` with libsndfile in `sfFormat` (SF_FORMAT_*).
void writeSndfile(const std::string& path, int sfFormat, int sampleRate, int channels,
                  const std::vector<int16_t>& samples);

struct ProbedChapter {
    double startMs = 0;
    double endMs = 0;
    std::string title;
};

struct Probe {
    bool opened = false;
    std::map<std::string, std::string> tags;  // keys in lower case; the format's and the audio's
    std::vector<ProbedChapter> chapters;
    int coverPictures = 0;
    int coverWidth = 0;
    std::string audioCodec;
    int64_t bitRate = 0;
    double durationMs = 0;
};

// The file as libavformat reads it (what ffprobe shows).
Probe probe(const std::string& path);

// The first audio stream of a file decoded to mono floats (the first channel), with what the
// container says to skip (an encoder's priming) left out by the libraries, as players leave it.
std::vector<float> decodeAudio(const std::string& path);

// The shift in samples (within 2560 either way) at which `decoded` lines up best with `reference` over
// the half second of `reference` from sample `from`, both at `rate`: there decoded[i + shift] is
// reference[i].
long bestShift(const std::vector<float>& decoded, const std::vector<float>& reference, long rate, long from);

// A WAV file's cue points (id, sample offset) through SFC_GET_CUE, and its labels (cue id, text) from
// the LIST/adtl chunk libsndfile's chunk calls give.
struct WaveCues {
    std::vector<std::pair<uint32_t, uint32_t>> points;
    std::vector<std::pair<uint32_t, std::string>> labels;
};
WaveCues waveCues(const std::string& path);

std::string readFile(const std::string& path);

}  // namespace testing_support
