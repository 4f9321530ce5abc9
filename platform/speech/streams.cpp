// SPDX-License-Identifier: GPL-3.0-or-later
#include "speech/streams.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <limits>
#include <utility>
#include <vector>

#include "base/child_process.h"
#include "base/paths.h"
#include "speech/audio/file_encoder.h"
#include "speech/audio/media_module.h"
#include "speech/audio/render_journal.h"
#include "speech/core/constants.h"
#include "speech/pipeline/synthesis_ahead.h"

namespace speech {

int32_t SpAudioFormat::Type() const {
    std::lock_guard lock(owner_->mutex_);
    return owner_->type_;
}

void SpAudioFormat::SetType(int32_t type) {
    if (!waveFormatOf(type))
        throw Error(errc::kUnsupportedFormat,
                    "The audio format " + std::to_string(type) + " is not supported; formats are numbered 4 to 39.");
    std::lock_guard lock(owner_->mutex_);
    if (owner_->type_ == type) return;
    owner_->canChangeFormat().orThrow();
    owner_->type_ = type;
}

WaveFormat SpAudioFormat::wave() const {
    return *waveFormatOf(Type());
}

int32_t SpStream::formatType() const {
    return format_.Type();
}

void SpStream::adjustType(int32_t type) {
    std::lock_guard lock(mutex_);
    type_ = type;
}

namespace {

// The segments of a journal's last unit, kept when the render ended: all of the text, however long.
constexpr uint64_t kWholeText = std::numeric_limits<uint64_t>::max();

// A plain WAV header counts at most 4 GB of file; audio past this many bytes goes into RF64 instead.
std::atomic<uint64_t> plainWaveLimit{uint64_t{0xFFFFFFFF} - 44};

Fault createFault(const std::string& name, int err) {
    const int32_t code = (err == ENOENT || err == ENOTDIR) ? errc::kNotFound : errc::kAccessDenied;
    return Fault{code, "Cannot create the file \"" + name + "\": " + base::fileErrorReason(err) + "."};
}

Fault saveFault(const std::string& name, int err) {
    return Fault{errc::kAccessDenied, "Cannot save the file \"" + name + "\": " + base::fileErrorReason(err) + "."};
}

bool seekable(int fd) {
    return ::lseek(fd, 0, SEEK_CUR) >= 0;
}

// The platform's own data that a render's audio is made from: the Mandarin lexicon and its polyphone
// model, found where the Mandarin reader finds them (text/mandarin/lexicon.cpp).
std::vector<std::string> platformDataFiles() {
    const auto installed = [](const char* variable, const char* name) {
        const char* named = std::getenv(variable);
        return named && named[0] ? std::string(named) : base::installedDataFile(name).string();
    };
    return {installed("TALLAMO_MANDARIN_LEXICON", "mandarin.lex"),
            installed("TALLAMO_MANDARIN_MODEL", "mandarin.model")};
}

// The key of a journal of `key`'s render into `format` with `choice`: the digests of the input, of the
// options (the codec and its quality among them, and the rule that says where the synthesis chains
// start, at which a journal keeps the audio and a resume goes on), and of the data the audio is made
// from.
Result<audio::JournalKey> journalKeyOf(const ResumeKey& key, const WaveFormat& format,
                                       const audio::EncoderChoice& choice) {
    auto input = key.input ? audio::textChecksum(*key.input) : audio::fileChecksum(key.inputPath);
    if (!input) return input.fault();
    std::string data = key.engineVersion + '\n';
    for (const auto& path : key.files) data += audio::contentChecksum(path) + '\n';
    for (const auto& path : platformDataFiles()) data += audio::contentChecksum(path) + '\n';
    const std::string options = key.options + "\ncodec " + std::to_string(static_cast<int>(choice.codec)) +
                                " quality " + (choice.quality ? std::to_string(*choice.quality) : "-") + '\n' +
                                pipeline::SynthesisAhead::chainRule();
    return audio::JournalKey{input.value(), audio::textChecksum(options), audio::textChecksum(data), format,
                             key.version};
}

}  // namespace

std::string resumeDigest(const ResumeKey& key) {
    auto keyed = journalKeyOf(key, WaveFormat{}, audio::EncoderChoice{});
    if (!keyed) throw Error(keyed.fault().code, keyed.fault().message);
    return keyed.value().inputDigest + ' ' + keyed.value().optionsDigest + ' ' + keyed.value().dataDigest + ' ' +
           keyed.value().version;
}

bool isMp4(FileCodec codec) {
    return codec == FileCodec::M4b || codec == FileCodec::M4a;
}

// The file being written: a temporary put in place on commit, or (for a device, a pipe or standard
// output) the descriptor itself, or the journal of a render that can resume; and the encoder that
// writes into it.
class FileOutput {
public:
    static Result<std::unique_ptr<FileOutput>> create(const base::ReplacingFile::Place& place, const WaveFormat& format,
                                                      const audio::EncoderChoice& choice,
                                                      const std::optional<FileTags>& tags) {
        auto out = std::make_unique<FileOutput>(place.shown(), format, choice);
        out->tags_ = tags;
        struct stat st {};
        if (!place.folder && ::stat(place.name.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) {
            // A device or a named pipe the user named is written as it is; nothing can be renamed over it.
            base::UniqueFd fd(::open(place.name.c_str(), O_WRONLY | O_CLOEXEC));
            if (fd.get() < 0) return createFault(out->name_, errno);
            if (auto r = out->startOn(std::move(fd)); !r) return r.fault();
            return out;
        }
        auto temp = base::ReplacingFile::create(place);
        if (!temp) return temp.fault();
        out->temp_ = std::move(temp.value());
        if (isMp4(choice.codec)) {
            audio::Mp4Choice mp4;
            mp4.quality = choice.quality;
            mp4.audiobook = choice.codec == FileCodec::M4b;
            auto writer = audio::openMp4Writer(out->temp_->fd(), out->name_, format, mp4, tags.value_or(FileTags{}));
            if (!writer) return writer.fault();
            out->mp4_ = std::move(writer.value());
            return out;
        }
        auto encoder = choice.codec == FileCodec::Wav && !choice.rf64
                           ? audio::openDirectWave(out->temp_->fd(), out->name_, format)
                           : audio::openSndfileEncoder(out->temp_->fd(), out->name_, format, choice);
        if (!encoder) return encoder.fault();
        out->encoder_ = std::move(encoder.value());
        out->dataStart_ = static_cast<uint64_t>(std::max<off_t>(::lseek(out->temp_->fd(), 0, SEEK_CUR), 0));
        return out;
    }

    // A file made from a journal beside it, a unit at a time (see SpFileStream::openResumable).
    static Result<std::unique_ptr<FileOutput>> createResumable(const std::string& path, const WaveFormat& format,
                                                               const audio::EncoderChoice& choice,
                                                               const std::optional<FileTags>& tags,
                                                               const ResumeKey& key, std::string& notice) {
        auto out = std::make_unique<FileOutput>(path, format, choice);
        out->tags_ = tags;
        if (auto found = out->findTarget(); !found) return found.fault();
        // A file that cannot be made there is refused now, not at the end of the render.
        auto probe = base::ReplacingFile::create({nullptr, path, base::ReplacingFile::Link::Follow});
        if (!probe) return probe.fault();
        auto keyed = journalKeyOf(key, format, choice);
        if (!keyed) return keyed.fault();
        const audio::JournalKey journalKey = std::move(keyed.value());
        std::optional<audio::Mp4Choice> aac;
        if (isMp4(choice.codec)) {
            aac.emplace();
            aac->quality = choice.quality;
            aac->audiobook = choice.codec == FileCodec::M4b;
        }
        std::optional<audio::EncoderChoice> encoded;
        if (!aac && choice.codec != FileCodec::Wav) encoded = choice;
        auto journal = audio::RenderJournal::open(out->target_, journalKey, aac, encoded, notice);
        if (!journal) return journal.fault();
        out->journal_ = std::move(journal.value());
        // The render goes on after the audio kept: its bytes count from the file's start.
        out->written_ = out->journal_->frames() * static_cast<uint64_t>(format.bytesPerFrame());
        return out;
    }

    static Result<std::unique_ptr<FileOutput>> standardOutput(const WaveFormat& format) {
        auto out = std::make_unique<FileOutput>("standard output", format, audio::EncoderChoice{});
        base::UniqueFd fd(::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 0));
        if (fd.get() < 0) return createFault(out->name_, errno);
        if (auto r = out->startOn(std::move(fd)); !r) return r.fault();
        return out;
    }

    // Buffers a partial frame until the rest comes (the encoders take whole frames only).
    Result<void> write(std::span<const uint8_t> bytes) {
        const size_t frameBytes = static_cast<size_t>(format_.bytesPerFrame());
        // Whole frames with nothing before them go straight to the encoder.
        const bool straight = pending_.empty() && bytes.size() % frameBytes == 0;
        if (!straight) pending_.insert(pending_.end(), bytes.begin(), bytes.end());
        const std::span<const uint8_t> buffered = straight ? bytes : std::span<const uint8_t>(pending_);
        const size_t whole = buffered.size() - buffered.size() % frameBytes;
        if (whole == 0) return {};
        if (temp_ && encoder_ && choice_.codec == FileCodec::Wav && !choice_.rf64 &&
            written_ + whole > plainWaveLimit.load()) {
            if (auto r = switchToRf64(); !r) return r;
        }
        auto wrote = journal_ ? journal_->append(buffered.first(whole))
                     : mp4_   ? mp4_->write(buffered.first(whole))
                              : encoder_->write(buffered.first(whole));
        if (!wrote) return wrote;
        written_ += whole;
        if (!straight) pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(whole));
        // The disk gets the file as it grows, so that the flush before it is put in place waits for
        // the last part only, not for the whole file at once.
        if (temp_ && written_ - writebackFrom_ >= kWritebackBytes) {
            ::sync_file_range(temp_->fd(), 0, 0, SYNC_FILE_RANGE_WRITE);
            writebackFrom_ = written_;
        }
        return {};
    }

    // Finishes the file, with its tags and `marks`, and puts it in place; the warnings. On failure
    // nothing is put in place.
    Result<std::vector<std::string>> commit(const std::vector<ChapterMark>& marks, const core::MarkerState& found) {
        if (journal_) {
            // Audio rendered since the last unit ended is the last unit, and it ends the text: a render
            // stopped after it is kept (while the file is made from the journal, which for an encoded
            // file takes a while) goes on by speaking none of the text again, with the chapters found
            // to its end.
            if (journal_->pendingFrames() > 0) {
                if (auto r = commitChain(audio::ChainStart{kWholeText, found}); !r) return r.fault();
            }
            return journal_->finish(audio::FinalFile{target_, name_, choice_, mode_, tags_, marks});
        }
        auto finished = mp4_ ? mp4_->finish(marks) : encoder_->finish();
        if (!finished) return finished.fault();
        std::vector<std::string> warnings = mp4_ ? mp4_->warnings() : std::vector<std::string>();
        if (temp_ && tags_ && !mp4_) {
            const uint64_t frames = written_ / static_cast<uint64_t>(format_.bytesPerFrame());
            auto marked =
                choice_.rf64
                    ? Result<std::vector<std::string>>(std::vector<std::string>{"The chapters are not marked in \"" +
                                                                                name_ + "\": it is an RF64 file."})
                    : audio::markFinishedFile(temp_->fd(), name_, choice_.codec, format_, frames, *tags_, marks);
            if (!marked) return marked.fault();
            warnings = std::move(marked.value());
        }
        if (temp_) {
            if (auto r = temp_->putInPlace(); !r) return r.fault();
        } else if (direct_.reset() != 0) {
            return saveFault(name_, errno);
        }
        return warnings;
    }

    // A render that can resume: the audio written since the last chain's start is durable and listed.
    Result<void> commitChain(const audio::ChainStart& start) {
        if (!journal_) return {};
        if (!pending_.empty()) return Fault{errc::kUnexpected, "A part of the render ended within a frame."};
        return journal_->commitUnit(start.segments, start.marks);
    }
    bool resumable() const { return journal_ != nullptr; }
    uint64_t frameBytes() const { return static_cast<uint64_t>(std::max(1, format_.bytesPerFrame())); }
    void dropUnit() {
        pending_.clear();
        if (journal_) (void)journal_->dropUnit();
    }
    // What an earlier render left in the journal: its frames and segments, and its chapter marks.
    ResumeState resumeState(core::MarkerState& marks) const {
        ResumeState state;
        if (journal_) {
            state.frames = journal_->frames();
            if (!journal_->units().empty()) state.segments = journal_->units().back().segments;
            marks = journal_->marks();
        }
        return state;
    }

    uint64_t bytesWritten() const { return written_; }

    FileOutput(std::string name, const WaveFormat& format, const audio::EncoderChoice& choice)
        : name_(name), target_(std::move(name)), format_(format), choice_(choice) {}

private:
    // Where the file of a render that can resume goes: anything but a regular file (or none yet) is
    // refused, and a regular file is looked through a symbolic link (the journal lies beside the file
    // the link names) and its permissions kept for the file that replaces it.
    Result<void> findTarget() {
        struct stat st {};
        if (::stat(name_.c_str(), &st) != 0) return {};
        if (S_ISDIR(st.st_mode)) return createFault(name_, EISDIR);
        if (!S_ISREG(st.st_mode))
            return Fault{errc::kAccessDenied,
                         "Cannot resume a render into \"" + name_ + "\": it is not a regular file."};
        if (::access(name_.c_str(), W_OK) != 0) return createFault(name_, errno);
        // The file a symbolic link names is the one replaced; the link stays.
        std::unique_ptr<char, decltype(&std::free)> real(::realpath(name_.c_str(), nullptr), &std::free);
        if (real) target_ = real.get();
        mode_ = st.st_mode;
        return {};
    }

    Result<void> startOn(base::UniqueFd fd) {
        direct_ = std::move(fd);
        Result<std::unique_ptr<audio::SoundFileEncoder>> encoder =
            seekable(direct_.get()) ? audio::openSndfileEncoder(direct_.get(), name_, format_, choice_)
            : choice_.codec == FileCodec::Wav
                ? audio::openStreamedWave(direct_.get(), name_, format_)
                : Result<std::unique_ptr<audio::SoundFileEncoder>>(
                      Fault{errc::kAccessDenied, "Cannot write the file \"" + name_ + "\": a pipe takes WAV only."});
        if (!encoder) return encoder.fault();
        encoder_ = std::move(encoder.value());
        return {};
    }

    // Moves what the plain WAV file holds into a new RF64 file, which the rest of the audio then goes to.
    // Costs one copy, once, and only for audio past 4 GB; below that the file stays a plain WAV.
    Result<void> switchToRf64() {
        auto next = temp_->again();
        if (!next) return next.fault();
        audio::EncoderChoice rf64 = choice_;
        rf64.rf64 = true;
        auto encoder = audio::openSndfileEncoder(next.value().fd(), name_, format_, rf64);
        if (!encoder) return encoder.fault();
        if (auto r = encoder_->finish(); !r) return r;
        std::vector<uint8_t> buffer(size_t{1} << 20);
        for (uint64_t done = 0; done < written_;) {
            const size_t want = static_cast<size_t>(std::min<uint64_t>(buffer.size(), written_ - done));
            const ssize_t got = ::pread(temp_->fd(), buffer.data(), want, static_cast<off_t>(dataStart_ + done));
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) return Fault{errc::kAccessDenied, "Cannot read back the file \"" + name_ + "\"."};
            if (auto r = encoder.value()->write(std::span<const uint8_t>(buffer.data(), static_cast<size_t>(got))); !r)
                return r;
            done += static_cast<uint64_t>(got);
        }
        encoder_ = std::move(encoder.value());
        temp_ = std::move(next.value());
        choice_ = rf64;
        return {};
    }

    std::string name_;    // the file's name for messages
    std::string target_;  // where a render that can resume puts its file (a symbolic link resolved)
    WaveFormat format_;
    audio::EncoderChoice choice_;
    std::optional<FileTags> tags_;
    std::optional<mode_t> mode_;  // of the file replaced
    // Declared before the encoder, so the encoder is finished or closed before its file goes.
    std::optional<base::ReplacingFile> temp_;
    base::UniqueFd direct_;
    std::unique_ptr<audio::SoundFileEncoder> encoder_;
    std::unique_ptr<audio::Mp4Writer> mp4_;
    std::unique_ptr<audio::RenderJournal> journal_;
    uint64_t dataStart_ = 0;  // where a plain WAV file's samples start
    // Bytes written between two starts of the disk's writeback, and the count at the last start.
    static constexpr uint64_t kWritebackBytes = 16u << 20;
    uint64_t writebackFrom_ = 0;
    std::vector<uint8_t> pending_;
    uint64_t written_ = 0;
};

void setPlainWaveLimitForTesting(uint64_t bytes) {
    plainWaveLimit.store(bytes);
}

SpFileStream::SpFileStream() = default;

SpFileStream::~SpFileStream() {
    std::lock_guard lock(fileMutex_);
    output_.reset();
}

void SpFileStream::setCodec(FileCodec codec, std::optional<double> quality) {
    if (quality && !(*quality >= 0.0 && *quality <= 1.0))
        throw Error(errc::kInvalidArg, "The quality " + std::to_string(*quality) + " is outside 0 to 1.");
    if (open_.load())
        throw Error(errc::kInvalidArg, "The codec of a file stream cannot change while its file is open.");
    std::lock_guard lock(fileMutex_);
    codec_ = codec;
    quality_ = quality;
}

FileCodec SpFileStream::codec() const {
    std::lock_guard lock(fileMutex_);
    return codec_;
}

void SpFileStream::openWith(const std::function<Result<std::unique_ptr<FileOutput>>(const WaveFormat&)>& create,
                            std::string path) {
    std::lock_guard lock(fileMutex_);
    output_.reset();
    writeFault_.reset();
    // The file is marked open before the format is read: a concurrent format change either lands
    // before that read or is refused.
    open_.store(true);
    if (codec_ == FileCodec::OggOpus) {
        // Opus encodes 48 kHz only: the voice converts into the 48 kHz 16-bit format of the same channels.
        adjustType(Format().wave().channels == 2 ? 39 : 38);
    }
    auto created = create(Format().wave());
    if (!created) {
        open_.store(false);
        created.orThrow();
    }
    output_ = std::move(created.value());
    path_ = std::move(path);
}

void SpFileStream::setTags(std::optional<FileTags> tags) {
    if (open_.load()) throw Error(errc::kInvalidArg, "The tags of a file stream cannot change while its file is open.");
    std::lock_guard lock(fileMutex_);
    tags_ = std::move(tags);
}

void SpFileStream::setChapterMarks(std::vector<ChapterMark> marks) {
    std::lock_guard lock(fileMutex_);
    marks_ = std::move(marks);
}

std::vector<std::string> SpFileStream::warnings() const {
    std::lock_guard lock(fileMutex_);
    return warnings_;
}

void SpFileStream::Open(const std::string& path, int32_t mode, bool /*doEvents*/) {
    if (mode != SSFMCreateForWrite)
        throw Error(errc::kInvalidArg,
                    "Files can only be opened for writing (mode 3), not in mode " + std::to_string(mode) + ".");
    if (path.empty()) throw Error(errc::kInvalidArg, "No file name was given.");
    openPlace({nullptr, path, base::ReplacingFile::Link::Follow});
}

void SpFileStream::Open(const base::Folder& folder, const std::string& name) {
    if (name.empty() || name.find('/') != std::string::npos)
        throw Error(errc::kInvalidArg, "\"" + name + "\" is not a name of a file in a folder.");
    openPlace({&folder, name, base::ReplacingFile::Link::Replace});
}

void SpFileStream::openPlace(const base::ReplacingFile::Place& place) {
    openWith(
        [&](const WaveFormat& format) {
            return FileOutput::create(place, format, audio::EncoderChoice{codec_, quality_}, tags_);
        },
        place.shown());
}

ResumeState SpFileStream::openResumable(const std::string& path, const ResumeKey& key) {
    if (path.empty()) throw Error(errc::kInvalidArg, "No file name was given.");
    ResumeState state;
    openWith(
        [&](const WaveFormat& format) {
            return FileOutput::createResumable(path, format, audio::EncoderChoice{codec_, quality_}, tags_, key,
                                               state.notice);
        },
        path);
    std::lock_guard lock(fileMutex_);
    core::MarkerState marks;
    const ResumeState kept = output_->resumeState(marks);
    state.frames = kept.frames;
    state.segments = kept.segments;
    segmentsDone_ = state.segments;
    if (marker_) marker_->restore(std::move(marks));
    return state;
}

void SpFileStream::markChapters(std::vector<core::ChapterStart> chapters, std::string bookTitle) {
    std::lock_guard lock(fileMutex_);
    marker_.emplace(std::move(chapters), std::move(bookTitle));
}

void SpFileStream::markChaptersByBookmarks(std::string bookTitle) {
    std::lock_guard lock(fileMutex_);
    marker_.emplace(core::ChapterMarker::fromBookmarks(std::move(bookTitle)));
}

void SpFileStream::setPlacedListener(std::function<void(const core::VoiceEvent&, uint64_t)> listener) {
    std::lock_guard lock(fileMutex_);
    placedListener_ = std::move(listener);
}

void SpFileStream::eventPlaced(const core::VoiceEvent& event, uint64_t byte) {
    std::lock_guard lock(fileMutex_);
    if (marker_ && output_) marker_->add(event, byte / output_->frameBytes());
    if (placedListener_ && event.kind != core::EventKind::Bookmark) placedListener_(event, byte);
}

std::optional<audio::ChainStart> SpFileStream::chainStarting(uint64_t segments) {
    std::lock_guard lock(fileMutex_);
    if (!output_ || !output_->resumable()) return std::nullopt;
    // Keeping costs a few syncs of the disk: a chain is kept at most once a second of the render (the
    // first at once), which is all a stop loses, and what a render of an hour's speech in a few
    // seconds would otherwise spend a tenth of its time on.
    const auto now = std::chrono::steady_clock::now();
    if (lastKept_ && now - *lastKept_ < std::chrono::seconds(1)) return std::nullopt;
    lastKept_ = now;
    return audio::ChainStart{segments, marker_ ? marker_->state() : core::MarkerState{}};
}

Result<void> SpFileStream::commitChain(const audio::ChainStart& start) {
    std::lock_guard lock(fileMutex_);
    if (!output_) return Fault{errc::kUnexpected, "The file stream is not open."};
    if (writeFault_) return *writeFault_;
    auto committed = output_->commitChain(start);
    if (!committed) writeFault_ = committed.fault();
    return committed;
}

uint64_t SpFileStream::takeSegmentsDone() {
    std::lock_guard lock(fileMutex_);
    return std::exchange(segmentsDone_, 0);
}

void SpFileStream::openStandardOutput() {
    if (codec() != FileCodec::Wav) throw Error(errc::kInvalidArg, "Standard output takes WAV only.");
    openWith([](const WaveFormat& format) { return FileOutput::standardOutput(format); }, "-");
}

void SpFileStream::finish(bool commit) {
    std::optional<Fault> fault;
    {
        std::lock_guard lock(fileMutex_);
        fault.swap(writeFault_);
        warnings_.clear();
        if (output_ && commit && !fault) {
            auto committed =
                output_->commit(marker_ ? marker_->marks() : marks_, marker_ ? marker_->state() : core::MarkerState{});
            if (committed) warnings_ = std::move(committed.value());
            if (!committed) fault = committed.fault();
        }
        // A render that can resume keeps its journal: the unit it was in is dropped, the rest stays.
        if (output_ && (!commit || fault)) output_->dropUnit();
        output_.reset();
        marks_.clear();
        marker_.reset();
        placedListener_ = nullptr;
        segmentsDone_ = 0;
        lastKept_.reset();
        open_.store(false);
    }
    if (fault && commit) throw Error(fault->code, fault->message);
}

void SpFileStream::Close() {
    finish(true);
}

void SpFileStream::discard() {
    finish(false);
}

bool SpFileStream::isOpen() const {
    return open_.load();
}

Result<void> SpFileStream::writeBytes(std::span<const uint8_t> bytes) {
    std::lock_guard lock(fileMutex_);
    if (!output_) return Fault{errc::kUnexpected, "The file stream is not open."};
    if (writeFault_) return *writeFault_;
    auto written = output_->write(bytes);
    if (!written) writeFault_ = written.fault();
    return written;
}

uint64_t SpFileStream::bytesWritten() const {
    std::lock_guard lock(fileMutex_);
    return output_ ? output_->bytesWritten() : 0;
}

void SpFileStream::failRender(Fault fault) {
    std::lock_guard lock(fileMutex_);
    if (output_ && !writeFault_) writeFault_ = std::move(fault);
}

Result<void> SpFileStream::canChangeFormat() const {
    if (open_.load())
        return Fault{errc::kUnsupportedFormat,
                     "The format of a file stream cannot change while its file is open; close it first."};
    return {};
}

}  // namespace speech
