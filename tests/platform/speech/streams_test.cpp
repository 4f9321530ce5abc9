// SPDX-License-Identifier: GPL-3.0-or-later
#include "speech/streams.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>
#include <vector>

#include "base/utf8.h"
#include "speech/audio/file_encoder.h"
#include "speech/core/constants.h"
#include "speech/voice.h"
#include "tests/support/test_files.h"
#include "tests/support/voice_helpers.h"

namespace speech {
namespace {

namespace fs = std::filesystem;

using testing_support::TempDir;

struct WavInfo {
    bool opened = false;
    SF_INFO info{};
};

WavInfo readInfo(const std::string& path) {
    WavInfo w;
    SNDFILE* f = sf_open(path.c_str(), SFM_READ, &w.info);
    w.opened = f != nullptr;
    if (f) sf_close(f);
    return w;
}

std::vector<uint8_t> bytesOf(int frames, const WaveFormat& wf, uint8_t value) {
    return std::vector<uint8_t>(static_cast<size_t>(frames * wf.bytesPerFrame()), value);
}

TEST(AudioFormat, TypeDefaultsTo22kHzAndRejectsUnknownNumbers) {
    SpFileStream s;
    EXPECT_EQ(s.Format().Type(), SAFT22kHz16BitMono);
    s.Format().SetType(39);
    EXPECT_EQ(s.formatType(), 39);
    EXPECT_EQ(s.Format().wave(), (WaveFormat{48000, 16, 2}));
    for (int32_t bad : {3, 40, -7}) {
        try {
            s.Format().SetType(bad);
            ADD_FAILURE() << "accepted " << bad;
        } catch (const Error& e) {
            EXPECT_EQ(e.code(), errc::kUnsupportedFormat);
            EXPECT_NE(e.description().find(std::to_string(bad)), std::string::npos) << e.description();
        }
    }
    EXPECT_EQ(s.formatType(), 39);
}

TEST(FileStream, WritesWavFilesInTheChosenFormat) {
    TempDir dir;
    for (int32_t type : {4, 9, 18, 22, 35, 39}) {
        const WaveFormat wf = *waveFormatOf(type);
        SpFileStream s;
        s.Format().SetType(type);
        const std::string path = dir.file("out" + std::to_string(type) + ".wav");
        s.Open(path, SSFMCreateForWrite, false);
        EXPECT_TRUE(s.isOpen());
        // Uneven writes, one ending mid-frame, as a converter's chunks may arrive.
        auto data = bytesOf(1000, wf, 0x40);
        const size_t split = data.size() / 3 + 1;
        ASSERT_TRUE(s.writeBytes(std::span(data).first(split)));
        ASSERT_TRUE(s.writeBytes(std::span(data).subspan(split)));
        EXPECT_EQ(s.bytesWritten(), data.size());
        s.Close();
        s.Close();  // closing twice is harmless
        EXPECT_FALSE(s.isOpen());

        const WavInfo w = readInfo(path);
        ASSERT_TRUE(w.opened) << type;
        EXPECT_EQ(w.info.samplerate, wf.sampleRate) << type;
        EXPECT_EQ(w.info.channels, wf.channels) << type;
        EXPECT_EQ(w.info.frames, 1000) << type;
        EXPECT_EQ(w.info.format & SF_FORMAT_TYPEMASK, SF_FORMAT_WAV) << type;
        EXPECT_EQ(w.info.format & SF_FORMAT_SUBMASK, wf.bitsPerSample == 8 ? SF_FORMAT_PCM_U8 : SF_FORMAT_PCM_16)
            << type;
    }
}

TEST(FileStream, EightBitBytesLandUnchanged) {
    TempDir dir;
    SpFileStream s;
    s.Format().SetType(4);  // 8 kHz 8-bit mono
    s.Open(dir.file("u8.wav"));
    const std::vector<uint8_t> data{0, 64, 128, 200, 255};
    ASSERT_TRUE(s.writeBytes(data));
    s.Close();
    SF_INFO info{};
    SNDFILE* f = sf_open(dir.file("u8.wav").c_str(), SFM_READ, &info);
    ASSERT_NE(f, nullptr);
    std::vector<short> back(5);
    EXPECT_EQ(sf_read_short(f, back.data(), 5), 5);
    sf_close(f);
    EXPECT_EQ(back, (std::vector<short>{-32768, -16384, 0, 72 * 256, 127 * 256}));
}

TEST(FileStream, ReplacesAnExistingFileOnlyWhenClosed) {
    TempDir dir;
    const std::string path = dir.file("replace.wav");
    { std::ofstream(path) << std::string(100000, 'x'); }
    SpFileStream s;
    s.Open(path, 3, false);
    const WaveFormat wf = s.Format().wave();
    ASSERT_TRUE(s.writeBytes(bytesOf(500, wf, 1)));
    ASSERT_TRUE(s.writeBytes(bytesOf(700, wf, 1)));
    // Until Close the earlier file is there as it was.
    EXPECT_EQ(fs::file_size(path), 100000u);
    s.Close();
    EXPECT_EQ(readInfo(path).info.frames, 1200);
    EXPECT_EQ(fs::file_size(path), 44u + 1200u * 2u);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
}

TEST(FileStream, FormatCannotChangeWhileOpen) {
    TempDir dir;
    SpFileStream s;
    s.Open(dir.file("a.wav"));
    try {
        s.Format().SetType(4);
        ADD_FAILURE() << "format changed on an open file";
    } catch (const Error& e) {
        EXPECT_EQ(e.code(), errc::kUnsupportedFormat);
    }
    EXPECT_EQ(s.formatType(), SAFT22kHz16BitMono);
    s.Close();
    s.Format().SetType(4);
    EXPECT_EQ(s.formatType(), 4);
}

TEST(FileStream, RefusesOtherModesAndReportsUnwritablePaths) {
    TempDir dir;
    SpFileStream s;
    for (int32_t mode : {0, 1, 2, 7}) {
        try {
            s.Open(dir.file("m.wav"), mode, false);
            ADD_FAILURE() << "mode " << mode << " accepted";
        } catch (const Error& e) {
            EXPECT_EQ(e.code(), errc::kInvalidArg);
        }
    }
    EXPECT_FALSE(fs::exists(dir.file("m.wav")));

    const std::string missing = dir.file("no-such-folder/out.wav");
    try {
        s.Open(missing);
        ADD_FAILURE() << "missing folder accepted";
    } catch (const Error& e) {
        EXPECT_EQ(e.code(), errc::kNotFound);
        EXPECT_NE(e.description().find(missing), std::string::npos) << e.description();
        EXPECT_NE(e.description().find("folder does not exist"), std::string::npos) << e.description();
    }
    EXPECT_FALSE(s.isOpen());

    if (geteuid() != 0) {  // root writes anywhere
        const std::string locked = dir.file("locked");
        fs::create_directory(locked);
        fs::permissions(locked, fs::perms::owner_read | fs::perms::owner_exec);
        try {
            s.Open(locked + "/out.wav");
            ADD_FAILURE() << "read-only folder accepted";
        } catch (const Error& e) {
            EXPECT_EQ(e.code(), errc::kAccessDenied);
            EXPECT_NE(e.description().find("permission denied"), std::string::npos) << e.description();
        }
    }
    EXPECT_FALSE(s.writeBytes(std::vector<uint8_t>{1, 2}).ok());
}

TEST(FileStream, DiskFullIsReportedAsAFaultAndAgainByClose) {
    if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    // The header is written at once, so a full disk may already fail Open; otherwise a write fails,
    // and Close reports that failure once more (a caller that only closes still learns of it).
    SpFileStream s;
    Fault fault;
    bool opened = false;
    try {
        s.Open("/dev/full");
        opened = true;
        const WaveFormat wf = s.Format().wave();
        Result<void> r;
        for (int i = 0; i < 64 && r.ok(); ++i) r = s.writeBytes(bytesOf(8192, wf, 3));
        ASSERT_FALSE(r.ok());
        fault = r.fault();
    } catch (const Error& e) {
        fault = Fault{e.code(), e.description()};
    }
    EXPECT_EQ(fault.code, errc::kAccessDenied);
    EXPECT_NE(fault.message.find("\"/dev/full\""), std::string::npos) << fault.message;
    EXPECT_NE(fault.message.find("disk is full"), std::string::npos) << fault.message;
    if (opened) {
        try {
            s.Close();
            ADD_FAILURE() << "Close reported success after a failed write";
        } catch (const Error& e) {
            EXPECT_EQ(e.description(), fault.message);
        }
    }
    EXPECT_NO_THROW(s.Close());  // reported once
    EXPECT_FALSE(s.isOpen());
}

TEST(FileStream, CloseFromAnotherThreadWhileWriting) {
    TempDir dir;
    SpFileStream s;
    s.Open(dir.file("race.wav"));
    const auto chunk = bytesOf(256, s.Format().wave(), 9);
    std::atomic<int> written{0};
    std::atomic<bool> stopped{false};
    std::thread writer([&] {
        while (s.writeBytes(chunk).ok()) ++written;
        stopped = true;
    });
    // Closes once the writer is under way, however slowly it starts (a loaded machine, a sanitizer).
    while (written.load() < 8 && !stopped.load()) std::this_thread::yield();
    s.Close();
    writer.join();
    const WavInfo w = readInfo(dir.file("race.wav"));
    ASSERT_TRUE(w.opened);
    EXPECT_GT(w.info.frames, 0);
}

}  // namespace
}  // namespace speech

namespace speech {
namespace {

std::vector<uint8_t> contentsOf(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::vector<std::string> namesIn(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
    return names;
}

// A failed or stopped render into an existing file's name: the file keeps every byte and nothing else
// is left in its folder, however the render ended.
TEST(FileStream, AFailedRenderLeavesTheEarlierFileAsItWas) {
    struct Case {
        const char* name;
        std::function<void(SpVoice&, testing_support::ScriptedBackends&, const std::string& inputs)> render;
    };
    auto longText = [] {
        std::u16string text;
        for (int i = 0; i < 400; ++i) text += u"A sentence of many. ";
        return text;
    };
    const std::vector<Case> cases = {
        {"refused file",
         [](SpVoice& v, auto&, const std::string& inputs) {
             { std::ofstream(inputs + "/nul.txt", std::ios::binary) << std::string("ab\0\0\0\0cd\0\0\0", 11); }
             EXPECT_THROW(v.Speak(base::fromUtf8(inputs + "/nul.txt"), SVSFIsFilename), Error);
         }},
        {"malformed markup",
         [](SpVoice& v, auto&, const std::string&) {
             EXPECT_THROW(v.Speak(u"Good. <rate speed=\"3\">closed wrongly</volume>", SVSFIsXML), Error);
         }},
        {"purge",
         [&](SpVoice& v, auto& b, const std::string&) {
             b.synth->microsecondsPerChar = 200;
             testing_support::EventLog log(v);
             v.Speak(longText(), SVSFlagsAsync);
             ASSERT_TRUE(log.waitFor(EventKind::Sentence, 2));
             v.Speak(u"", SVSFPurgeBeforeSpeak);
             v.WaitUntilDone(-1);
         }},
        {"engine failure",
         [&](SpVoice& v, auto& b, const std::string&) {
             b.synth->failOn = U'#';
             v.Speak(u"Fine so far. Then # fails.", SVSFDefault);
         }},
        {"out of memory",
         [&](SpVoice& v, auto& b, const std::string&) {
             b.synth->throwOn = U'#';
             v.Speak(u"Fine so far. Then # runs out.", SVSFDefault);
         }},
        {"full disk",
         [&](SpVoice& v, auto&, const std::string&) {
             testing_support::FileSizeLimit full(64 * 1024);
             v.Speak(longText(), SVSFDefault);
         }},
    };
    std::vector<uint8_t> earlier(5000);
    for (size_t i = 0; i < earlier.size(); ++i) earlier[i] = static_cast<uint8_t>(i * 7);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir, inputs;
        const std::string path = dir.file("keep.wav");
        { std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(earlier.data()), 5000); }
        testing_support::ScriptedBackends backends;
        SpVoice voice(backends.backends());
        auto file = std::make_shared<SpFileStream>();
        file->Open(path);
        voice.SetAudioOutputStream(file);
        c.render(voice, backends, inputs.path());
        EXPECT_THROW(file->Close(), Error);
        EXPECT_EQ(contentsOf(path), earlier);
        EXPECT_EQ(namesIn(dir.path()), std::vector<std::string>{"keep.wav"});
    }
}

// The plain WAV file libsndfile itself writes at `path` for `audio`: its bytes.
std::vector<uint8_t> libsndfileWave(const std::string& path, const WaveFormat& wf, std::span<const uint8_t> audio) {
    SF_INFO info{};
    info.samplerate = wf.sampleRate;
    info.channels = wf.channels;
    info.format = SF_FORMAT_WAV | (wf.bitsPerSample == 8 ? SF_FORMAT_PCM_U8 : SF_FORMAT_PCM_16);
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    EXPECT_NE(f, nullptr) << path;
    if (f == nullptr) return {};
    EXPECT_EQ(sf_write_raw(f, audio.data(), static_cast<sf_count_t>(audio.size())),
              static_cast<sf_count_t>(audio.size()));
    EXPECT_EQ(sf_close(f), 0);
    return contentsOf(path);
}

// A plain WAV is byte for byte what libsndfile writes, whether it is smaller or larger than the blocks
// the samples go to the disk in, and with the pad byte after an odd number of 8-bit samples.
TEST(FileStream, PlainWavIsWhatLibsndfileWritesAtAnySize) {
    TempDir dir;
    struct Case {
        int32_t type;
        size_t bytes;
    };
    for (const Case& k : {Case{22, 2621442}, Case{4, 1048579}, Case{4, 4095}, Case{39, 1048576 - 44}}) {
        const WaveFormat wf = *waveFormatOf(k.type);
        SCOPED_TRACE(k.type);
        std::vector<uint8_t> audio(k.bytes);
        for (size_t i = 0; i < audio.size(); ++i) audio[i] = static_cast<uint8_t>(i * 7 + i / 251);
        const std::vector<uint8_t> reference = libsndfileWave(dir.file("reference.wav"), wf, audio);
        const std::string path = dir.file("out.wav");
        SpFileStream s;
        s.Format().SetType(k.type);
        s.Open(path);
        for (size_t at = 0; at < audio.size(); at += 300004)
            ASSERT_TRUE(s.writeBytes(std::span(audio).subspan(at, std::min<size_t>(300004, audio.size() - at))));
        s.Close();
        EXPECT_TRUE(contentsOf(path) == reference);
    }
}

int directRefusals = 0;

// A file system without direct writes: EINVAL for a write from byte `From` on while the descriptor has
// O_DIRECT; an ordinary write otherwise.
template <uint64_t From>
int refuseDirectFrom(int fd, std::span<const uint8_t> bytes, uint64_t offset) {
    if (offset < From || (::fcntl(fd, F_GETFL) & O_DIRECT) == 0) return base::pwriteAll(fd, bytes, offset);
    ++directRefusals;
    return EINVAL;
}

bool refuseDirectFlag(int fd, bool on) {
    if (!on) return audio::setDirectFlag(fd, false);
    ++directRefusals;
    return false;
}

// Written directly, or the ordinary way where the file system refuses O_DIRECT (when the flag is set, at
// the first block or at a later one), the plain WAV is what libsndfile writes, and the descriptor is
// left without O_DIRECT for what its owner reads or writes next.
TEST(DirectWave, IsWhatLibsndfileWritesWhereverDirectWritesAreRefused) {
    TempDir dir;
    const WaveFormat wf = *waveFormatOf(22);
    std::vector<uint8_t> audio(5242882);
    for (size_t i = 0; i < audio.size(); ++i) audio[i] = static_cast<uint8_t>(i * 7 + i / 251);
    const std::vector<uint8_t> reference = libsndfileWave(dir.file("reference.wav"), wf, audio);
    // Each refusal is met once: the rest of the file is written the ordinary way.
    struct Case {
        const char* name;
        audio::DirectFileCalls calls;
        int refusals;
    };
    const Case cases[] = {
        {"direct", {}, 0},
        {"flag refused", {refuseDirectFrom<0>, refuseDirectFlag}, 1},
        {"first block refused", {refuseDirectFrom<0>, audio::setDirectFlag}, 1},
        {"later block refused", {refuseDirectFrom<1>, audio::setDirectFlag}, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        directRefusals = 0;
        const std::string path = dir.file(std::string(c.name) + ".wav");
        const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        ASSERT_GE(fd, 0);
        auto encoder = openDirectWave(fd, path, wf, c.calls);
        Result<void> done = encoder ? Result<void>() : Result<void>(encoder.fault());
        for (size_t at = 0; done && at < audio.size(); at += 300004)
            done = encoder.value()->write(std::span(audio).subspan(at, std::min<size_t>(300004, audio.size() - at)));
        if (done) done = encoder.value()->finish();
        const int flags = ::fcntl(fd, F_GETFL);
        ::close(fd);
        EXPECT_TRUE(done) << done.fault().message;
        EXPECT_EQ(flags & O_DIRECT, 0);
        EXPECT_EQ(directRefusals, c.refusals);
        EXPECT_TRUE(contentsOf(path) == reference);
    }
}

// The file at `path` is an RF64 file whose 16-bit samples are `audio`'s bytes.
void expectRf64Holding(const std::string& path, const std::vector<uint8_t>& audio) {
    SF_INFO info{};
    SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(info.format & SF_FORMAT_TYPEMASK, SF_FORMAT_RF64);
    std::vector<short> back(audio.size() / 2);
    EXPECT_EQ(sf_read_short(f, back.data(), static_cast<sf_count_t>(back.size())),
              static_cast<sf_count_t>(back.size()));
    sf_close(f);
    EXPECT_EQ(std::memcmp(back.data(), audio.data(), audio.size()), 0);
}

// WAV stays a plain WAV, byte for byte what libsndfile writes as WAV, until its audio passes the limit
// of a plain header; past it the same audio is in an RF64 file.
TEST(FileStream, WavBecomesRf64OnlyPastThePlainHeadersLimit) {
    TempDir dir;
    const WaveFormat wf{22050, 16, 1};
    std::vector<uint8_t> audio(40000);
    for (size_t i = 0; i < audio.size(); ++i) audio[i] = static_cast<uint8_t>(i * 13 + i / 256);
    const std::vector<uint8_t> reference = libsndfileWave(dir.file("reference.wav"), wf, audio);
    for (uint64_t limit : {uint64_t{1} << 32, uint64_t{40000}, uint64_t{30000}, uint64_t{1000}}) {
        SCOPED_TRACE(limit);
        setPlainWaveLimitForTesting(limit);
        const std::string path = dir.file("out.wav");
        SpFileStream s;
        s.Open(path);
        for (size_t at = 0; at < audio.size(); at += 6002)  // uneven pieces, across the limit
            ASSERT_TRUE(s.writeBytes(std::span(audio).subspan(at, std::min<size_t>(6002, audio.size() - at))));
        s.Close();
        if (limit >= audio.size()) {
            EXPECT_EQ(contentsOf(path), reference);
            continue;
        }
        expectRf64Holding(path, audio);
        EXPECT_EQ(namesIn(dir.path()).size(), 2u);  // no temporary left
    }
    // Past the blocks that went to the disk directly: the RF64 file holds every byte written before the
    // switch, and those after it.
    std::vector<uint8_t> long_(2621440);
    for (size_t i = 0; i < long_.size(); ++i) long_[i] = static_cast<uint8_t>(i * 5 + i / 509);
    setPlainWaveLimitForTesting(1500000);
    const std::string path = dir.file("long.wav");
    {
        SpFileStream s;
        s.Open(path);
        for (size_t at = 0; at < long_.size(); at += 300004)
            ASSERT_TRUE(s.writeBytes(std::span(long_).subspan(at, std::min<size_t>(300004, long_.size() - at))));
        s.Close();
    }
    setPlainWaveLimitForTesting(uint64_t{0xFFFFFFFF} - 44);
    expectRf64Holding(path, long_);
}

}  // namespace
}  // namespace speech
