// SPDX-License-Identifier: GPL-3.0-or-later
// Audio streams a voice can speak into: a device stream (its audio output) or an audio file stream.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/error.h"
#include "base/files.h"
#include "speech/audio/file_target.h"
#include "speech/core/book_tags.h"
#include "speech/core/formats.h"
#include "speech/names.h"

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
    // Sets the format without asking canChangeFormat: a subclass adjusting its own format.
    void adjustType(int32_t type);

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

class FileOutput;  // the file being written and its encoder, internal

// What a render that can resume is keyed by: a journal an earlier render left is used only when the
// same input was rendered with the same options and data by the same program.
struct ResumeKey {
    std::string inputPath;  // the file read; the digest of its bytes is kept
    std::string options;    // every option that changes the audio, as text
    std::string version;    // the program's
    // The input as the program read it (its text and where its chapters start, say): when given, its
    // digest is kept instead of the file's, so that the journal is keyed by what was spoken.
    std::optional<std::string> input = {};
    // Files and folders whose contents change the audio (the lexicons in effect, in order; the engine's
    // data, SpVoice::engineData), and the engine's version: kept as digests, with those of the
    // platform's own data (the Mandarin lexicon and model).
    std::vector<std::string> files = {};
    std::string engineVersion = {};
};

// The digest of all that `key` names (its input, options and data, with the platform's own data, the
// engine's version and the rule of the synthesis chains): what a journal a program keeps of its own
// (a book of many files) is keyed by, as SpFileStream's journal is. Throws Error when the input cannot
// be read.
std::string resumeDigest(const ResumeKey& key);

// What a render that can resume finds when it opens its file.
struct ResumeState {
    // The audio an earlier render finished (frames of the stream's format) and the segments of the
    // text it covers: the voice goes on after them.
    uint64_t frames = 0;
    uint64_t segments = 0;
    // Why the journal an earlier render left cannot be used (it is started over), for the user.
    std::string notice;
};

// An audio file written in the stream's format. The file is written under a temporary name in its
// folder and put in place by Close in one rename, so a render that fails or is stopped never leaves a
// partial file behind and never removes the file that was there before.
class SpFileStream final : public SpStream, public audio::FileTarget {
public:
    SpFileStream();
    // An open stream that was not closed is discarded.
    ~SpFileStream() override;
    Kind kind() const override { return Kind::File; }

    // The container and codec of the next Open (WAV unless set). `quality`, 0 (smallest) to 1 (best),
    // applies to the lossy codecs; without it the encoder's default is kept. Ogg Opus is always 48 kHz
    // 16-bit, so Open sets the stream's format to the 48 kHz format of its channels. Throws
    // Error(kInvalidArg) for a quality outside 0..1, or while the stream is open.
    void setCodec(FileCodec codec, std::optional<double> quality = std::nullopt);
    FileCodec codec() const;

    // The tags the file of the next Open is given (title, artists, album, genre, year, track, cover),
    // and with them its chapter marks (setChapterMarks): in MP4 by its writer; in MP3, Ogg and FLAC
    // with TagLib; in a plain WAV file as cue points, labels and an INFO list after its audio. Nothing
    // (the default): no tags, no marks, the file as it always was. Not for a pipe or standard output.
    void setTags(std::optional<FileTags> tags);
    // The chapter marks of the open file: each chapter's title and the frame (of the stream's format,
    // from the file's start) where its first word starts. Written by Close, with the tags.
    void setChapterMarks(std::vector<ChapterMark> marks);
    // The chapter marks of the render into the stream found from its words instead: each chapter
    // starts at the first word at or past its place in the text given to Speak, or after the voice's
    // Bookmark event that names it (a document the voice reads from its file). Close writes them with
    // the tags. Set before Open or openResumable.
    void markChapters(std::vector<core::ChapterStart> chapters, std::string bookTitle);
    void markChaptersByBookmarks(std::string bookTitle);
    // Told of each Sentence and Word event of a render into the stream as it is placed, with the byte
    // of the file it falls at, on the render's thread: before the audio it falls in is written, so
    // before a render that can resume keeps the chain it is in. What a program that keeps the events
    // with such a render's audio writes them down from. Set before the render, kept until Close.
    void setPlacedListener(std::function<void(const core::VoiceEvent&, uint64_t byte)> listener);
    // What the last Close left out, for the user ("The cover image is left out of ...").
    std::vector<std::string> warnings() const;

    // Only SSFMCreateForWrite (3) is supported: the file is created, or an existing one replaced, when
    // the stream is closed. Throws Error with a description naming the file when it cannot be created
    // (a missing or read-only folder, a read-only file, a folder of that name). A name that is a
    // device or a pipe is written directly; the file a symbolic link names is the one replaced.
    void Open(const std::string& path, int32_t mode = 3, bool doEvents = false);
    // The same for the file `name` (a name, not a path) that the program makes in `folder`, relative
    // to the folder's descriptor: a symbolic link at the name is replaced, never followed, and anything
    // but a regular file or a link there (a pipe, a device) is refused.
    void Open(const base::Folder& folder, const std::string& name);
    // Writes a WAV stream to standard output instead of a file: a header whose sizes say "unknown
    // length", as a pipe allows, then the samples. When standard output is a regular file, the header
    // is finished on Close as for any file. WAV only.
    void openStandardOutput();
    // Opens `path` (a regular file or a new one) for a render that can resume: the audio goes into a
    // journal beside it (a hidden folder, ".NAME.resume"), which keeps it at every start of a synthesis
    // chain, until Close makes the file from the journal, puts it in place and removes the journal. A
    // render stopped on the way (discard, a failure, a signal, a kill) leaves the journal and the
    // earlier file as they are; the next openResumable of the same path and key goes on from the last
    // chain kept: a Speak of the same text into the stream passes over the segments already rendered,
    // and the file is the bytes of a render that never stopped. A journal of another key, or a broken
    // one, is started over and the state's notice says why. Throws Error naming the file when it
    // cannot be written, or when another render holds its journal.
    ResumeState openResumable(const std::string& path, const ResumeKey& key);

    // Finishes the file and puts it in place under its name. When a write failed, the render into the
    // stream was cut short, or finishing the file failed, nothing is put in place (the temporary is
    // removed, an earlier file under the name is untouched) and Close throws that failure. Closing a
    // closed stream does nothing.
    void Close();
    // Closes without putting the file in place: the temporary is removed and an earlier file under the
    // name is untouched. For a caller whose render failed or was cancelled.
    void discard();
    bool isOpen() const;
    const std::string& path() const { return path_; }

    // Used by the voice: appends interleaved samples already in the stream's format. A failed write is
    // kept for Close to report; nothing is written after it.
    Result<void> writeBytes(std::span<const uint8_t> bytes) override;
    uint64_t bytesWritten() const override;
    // Used by the voice: the render into this stream was stopped or failed before its end. Close
    // throws the first such fault and leaves no file.
    void failRender(Fault fault) override;
    // Used by the voice: the chapter marker's events, the starts of synthesis chains (kept by a render
    // that can resume), and where such a render goes on.
    void eventPlaced(const core::VoiceEvent& event, uint64_t byte) override;
    std::optional<audio::ChainStart> chainStarting(uint64_t segments) override;
    Result<void> commitChain(const audio::ChainStart& start) override;
    uint64_t takeSegmentsDone() override;

protected:
    Result<void> canChangeFormat() const override;

private:
    void openWith(const std::function<Result<std::unique_ptr<FileOutput>>(const WaveFormat&)>& create,
                  std::string path);
    void openPlace(const base::ReplacingFile::Place& place);
    void finish(bool commit);

    mutable std::mutex fileMutex_;
    std::unique_ptr<FileOutput> output_;
    std::optional<Fault> writeFault_;
    std::string path_;
    FileCodec codec_ = FileCodec::Wav;
    std::optional<double> quality_;
    std::optional<FileTags> tags_;
    std::vector<ChapterMark> marks_;
    std::optional<core::ChapterMarker> marker_;
    std::function<void(const core::VoiceEvent&, uint64_t)> placedListener_;
    uint64_t segmentsDone_ = 0;
    std::optional<std::chrono::steady_clock::time_point> lastKept_;  // the last chain start kept
    std::vector<std::string> warnings_;
    // Readable without fileMutex_, so a format change never waits for a write in progress.
    std::atomic<bool> open_{false};
};

// Audio past this many bytes turns a WAV file into RF64 (a test makes it small).
void setPlainWaveLimitForTesting(uint64_t bytes);

}  // namespace speech
