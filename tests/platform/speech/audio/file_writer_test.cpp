// SPDX-License-Identifier: GPL-3.0-or-later
// The file writer's thread: the same bytes as converting in place, a bounded queue whose wait can be
// woken, dropping mid-stream, and a failure that stops the writing.
#include "speech/audio/file_writer.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <atomic>
#include <cmath>
#include <condition_variable>
#include <fstream>
#include <future>
#include <iterator>
#include <mutex>
#include <numbers>

#include "speech/core/constants.h"
#include "speech/streams.h"
#include "tests/support/test_files.h"

namespace speech::audio {
namespace {

using namespace std::chrono_literals;

std::vector<int16_t> sine(size_t frames, size_t from = 0) {
    std::vector<int16_t> out(frames);
    for (size_t i = 0; i < frames; ++i)
        out[i] = static_cast<int16_t>(9000 * std::sin(2 * std::numbers::pi * 330.0 * double(from + i) / 22050));
    return out;
}

// The file's sample bytes (after the 44-byte header libsndfile writes for these formats).
std::vector<uint8_t> dataOf(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return all.size() > 44 ? std::vector<uint8_t>(all.begin() + 44, all.end()) : std::vector<uint8_t>{};
}

class FileWriterTest : public ::testing::Test {
protected:
    std::shared_ptr<SpFileStream> open(int32_t type) {
        auto file = std::make_shared<SpFileStream>();
        file->Format().SetType(type);
        file->Open(dir_.file("out.wav"), SSFMCreateForWrite, false);
        return file;
    }

    testing_support::TempDir dir_;
};

TEST_F(FileWriterTest, WritesTheSameBytesAsConvertingInPlace) {
    // 48 kHz stereo goes through the resampler; 22 kHz 16-bit mono is the engine's own format. Blocks
    // larger than the writer's pieces are cut into them, never inside a frame of stereo input.
    struct Case {
        int32_t type;
        int inChannels;
        size_t frames;  // a block's
    };
    for (const Case& c : {Case{39, 1, 7001}, Case{22, 1, 7001}, Case{4, 1, 7001}, Case{39, 1, 20011},
                          Case{39, 2, 20011}, Case{22, 2, 20011}}) {
        const int32_t type = c.type;
        auto file = open(type);
        const core::WaveFormat out = file->Format().wave();
        std::atomic<int> progress{0};
        std::vector<uint8_t> expected;
        const size_t samplesPerBlock = c.frames * static_cast<size_t>(c.inChannels);
        {
            FileWriter writer(file, 22050, c.inChannels, out, [&] { ++progress; });
            Converter reference(22050, c.inChannels, out);
            for (size_t block = 0; block < 5; ++block) {
                auto samples = sine(samplesPerBlock, block * samplesPerBlock);
                reference.push(std::span<const int16_t>(samples), expected);
                ASSERT_TRUE(writer.push(std::move(samples), {}));
            }
            reference.finish(expected);
            writer.finish();
            // A writer that lost bytes never gets there: it is given ten seconds.
            const auto deadline = std::chrono::steady_clock::now() + 10s;
            while (writer.written() < expected.size() && std::chrono::steady_clock::now() < deadline)
                std::this_thread::sleep_for(1ms);
            EXPECT_EQ(writer.written(), expected.size()) << type;
            EXPECT_EQ(writer.outputFramesFor(5 * c.frames) * uint64_t(out.bytesPerFrame()), expected.size()) << type;
            EXPECT_FALSE(writer.fault());
        }
        EXPECT_GE(progress.load(), 1) << type;
        file->Close();
        EXPECT_EQ(dataOf(dir_.file("out.wav")), expected)
            << type << ", " << c.inChannels << " channels, " << c.frames << " frames a block";
    }
}

TEST_F(FileWriterTest, AFullQueueWaitsAndAStoppedWaitGivesUpWhenInterrupted) {
    auto file = open(22);
    // The writer stalls after its first block, until the gate opens.
    std::mutex m;
    std::condition_variable cv;
    bool gateOpen = false;
    bool stalled = false;
    FileWriter writer(file, 22050, 1, file->Format().wave(), [&] {
        std::unique_lock lock(m);
        stalled = true;
        cv.notify_all();
        cv.wait(lock, [&] { return gateOpen; });
    });
    ASSERT_TRUE(writer.push(sine(1000), {}));
    {
        std::unique_lock lock(m);
        ASSERT_TRUE(cv.wait_for(lock, 10s, [&] { return stalled; }));
    }
    ASSERT_TRUE(writer.push(sine(600000), {}));  // fits in the queue

    std::atomic<bool> stop{false};
    auto blocked =
        std::async(std::launch::async, [&] { return writer.push(sine(600000), [&] { return stop.load(); }); });
    EXPECT_EQ(blocked.wait_for(100ms), std::future_status::timeout) << "a push past the bound did not wait";
    stop = true;
    writer.interrupt();
    ASSERT_EQ(blocked.wait_for(10s), std::future_status::ready) << "the wait was not woken";
    EXPECT_FALSE(blocked.get());

    // Dropping empties the queue; what follows is written after what was already in the file.
    writer.drop();
    const uint64_t kept = writer.written();
    EXPECT_EQ(kept, 2000u);
    {
        std::lock_guard lock(m);
        gateOpen = true;
    }
    cv.notify_all();
    ASSERT_TRUE(writer.push(sine(500), {}));
    writer.finish();
    while (writer.written() < kept + 1000) std::this_thread::sleep_for(1ms);
    EXPECT_EQ(writer.written(), kept + 1000);
}

TEST_F(FileWriterTest, AFailedWriteStopsTheWritingAndRefusesMore) {
    auto file = open(22);
    FileWriter writer(file, 22050, 1, file->Format().wave(), {});
    file->Close();  // every write fails from now on
    ASSERT_TRUE(writer.push(sine(1000), {}));
    while (!writer.fault()) std::this_thread::sleep_for(1ms);
    EXPECT_FALSE(writer.push(sine(1000), {}));
    EXPECT_EQ(writer.written(), 0u);
}

}  // namespace
}  // namespace speech::audio
