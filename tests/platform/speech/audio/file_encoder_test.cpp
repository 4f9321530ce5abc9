// SPDX-License-Identifier: GPL-3.0-or-later
// The libsndfile encoders: a full disk fails every codec, whether it strikes while the audio is
// written or only while the file is finished, and stereo MP3 holds the signal it was given.
#include "speech/audio/file_encoder.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sndfile.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <numbers>
#include <vector>

#include "tests/support/test_files.h"

namespace speech::audio {
namespace {

// Bytes the disk still takes: a write past them fails as a full disk's does.
std::atomic<int64_t> room{0};

int fullDisk(int fd, std::span<const uint8_t> bytes, uint64_t offset) {
    if (room.fetch_sub(static_cast<int64_t>(bytes.size())) < static_cast<int64_t>(bytes.size())) return ENOSPC;
    return base::pwriteAll(fd, bytes, offset);
}

// Interleaved 16-bit stereo: a tone of 440 Hz on the left, 660 Hz on the right.
std::vector<uint8_t> stereoTones(int rate, double seconds) {
    std::vector<uint8_t> bytes;
    for (int i = 0; i < static_cast<int>(seconds * rate); ++i) {
        for (const double hz : {440.0, 660.0}) {
            const auto s = static_cast<int16_t>(12000 * std::sin(2 * std::numbers::pi * hz * i / rate));
            bytes.push_back(static_cast<uint8_t>(s & 0xFF));
            bytes.push_back(static_cast<uint8_t>((s >> 8) & 0xFF));
        }
    }
    return bytes;
}

TEST(SndfileEncoder, AFullDiskFailsEveryCodecWhetherItStrikesAtAWriteOrAtTheClose) {
    const core::WaveFormat format{48000, 16, 2};
    const std::vector<uint8_t> audio = stereoTones(format.sampleRate, 1.0);
    const struct {
        const char* name;
        EncoderChoice choice;
    } codecs[] = {
        {"WAV", {core::FileCodec::Wav, std::nullopt, false}},
        {"RF64", {core::FileCodec::Wav, std::nullopt, true}},
        {"FLAC", {core::FileCodec::Flac, std::nullopt, false}},
        {"Ogg Vorbis", {core::FileCodec::OggVorbis, std::nullopt, false}},
        {"Ogg Opus", {core::FileCodec::OggOpus, std::nullopt, false}},
        {"MP3", {core::FileCodec::Mp3, std::nullopt, false}},
    };
    testing_support::TempDir dir;
    for (const auto& codec : codecs) {
        for (const bool atClose : {false, true}) {
            SCOPED_TRACE(std::string(codec.name) + (atClose ? ", full at the close" : ", full at the writes"));
            const std::string path = dir.file("out");
            const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            ASSERT_GE(fd, 0);
            room = int64_t{1} << 40;
            auto encoder = openSndfileEncoder(fd, path, format, codec.choice, fullDisk);
            ASSERT_TRUE(encoder.ok()) << encoder.fault().message;
            if (!atClose) room = 0;
            base::Result<void> done;
            for (size_t at = 0; done && at < audio.size(); at += 4800)
                done = encoder.value()->write(std::span(audio).subspan(at, std::min<size_t>(4800, audio.size() - at)));
            room = 0;
            if (done) done = encoder.value()->finish();
            ::close(fd);
            ASSERT_FALSE(done.ok());
            EXPECT_EQ(done.fault().message, "Cannot write to the file \"" + path + "\": the disk is full.");
        }
    }
}

// The correlation of channel `channel` of `decoded` (stereo floats) with `original` (stereo 16-bit
// bytes), at the delay the codec adds that matches them best.
double correlation(const std::vector<float>& decoded, const std::vector<uint8_t>& original, int channel) {
    const size_t frames = original.size() / 4;
    auto sample = [&](size_t frame) {
        const size_t at = 4 * frame + 2 * static_cast<size_t>(channel);
        return static_cast<int16_t>(original[at] | (original[at + 1] << 8)) / 32768.0;
    };
    double best = -1;
    for (size_t lag = 0; lag < 4000 && lag + frames / 2 < decoded.size() / 2; ++lag) {
        double xy = 0, xx = 0, yy = 0;
        for (size_t i = 0; i < frames / 2; i += 3) {
            const double x = sample(i);
            const double y = decoded[2 * (i + lag) + static_cast<size_t>(channel)];
            xy += x * y;
            xx += x * x;
            yy += y * y;
        }
        if (xx > 0 && yy > 0) best = std::max(best, xy / std::sqrt(xx * yy));
    }
    return best;
}

TEST(SndfileEncoder, StereoMp3HoldsEachChannelsSignal) {
    const core::WaveFormat format{48000, 16, 2};
    const std::vector<uint8_t> audio = stereoTones(format.sampleRate, 0.5);
    testing_support::TempDir dir;
    const std::string path = dir.file("tones.mp3");
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    auto encoder = openSndfileEncoder(fd, path, format, {core::FileCodec::Mp3, std::nullopt, false});
    ASSERT_TRUE(encoder.ok()) << encoder.fault().message;
    ASSERT_TRUE(encoder.value()->write(audio).ok());
    ASSERT_TRUE(encoder.value()->finish().ok());
    ::close(fd);

    SF_INFO info{};
    SNDFILE* mp3 = sf_open(path.c_str(), SFM_READ, &info);
    ASSERT_NE(mp3, nullptr) << sf_strerror(nullptr);
    ASSERT_EQ(info.channels, 2);
    std::vector<float> decoded(static_cast<size_t>(info.frames) * 2);
    decoded.resize(static_cast<size_t>(sf_readf_float(mp3, decoded.data(), info.frames)) * 2);
    sf_close(mp3);
    for (const int channel : {0, 1}) EXPECT_GT(correlation(decoded, audio, channel), 0.95) << "channel " << channel;
}

}  // namespace
}  // namespace speech::audio
