// SPDX-License-Identifier: GPL-3.0-or-later
#include "tools/sd_tallamo/protocol.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdio>
#include <iostream>

namespace sd_tallamo {

namespace {

std::string_view trimmed(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
    return s;
}

bool equalsIgnoreCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

// A line of a reply or an event must stay one line.
std::string oneLine(std::string_view text) {
    std::string out(text);
    std::replace(out.begin(), out.end(), '\n', ' ');
    std::replace(out.begin(), out.end(), '\r', ' ');
    return out;
}

std::optional<int> settingNumber(std::string_view value) {
    if (value == "NULL") return 0;
    int n = 0;
    const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), n);
    if (ec != std::errc() || end != value.data() + value.size() || n < -100 || n > 100) return std::nullopt;
    return n;
}

constexpr std::array<std::string_view, 8> kVoiceTypes{"MALE1",   "MALE2",   "MALE3",      "FEMALE1",
                                                      "FEMALE2", "FEMALE3", "CHILD_MALE", "CHILD_FEMALE"};

}  // namespace

bool Log::startDebugFile(const std::string& path) {
    std::lock_guard lock(mutex_);
    debug_.close();
    debug_.clear();
    debug_.open(path, std::ios::app);
    return debug_.is_open();
}

void Log::stopDebugFile() {
    std::lock_guard lock(mutex_);
    debug_.close();
}

void Log::write(int level, std::string_view message) {
    std::lock_guard lock(mutex_);
    if (level <= level_) std::cerr << "sd_tallamo: " << message << std::endl;
    if (debug_.is_open()) debug_ << message << std::endl;
}

Protocol::Protocol(Backend& backend, Output& output, Log& log) : backend_(backend), output_(output), log_(log) {}

bool Protocol::handleLine(std::string_view line, Clock::time_point received) {
    if (mode_ == Mode::Command)
        command(line, received);
    else
        blockLine(line);
    return !quit_;
}

void Protocol::command(std::string_view raw, Clock::time_point received) {
    const std::string_view line = trimmed(raw);
    log_.write(5, std::string("< ") + std::string(line));
    auto startMessage = [&](MessageKind kind) {
        mode_ = Mode::Message;
        kind_ = kind;
        message_.clear();
        messageLines_ = 0;
        tooLong_ = false;
        output_.write("202 OK RECEIVING MESSAGE\n");
    };
    auto startBlock = [&](Mode mode, const char* answer) {
        mode_ = mode;
        pairs_.clear();
        blockBytes_ = 0;
        badSyntax_ = false;
        tooLong_ = false;
        output_.write(answer);
    };
    if (line == "SPEAK") {
        startMessage(MessageKind::Text);
    } else if (line == "CHAR") {
        startMessage(MessageKind::Char);
    } else if (line == "KEY") {
        startMessage(MessageKind::Key);
    } else if (line == "SOUND_ICON") {
        startMessage(MessageKind::SoundIcon);
    } else if (line == "STOP") {
        if (speaking_) {
            backend_.stop(*this);
            // How long the stop took inside the module, for the log (speech-dispatcher's and the
            // client's own time come on top).
            if (!speaking_) {
                const std::chrono::duration<double, std::milli> took = Clock::now() - received;
                char text[64];
                std::snprintf(text, sizeof text, "stop acknowledged in %.2f ms", took.count());
                log_.write(4, text);
            }
        }
    } else if (line == "PAUSE") {
        if (speaking_) backend_.pause(*this);
    } else if (line == "SET") {
        startBlock(Mode::Settings, "207 OK RECEIVING SETTINGS\n");
    } else if (line == "AUDIO") {
        startBlock(Mode::Audio, "207 OK RECEIVING AUDIO SETTINGS\n");
    } else if (line == "LOGLEVEL") {
        startBlock(Mode::LogLevel, "207 OK RECEIVING SETTINGS\n");
    } else if (line == "LIST VOICES") {
        listVoices();
    } else if (line.starts_with("DEBUG")) {
        debug(line.substr(5));
    } else if (line == "INIT") {
        const auto result = backend_.init();
        if (result.ok) {
            reply("299-" + oneLine(result.text) + "\n299 OK LOADED SUCCESSFULLY\n");
        } else {
            log_.write(1, "cannot start: " + result.text);
            reply("399-" + oneLine(result.text) + "\n399 ERR CANT INIT MODULE\n");
            quit_ = true;
        }
    } else if (line == "QUIT") {
        reply("210 OK QUIT\n");
        quit_ = true;
    } else {
        log_.write(2, "unknown command: " + oneLine(line.substr(0, 200)));
        reply("300 ERR UNKNOWN COMMAND\n");
    }
}

void Protocol::blockLine(std::string_view line) {
    if (line == "." || line == ".\r") {
        finishBlock();
        return;
    }
    if (mode_ == Mode::Message) {
        // A data line that starts with a dot arrives with the dot doubled.
        if (line.starts_with("..")) line.remove_prefix(1);
        if (tooLong_ || message_.size() + line.size() + 1 > kMaxMessageBytes) {
            tooLong_ = true;
            return;
        }
        if (messageLines_++ > 0) message_ += '\n';
        message_ += line;
        return;
    }
    // A settings block is kept within the bound of a message's data.
    if (tooLong_ || blockBytes_ + line.size() + 1 > kMaxMessageBytes) {
        tooLong_ = true;
        return;
    }
    blockBytes_ += line.size() + 1;
    const size_t eq = line.find('=');
    if (eq == std::string_view::npos) {
        badSyntax_ = true;
        return;
    }
    pairs_.emplace_back(std::string(trimmed(line.substr(0, eq))), std::string(trimmed(line.substr(eq + 1))));
}

void Protocol::finishBlock() {
    // The exchange stays open until its reply is written, so that an event raised meanwhile (by the
    // backend starting a message) follows the reply.
    if (tooLong_ && mode_ != Mode::Message) {
        log_.write(2, "settings refused: a block longer than the module takes");
        reply(mode_ == Mode::Audio ? "300-a block longer than the module takes\n300 MODULE ERROR\n"
                                   : "303 ERROR INVALID PARAMETER OR VALUE\n");
        mode_ = Mode::Command;
        return;
    }
    switch (mode_) {
        case Mode::Settings:
            finishSettings();
            break;
        case Mode::Audio:
            finishAudio();
            break;
        case Mode::LogLevel:
            finishLogLevel();
            break;
        case Mode::Message:
            finishMessage();
            break;
        case Mode::Command:
            break;
    }
    mode_ = Mode::Command;
}

void Protocol::finishSettings() {
    if (badSyntax_) {
        reply("302 ERROR BAD SYNTAX\n");
        return;
    }
    // The settings change together or not at all.
    Settings next = settings_;
    bool valid = true;
    for (const auto& [name, value] : pairs_) {
        const bool null = value == "NULL";
        if (name == "rate" || name == "pitch" || name == "pitch_range" || name == "volume") {
            const auto n = settingNumber(value);
            int& field = name == "rate"          ? next.rate
                         : name == "pitch"       ? next.pitch
                         : name == "pitch_range" ? next.pitchRange
                                                 : next.volume;
            if (n)
                field = *n;
            else
                valid = false;
        } else if (name == "punctuation_mode") {
            if (null || value == "none")
                next.punctuation = Punctuation::None;
            else if (value == "some")
                next.punctuation = Punctuation::Some;
            else if (value == "most")
                next.punctuation = Punctuation::Most;
            else if (value == "all")
                next.punctuation = Punctuation::All;
            else
                valid = false;
        } else if (name == "spelling_mode") {
            if (null || value == "off")
                next.spelling = false;
            else if (value == "on")
                next.spelling = true;
            else
                valid = false;
        } else if (name == "cap_let_recogn") {
            if (null)
                next.capitalLetters.clear();
            else if (value == "none" || value == "spell" || value == "icon")
                next.capitalLetters = value;
            else
                valid = false;
        } else if (name == "voice") {
            const std::string& type = value;  // clang 14 cannot capture a structured binding
            const bool known = std::any_of(kVoiceTypes.begin(), kVoiceTypes.end(),
                                           [&](std::string_view t) { return equalsIgnoreCase(t, type); });
            if (null)
                next.voiceType.clear();
            else if (known)
                next.voiceType = value;
            else
                valid = false;
        } else if (name == "synthesis_voice") {
            if (null || value.empty())
                next.synthesisVoice.clear();
            else if (backend_.hasVoice(value))
                next.synthesisVoice = value;
            else
                valid = false;
        } else if (name == "language") {
            if (null || value.empty())
                next.language.clear();
            else if (value.find_first_of(" \t") == std::string::npos)
                next.language = value;
            else
                valid = false;
        } else {
            // speech-dispatcher sends settings this module has no use for (punctuation_some, ...).
            log_.write(4, "setting ignored: " + name);
        }
        if (!valid) {
            log_.write(2, "invalid setting: " + oneLine(name) + "=" + oneLine(value));
            break;
        }
    }
    if (!valid) {
        reply("303 ERROR INVALID PARAMETER OR VALUE\n");
        return;
    }
    settings_ = std::move(next);
    reply("203 OK SETTINGS RECEIVED\n");
}

void Protocol::finishAudio() {
    std::map<std::string, std::string> audio(pairs_.begin(), pairs_.end());
    const auto failure =
        badSyntax_ ? std::optional<std::string>("a line without a name=value pair") : backend_.openAudio(audio);
    if (failure) {
        // A notice, not an error: speech-dispatcher's offer to play the audio is refused on every start.
        log_.write(3, "audio settings refused: " + *failure);
        reply("300-" + oneLine(*failure) + "\n300 MODULE ERROR\n");
        return;
    }
    reply("203 OK AUDIO INITIALIZED\n");
}

void Protocol::finishLogLevel() {
    std::optional<int> level;
    bool valid = !pairs_.empty();
    for (const auto& [name, value] : pairs_) {
        int n = 0;
        const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), n);
        if (name != "log_level" || ec != std::errc() || end != value.data() + value.size() || n < 0 || n > 5)
            valid = false;
        else
            level = n;
    }
    if (badSyntax_) {
        reply("302 ERROR BAD SYNTAX\n");
    } else if (!valid || !level) {
        reply("303 ERROR INVALID PARAMETER OR VALUE\n");
    } else {
        log_.setLevel(*level);
        reply("203 OK LOGLEVEL SET\n");
    }
}

void Protocol::finishMessage() {
    if (kind_ != MessageKind::Text && messageLines_ > 1) {
        reply("305 DATA MORE THAN ONE LINE\n");
        return;
    }
    if (tooLong_ || speaking_ || (kind_ != MessageKind::Text && messageLines_ == 0)) {
        log_.write(2, tooLong_    ? "message refused: longer than the module takes"
                      : speaking_ ? "message refused: the last one is still speaking"
                                  : "message refused: no data");
        reply("301 ERROR CANT SPEAK\n");
        return;
    }
    // Events the backend raises from here on are held until the reply is written.
    speaking_ = true;
    begun_ = false;
    if (!backend_.speak(kind_, message_, settings_, *this)) {
        speaking_ = false;
        reply("301 ERROR CANT SPEAK\n");
        return;
    }
    reply("200 OK SPEAKING\n");
}

void Protocol::listVoices() {
    const auto voices = backend_.voices();
    if (voices.empty()) {
        reply("304 CANT LIST VOICES\n");
        return;
    }
    std::string block;
    for (const auto& v : voices) {
        auto field = [](const std::string& s) { return s.empty() ? std::string("none") : oneLine(s); };
        std::string name = field(v.name);
        std::replace(name.begin(), name.end(), '\t', ' ');
        block += "200-" + name + '\t' + field(v.language) + '\t' + field(v.variant) + '\n';
    }
    reply(block + "200 OK VOICE LIST SENT\n");
}

void Protocol::debug(std::string_view argument) {
    argument = trimmed(argument);
    if (argument == "OFF") {
        log_.stopDebugFile();
        reply("200 OK DEBUGGING OFF\n");
    } else if (argument.starts_with("ON") && argument.size() > 3 && (argument[2] == ' ' || argument[2] == '\t')) {
        if (log_.startDebugFile(std::string(trimmed(argument.substr(3)))))
            reply("200 OK DEBUGGING ON\n");
        else
            reply("303 CANT OPEN CUSTOM DEBUG FILE\n");
    } else {
        reply("302 ERROR BAD SYNTAX\n");
    }
}

void Protocol::reply(std::string block) {
    log_.write(5, "> " + block.substr(0, block.find('\n')));
    block += heldEvents_;
    heldEvents_.clear();
    output_.write(block);
}

void Protocol::event(std::string block) {
    log_.write(5, "> " + block.substr(0, block.find('\n')));
    if (mode_ != Mode::Command) {
        heldEvents_ += block;
        return;
    }
    output_.write(block);
}

void Protocol::begin() {
    if (!speaking_ || begun_) return;
    begun_ = true;
    event("701 BEGIN\n");
}

void Protocol::mark(std::string_view name) {
    if (!speaking_) return;
    begin();
    event("700-" + oneLine(name) + "\n700 INDEX MARK\n");
}

void Protocol::terminate(const char* line) {
    if (!speaking_) return;
    // Every END, STOP and PAUSE follows a BEGIN, also for a message stopped before it was heard.
    begin();
    speaking_ = false;
    event(line);
}

void Protocol::end() {
    terminate("702 END\n");
}
void Protocol::stopped() {
    terminate("703 STOP\n");
}
void Protocol::paused() {
    terminate("704 PAUSE\n");
}

}  // namespace sd_tallamo
