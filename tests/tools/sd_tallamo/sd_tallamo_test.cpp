// SPDX-License-Identifier: GPL-3.0-or-later
// The speech-dispatcher module: its protocol against a recording backend (tables of lines in, lines
// out), the SSML it hands the voice, and the whole module served over pipes with the real voice on a
// scripted synthesizer and a virtual-clock device.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <mutex>
#include <sstream>
#include <thread>

#include "speech/voice.h"
#include "tests/support/scripted_synthesizer.h"
#include "tests/support/test_files.h"
#include "tests/support/virtual_device.h"
#include "tools/sd_tallamo/messages.h"
#include "tools/sd_tallamo/module_loop.h"
#include "tools/sd_tallamo/protocol.h"
#include "tools/sd_tallamo/voice_backend.h"

namespace {

using namespace sd_tallamo;
using speech::SpObjectToken;
using speech::TokenKind;

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
        lines.push_back(text.substr(start, nl - start));
    return lines;
}

std::vector<std::string> lastLines(const std::vector<std::string>& lines, size_t n) {
    return {lines.end() - static_cast<std::ptrdiff_t>(std::min(n, lines.size())), lines.end()};
}

struct Collected final : Output {
    std::string text;
    void write(std::string_view block) override {
        EXPECT_TRUE(block.ends_with('\n')) << block;
        text += block;
    }
};

// Records what the protocol asks; raises events as a test tells it to.
struct RecordingBackend final : Backend {
    bool initOk = true;
    std::optional<std::string> audioFailure;
    bool refuse = false;
    bool beginAtOnce = false;
    std::vector<std::string> spoken;
    Settings lastSettings;
    int stops = 0;
    int pauses = 0;

    InitResult init() override { return {initOk, initOk ? "ready" : "no engine"}; }
    std::optional<std::string> openAudio(const std::map<std::string, std::string>&) override { return audioFailure; }
    bool hasVoice(std::string_view name) override { return name == "Alpha" || name == "Beta (x)"; }
    std::vector<VoiceListing> voices() override { return {{"Alpha", "en-US", ""}, {"Beta (x)", "zh", ""}}; }
    bool speak(MessageKind, const std::string& data, const Settings& settings, Events& events) override {
        if (refuse) return false;
        spoken.push_back(data);
        lastSettings = settings;
        if (beginAtOnce) events.begin();
        return true;
    }
    void stop(Events&) override { ++stops; }
    void pause(Events&) override { ++pauses; }
};

struct ProtocolFixture {
    RecordingBackend backend;
    Collected out;
    Log log;
    Protocol protocol{backend, out, log};
    bool feed(const std::vector<std::string>& lines) {
        bool goOn = true;
        for (const auto& l : lines) goOn = protocol.handleLine(l);
        return goOn;
    }
    std::vector<std::string> lines() const { return splitLines(out.text); }
};

struct Exchange {
    const char* name;
    std::vector<std::string> in;
    std::vector<std::string> out;
};

TEST(SdProtocol, AnswersEachCommandAsTheProtocolSays) {
    const testing_support::TempDir folder;
    const std::string debugFile = folder.file("debug.log");
    const std::string half(Protocol::kMaxMessageBytes / 2, 'x');  // two such lines pass the bound
    const std::vector<Exchange> table = {
        {"init", {"INIT"}, {"299-ready", "299 OK LOADED SUCCESSFULLY"}},
        {"audio",
         {"AUDIO", "audio_output_method=pulse", "audio_pulse_device=default", "."},
         {"207 OK RECEIVING AUDIO SETTINGS", "203 OK AUDIO INITIALIZED"}},
        {"audio without name=value",
         {"AUDIO", "pulse", "."},
         {"207 OK RECEIVING AUDIO SETTINGS", "300-a line without a name=value pair", "300 MODULE ERROR"}},
        {"settings, unknown names ignored",
         {"SET", "rate=20", "pitch=-10", "punctuation_some=NULL", "synthesis_voice=NULL", "voice=male1", "."},
         {"207 OK RECEIVING SETTINGS", "203 OK SETTINGS RECEIVED"}},
        {"setting without =", {"SET", "rate 20", "."}, {"207 OK RECEIVING SETTINGS", "302 ERROR BAD SYNTAX"}},
        {"rate not a number",
         {"SET", "rate=fast", "."},
         {"207 OK RECEIVING SETTINGS", "303 ERROR INVALID PARAMETER OR VALUE"}},
        {"rate out of range",
         {"SET", "rate=101", "."},
         {"207 OK RECEIVING SETTINGS", "303 ERROR INVALID PARAMETER OR VALUE"}},
        {"punctuation mode",
         {"SET", "punctuation_mode=loud", "."},
         {"207 OK RECEIVING SETTINGS", "303 ERROR INVALID PARAMETER OR VALUE"}},
        {"spelling mode",
         {"SET", "spelling_mode=maybe", "."},
         {"207 OK RECEIVING SETTINGS", "303 ERROR INVALID PARAMETER OR VALUE"}},
        {"voice type",
         {"SET", "voice=ROBOT", "."},
         {"207 OK RECEIVING SETTINGS", "303 ERROR INVALID PARAMETER OR VALUE"}},
        {"unknown voice",
         {"SET", "synthesis_voice=Nobody", "."},
         {"207 OK RECEIVING SETTINGS", "303 ERROR INVALID PARAMETER OR VALUE"}},
        {"settings block longer than a message",
         {"SET", "a=" + half, "b=" + half, "rate=10", "."},
         {"207 OK RECEIVING SETTINGS", "303 ERROR INVALID PARAMETER OR VALUE"}},
        {"audio block longer than a message",
         {"AUDIO", "a=" + half, "b=" + half, "."},
         {"207 OK RECEIVING AUDIO SETTINGS", "300-a block longer than the module takes", "300 MODULE ERROR"}},
        {"log level", {"LOGLEVEL", "log_level=5", "."}, {"207 OK RECEIVING SETTINGS", "203 OK LOGLEVEL SET"}},
        {"log level out of range",
         {"LOGLEVEL", "log_level=9", "."},
         {"207 OK RECEIVING SETTINGS", "303 ERROR INVALID PARAMETER OR VALUE"}},
        {"voices", {"LIST VOICES"}, {"200-Alpha\ten-US\tnone", "200-Beta (x)\tzh\tnone", "200 OK VOICE LIST SENT"}},
        {"speak", {"SPEAK", "<speak>a", "..b", "</speak>", "."}, {"202 OK RECEIVING MESSAGE", "200 OK SPEAKING"}},
        {"char of two lines", {"CHAR", "a", "b", "."}, {"202 OK RECEIVING MESSAGE", "305 DATA MORE THAN ONE LINE"}},
        {"key without data", {"KEY", "."}, {"202 OK RECEIVING MESSAGE", "301 ERROR CANT SPEAK"}},
        {"sound icon", {"SOUND_ICON", "message", "."}, {"202 OK RECEIVING MESSAGE", "200 OK SPEAKING"}},
        {"debug on", {"DEBUG ON " + debugFile}, {"200 OK DEBUGGING ON"}},
        {"debug file that cannot be made", {"DEBUG ON /nonexistent/dir/log"}, {"303 CANT OPEN CUSTOM DEBUG FILE"}},
        {"debug off", {"DEBUG OFF"}, {"200 OK DEBUGGING OFF"}},
        {"debug without a switch", {"DEBUG"}, {"302 ERROR BAD SYNTAX"}},
        {"unknown and empty commands",
         {"SPEAK NOW", "", "\x01\xff"},
         {"300 ERR UNKNOWN COMMAND", "300 ERR UNKNOWN COMMAND", "300 ERR UNKNOWN COMMAND"}},
        {"stop and pause while silent", {"STOP", "PAUSE"}, {}},
        {"quit", {"QUIT"}, {"210 OK QUIT"}},
    };
    for (const auto& e : table) {
        ProtocolFixture f;
        const bool goOn = f.feed(e.in);
        EXPECT_EQ(f.lines(), e.out) << e.name;
        EXPECT_EQ(goOn, std::string(e.name) != "quit") << e.name;
    }
}

TEST(SdProtocol, SettingsChangeTogetherAndReachTheMessage) {
    ProtocolFixture f;
    f.feed({"SET", "rate=-40", "pitch=20", "volume=-100", "punctuation_mode=most", "spelling_mode=on", "language=zh",
            "voice=FEMALE1", "synthesis_voice=Beta (x)", "cap_let_recogn=spell", "."});
    f.feed({"SET", "rate=50", "pitch=500", "."});  // refused whole: the rate stays
    f.feed({"SPEAK", "<speak>x</speak>", "."});
    Settings expected;
    expected.rate = -40;
    expected.pitch = 20;
    expected.volume = -100;
    expected.punctuation = Punctuation::Most;
    expected.spelling = true;
    expected.language = "zh";
    expected.voiceType = "FEMALE1";
    expected.synthesisVoice = "Beta (x)";
    expected.capitalLetters = "spell";
    EXPECT_EQ(f.backend.lastSettings, expected);
    f.feed({"SET", "language=NULL", "synthesis_voice=NULL", "."});
    EXPECT_TRUE(f.protocol.settings().language.empty());
    EXPECT_TRUE(f.protocol.settings().synthesisVoice.empty());
}

TEST(SdProtocol, EventsFollowTheirMessageAndNeverSplitAReply) {
    ProtocolFixture f;
    f.backend.beginAtOnce = true;
    // A message's data, a doubled leading dot undone; its BEGIN after the reply.
    f.feed({"SPEAK", "<speak>", "..a", "</speak>", "."});
    ASSERT_EQ(f.backend.spoken, std::vector<std::string>{"<speak>\n.a\n</speak>"});
    // A mark raised while a SET is being received waits for its reply.
    f.feed({"SET", "rate=10"});
    f.protocol.mark("one\ntwo");
    f.feed({"."});
    // No second message while one speaks.
    f.feed({"SPEAK", "<speak>b</speak>", "."});
    f.feed({"STOP", "PAUSE"});
    f.protocol.stopped();
    f.protocol.mark("late");  // after the message's end: dropped
    f.protocol.end();
    EXPECT_EQ(f.lines(), (std::vector<std::string>{"202 OK RECEIVING MESSAGE", "200 OK SPEAKING", "701 BEGIN",
                                                   "207 OK RECEIVING SETTINGS", "203 OK SETTINGS RECEIVED",
                                                   "700-one two", "700 INDEX MARK", "202 OK RECEIVING MESSAGE",
                                                   "301 ERROR CANT SPEAK", "703 STOP"}));
    EXPECT_EQ(f.backend.stops, 1);
    EXPECT_EQ(f.backend.pauses, 1);

    // A message that ends before it was heard still opens with BEGIN.
    ProtocolFixture g;
    g.feed({"KEY", "shift_a", "."});
    g.protocol.paused();
    EXPECT_EQ(g.lines(),
              (std::vector<std::string>{"202 OK RECEIVING MESSAGE", "200 OK SPEAKING", "701 BEGIN", "704 PAUSE"}));
}

TEST(SdProtocol, FailuresOfTheBackendAreAnswered) {
    ProtocolFixture f;
    f.backend.initOk = false;
    EXPECT_FALSE(f.feed({"INIT"}));
    ProtocolFixture g;
    g.backend.refuse = true;
    g.backend.audioFailure = "no server";
    EXPECT_TRUE(g.feed({"AUDIO", "audio_output_method=pulse", ".", "SPEAK", "<speak>a</speak>", "."}));
    EXPECT_FALSE(g.protocol.speaking());
    EXPECT_EQ(f.lines(), (std::vector<std::string>{"399-no engine", "399 ERR CANT INIT MODULE"}));
    EXPECT_EQ(g.lines(),
              (std::vector<std::string>{"207 OK RECEIVING AUDIO SETTINGS", "300-no server", "300 MODULE ERROR",
                                        "202 OK RECEIVING MESSAGE", "301 ERROR CANT SPEAK"}));
}

TEST(SdMessages, TheVoiceIsHandedSsml) {
    MessageOptions spelled;
    spelled.spelling = true;
    MessageOptions high;
    high.pitch = 60;
    struct Case {
        std::string made;
        std::string ssml;
    };
    const std::vector<Case> table = {
        // A message's own SSML goes as it is; what the voice has no setting for goes around its content.
        {textMessage("<speak>a <mark name=\"m\"/>b</speak>", {}), "<speak>a <mark name=\"m\"/>b</speak>"},
        {textMessage("<?xml version='1.0'?>\n<speak xml:lang='zh'>ab</speak>\n", spelled),
         "<?xml version='1.0'?>\n<speak xml:lang='zh'><say-as interpret-as=\"characters\">ab</say-as></speak>\n"},
        {textMessage("<speak>a</speak>", high), "<speak><prosody pitch=\"+30%\">a</prosody></speak>"},
        {textMessage("a < b & \"c\"", {}), "<speak>a &lt; b &amp; &quot;c&quot;</speak>"},
        {textMessage("<speak/>", spelled), "<speak/>"},
        {charMessage("space", false, spelled), "<speak>space</speak>"},
        {charMessage("space", true, {}), "<speak>空格</speak>"},
        {charMessage("<", false, {}), "<speak><say-as interpret-as=\"characters\">&lt;</say-as></speak>"},
        {keyMessage("shift_a", false, {}), "<speak>shift <say-as interpret-as=\"characters\">a</say-as></speak>"},
        {keyMessage("control_alt_kp-enter", false, {}), "<speak>control alt kp enter</speak>"},
        {keyMessage("_", false, {}), "<speak><say-as interpret-as=\"characters\">_</say-as></speak>"},
        {keyMessage("shift_enter", true, {}), "<speak>上档 回车</speak>"},
        {iconMessage("message-sent_x", {}), "<speak>message sent x</speak>"},
    };
    for (const auto& c : table) EXPECT_EQ(c.made, c.ssml);

    Log log;
    std::istringstream conf(
        "# comment\nTallamoDefaultVoice \"en-gb\"  # the default\nTallamoMixedScript no\nOther 1\n");
    const ModuleConfig config = parseConfig(conf, log);
    EXPECT_EQ(config.defaultVoice, "en-gb");
    EXPECT_FALSE(config.mixedScript);
}

std::vector<SpObjectToken> testVoices() {
    auto voice = [](const char* id, const char* name, const char* language) {
        return SpObjectToken(TokenKind::Voice, id, name, {{"Language", language}, {"Name", name}});
    };
    // The engine's plain Mandarin voice comes first: a Chinese request must still get the pinyin voice.
    return {voice("cmn", "Chinese (Mandarin, engine)", "804;4"),
            voice("cmn-latn-pinyin", "Chinese (Mandarin)", "804;4"), voice("en-us", "English (America)", "409;9"),
            voice("yue", "Chinese (Cantonese)", "c04;4")};
}

// The scripted synthesizer with the voices above.
class VoicedSynthesizer final : public speech::engine::Synthesizer {
public:
    std::shared_ptr<testing_support::ScriptedSynthesizer> scripted =
        std::make_shared<testing_support::ScriptedSynthesizer>();
    std::vector<SpObjectToken> voices() override { return testVoices(); }
    int sampleRate() const override { return 22050; }
    base::Result<void> synthesize(const speech::engine::SynthRequest& request,
                                  speech::engine::SynthSink& sink) override {
        return scripted->synthesize(request, sink);
    }
};

// The module served over pipes on a thread of its own, as speech-dispatcher talks to it.
class ModuleOverPipes {
public:
    explicit ModuleOverPipes(
        double speed = 4.0, std::function<void(const std::u16string&)> readLexicons = speech::SpVoice::readSsmlLexicons)
        : synth_(std::make_shared<VoicedSynthesizer>()), host_(testing_support::VirtualAudioHost::create(speed)) {
        int in[2];
        int out[2];
        EXPECT_EQ(::pipe2(in, O_CLOEXEC), 0);
        EXPECT_EQ(::pipe2(out, O_CLOEXEC), 0);
        toModule_ = UniqueFd(in[1]);
        fromModule_ = UniqueFd(out[0]);
        moduleIn_ = UniqueFd(in[0]);
        moduleOut_ = UniqueFd(out[1]);
        output_ = std::make_unique<FdOutput>(moduleOut_.get());
        backend_ = std::make_unique<VoiceBackend>(
            [this] {
                return std::make_unique<speech::SpVoice>(speech::Backends{synth_, host_});
            },
            ModuleConfig{}, log_, [this] { wakeup_.raise(); }, std::move(readLexicons));
        protocol_ = std::make_unique<Protocol>(*backend_, *output_, log_);
        thread_ = std::thread(
            [this] { status_ = serveModule(moduleIn_.get(), wakeup_, -1, *protocol_, *backend_, *output_); });
    }
    ~ModuleOverPipes() {
        toModule_ = UniqueFd();  // speech-dispatcher went away
        if (thread_.joinable()) thread_.join();
    }
    void send(const std::string& lines) {
        ASSERT_EQ(::write(toModule_.get(), lines.data(), lines.size()), static_cast<ssize_t>(lines.size()));
    }
    // The lines the module writes up to and including `last` (or all there are after 10 s).
    std::vector<std::string> readThrough(std::string_view last) {
        std::vector<std::string> lines;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < deadline) {
            for (size_t nl; (nl = buffer_.find('\n')) != std::string::npos;) {
                lines.push_back(buffer_.substr(0, nl));
                buffer_.erase(0, nl + 1);
                if (lines.back() == last) return lines;
            }
            pollfd p{fromModule_.get(), POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0) continue;
            char chunk[4096];
            const ssize_t n = ::read(fromModule_.get(), chunk, sizeof chunk);
            if (n <= 0) break;
            buffer_.append(chunk, static_cast<size_t>(n));
        }
        return lines;
    }
    // speech-dispatcher closes its end of the pipe.
    void hangUp() { toModule_ = UniqueFd(); }
    // Waits for the module's loop to end; its exit status.
    int exitStatus() {
        thread_.join();
        return status_;
    }
    testing_support::ScriptedSynthesizer& synth() { return *synth_->scripted; }
    testing_support::VirtualAudioHost& host() { return *host_; }

private:
    std::shared_ptr<VoicedSynthesizer> synth_;
    std::shared_ptr<testing_support::VirtualAudioHost> host_;
    UniqueFd toModule_, fromModule_, moduleIn_, moduleOut_;
    Log log_;
    Wakeup wakeup_;
    std::unique_ptr<FdOutput> output_;
    std::unique_ptr<VoiceBackend> backend_;
    std::unique_ptr<Protocol> protocol_;
    std::thread thread_;
    int status_ = -1;
    std::string buffer_;
};

const std::string kStart = "INIT\nAUDIO\naudio_output_method=pulse\n.\nSET\nlanguage=zh\n.\n";

TEST(SdModule, SpeaksChineseWithTheMandarinReaderAndReportsMarksWhenHeard) {
    ModuleOverPipes m;
    m.send(kStart + "SPEAK\n<speak>利率是3.5%。<mark name=\"m1\"/>你好 world。<mark name=\"m2\"/></speak>\n.\n");
    const auto lines = m.readThrough("702 END");
    const std::vector<std::string> tail(lines.end() - std::min<size_t>(lines.size(), 7), lines.end());
    EXPECT_EQ(tail, (std::vector<std::string>{"200 OK SPEAKING", "701 BEGIN", "700-m1", "700 INDEX MARK", "700-m2",
                                              "700 INDEX MARK", "702 END"}));
    bool mandarin = false;
    for (const auto& r : m.synth().requests()) {
        EXPECT_NE(r.voiceId, "cmn");
        mandarin = mandarin || r.voiceId == "cmn-latn-pinyin";
        // The Mandarin reader, not the engine, reads the percentage.
        EXPECT_EQ(r.text.find(U'%'), std::u32string::npos);
    }
    EXPECT_TRUE(mandarin);
    // speech-dispatcher goes away: the module ends cleanly.
    m.hangUp();
    EXPECT_EQ(m.exitStatus(), 0);
}

TEST(SdModule, StopsPausesAndGoesOnWithTheNextMessage) {
    ModuleOverPipes m;
    const std::string longText =
        "<speak>" + std::string(300, 'a') + " <mark name=\"p1\"/> b <mark name=\"p2\"/> c</speak>";
    m.send(kStart + "SPEAK\n" + longText + "\n.\n");
    m.readThrough("701 BEGIN");
    m.send("STOP\n");
    EXPECT_EQ(m.readThrough("703 STOP"), std::vector<std::string>{"703 STOP"});
    // Stopped before its worker took it up.
    m.send("SPEAK\n" + longText + "\n.\nSTOP\n");
    EXPECT_EQ(m.readThrough("703 STOP"),
              (std::vector<std::string>{"202 OK RECEIVING MESSAGE", "200 OK SPEAKING", "701 BEGIN", "703 STOP"}));
    // Paused at the next mark, which is reported first.
    m.send("SPEAK\n" + longText + "\n.\n");
    m.readThrough("701 BEGIN");
    m.send("PAUSE\n");
    EXPECT_EQ(m.readThrough("704 PAUSE"), (std::vector<std::string>{"700-p1", "700 INDEX MARK", "704 PAUSE"}));
    // Malformed input is answered and the module goes on.
    m.send("SPEAK\n<speak>a<b</speak>\n.\nNONSENSE\nCHAR\nx\n.\n");
    EXPECT_EQ(m.readThrough("702 END"),
              (std::vector<std::string>{"202 OK RECEIVING MESSAGE", "301 ERROR CANT SPEAK", "300 ERR UNKNOWN COMMAND",
                                        "202 OK RECEIVING MESSAGE", "200 OK SPEAKING", "701 BEGIN", "702 END"}));
    m.send("QUIT\n");
    EXPECT_EQ(m.readThrough("210 OK QUIT"), std::vector<std::string>{"210 OK QUIT"});
    EXPECT_EQ(m.exitStatus(), 0);
}

// A message whose SSML names lexicons is answered at once and its lexicons read off the module's loop:
// while they are read, STOP, LIST VOICES and QUIT are answered; one that cannot be read (a FIFO, the
// module's own input) ends the message.
TEST(SdModule, ReadsAMessagesLexiconsOffItsLoop) {
    std::mutex mutex;
    std::condition_variable released;
    bool release = false;
    ModuleOverPipes m(4.0, [&](const std::u16string& ssml) {
        if (ssml.find(u"slow.pls") != std::u16string::npos) {
            std::unique_lock lock(mutex);
            released.wait(lock, [&] { return release; });
        }
        speech::SpVoice::readSsmlLexicons(ssml);
    });
    const testing_support::TempDir folder;
    const std::string fifo = folder.file("fifo.pls");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    m.send(kStart);
    for (const std::string& uri : {fifo, std::string("/proc/self/fd/0"), std::string("/dev/stdin")}) {
        m.send("SPEAK\n<speak><lexicon uri=\"" + uri + "\"/>a</speak>\n.\n");
        EXPECT_EQ(lastLines(m.readThrough("702 END"), 4),
                  (std::vector<std::string>{"202 OK RECEIVING MESSAGE", "200 OK SPEAKING", "701 BEGIN", "702 END"}))
            << uri;
    }
    m.send("SPEAK\n<speak><lexicon uri=\"slow.pls\"/>a</speak>\n.\n");
    m.readThrough("200 OK SPEAKING");
    m.send("LIST VOICES\nSTOP\n");
    EXPECT_EQ(lastLines(m.readThrough("703 STOP"), 3),
              (std::vector<std::string>{"200 OK VOICE LIST SENT", "701 BEGIN", "703 STOP"}));
    m.send("QUIT\n");
    EXPECT_EQ(m.readThrough("210 OK QUIT"), std::vector<std::string>{"210 OK QUIT"});
    {
        std::lock_guard lock(mutex);
        release = true;
    }
    released.notify_all();
    EXPECT_EQ(m.exitStatus(), 0);
}

// speech-dispatcher first offers to play the audio itself; the module, which plays its own, refuses,
// and takes the audio settings speech-dispatcher sends instead.
TEST(SdModule, LeavesSpeechDispatcherNoAudioToPlay) {
    ModuleOverPipes m;
    m.send("INIT\nAUDIO\naudio_output_method=server\n.\n");
    const auto lines = m.readThrough("300 MODULE ERROR");
    const std::vector<std::string> tail(lines.end() - std::min<size_t>(lines.size(), 3), lines.end());
    EXPECT_EQ(tail, (std::vector<std::string>{"207 OK RECEIVING AUDIO SETTINGS",
                                              "300-the module plays its audio itself", "300 MODULE ERROR"}));
    m.send("AUDIO\naudio_output_method=pulse,alsa\naudio_pulse_device=default\n.\nSPEAK\n<speak>a</speak>\n.\n");
    EXPECT_EQ(m.readThrough("702 END"),
              (std::vector<std::string>{"207 OK RECEIVING AUDIO SETTINGS", "203 OK AUDIO INITIALIZED",
                                        "202 OK RECEIVING MESSAGE", "200 OK SPEAKING", "701 BEGIN", "702 END"}));
}

// A screen reader's flood: each message stopped by the next wherever it is in the voice (queued,
// being synthesized, playing). Each ends once, none is refused, and the last is spoken to its end.
TEST(SdModule, EachMessageOfAFloodEndsOnceAndTheLastIsSpoken) {
    ModuleOverPipes m;
    m.synth().microsecondsPerChar = 300;
    m.send(kStart);
    m.readThrough("203 OK SETTINGS RECEIVED");
    constexpr int kMessages = 100;
    std::string flood;
    for (int i = 0; i < kMessages; ++i) {
        const bool last = i + 1 == kMessages;
        flood += "SET\nrate=" + std::to_string(i % 30) + "\n.\nSPEAK\n<speak>第" + std::to_string(i) + "项 item" +
                 (last ? "<mark name=\"last\"/></speak>\n.\n" : "</speak>\n.\nSTOP\n");
    }
    m.send(flood);
    // Each message's lines, as the codes of its replies and events.
    std::vector<std::string> messages;
    for (const auto& line : m.readThrough("700-last")) {
        if (line.starts_with("207")) messages.emplace_back();
        if (!messages.empty()) messages.back() += line.substr(0, 3) + " ";
    }
    ASSERT_EQ(messages.size(), static_cast<size_t>(kMessages));
    for (int i = 0; i + 1 < kMessages; ++i) {
        const std::string& codes = messages[static_cast<size_t>(i)];
        EXPECT_TRUE(codes == "207 203 202 200 701 703 " || codes == "207 203 202 200 701 702 ") << i << ": " << codes;
    }
    EXPECT_EQ(messages.back(), "207 203 202 200 701 700 ");
    EXPECT_EQ(m.readThrough("702 END"), (std::vector<std::string>{"700 INDEX MARK", "702 END"}));
}

TEST(SdModule, LoadsWithoutAnAudioServerAndSpeaksOnceThereIsOne) {
    ModuleOverPipes m;
    m.host().loseDevices();
    m.send(kStart + "SPEAK\n<speak>a</speak>\n.\n");
    const auto lines = m.readThrough("301 ERROR CANT SPEAK");
    EXPECT_NE(std::find(lines.begin(), lines.end(), "203 OK AUDIO INITIALIZED"), lines.end());
    m.host().restore();
    m.send("SPEAK\n<speak>a</speak>\n.\n");
    EXPECT_EQ(m.readThrough("702 END"),
              (std::vector<std::string>{"202 OK RECEIVING MESSAGE", "200 OK SPEAKING", "701 BEGIN", "702 END"}));
}

}  // namespace
