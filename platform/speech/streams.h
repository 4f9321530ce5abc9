// Audio streams a voice can speak into: a device stream (its audio output) or a WAV file stream.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>

#include "error.h"
#include "formats.h"

namespace speech {

// The format of a stream; Type is a SpeechAudioFormatType number (4..39).
class SpAudioFormat {
public:
    int32_t Type() const;
    // Throws Error(kUnsupportedFormat) for a number outside 4..39, or when the owning stream forbids a
    // change (an open file stream).
    void SetType(int32_t type);
    WaveFormat wave() const;

private:
    friend class SpStream;
    explicit SpAudioFormat(class SpStream* owner) : owner_(owner) {}
    SpStream* owner_;
};

class SpStream {
public:
    enum class Kind { Device, File };
    virtual ~SpStream() = default;
    SpStream(const SpStream&) = delete;
    SpStream& operator=(const SpStream&) = delete;

    virtual Kind kind() const = 0;
    // The stream's format object; setting its Type sets the stream's format.
    SpAudioFormat& Format() { return format_; }
    const SpAudioFormat& Format() const { return format_; }
    int32_t formatType() const;

protected:
    SpStream() : format_(this) {}
    // A subclass may refuse a format change (returns a fault).
    virtual Result<void> canChangeFormat() const { return {}; }

private:
    friend class SpAudioFormat;
    mutable std::mutex mutex_;
    int32_t type_ = kDefaultFormatType;
    SpAudioFormat format_;
};

// The stream of a voice's audio output device. Created by the voice; the program only reads it,
// sets its Format.Type and hands it back through SpVoice::SetAudioOutputStream.
class SpDeviceStream final : public SpStream {
public:
    // `deviceId` empty means the audio server's default output.
    explicit SpDeviceStream(std::string deviceId) : deviceId_(std::move(deviceId)) {}
    Kind kind() const override { return Kind::Device; }
    const std::string& deviceId() const { return deviceId_; }

private:
    std::string deviceId_;
};

class WavWriter;  // libsndfile-backed writer, internal

// A WAV file written in the stream's format.
class SpFileStream final : public SpStream {
public:
    SpFileStream();
    ~SpFileStream() override;
    Kind kind() const override { return Kind::File; }

    // Only SSFMCreateForWrite (3) is supported: creates the file, replacing an existing one. Throws
    // Error with a description naming the file when it cannot be created.
    void Open(const std::string& path, int32_t mode = 3, bool doEvents = false);
    // Finishes the header and closes the file. Closing a closed stream does nothing. When a write into
    // the file failed since it was opened (a full disk, say), the file is closed with what was written
    // before the failure and Close throws that failure; so it does when the final header cannot be
    // written or the file cannot be closed.
    void Close();
    bool isOpen() const;
    const std::string& path() const { return path_; }

    // Used by the voice: appends interleaved samples already in the stream's format. The header is
    // kept valid after every write. A failed write is also kept for Close to report.
    Result<void> writeBytes(std::span<const uint8_t> bytes);
    // Used by the voice: the render into this file was cut short (the engine failed). Close reports it
    // like a failed write, so a partial file is not taken for a finished one.
    void fail(const Fault& fault);
    uint64_t bytesWritten() const;

protected:
    Result<void> canChangeFormat() const override;

private:
    mutable std::mutex fileMutex_;
    std::unique_ptr<WavWriter> writer_;
    std::optional<Fault> writeFault_;
    std::string path_;
    // Readable without fileMutex_, so a format change never waits for a write in progress.
    std::atomic<bool> open_{false};
};

}  // namespace speech
