// SPDX-License-Identifier: GPL-3.0-or-later
// The output-module side of speech-dispatcher's module protocol, without any input or output of its
// own: lines from speech-dispatcher go in one at a time (without their line feed), and every reply and
// event comes out as one block of whole lines through Output, so that an event never falls between a
// command and its reply. What a command asks of the synthesizer goes to a Backend; what the speech
// does comes back through the Events the protocol implements.
//
// Threading: handleLine and the Events calls are made on one thread (the module's loop, which also
// pumps the voice's events). Output serializes its writes itself.
#pragma once

#include <chrono>
#include <cstdint>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sd_tallamo {

// Where the protocol's lines go. Each call is one reply or one event, whole, ending in a line feed.
class Output {
public:
    virtual ~Output() = default;
    virtual void write(std::string_view block) = 0;
};

enum class MessageKind { Text, Char, Key, SoundIcon };

enum class Punctuation { None, Some, Most, All };

// The speech settings speech-dispatcher sends with SET, as given (numbers -100..100, 0 the default).
// Empty strings stand for NULL: the module's default.
struct Settings {
    int rate = 0;
    int pitch = 0;
    int pitchRange = 0;
    int volume = 0;
    Punctuation punctuation = Punctuation::None;
    bool spelling = false;
    std::string capitalLetters;  // none, spell or icon
    std::string voiceType;       // MALE1 ... CHILD_FEMALE
    std::string synthesisVoice;  // one of the names LIST VOICES gave
    std::string language;        // a language tag: en, en-US, zh, ...
    friend bool operator==(const Settings&, const Settings&) = default;
};

struct VoiceListing {
    std::string name;
    std::string language;  // empty: none
    std::string variant;   // empty: none
};

// What the speech does, reported to speech-dispatcher. A backend calls these on the protocol's thread,
// for the message it was last given, in order: begin, marks, then one of end, stopped or paused.
class Events {
public:
    virtual ~Events() = default;
    virtual void begin() = 0;
    virtual void mark(std::string_view name) = 0;
    virtual void end() = 0;
    virtual void stopped() = 0;
    virtual void paused() = 0;
};

// The synthesizer behind the module.
class Backend {
public:
    virtual ~Backend() = default;
    // INIT: starts the synthesizer. Returns the status line to report, or the reason it cannot start.
    struct InitResult {
        bool ok = false;
        std::string text;
    };
    virtual InitResult init() = 0;
    // AUDIO: the audio settings (audio_output_method, audio_pulse_device, ...). Returns the reason the
    // audio cannot be used, or nothing when it can.
    virtual std::optional<std::string> openAudio(const std::map<std::string, std::string>& settings) = 0;
    // Whether `name` names one of the synthesizer's voices (SET synthesis_voice).
    virtual bool hasVoice(std::string_view name) = 0;
    // LIST VOICES; empty when the voices cannot be listed.
    virtual std::vector<VoiceListing> voices() = 0;
    // Starts speaking `data` (SSML for Text, else the one line given) with `settings`; events follow
    // through `events`. False when it cannot be spoken.
    virtual bool speak(MessageKind kind, const std::string& data, const Settings& settings, Events& events) = 0;
    // Silences the message being spoken at once; `events` then gets stopped() (or end(), when it had
    // ended by itself).
    virtual void stop(Events& events) = 0;
    // Stops the message being spoken at its next index mark; `events` then gets that mark and paused()
    // (or end(), when no mark came before its end).
    virtual void pause(Events& events) = 0;
};

// Messages for speech-dispatcher's log (standard error) and for the debug file DEBUG ON names.
class Log {
public:
    // Levels as speech-dispatcher's: 1 errors ... 5 everything.
    void setLevel(int level) { level_ = level; }
    int level() const { return level_; }
    bool startDebugFile(const std::string& path);
    void stopDebugFile();
    void write(int level, std::string_view message);

private:
    std::mutex mutex_;
    int level_ = 3;
    std::ofstream debug_;
};

class Protocol final : public Events {
public:
    Protocol(Backend& backend, Output& output, Log& log);

    using Clock = std::chrono::steady_clock;

    // Handles one line from speech-dispatcher, read at `received`. Returns false when the module is to
    // end (QUIT, or an INIT that failed); the reply has been written by then.
    bool handleLine(std::string_view line, Clock::time_point received = Clock::now());

    // Whether a message is being spoken (from its 200 OK SPEAKING until its END, STOP or PAUSE).
    bool speaking() const { return speaking_; }
    const Settings& settings() const { return settings_; }

    // Events of the message being spoken.
    void begin() override;
    void mark(std::string_view name) override;
    void end() override;
    void stopped() override;
    void paused() override;

    // Longest message or settings block taken, in bytes; the rest of a longer one is dropped and it is
    // refused.
    static constexpr size_t kMaxMessageBytes = 16 << 20;

private:
    enum class Mode { Command, Settings, Audio, LogLevel, Message };

    void command(std::string_view line, Clock::time_point received);
    void blockLine(std::string_view line);
    void finishBlock();
    void finishSettings();
    void finishAudio();
    void finishLogLevel();
    void finishMessage();
    void listVoices();
    void debug(std::string_view argument);
    // Writes a reply (the caller's lines, then any events held back during the exchange).
    void reply(std::string block);
    void event(std::string block);
    void terminate(const char* line);

    Backend& backend_;
    Output& output_;
    Log& log_;
    Settings settings_;

    Mode mode_ = Mode::Command;
    MessageKind kind_ = MessageKind::Text;
    std::vector<std::pair<std::string, std::string>> pairs_;  // name=value lines of a block
    size_t blockBytes_ = 0;                                   // what they hold, bounded as a message is
    bool badSyntax_ = false;                                  // a block line without '='
    std::string message_;
    size_t messageLines_ = 0;
    bool tooLong_ = false;  // the message or settings block passed kMaxMessageBytes

    bool speaking_ = false;
    bool begun_ = false;
    // Events raised while an exchange (a block or a message being received) is open; written after its
    // reply.
    std::string heldEvents_;
    bool quit_ = false;
};

}  // namespace sd_tallamo
