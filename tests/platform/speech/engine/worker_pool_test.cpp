// SPDX-License-Identifier: GPL-3.0-or-later
// The engine in worker processes: its protocol on bad input, and a worker that is killed or hangs
// (the real worker killed from outside, or the test double that fails on a mark in the text).
#include "speech/engine/worker_pool.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "speech/audio/device_pulse.h"
#include "speech/engine/protocol.h"
#include "speech/engine/worker_process.h"
#include "speech/streams.h"
#include "speech/voice.h"
#include "tests/support/audio_server.h"
#include "tests/support/test_files.h"
#include "tests/support/voice_helpers.h"

using namespace speech;
using namespace speech::engine;
using namespace testing_support;
using namespace std::chrono_literals;

namespace {

// The engine processes under this one that are alive: the workers, then (with two generations) the
// children reading their runs.
std::vector<pid_t> engineProcesses(int generations = 2) {
    std::set<pid_t> parents{::getpid()};
    std::vector<pid_t> found;
    for (int generation = 0; generation < generations; ++generation) {
        for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
            std::ifstream stat(entry.path() / "stat");
            std::string line;
            if (!std::getline(stat, line)) continue;
            // "pid (name) state ppid ...": the name may hold spaces, so it is read up to the last ')'.
            const size_t open = line.find('(');
            const size_t close = line.rfind(')');
            if (open == std::string::npos || close == std::string::npos) continue;
            const pid_t pid = std::atoi(line.c_str());
            const pid_t parent = std::atoi(line.c_str() + close + 4);
            if (line.compare(open + 1, 14, "tallamo-engine") != 0 || parents.count(parent) == 0 ||
                line[close + 2] == 'Z')
                continue;
            if (std::find(found.begin(), found.end(), pid) == found.end()) found.push_back(pid);
        }
        parents.insert(found.begin(), found.end());
    }
    return found;
}

// How many processes under `parents` there are, and how many of them are zombies.
std::pair<size_t, size_t> childrenOf(const std::vector<pid_t>& parents) {
    size_t children = 0;
    size_t zombies = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        std::ifstream stat(entry.path() / "stat");
        std::string line;
        if (!std::getline(stat, line) || line.rfind(')') == std::string::npos) continue;
        const size_t close = line.rfind(')');
        const pid_t parent = std::atoi(line.c_str() + close + 4);
        if (std::find(parents.begin(), parents.end(), parent) == parents.end()) continue;
        ++children;
        zombies += line[close + 2] == 'Z' ? 1 : 0;
    }
    return {children, zombies};
}

std::string fileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::shared_ptr<speech::SpFileStream> openFile(const std::string& path) {
    auto file = std::make_shared<speech::SpFileStream>();
    file->Open(path, core::SSFMCreateForWrite, false);
    return file;
}

std::vector<std::u16string> wordsOf(const std::vector<core::VoiceEvent>& events, const std::u16string& text) {
    std::vector<std::u16string> words;
    for (const auto& e : events) {
        if (e.kind == core::EventKind::Word) words.push_back(text.substr(e.characterPosition, e.length));
    }
    return words;
}

size_t countOf(const std::vector<core::VoiceEvent>& events, core::EventKind kind) {
    return static_cast<size_t>(
        std::count_if(events.begin(), events.end(), [&](const auto& e) { return e.kind == kind; }));
}

}  // namespace

TEST(EngineProtocol, MessagesSurviveTheTripAndBrokenOnesAreRefused) {
    SynthRequest request;
    request.text = U"Grüße \U0001F600 你好";
    request.voiceId = "en";
    request.runVoiceId = "cmn-latn-pinyin";
    request.rate = -7;
    request.fresh = false;
    request.bulk = true;
    SynthEvent event;
    event.kind = SynthEvent::Kind::Phoneme;
    event.sample = 1ull << 40;
    event.name = "aI";
    event.stressed = true;
    const std::vector<int16_t> samples{0, -32768, 32767, 5};
    const std::vector<std::vector<uint8_t>> frames = {
        engine::encodeSynthesize(request), engine::encodeEvent(event), engine::encodeAudio(samples),
        engine::encodeDone(base::Fault{errc::kNoVoice, "no such voice"}),
        engine::encodeReady({22050,
                             {core::SpObjectToken(core::TokenKind::Voice, "en", "English", {{"Gender", "Male"}})},
                             {"espeak-ng 1.51", "/data/espeak-ng-data"}})};
    // Whole, and a byte at a time: the same frames come out.
    for (size_t piece : {size_t{1 << 20}, size_t{1}}) {
        engine::FrameSplitter splitter;
        std::vector<engine::Frame> out;
        for (const auto& f : frames) {
            for (size_t at = 0; at < f.size(); at += piece) {
                splitter.append(std::span<const uint8_t>(f).subspan(at, std::min(piece, f.size() - at)));
                while (auto frame = splitter.next()) out.push_back(std::move(*frame));
            }
        }
        ASSERT_EQ(out.size(), frames.size());
        const auto r = engine::decodeSynthesize(out[0].payload);
        ASSERT_TRUE(r);
        EXPECT_EQ(r->text, request.text);
        EXPECT_EQ(r->voiceId, request.voiceId);
        EXPECT_EQ(r->runVoiceId, request.runVoiceId);
        EXPECT_EQ(r->rate, -7);
        EXPECT_FALSE(r->fresh);
        EXPECT_TRUE(r->bulk);
        const auto e = engine::decodeEvent(out[1].payload);
        ASSERT_TRUE(e);
        EXPECT_EQ(e->sample, event.sample);
        EXPECT_EQ(e->name, "aI");
        EXPECT_EQ(engine::decodeAudio(out[2].payload), samples);
        const auto done = engine::decodeDone(out[3].payload);
        ASSERT_TRUE(done && *done);
        EXPECT_EQ((*done)->message, "no such voice");
        const auto ready = engine::decodeReady(out[4].payload);
        ASSERT_TRUE(ready);
        EXPECT_EQ(ready->voices.at(0).GetAttribute("Gender"), "Male");
        EXPECT_EQ(ready->data, (engine::EngineData{"espeak-ng 1.51", "/data/espeak-ng-data"}));
    }
    // Every payload cut short is refused, never read past its end (audio has no length to check).
    using Decode = bool (*)(std::span<const uint8_t>);
    const Decode decodes[] = {
        [](std::span<const uint8_t> p) { return engine::decodeSynthesize(p).has_value(); },
        [](std::span<const uint8_t> p) { return engine::decodeEvent(p).has_value(); },
        nullptr,
        [](std::span<const uint8_t> p) { return engine::decodeDone(p).has_value(); },
        [](std::span<const uint8_t> p) { return engine::decodeReady(p).has_value(); },
    };
    for (size_t i = 0; i < frames.size(); ++i) {
        if (decodes[i] == nullptr) continue;
        const auto payload = std::span<const uint8_t>(frames[i]).subspan(engine::kHeaderSize);
        for (size_t n = 0; n < payload.size(); ++n) {
            EXPECT_FALSE(decodes[i](payload.first(n))) << "message " << i << " cut to " << n << " bytes";
        }
    }
    // A header announcing a huge frame breaks the stream instead of waiting for it.
    engine::FrameSplitter splitter;
    const uint8_t huge[] = {0xff, 0xff, 0xff, 0x7f, static_cast<uint8_t>(engine::MessageType::Audio)};
    splitter.append(huge);
    EXPECT_FALSE(splitter.next());
    EXPECT_TRUE(splitter.broken());
}

// A worker's reply is one write of several frames (a sentence's audio, its events, the next audio and
// the end), which the program reads back into a frame and a sample buffer it keeps from one reply to
// the next: a short frame after a long one must come out whole and alone, with nothing left of the
// long one, however the bytes are cut on the way.
TEST(EngineProtocol, FramesWrittenTogetherComeBackWholeIntoReusedBuffers) {
    std::vector<int16_t> big(1u << 17);
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<int16_t>(i * 31);
    const std::vector<int16_t> small{7, -7, 3};
    SynthEvent word;
    word.kind = SynthEvent::Kind::Word;
    word.sample = 99;
    std::vector<uint8_t> reply;
    for (const auto& frame : {engine::encodeAudio(big), engine::encodeEvent(word), engine::encodeAudio(small),
                              engine::encodeAudio({}), engine::encodeDone(std::nullopt)})
        reply.insert(reply.end(), frame.begin(), frame.end());
    for (size_t piece : {size_t{1}, size_t{4099}, size_t{65536}, reply.size()}) {
        SCOPED_TRACE(piece);
        engine::FrameSplitter splitter;
        engine::Frame frame;
        std::vector<int16_t> samples;
        std::vector<std::vector<int16_t>> audio;
        std::vector<engine::MessageType> types;
        for (size_t at = 0; at < reply.size(); at += piece) {
            splitter.append(std::span<const uint8_t>(reply).subspan(at, std::min(piece, reply.size() - at)));
            while (splitter.next(frame)) {
                types.push_back(frame.type);
                if (frame.type == engine::MessageType::Audio) {
                    ASSERT_TRUE(engine::decodeAudio(frame.payload, samples));
                    audio.push_back(samples);
                }
            }
        }
        using T = engine::MessageType;
        EXPECT_EQ(types, (std::vector<T>{T::Audio, T::Event, T::Audio, T::Audio, T::Done}));
        EXPECT_EQ(audio, (std::vector<std::vector<int16_t>>{big, small, {}}));
        EXPECT_FALSE(splitter.next(frame));
    }
}

// Parts sent in one call arrive whole and in order, empty ones passed over, when the socket takes them
// a little at a time.
TEST(EngineProtocol, PartsSentTogetherArriveInOrderThroughASmallSocketBuffer) {
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    base::UniqueFd reader(pair[1]);
    const int smallBuffer = 4096;
    ASSERT_EQ(::setsockopt(pair[0], SOL_SOCKET, SO_SNDBUF, &smallBuffer, sizeof smallBuffer), 0);
    engine::Channel channel{base::UniqueFd(pair[0])};
    std::vector<uint8_t> parts[3] = {std::vector<uint8_t>(70001), {1, 2, 3}, std::vector<uint8_t>(12345)};
    std::vector<uint8_t> expected;
    for (auto& part : parts) {
        for (size_t i = 0; i < part.size(); ++i) part[i] = static_cast<uint8_t>(part[i] + i * 7 + part.size());
        expected.insert(expected.end(), part.begin(), part.end());
    }
    std::vector<uint8_t> got;
    std::thread drain([&] {
        uint8_t buffer[1000];
        for (ssize_t n; (n = ::recv(reader.get(), buffer, sizeof buffer, 0)) > 0;)
            got.insert(got.end(), buffer, buffer + n);
    });
    EXPECT_EQ(channel.send({parts[0], {}, parts[1], parts[2]}, 10s), engine::Channel::Status::Ok);
    channel = engine::Channel(base::UniqueFd());  // the end of the stream, for the drain
    drain.join();
    EXPECT_TRUE(got == expected) << got.size() << " bytes of " << expected.size();
}

// English, and Chinese with English words inside: the worker that is killed may hold several requests
// sent ahead, some of them answered and held back while the helper for English reads.
TEST(EngineWorkers, AWorkerKilledMidRenderIsReplacedAndTheFileComesOutTheSame) {
    TempDir dir;
    speech::SpVoice voice(engineWithoutDevices());
    voice.setRenderJobs(2);
    EventLog log(voice);
    std::u16string text;
    for (const bool chinese : {false, true}) {
        SCOPED_TRACE(chinese ? "Chinese" : "English");
        text.clear();
        for (int i = 0; i < 60; ++i)
            text += chinese ? u"欢迎使用 Tallamo。把朗读保存为 WAV 文件，第" + u16(std::to_string(i)) + u"句。"
                            : u16("Sentence number " + std::to_string(i) + " goes on for a little while. ");
        for (const auto& t : voice.GetVoices("", ""))
            if (chinese && t.Id().find("cmn") != std::string::npos) voice.SetVoice(t);
        const size_t wordsAtStart = countOf(log.events(), core::EventKind::Word);
        auto reference = openFile(dir.file("reference.wav"));
        voice.SetAudioOutputStream(reference);
        voice.Speak(text, core::SVSFDefault);
        reference->Close();

        auto file = openFile(dir.file("killed.wav"));
        voice.SetAudioOutputStream(file);
        const size_t wordsBefore = countOf(log.events(), core::EventKind::Word);
        voice.Speak(text, core::SVSFlagsAsync);
        ASSERT_TRUE(log.waitFor(core::EventKind::Word, wordsBefore + 2));
        const auto engines = engineProcesses();
        ASSERT_FALSE(engines.empty());
        ASSERT_EQ(::kill(engines.back(), SIGKILL), 0);
        ASSERT_TRUE(voice.WaitUntilDone(60000));
        EXPECT_NO_THROW(file->Close());
        EXPECT_TRUE(fileBytes(dir.file("killed.wav")) == fileBytes(dir.file("reference.wav")));
        EXPECT_EQ(countOf(log.events(), core::EventKind::Word), 2 * wordsBefore - wordsAtStart);
    }

    // The worker that took the killed one's place was started by a lane that has ended since: it
    // reads the next render all the same, and no worker is lost or started.
    auto workers = engineProcesses(1);
    auto again = openFile(dir.file("again.wav"));
    voice.SetAudioOutputStream(again);
    voice.Speak(text, core::SVSFDefault);
    EXPECT_NO_THROW(again->Close());
    auto after = engineProcesses(1);
    std::sort(workers.begin(), workers.end());
    std::sort(after.begin(), after.end());
    EXPECT_EQ(after, workers);

    // A worker ends the child of each run it has finished and reaps it as it goes: once idle, it
    // keeps the child of its last run and the one forked ahead, and no zombie.
    std::pair<size_t, size_t> children;
    for (const auto deadline = std::chrono::steady_clock::now() + 5s; std::chrono::steady_clock::now() < deadline;
         std::this_thread::sleep_for(10ms)) {
        children = childrenOf(after);
        if (children.second == 0 && children.first <= 2 * after.size()) break;
    }
    EXPECT_EQ(children.second, 0u);
    EXPECT_LE(children.first, 2 * after.size());
}

// The double kills or hangs the worker on every reading of a segment with its mark: after a second
// loss the stream ends at once with the reason, and the voice speaks the next text with a new worker.
// A run of Chinese is read in the worker by a process of its own (the run's voice stays loaded), whose
// loss is the worker's all the same.
TEST(EngineWorkers, ASegmentThatLosesItsWorkerTwiceEndsTheStreamWithTheReason) {
    struct Case {
        const char* mark;
        const char* reason;
    };
    for (const Case c : {Case{"\U0001F4A5", "killed by signal 9"}, Case{"\u23F3", "did not answer for 1000 ms"},
                         Case{"\u4F60\u597D\U0001F4A5\u4E16\u754C", "killed by signal 9"}}) {
        auto host = VirtualAudioHost::create();
        host->setDevices({});
        speech::SpVoice voice(Backends{makeEngineSynthesizer({TALLAMO_ENGINE_DOUBLE, 1000ms}), host});
        EventLog log(voice);
        TempDir dir;
        const std::u16string text = u16(std::string("First it speaks. Then here ") + c.mark + " it fails. Never this.");
        auto file = openFile(dir.file("failed.wav"));
        voice.SetAudioOutputStream(file);
        voice.Speak(text, core::SVSFDefault);
        try {
            file->Close();
            ADD_FAILURE() << c.reason << ": the render was taken for a finished one";
        } catch (const base::Error& e) {
            EXPECT_EQ(e.code(), errc::kEngine);
            EXPECT_NE(e.description().find(c.reason), std::string::npos) << e.description();
        }
        auto events = log.events();
        EXPECT_EQ(countOf(events, core::EventKind::EndStream), 1u) << c.reason;
        const auto words = wordsOf(events, text);
        EXPECT_NE(std::find(words.begin(), words.end(), u"speaks"), words.end()) << c.reason;
        EXPECT_EQ(std::find(words.begin(), words.end(), u"Never"), words.end()) << c.reason;

        auto next = openFile(dir.file("next.wav"));
        voice.SetAudioOutputStream(next);
        voice.Speak(u"And now it speaks again.", SVSFDefault);
        EXPECT_NO_THROW(next->Close()) << c.reason;
        EXPECT_GT(std::filesystem::file_size(dir.file("next.wav")), 44u + 22050u) << c.reason;
    }
}

TEST(EngineWorkers, AWorkerThatNeverStartsGoesWithTheProcessesItStarted) {
    TempDir dir;
    const std::string engine = dir.file("engine.sh");
    const std::string pidFile = dir.file("pid");
    std::ofstream(engine) << "#!/bin/sh\nsleep 600 &\necho $! >" << pidFile << "\nwait\n";
    std::filesystem::permissions(engine, std::filesystem::perms::owner_all);
    try {
        makeEngineSynthesizer({engine, 1000ms, 1000ms});
        ADD_FAILURE() << "a worker that never answers was taken for a started one";
    } catch (const base::Error& e) {
        EXPECT_NE(e.description().find("did not start"), std::string::npos) << e.description();
    }
    const std::string pid = fileBytes(pidFile);
    ASSERT_FALSE(pid.empty());
    // Gone, or a zombie that has nobody left to reap it but init. A killed process may still be on its
    // way out for a moment, so its state is read until it has gone or a bound has passed.
    const std::string statPath = "/proc/" + pid.substr(0, pid.find('\n')) + "/stat";
    std::string line;
    for (const auto deadline = std::chrono::steady_clock::now() + 2s;;) {
        std::ifstream stat(statPath);
        if (!std::getline(stat, line) || line[line.rfind(')') + 2] == 'Z') return;
        if (std::chrono::steady_clock::now() >= deadline) break;
        std::this_thread::sleep_for(10ms);
    }
    ADD_FAILURE() << "the worker's child was left running: " << line;
}

TEST(EngineWorkers, AWorkerKilledMidPlaybackIsReplacedAndEveryWordIsHeard) {
    TALLAMO_NEED_AUDIO_SERVER();
    speech::SpVoice voice;
    EventLog log(voice);
    const std::u16string text = u"One two three. Four five six. Seven eight nine.";
    voice.Speak(text, core::SVSFlagsAsync);
    ASSERT_TRUE(log.waitFor(core::EventKind::Word, 1));
    for (pid_t pid : engineProcesses()) ::kill(pid, SIGKILL);
    ASSERT_TRUE(voice.WaitUntilDone(20000));
    EXPECT_EQ(wordsOf(log.events(), text), (std::vector<std::u16string>{u"One", u"two", u"three", u"Four", u"five",
                                                                        u"six", u"Seven", u"eight", u"nine"}));
    EXPECT_FALSE(voice.takeStreamError().has_value());
}

// A worker sent what it cannot read as a request ends with a status of its own, and its end says so
// (never "exited with status 0", which told nothing); a text too long for one message is refused by
// the platform with the limit, before a worker sees it.
TEST(EngineWorkers, WhatAWorkerCannotReadEndsItSayingSoAndTooLongATextNeverReachesIt) {
    std::vector<uint8_t> huge{0, 0, 0, 0, static_cast<uint8_t>(engine::MessageType::Synthesize)};
    const uint32_t tooLarge = engine::kMaxPayload + 1;
    std::memcpy(huge.data(), &tooLarge, sizeof tooLarge);
    std::vector<uint8_t> garbled = engine::encodeSynthesize(SynthRequest{});
    garbled.resize(engine::kHeaderSize + 3);
    const uint32_t three = 3;
    std::memcpy(garbled.data(), &three, sizeof three);
    const struct {
        const char* name;
        std::vector<uint8_t> frame;
    } cases[] = {
        {"a frame past the largest payload", huge},
        {"a request cut short", garbled},
        {"a message only a worker sends", engine::encodeDone(std::nullopt)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto worker = engine::EngineProcess::start(TALLAMO_ENGINE_DOUBLE);
        ASSERT_TRUE(worker.ok()) << worker.fault().message;
        engine::Channel& channel = worker.value()->channel();
        engine::Frame frame;
        ASSERT_EQ(channel.receive(frame, 10s), engine::Channel::Status::Ok);
        ASSERT_EQ(frame.type, engine::MessageType::Ready);
        ASSERT_EQ(channel.send(c.frame, 10s), engine::Channel::Status::Ok);
        EXPECT_EQ(channel.receive(frame, 10s), engine::Channel::Status::Closed);
        EXPECT_EQ(worker.value()->endDescription(), "it could not read what it was sent");
    }

    auto synthesizer = makeEngineSynthesizer({TALLAMO_ENGINE_DOUBLE});
    const std::vector<pid_t> before = engineProcesses(1);
    SynthRequest request;
    request.text = std::u32string((engine::kMaxPayload / sizeof(char32_t)) + 1, U'a');
    request.voiceId = synthesizer->voices().at(0).Id();
    struct : SynthSink {
        bool audio(std::span<const int16_t>) override { return true; }
        bool event(const SynthEvent&) override { return true; }
    } sink;
    const base::Result<void> refused = synthesizer->synthesize(request, sink);
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.fault().message,
              "A piece of the text is too long for the speech engine, which takes at most 16 MB at once.");
    EXPECT_EQ(engineProcesses(1), before);
}

// Fresh requests sent all at once (which the platform never does, waiting for each run's end) are
// answered, every one, by a bounded number of processes: the fresh runs past the bound wait for a
// child to go instead of each forking one.
TEST(EngineWorkers, AFloodOfFreshRequestsIsAnsweredByABoundedNumberOfProcesses) {
    auto worker = engine::EngineProcess::start(TALLAMO_ENGINE_DOUBLE);
    ASSERT_TRUE(worker.ok()) << worker.fault().message;
    engine::Channel& channel = worker.value()->channel();
    engine::Frame frame;
    ASSERT_EQ(channel.receive(frame, 10s), engine::Channel::Status::Ok);
    const auto ready = engine::decodeReady(frame.payload);
    ASSERT_TRUE(ready && !ready->voices.empty());
    SynthRequest request;
    request.text = U"One word.";
    request.voiceId = ready->voices.front().Id();
    request.bulk = true;
    constexpr int kRequests = 50;
    for (int i = 0; i < kRequests; ++i)
        ASSERT_EQ(channel.send(engine::encodeSynthesize(request), 10s), engine::Channel::Status::Ok);
    size_t peak = 0;
    for (int done = 0; done < kRequests;) {
        ASSERT_EQ(channel.receive(frame, 10s), engine::Channel::Status::Ok) << done << " answered";
        done += frame.type == engine::MessageType::Done;
        size_t alive = 0;
        for (const auto& child : childProcesses(worker.value()->pid())) alive += child.state != 'Z';
        peak = std::max(peak, alive);
    }
    EXPECT_LE(peak, 4u);
}
