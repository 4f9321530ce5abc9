// SPDX-License-Identifier: GPL-3.0-or-later
// The module's synthesizer: a platform voice playing on the default PulseAudio (or PipeWire) output.
// speech-dispatcher's settings become the voice's voice, rate, volume and punctuation, and SSML around
// the message for pitch and spelling; the voice's stream events become the protocol's BEGIN, index marks and
// END, STOP or PAUSE, each raised when its sample is played.
#pragma once

#include <cstdint>
#include <functional>
#include <istream>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "speech/core/tokens.h"
#include "speech/names.h"
#include "speech/voice.h"
#include "tools/sd_tallamo/lexicon_loader.h"
#include "tools/sd_tallamo/protocol.h"

namespace sd_tallamo {

// tallamo.conf: "Name value" lines, '#' comments.
struct ModuleConfig {
    std::string defaultVoice;  // TallamoDefaultVoice: a voice id or name for messages with no language
    bool mixedScript = true;   // TallamoMixedScript: Latin words in Chinese read by the English voice
};
ModuleConfig parseConfig(std::istream& in, Log& log);

class VoiceBackend final : public Backend {
public:
    // `makeVoice` makes the voice at INIT (the real back ends, or doubles in tests); `wake` is called
    // from the voice's worker when events wait to be pumped, and must not block.
    // A message whose SSML names lexicons is answered at once and spoken once `readLexicons` (run on
    // a thread of its own) has read them; by default the voice prepares them (prepareSsmlLexicons).
    VoiceBackend(std::function<std::unique_ptr<speech::SpVoice>()> makeVoice, ModuleConfig config, Log& log,
                 std::function<void()> wake, std::function<void(const std::u16string&)> readLexicons = {});
    ~VoiceBackend() override;

    InitResult init() override;
    std::optional<std::string> openAudio(const std::map<std::string, std::string>& settings) override;
    bool hasVoice(std::string_view name) override;
    std::vector<VoiceListing> voices() override;
    bool speak(MessageKind kind, const std::string& data, const Settings& settings, Events& events) override;
    void stop(Events& events) override;
    void pause(Events& events) override;

    // Takes the events the voice has released and reports those of the message being spoken. Called on
    // the protocol's thread after `wake`.
    void pump();

private:
    const speech::SpObjectToken* findVoice(std::string_view name) const;
    size_t voiceFor(const Settings& settings) const;
    void purge();
    // Speaks the message whose lexicons were being read, once they are, or ends it when one failed.
    void startLoaded();

    std::function<std::unique_ptr<speech::SpVoice>()> makeVoice_;
    ModuleConfig config_;
    Log& log_;
    std::function<void()> wake_;
    std::unique_ptr<speech::SpVoice> voice_;
    std::vector<speech::SpObjectToken> voices_;
    size_t defaultVoice_ = 0;

    // The message being spoken: its stream number (0: none) and what was asked of it.
    Events* events_ = nullptr;
    uint32_t stream_ = 0;
    bool pausing_ = false;  // stops at its next mark

    // A message waiting for its lexicons: its number with the loader, its text and flags.
    std::optional<uint64_t> loading_;
    uint64_t loads_ = 0;
    std::u16string loadingText_;
    int32_t loadingFlags_ = 0;
    LexiconLoader loader_;  // last: its thread goes first
};

}  // namespace sd_tallamo
