// What Speak does with a file name (SVSFIsFilename): a WAV file is opened for playback, any other
// readable file is decoded into text. Both are checked when Speak is called, so a missing, unreadable
// or binary file raises an error naming the file before anything is queued.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <variant>

#include "error.h"

namespace speech {

// Reads a sound file (any encoding libsndfile reads) as interleaved float frames.
class SoundFileReader {
public:
    ~SoundFileReader();
    SoundFileReader(const SoundFileReader&) = delete;
    SoundFileReader& operator=(const SoundFileReader&) = delete;

    // Opens `path` when libsndfile recognises it; a fault otherwise (the message names the file).
    static Result<std::unique_ptr<SoundFileReader>> open(const std::string& path);

    int sampleRate() const { return sampleRate_; }
    int channels() const { return channels_; }
    // Reads up to out.size() / channels() frames; returns the frames read (0 at the end).
    size_t read(std::span<float> out);

private:
    SoundFileReader() = default;
    struct Handle;
    std::unique_ptr<Handle> handle_;
    int sampleRate_ = 0;
    int channels_ = 0;
};

// A file named in Speak: a sound file to play or the decoded text of a text file.
struct NamedFile {
    std::variant<std::unique_ptr<SoundFileReader>, std::shared_ptr<const std::u16string>> content;
};

// Opens `path` (UTF-8): a sound file when libsndfile reads it, else text decoded by its byte-order mark
// (UTF-8, UTF-16 LE/BE), else as UTF-8 when the bytes are valid UTF-8, else in the locale's encoding.
// Invalid bytes become U+FFFD. A missing or unreadable file, a damaged WAV file and a binary file that
// is not text give a fault whose message names the file.
Result<NamedFile> openNamedFile(const std::string& path);

// Decodes bytes of text as openNamedFile does (exposed for tests).
std::u16string decodeText(std::span<const uint8_t> bytes);

}  // namespace speech
