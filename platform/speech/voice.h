// SPDX-License-Identifier: GPL-3.0-or-later
// SpVoice: the voice object. Speak enqueues a request for the voice's worker thread, which has the
// synthesizer's workers read its segments and writes their audio, converted, into the voice's output
// (a device stream or a WAV file stream). Events are released when their sample is played (device) or
// written (file) into the voice's event queue; the notify function is then called from the worker,
// and the owner drains the queue with TakeEvents on its own thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.h"
#include "documents/document.h"
#include "speech/backends.h"
#include "speech/core/constants.h"
#include "speech/core/events.h"
#include "speech/core/tokens.h"
#include "speech/names.h"
#include "speech/streams.h"

namespace speech {

class SpVoice {
public:
    SpVoice();  // default back ends; throws Error(kNoVoice/kEngine) when no speech engine is usable
    explicit SpVoice(Backends backends);
    ~SpVoice();  // stops speech at once and joins every thread
    SpVoice(const SpVoice&) = delete;
    SpVoice& operator=(const SpVoice&) = delete;

    // Installed voices / audio outputs, in one fixed order on every call, filtered by attributes.
    SpObjectTokens GetVoices(std::string_view requiredAttributes = "", std::string_view optionalAttributes = "") const;
    SpObjectTokens GetAudioOutputs(std::string_view requiredAttributes = "",
                                   std::string_view optionalAttributes = "") const;

    SpObjectToken Voice() const;
    void SetVoice(const SpObjectToken& voice);  // used by the next text spoken

    // The output device token, or none for the audio server's default output.
    std::optional<SpObjectToken> AudioOutput() const;
    // Sends later speech to that device (none: the default); replaces any output stream set before.
    void SetAudioOutput(const std::optional<SpObjectToken>& output);

    // The stream the voice speaks into: its device stream, or the file stream set last.
    std::shared_ptr<SpStream> AudioOutputStream() const;
    // Speak into this stream from the next request on. Setting the voice's own device stream again
    // applies its (possibly changed) format. With AllowAudioOutputFormatChangesOnNextSet true the
    // voice may replace a device stream's format by the engine's own (22 kHz 16-bit mono).
    void SetAudioOutputStream(std::shared_ptr<SpStream> stream);

    bool AllowAudioOutputFormatChangesOnNextSet() const;
    void SetAllowAudioOutputFormatChangesOnNextSet(bool allow);

    long Rate() const;        // -10..10, default 0
    void SetRate(long rate);  // throws Error(kInvalidArg) outside -10..10
    long Volume() const;      // 0..100, default 100
    void SetVolume(long volume);

    // Whether a Mandarin voice reads runs of Latin words with the English voice, and other voices read
    // runs of Chinese with the Mandarin voice (on by default). Used by the next text spoken.
    bool mixedScript() const;
    void setMixedScript(bool on);

    // Reads the pronunciations of a W3C Pronunciation Lexicon (PLS 1.0) file: pinyin for Chinese
    // words (alphabet "x-pinyin") and aliases, other text read instead, in any language. They win over
    // everything else the voice reads by, a later file's over an earlier one's, from the next text
    // spoken on. Throws Error(kFile) naming the file, the line and the reason for a file that cannot
    // be read or is malformed; the voice then keeps the lexicons it had.
    void addLexicon(const std::string& path);
    void clearLexicons();
    // Reads the lexicons the <lexicon> elements of an SSML text name, as Speak would read them, so that
    // a Speak of the text soon after finds them already parsed (a lexicon unchanged since it was read
    // is not read again). A caller that must never wait on a file (a protocol loop) calls this on a
    // thread of its own first. Throws Error(kFile) naming a lexicon that cannot be read or is
    // malformed, and Error(kMarkup) for malformed SSML.
    static void readSsmlLexicons(const std::u16string& ssml);
    // The same, and merges them with this voice's own lexicons and makes their aliases as its next
    // Speak of the text would, so that the Speak finds all that done (the merge of megabytes of
    // entries takes a good part of a second). Safe to call from any thread while the voice speaks.
    void prepareSsmlLexicons(const std::u16string& ssml) const;

    // How the voice's Mandarin voice reads `text` (Speak's text and flags; not SVSFIsFilename): the
    // text with each stretch it reads as Chinese printed as its syllables, as the engine is sent
    // them, and the rest as it is. Syllables are lower case, separated by one space and from the
    // text around them, with tone digits 1-5 (5 neutral; ü as v; an erhua 儿 joined to the syllable
    // before it: nar3), or with `toneMarks` their tone marks (yín háng; neutral syllables unmarked).
    // Throws like Speak for bad markup, and Error(kFile) when the Mandarin lexicon is not there
    // (mandarinLexiconProblem). Its tones are the dictionary's (with the changes of 一 and 不), or with
    // `spokenTones` (digits only) those the engine is sent to speak, third-tone sandhi applied.
    std::string pinyinReading(std::u16string_view text, int32_t flags, bool toneMarks, bool spokenTones = false) const;
    // The same reading handed to `write` a piece at a time as the text is read (whole lines, and a very
    // long line in pieces), so that the reading of a long text is never held whole.
    void pinyinReading(std::u16string_view text, int32_t flags, bool toneMarks, bool spokenTones,
                       const std::function<void(std::string_view)>& write) const;
    // How the documents named in later Speak calls are read: their limits, the alt text of images, a
    // cancel check (asked while a PDF's page is read; true stops reading as a purge does, which stops
    // it too) and where skipped PDF pages are reported. The functions are called from the thread that
    // reads: Speak's caller for the document's start, the voice's worker for the rest.
    void setDocumentOptions(documents::Options options);

    int32_t EventInterests() const;
    void SetEventInterests(int32_t interests);

    // Returns the stream number (1, 2, ... per voice). See SpeechVoiceSpeakFlags.
    uint32_t Speak(std::u16string_view text, int32_t flags = SVSFDefault);
    // Takes ownership of a large text without copying it.
    uint32_t Speak(std::u16string&& text, int32_t flags);
    // A string literal would match both overloads above.
    uint32_t Speak(const char16_t* text, int32_t flags = SVSFDefault) {
        return Speak(std::u16string_view(text), flags);
    }

    void Pause();
    void Resume();
    bool isPaused() const;
    // Skips `count` items of `type` ("Sentence" only) in the current stream; returns the number skipped.
    long Skip(std::string_view type, long count);
    // True when all speech is done; -1 waits without limit. A file output never waits on a pause.
    bool WaitUntilDone(long milliseconds);
    // True while requests are queued or speaking.
    bool isBusy() const;
    SpVoiceStatus Status() const;

    // How many segments are synthesized at once when rendering into a file (at least 1; default: the
    // machine's processor count). The file is the same whatever the number.
    void setRenderJobs(int jobs);
    int renderJobs() const;
    static int defaultRenderJobs();
    // What the engine's audio is made from besides the text and the settings: its version, and the
    // folder of its data (empty when the engine does not say), for a render that keys its journal by
    // them (ResumeKey).
    std::pair<std::string, std::string> engineData() const;
    // The failure that ended a stream into a device early (the device was lost, the engine failed on a
    // sentence twice), if one did since it was last reported: taking it here spares the next Speak to
    // a device from raising it. A file stream reports such a failure itself, when it is closed.
    std::optional<Error> takeStreamError();

    // `notify` is called from a worker thread whenever events were queued; it must not block or call
    // back into the voice. Pass an empty function to stop notifications.
    void SetNotify(std::function<void()> notify);
    // Removes and returns the queued events, oldest first.
    std::vector<VoiceEvent> TakeEvents();

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace speech
