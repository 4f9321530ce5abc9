// SPDX-License-Identifier: GPL-3.0-or-later
// The voice's queue, worker and sinks over the scripted synthesizer and the virtual-clock device.
#include <gtest/gtest.h>
#include <sched.h>
#include <sndfile.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "speech/streams.h"
#include "speech/voice.h"
#include "tests/support/document_fixtures.h"
#include "tests/support/test_files.h"
#include "tests/support/voice_helpers.h"

using namespace speech;
using namespace testing_support;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

std::vector<VoiceEvent> ofKind(const std::vector<VoiceEvent>& events, EventKind kind) {
    std::vector<VoiceEvent> out;
    for (const auto& e : events)
        if (e.kind == kind) out.push_back(e);
    return out;
}

// Every stream that starts ends exactly once, nothing of a stream comes outside its pair, and stream
// positions never go back within a stream.
void expectWellFormed(const std::vector<VoiceEvent>& events) {
    std::map<uint32_t, int> state;  // 0 none, 1 started, 2 ended
    std::map<uint32_t, uint64_t> last;
    for (const auto& e : events) {
        auto& s = state[e.streamNumber];
        if (e.kind == EventKind::StartStream) {
            EXPECT_EQ(s, 0) << "second StartStream of stream " << e.streamNumber;
            s = 1;
        } else if (e.kind == EventKind::EndStream) {
            EXPECT_EQ(s, 1) << "EndStream without StartStream in stream " << e.streamNumber;
            s = 2;
        } else {
            EXPECT_EQ(s, 1) << eventTitle(e.kind) << " outside its stream " << e.streamNumber;
        }
        EXPECT_GE(e.streamPosition, last[e.streamNumber]) << eventTitle(e.kind);
        last[e.streamNumber] = e.streamPosition;
    }
    for (const auto& [number, s] : state) EXPECT_EQ(s, 2) << "stream " << number << " never ended";
}

std::shared_ptr<SpFileStream> openFile(const std::string& path, int32_t type = SAFT22kHz16BitMono) {
    auto stream = std::make_shared<SpFileStream>();
    stream->Format().SetType(type);
    stream->Open(path, SSFMCreateForWrite, false);
    return stream;
}

const std::u16string kFiveSentences = u"One one one. Two two two. Three three three. Four four four. Five five five.";

}  // namespace

TEST(VoiceQueue, FileOutputGivesPairedOrderedEventsWithWordsOfTheText) {
    ScriptedBackends b;
    SpVoice voice(b.backends());
    EventLog log(voice);
    TempDir dir;
    auto file = openFile(dir.file("out.wav"));
    voice.SetAudioOutputStream(file);
    const std::u16string text = u"Hello there, world.\r\nA second line.";
    EXPECT_EQ(voice.Speak(text, SVSFDefault), 1u);
    EXPECT_EQ(voice.Speak(u"More.", SVSFDefault), 2u);
    file->Close();

    auto events = log.events();
    expectWellFormed(events);
    ASSERT_GE(events.size(), 4u);
    EXPECT_EQ(events.front().kind, EventKind::StartStream);
    EXPECT_EQ(events.back().kind, EventKind::EndStream);
    EXPECT_EQ(events.back().streamNumber, 2u);

    std::vector<std::u16string> words;
    for (const auto& w : ofKind(events, EventKind::Word)) {
        if (w.streamNumber == 1) words.push_back(text.substr(w.characterPosition, w.length));
    }
    EXPECT_EQ(words, (std::vector<std::u16string>{u"Hello", u"there", u"world", u"A", u"second", u"line"}));
    EXPECT_EQ(ofKind(events, EventKind::Sentence).size(), 3u);

    // The stream positions count bytes of the output: the first stream's end is its audio length.
    const auto ends = ofKind(events, EventKind::EndStream);
    SF_INFO info{};
    SNDFILE* f = sf_open(dir.file("out.wav").c_str(), SFM_READ, &info);
    ASSERT_NE(f, nullptr);
    sf_close(f);
    EXPECT_EQ(static_cast<uint64_t>(info.frames) * 2, ends[0].streamPosition + ends[1].streamPosition);
}

TEST(VoiceQueue, VisemesCarryDurationAndTheNextShape) {
    ScriptedBackends b;
    SpVoice voice(b.backends());
    EventLog log(voice);
    TempDir dir;
    auto file = openFile(dir.file("v.wav"));
    voice.SetAudioOutputStream(file);
    voice.Speak(u"abc", SVSFDefault);
    auto visemes = ofKind(log.events(), EventKind::Viseme);
    ASSERT_EQ(visemes.size(), 3u);
    for (size_t i = 0; i + 1 < visemes.size(); ++i) {
        EXPECT_EQ(visemes[i].next, visemes[i + 1].current);
        EXPECT_EQ(visemes[i].duration, 10);  // 220 samples at 22.05 kHz
    }
    EXPECT_EQ(visemes[0].current, static_cast<int32_t>(U'a' % 22));
    EXPECT_EQ(visemes.back().next, 0);
    EXPECT_EQ(visemes[0].feature & SVF_Stressed, SVF_Stressed);
}

TEST(VoiceQueue, EventInterestsFilterWhatIsQueued) {
    ScriptedBackends b;
    SpVoice voice(b.backends());
    EXPECT_EQ(voice.EventInterests(), kDefaultEventInterests);
    EventLog log(voice);
    TempDir dir;
    voice.SetAudioOutputStream(openFile(dir.file("i.wav")));
    voice.SetEventInterests(SVEStartInputStream | SVEEndInputStream);
    voice.Speak(u"Some words here.", SVSFDefault);
    auto events = log.events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].kind, EventKind::StartStream);
    EXPECT_EQ(events[1].kind, EventKind::EndStream);

    voice.SetEventInterests(SVEAllEvents);
    voice.Speak(u"Level.", SVSFDefault);
    EXPECT_FALSE(ofKind(log.events(), EventKind::AudioLevel).empty());
}

TEST(VoiceQueue, EngineFailureStillEndsTheStream) {
    ScriptedBackends b;
    b.synth->failOn = U'#';
    SpVoice voice(b.backends());
    EventLog log(voice);
    TempDir dir;
    voice.SetAudioOutputStream(openFile(dir.file("f.wav")));
    voice.Speak(u"Fine. Broken # here. Never.", SVSFDefault);
    expectWellFormed(log.events());
    EXPECT_EQ(ofKind(log.events(), EventKind::EndStream).size(), 1u);
}

TEST(VoiceQueue, EmptyTextIsAStreamWithoutAudioAndPurgeAloneIsNone) {
    ScriptedBackends b;
    SpVoice voice(b.backends());
    EventLog log(voice);
    TempDir dir;
    auto file = openFile(dir.file("e.wav"));
    voice.SetAudioOutputStream(file);
    EXPECT_EQ(voice.Speak(u"", SVSFDefault), 1u);
    EXPECT_EQ(file->bytesWritten(), 0u);
    EXPECT_EQ(voice.Speak(u"", SVSFPurgeBeforeSpeak), 0u);
    EXPECT_TRUE(voice.WaitUntilDone(1000));
    auto events = log.events();
    ASSERT_EQ(events.size(), 2u);
    expectWellFormed(events);
}

TEST(VoiceQueue, FileOutputIsNotHeldByAPause) {
    ScriptedBackends b;
    SpVoice voice(b.backends());
    TempDir dir;
    auto file = openFile(dir.file("p.wav"));
    voice.SetAudioOutputStream(file);
    voice.Pause();
    voice.Speak(u"Rendered even though the voice is paused.", SVSFlagsAsync);
    EXPECT_TRUE(voice.WaitUntilDone(5000));
    EXPECT_GT(file->bytesWritten(), 0u);
    EXPECT_TRUE(voice.isPaused());
}

TEST(VoiceQueue, AFileIsRenderedAsBatchWorkAndTheDeviceIsSpokenToAsOrdinaryWork) {
    // The voice's thread is a batch thread only while it renders into a file: speech that follows on the
    // device must not wait behind other work for its turn.
    ScriptedBackends b;
    SpVoice voice(b.backends());
    std::mutex mutex;
    std::map<uint32_t, std::set<int>> policies;  // of the thread releasing each stream's events
    voice.SetNotify([&] {
        const int policy = ::sched_getscheduler(0);
        std::lock_guard lock(mutex);
        for (const auto& e : voice.TakeEvents()) policies[e.streamNumber].insert(policy);
    });
    TempDir dir;
    voice.SetAudioOutputStream(openFile(dir.file("out.wav")));
    voice.Speak(u"Into a file.", SVSFDefault);
    voice.SetAudioOutput(std::nullopt);
    voice.Speak(u"Then aloud.", SVSFDefault);
    voice.SetNotify({});
    std::lock_guard lock(mutex);
    EXPECT_EQ(policies[1], std::set<int>{SCHED_BATCH});
    EXPECT_EQ(policies[2], std::set<int>{SCHED_OTHER});
}

TEST(VoiceQueue, ClosedFileStreamOrBadSettingsRaise) {
    ScriptedBackends b;
    SpVoice voice(b.backends());
    auto closed = std::make_shared<SpFileStream>();
    voice.SetAudioOutputStream(closed);
    EXPECT_THROW(voice.Speak(u"x", SVSFDefault), Error);
    EXPECT_THROW(voice.SetRate(11), Error);
    EXPECT_THROW(voice.SetVolume(-1), Error);
    EXPECT_THROW(voice.SetAudioOutputStream(nullptr), Error);
    EXPECT_THROW(voice.SetVoice(SpObjectToken(TokenKind::AudioOutput, "x", "x")), Error);
    voice.SetRate(-10);
    EXPECT_EQ(voice.Rate(), -10);
}

TEST(VoiceQueue, NoVoicesMeansNoVoiceObject) {
    Backends backends{std::make_shared<VoicelessSynthesizer>(), VirtualAudioHost::create()};
    try {
        SpVoice voice(backends);
        FAIL() << "a voice without voices was made";
    } catch (const Error& e) {
        EXPECT_EQ(e.code(), errc::kNoVoice);
    }
}

TEST(VoiceQueue, SettingsOfTheVoiceReachTheSynthesizer) {
    ScriptedBackends b;
    SpVoice voice(b.backends());
    TempDir dir;
    voice.SetAudioOutputStream(openFile(dir.file("s.wav")));
    auto voices = voice.GetVoices("", "");
    ASSERT_EQ(voices.Count(), 2);
    EXPECT_EQ(voice.GetVoices("Gender=Male", "").Count(), 1);
    EXPECT_EQ(voice.GetVoices("", "Language=804").Item(0).Id(), "test-b");
    voice.SetVoice(voices.Item(1));
    voice.SetRate(4);
    voice.SetVolume(30);
    // The Mandarin voice gives the English word to the English voice, with the same settings.
    voice.Speak(u"你好 Hi.", SVSFDefault);
    auto requests = b.synth->requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].voiceId, "test-b");
    EXPECT_EQ(requests[1].voiceId, "test-a");
    for (const auto& r : requests) {
        EXPECT_EQ(r.rate, 4);
        EXPECT_EQ(r.volume, 30);
    }
}

// ---- device output -----------------------------------------------------------------------------------

TEST(VoiceDevice, EventsAreReleasedWhenTheirSampleIsPlayed) {
    ScriptedBackends b;  // real-time device
    SpVoice voice(b.backends());
    EventLog log(voice);
    const auto start = std::chrono::steady_clock::now();
    voice.Speak(u"aaaa bbbb cccc dddd eeee ffff gggg hhhh", SVSFlagsAsync);  // 390 ms
    ASSERT_TRUE(voice.WaitUntilDone(5000));
    auto entries = log.entries();
    ASSERT_FALSE(entries.empty());
    for (const auto& e : entries) {
        const auto releasedMs = std::chrono::duration_cast<std::chrono::milliseconds>(e.released - start).count();
        // Not before the device has played the sample (the device buffers at most 50 ms ahead).
        EXPECT_GE(releasedMs + 5, static_cast<long>(e.event.audioTimeMs)) << eventTitle(e.event.kind);
    }
    const auto end = ofKind(log.events(), EventKind::EndStream);
    ASSERT_EQ(end.size(), 1u);
    EXPECT_NEAR(static_cast<double>(end[0].audioTimeMs), 390.0, 10.0);
}

TEST(VoiceDevice, PauseHoldsSoundAndEventsAndResumeGoesOn) {
    ScriptedBackends b;
    SpVoice voice(b.backends());
    EventLog log(voice);
    voice.Speak(u"aaaa bbbb cccc dddd eeee ffff gggg hhhh iiii jjjj kkkk llll", SVSFlagsAsync);
    ASSERT_TRUE(log.waitFor(EventKind::Word, 2));
    voice.Pause();
    std::this_thread::sleep_for(30ms);
    const size_t held = log.entries().size();
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(log.entries().size(), held) << "events were released during the pause";
    EXPECT_FALSE(voice.WaitUntilDone(50));
    voice.Resume();
    EXPECT_TRUE(voice.WaitUntilDone(5000));
    expectWellFormed(log.events());
    EXPECT_EQ(ofKind(log.events(), EventKind::Word).size(), 12u);
}

TEST(VoiceDevice, PurgeFromAnotherThreadEndsTheStreamAtOnce) {
    ScriptedBackends b;
    SpVoice voice(b.backends());
    EventLog log(voice);
    std::u16string longText;
    for (int i = 0; i < 200; ++i) longText += u"word ";
    voice.Speak(longText, SVSFlagsAsync);          // 10 s
    voice.Speak(u"queued behind", SVSFlagsAsync);  // dropped by the purge
    ASSERT_TRUE(log.waitFor(EventKind::Word, 1));
    std::thread other([&] { voice.Speak(u"", SVSFPurgeBeforeSpeak); });
    other.join();
    EXPECT_TRUE(voice.WaitUntilDone(1000));
    auto events = log.events();
    expectWellFormed(events);
    EXPECT_EQ(ofKind(events, EventKind::StartStream).size(), 1u);
    EXPECT_EQ(ofKind(events, EventKind::EndStream).size(), 1u);
    EXPECT_FALSE(voice.isBusy());
}

TEST(VoiceDevice, SkipMovesBySentencesFromTheOneHeard) {
    ScriptedBackends b;
    b.synth->samplesPerChar = 2205;  // a second per sentence: no sentence ends during the test
    SpVoice voice(b.backends());
    EventLog log(voice);
    voice.Speak(kFiveSentences, SVSFlagsAsync);
    ASSERT_TRUE(log.waitFor(EventKind::Sentence, 1));
    long skipped = 0;
    std::thread other([&] { skipped = voice.Skip("Sentence", 2); });
    other.join();
    EXPECT_EQ(skipped, 2);
    ASSERT_TRUE(log.waitFor(EventKind::Sentence, 2));
    auto sentences = ofKind(log.events(), EventKind::Sentence);
    EXPECT_EQ(kFiveSentences.substr(sentences[1].characterPosition, 5), u"Three");

    EXPECT_EQ(voice.Skip("Sentence", -1), -1);
    ASSERT_TRUE(log.waitFor(EventKind::Sentence, 3));
    sentences = ofKind(log.events(), EventKind::Sentence);
    EXPECT_EQ(kFiveSentences.substr(sentences[2].characterPosition, 3), u"Two");

    EXPECT_EQ(voice.Skip("sentence", 0), 0);
    ASSERT_TRUE(log.waitFor(EventKind::Sentence, 4));
    EXPECT_EQ(ofKind(log.events(), EventKind::Sentence)[3].characterPosition, sentences[2].characterPosition);

    // Past the end: counts what was left and ends the stream.
    EXPECT_EQ(voice.Skip("Sentence", 100), 4);
    EXPECT_TRUE(voice.WaitUntilDone(2000));
    expectWellFormed(log.events());

    try {
        voice.Skip("Word", 1);
        FAIL() << "skipping words was accepted";
    } catch (const Error& e) {
        EXPECT_EQ(e.code(), errc::kInvalidArg);
    }
    EXPECT_EQ(voice.Skip("Sentence", 1), 0);  // nothing speaking
}

TEST(VoiceDevice, NoDeviceRaisesAtOnceInsteadOfHanging) {
    ScriptedBackends b;
    b.host->setDevices({});
    SpVoice voice(b.backends());
    EXPECT_EQ(voice.GetAudioOutputs("", "").Count(), 0);
    try {
        voice.Speak(u"Hello", SVSFDefault);
        FAIL() << "speaking without a device succeeded";
    } catch (const Error& e) {
        EXPECT_EQ(e.code(), errc::kNoAudioDevice);
        EXPECT_NE(e.description().find("No audio output device"), std::string::npos);
    }
    EXPECT_FALSE(voice.isBusy());
}

TEST(VoiceDevice, LostDeviceEndsTheStreamThenRaisesThenReconnects) {
    ScriptedBackends b;
    SpVoice voice(b.backends());
    EventLog log(voice);
    std::u16string longText;
    for (int i = 0; i < 100; ++i) longText += u"word ";
    voice.Speak(longText, SVSFlagsAsync);
    ASSERT_TRUE(log.waitFor(EventKind::Word, 1));
    b.host->loseDevices();
    ASSERT_TRUE(log.waitFor(EventKind::EndStream, 1, 2000ms));
    EXPECT_TRUE(voice.WaitUntilDone(1000));
    // Rendering into a file is not the device's business.
    TempDir dir;
    auto file = openFile(dir.file("meanwhile.wav"));
    voice.SetAudioOutputStream(file);
    voice.Speak(u"Into a file", SVSFDefault);
    EXPECT_GT(file->bytesWritten(), 0u);
    voice.SetAudioOutput(std::nullopt);
    try {
        voice.Speak(u"Next", SVSFlagsAsync);
        ADD_FAILURE() << "the lost device was not reported";
    } catch (const Error& e) {
        EXPECT_EQ(e.code(), errc::kDeviceLost);
    }
    EXPECT_EQ(b.host->liveStreams(), 0);
    b.host->restore();
    voice.Speak(u"Back again", SVSFDefault);
    expectWellFormed(log.events());
    EXPECT_EQ(ofKind(log.events(), EventKind::EndStream).size(), 3u);
}

TEST(VoiceDevice, DestroyingASpeakingVoiceStopsAndReleasesTheDevice) {
    ScriptedBackends b;
    {
        SpVoice voice(b.backends());
        std::u16string longText;
        for (int i = 0; i < 400; ++i) longText += u"word ";
        voice.Speak(longText, SVSFlagsAsync);
        voice.Speak(longText, SVSFlagsAsync);
        while (b.host->liveStreams() == 0) std::this_thread::sleep_for(1ms);
    }
    EXPECT_EQ(b.host->liveStreams(), 0);
}

TEST(VoiceDevice, WaitUntilDoneTimesOutWhileSpeaking) {
    ScriptedBackends b;
    SpVoice voice(b.backends());
    voice.Speak(u"aaaa bbbb cccc dddd eeee ffff", SVSFlagsAsync);
    EXPECT_FALSE(voice.WaitUntilDone(20));
    EXPECT_TRUE(voice.isBusy());
    EXPECT_TRUE(voice.WaitUntilDone(-1));
    EXPECT_FALSE(voice.isBusy());
}

TEST(VoiceDevice, OutputAndFormatChoicesReachTheDevice) {
    ScriptedBackends b;
    SpVoice voice(b.backends());
    auto outputs = voice.GetAudioOutputs("", "");
    ASSERT_EQ(outputs.Count(), 2);
    EXPECT_EQ(outputs.Item(1).GetDescription(0), "Second Output");

    voice.SetAudioOutput(outputs.Item(1));
    auto stream = voice.AudioOutputStream();
    ASSERT_EQ(stream->kind(), SpStream::Kind::Device);
    voice.SetAllowAudioOutputFormatChangesOnNextSet(false);
    stream->Format().SetType(39);
    voice.SetAudioOutputStream(stream);
    voice.Speak(u"ab", SVSFDefault);
    EXPECT_EQ(b.host->lastDeviceId(), "second_sink");
    EXPECT_EQ(b.host->lastFormat(), (WaveFormat{48000, 16, 2}));

    // Allowed to change: setting the device stream again puts it back to the engine's format.
    voice.SetAllowAudioOutputFormatChangesOnNextSet(true);
    voice.SetAudioOutputStream(stream);
    EXPECT_EQ(stream->formatType(), SAFT22kHz16BitMono);

    // A file stream is dropped by choosing an output again.
    TempDir dir;
    voice.SetAudioOutputStream(openFile(dir.file("x.wav")));
    voice.SetAudioOutput(std::nullopt);
    EXPECT_EQ(voice.AudioOutputStream()->kind(), SpStream::Kind::Device);
    EXPECT_FALSE(voice.AudioOutput().has_value());
}

// ---- named files -------------------------------------------------------------------------------------

TEST(VoiceNamedFiles, TextFilesAreDecodedAndBadFilesRaiseNamingTheFile) {
    ScriptedBackends b;
    SpVoice voice(b.backends());
    TempDir dir;
    voice.SetAudioOutputStream(openFile(dir.file("n.wav")));
    voice.setMixedScript(false);  // the whole text in one request

    const std::string utf16 = dir.file("utf16.txt");
    {
        std::ofstream out(utf16, std::ios::binary);
        out.write("\xFF\xFEH\0i\0 \0\x2D\x4E", 10);  // BOM, "Hi 中"
    }
    voice.Speak(u16(utf16), SVSFIsFilename);
    ASSERT_FALSE(b.synth->requests().empty());
    EXPECT_EQ(b.synth->requests().back().text, U"Hi \u4E2D");

    const std::string bad = dir.file("bad.txt");
    {
        std::ofstream out(bad, std::ios::binary);
        out << "十二个汉字的一行中文文字 ok \xC3\x28 end";  // mostly UTF-8: one damaged sequence
    }
    voice.Speak(u16(bad), SVSFIsFilename);
    EXPECT_NE(b.synth->requests().back().text.find(U'\uFFFD'), std::u32string::npos);

    auto expectRaises = [&](const std::string& path, int32_t code) {
        try {
            voice.Speak(u16(path), SVSFIsFilename);
            ADD_FAILURE() << path << " was accepted";
        } catch (const Error& e) {
            EXPECT_EQ(e.code(), code) << e.description();
            EXPECT_NE(e.description().find(path), std::string::npos) << e.description();
        }
    };
    expectRaises(dir.file("missing.txt"), errc::kNotFound);
    const std::string binary = dir.file("program.bin");
    {
        std::ofstream out(binary, std::ios::binary);
        for (int i = 0; i < 4096; ++i) out.put(static_cast<char>(i * 7 % 32));
    }
    expectRaises(binary, errc::kFile);
    const std::string truncated = dir.file("cut.wav");
    {
        std::ofstream out(truncated, std::ios::binary);
        out.write("RIFF\x24\x08\0\0WAVEfmt ", 16);
    }
    expectRaises(truncated, errc::kFile);
}

namespace {

// The PDF reader this process started, once it is in `state` ('R': reading a page).
ProcessInfo pdfReaderIn(char state) {
    for (;;) {
        for (const auto& child : childProcesses(::getpid())) {
            if (child.name == "tallamo-pdf" && child.state == state) return child;
        }
        std::this_thread::sleep_for(10ms);
    }
}

}  // namespace

// A purge stops a PDF being read for the voice at once, whether Speak is reading its first page on
// the caller's thread or the worker a later one: no page waits out its bound, and no reader is left.
TEST(VoiceNamedFiles, APurgeStopsAPdfBeingReadOnEitherThread) {
    ScriptedBackends b;
    SpVoice voice(b.backends());
    documents::Options patient;
    patient.limits.pdfPageTime = 10min;  // only a purge ends these pages within a test's time
    voice.setDocumentOptions(patient);
    TempDir dir;
    voice.SetAudioOutputStream(openFile(dir.file("n.wav")));
    const fixtures::PdfPage forms{fixtures::PdfPage::NestedForms, {}, 0};
    fixtures::writeFile(dir.file("first.pdf"), fixtures::handMadePdf({forms}));
    fixtures::writeFile(dir.file("later.pdf"),
                        fixtures::handMadePdf({{fixtures::PdfPage::Text, "Page one.", 0}, forms}));

    std::thread speaking([&] {
        try {
            voice.Speak(u16(dir.file("first.pdf")), SVSFIsFilename | SVSFlagsAsync);
            ADD_FAILURE() << "the PDF was spoken";
        } catch (const Error& e) {
            EXPECT_EQ(e.code(), errc::kCancelled) << e.description();
        }
    });
    pdfReaderIn('R');
    voice.Speak(u"", SVSFPurgeBeforeSpeak);
    speaking.join();

    voice.Speak(u16(dir.file("later.pdf")), SVSFIsFilename | SVSFlagsAsync);
    pdfReaderIn('R');  // the worker reads on into the second page
    voice.Speak(u"", SVSFPurgeBeforeSpeak);
    EXPECT_TRUE(voice.WaitUntilDone(-1));
    EXPECT_TRUE(childProcesses(::getpid()).empty());
}

TEST(VoiceNamedFiles, SoundFilesPlayInTheOutputFormat) {
    ScriptedBackends b;
    SpVoice voice(b.backends());
    EventLog log(voice);
    TempDir dir;
    struct Case {
        int format;
        int rate;
        int channels;
    };
    for (Case c : {Case{SF_FORMAT_PCM_U8, 8000, 1}, Case{SF_FORMAT_PCM_16, 44100, 2}, Case{SF_FORMAT_PCM_24, 16000, 1},
                   Case{SF_FORMAT_FLOAT, 48000, 2}}) {
        const std::string in = dir.file("in.wav");
        SF_INFO info{};
        info.samplerate = c.rate;
        info.channels = c.channels;
        info.format = SF_FORMAT_WAV | c.format;
        SNDFILE* f = sf_open(in.c_str(), SFM_WRITE, &info);
        ASSERT_NE(f, nullptr);
        std::vector<float> tone(static_cast<size_t>(c.rate / 2 * c.channels));  // 0.5 s
        for (size_t i = 0; i < tone.size(); ++i) tone[i] = 0.5f * std::sin(static_cast<float>(i / c.channels) * 0.05f);
        sf_writef_float(f, tone.data(), c.rate / 2);
        sf_close(f);

        const std::string out = dir.file("out.wav");
        auto file = openFile(out, 39);  // 48 kHz 16-bit stereo
        voice.SetAudioOutputStream(file);
        voice.Speak(u16(in), SVSFIsFilename);
        file->Close();
        SF_INFO got{};
        SNDFILE* g = sf_open(out.c_str(), SFM_READ, &got);
        ASSERT_NE(g, nullptr);
        std::vector<float> samples(static_cast<size_t>(got.frames * got.channels));
        sf_readf_float(g, samples.data(), got.frames);
        sf_close(g);
        EXPECT_EQ(got.samplerate, 48000);
        EXPECT_EQ(got.channels, 2);
        EXPECT_NEAR(static_cast<double>(got.frames), 24000.0, 100.0) << "input rate " << c.rate;
        float peak = 0;
        for (float s : samples) peak = std::max(peak, std::abs(s));
        EXPECT_GT(peak, 0.3f);
    }
    expectWellFormed(log.events());
}

TEST(VoiceQueue, BookmarksAndVoiceChangesFromMarkupArriveInPlace) {
    ScriptedBackends b;
    SpVoice voice(b.backends());
    EventLog log(voice);
    TempDir dir;
    voice.SetAudioOutputStream(openFile(dir.file("m.wav")));
    const std::u16string text = u"Hello <bookmark mark=\"7 seven\"/>world <voice required=\"Name=B\">other</voice> end";
    voice.Speak(text, SVSFIsXML);
    auto events = log.events();
    expectWellFormed(events);
    std::vector<std::string> order;
    for (const auto& e : events) {
        if (e.kind == EventKind::Word) order.push_back(utf8(text.substr(e.characterPosition, e.length)));
        if (e.kind == EventKind::Bookmark) order.push_back("#" + e.bookmark + "/" + std::to_string(e.bookmarkId));
        if (e.kind == EventKind::VoiceChange) order.push_back("voice " + (e.token ? e.token->Id() : std::string()));
    }
    EXPECT_EQ(order, (std::vector<std::string>{"Hello", "#7 seven/7", "world", "voice test-b", "other", "voice test-a",
                                               "end"}));
}
