// SPDX-License-Identifier: GPL-3.0-or-later
#include "speech/audio/render_journal.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <limits>
#include <mutex>
#include <utility>

#include "base/child_process.h"
#include "speech/audio/aac_feeder.h"
#include "speech/audio/encoder_feeder.h"
#include "speech/audio/media_module.h"

namespace speech::audio {

namespace {

// The files the program makes in the journal's folder: the clean-up removes these, by name, and
// nothing else.
constexpr const char* kState = "state";
constexpr const char* kStatePart = "state.part";
constexpr const char* kAudio = "audio.wav";
constexpr const char* kFinal = "final.part";
constexpr const char* kAac = "aac";
constexpr const char* kLock = "lock";
// Bytes appended between two starts of the disk's writeback, so that a commit's sync has little left.
constexpr uint64_t kWritebackBytes = uint64_t{16} << 20;
// Audio written and not yet encoded (for a FLAC, Ogg, Opus or MP3 output) that the render waits at:
// about as much as a render without a journal holds in its writer's queue.
constexpr uint64_t kEncodeBacklog = uint64_t{1} << 20;

std::mutex hookMutex;
std::function<void()> stepHook;

void step() {
    std::function<void()> hook;
    {
        std::lock_guard lock(hookMutex);
        hook = stepHook;
    }
    if (hook) hook();
}

std::string folderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

// Why the journal's folder `name` in `parent`, there before this render, is not one it may use: a
// symbolic link (its files would be those of the folder it names), anything but a folder, or a folder
// of another user (who could have put anything in it). Nothing when it is the user's own folder.
std::optional<std::string> refuseFolder(int parent, const std::string& name, int opened) {
    struct stat st {};
    if (::fstatat(parent, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return std::nullopt;
    if (S_ISLNK(st.st_mode)) return "it is a symbolic link";
    if (!S_ISDIR(st.st_mode)) return "it is not a folder";
    if (opened >= 0 && ::fstat(opened, &st) != 0) return std::nullopt;
    if (st.st_uid != ::geteuid()) return "it belongs to another user";
    return std::nullopt;
}

}  // namespace

struct RenderJournal::Impl {
    std::string output;
    std::string folder;  // its path, for messages
    std::string name;    // its name in `parent`
    JournalKey key;
    JournalState state;              // the units listed, and the AAC parts kept
    std::vector<JournalUnit> units;  // listed, as handed out
    base::UniqueFd lock;
    base::UniqueFd parent;  // the folder the journal's folder is in
    base::UniqueFd dir;
    base::UniqueFd audio;
    uint64_t committed = 0;  // bytes of the listed units
    uint64_t pending = 0;    // bytes written since
    AudioChecksum pendingSum;
    uint64_t writebackFrom = 0;
    // An MP4 output's AAC packets, kept as its parts are encoded (by a thread of the journal's own,
    // from the listed units' audio), so that the file is made from them at the end.
    std::optional<Mp4Choice> aacChoice;
    base::UniqueFd aac;
    // Last, so that it stops before anything it uses goes.
    std::unique_ptr<AacFeeder> feeder;
    // A FLAC, Ogg, Opus or MP3 output: its file, encoded as the units are listed (the feeder goes
    // before the file it writes).
    base::UniqueFd encodedFile;
    std::unique_ptr<EncoderFeeder> encoding;

    // The journal's file `name`, opened relative to the folder's descriptor. A symbolic link there is
    // refused, never followed, and so is anything but a regular file (a pipe, a device: opened without
    // waiting, then closed), both with ELOOP: whoever put them there must not have the journal write
    // through them.
    base::UniqueFd openFile(const char* name, int flags, mode_t mode = 0600) const {
        base::UniqueFd fd(::openat(dir.get(), name, flags | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK | O_CLOEXEC, mode));
        struct stat st {};
        if (fd.get() >= 0 && (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))) {
            fd.reset();
            errno = ELOOP;
        }
        return fd;
    }

    // Removes the journal's file `name`; a file that is not there is no fault.
    base::Result<void> removeFile(const char* name, const char* what) {
        step();
        if (::unlinkat(dir.get(), name, 0) != 0 && errno != ENOENT) return journalFault(folder, what, errno);
        return {};
    }

    uint64_t frameBytes() const { return static_cast<uint64_t>(key.format.bytesPerFrame()); }

    base::Result<void> syncFolder() {
        step();
        if (::fsync(dir.get()) != 0) return journalFault(folder, "syncing the folder", errno);
        step();
        return {};
    }

    // The state, written whole beside the old one and renamed over it.
    base::Result<void> writeState() {
        const std::string text = journalStateText(key, state);
        base::UniqueFd fd = openFile(kStatePart, O_WRONLY | O_CREAT | O_TRUNC);
        if (fd.get() < 0) return journalFault(folder, "writing its state", errno);
        step();
        if (const int err =
                base::pwriteAll(fd.get(), std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()), 0);
            err != 0)
            return journalFault(folder, "writing its state", err);
        step();
        if (::fsync(fd.get()) != 0 || fd.reset() != 0) return journalFault(folder, "writing its state", errno);
        step();
        if (::renameat(dir.get(), kStatePart, dir.get(), kState) != 0)
            return journalFault(folder, "writing its state", errno);
        return syncFolder();
    }

    // Why the audio cannot be used with the units listed, or nothing: it holds them all (more is cut
    // off), each as it was written.
    std::optional<std::string> checkAudio(const std::vector<JournalState::Listed>& listed) {
        struct stat st {};
        if (audio.get() < 0 || ::fstat(audio.get(), &st) != 0) return "its audio is missing";
        uint64_t bytes = 0;
        for (const auto& l : listed) bytes += l.unit.frames * frameBytes();
        if (static_cast<uint64_t>(st.st_size) < kAudioStart + bytes) return "its audio is cut short";
        uint64_t at = kAudioStart;
        for (size_t i = 0; i < listed.size(); ++i) {
            const uint64_t size = listed[i].unit.frames * frameBytes();
            uint64_t sum = 0;
            if (audioChecksumBlocks(audio.get(), at, size, sum) != 0 || sum != listed[i].sum)
                return "its audio is damaged, in part " + std::to_string(i + 1) + " of " +
                       std::to_string(listed.size());
            at += size;
        }
        committed = bytes;
        return std::nullopt;
    }

    // Why the encoded audio cannot be used with the state `earlier`, or nothing: it holds the parts
    // listed, as they were written.
    std::optional<std::string> checkParts(const JournalState& earlier) {
        struct stat st {};
        if (aac.get() < 0 || ::fstat(aac.get(), &st) != 0) return "its encoded audio is missing";
        if (static_cast<uint64_t>(st.st_size) < earlier.aacBytes) return "its encoded audio is cut short";
        uint32_t crc = 0;
        if (checksumBlocks(aac.get(), 0, earlier.aacBytes, crc) != 0 || crc != earlier.aacCrc)
            return "its encoded audio is damaged";
        return std::nullopt;
    }

    // Removes the files the program makes in the folder but the lock, by name, the state first;
    // nothing else in the folder is touched.
    base::Result<void> clean() {
        if (auto r = removeFile(kState, "cleaning it"); !r) return r;
        if (auto r = syncFolder(); !r) return r;
        for (const char* name : {kStatePart, kAudio, kAac, kFinal}) {
            if (auto r = removeFile(name, "cleaning it"); !r) return r;
        }
        return {};
    }

    // A journal of no units: the state first removed, the audio emptied, the state written again.
    base::Result<void> startOver() {
        state = JournalState{};
        committed = 0;
        if (auto r = clean(); !r) return r;
        audio = openFile(kAudio, O_RDWR | O_CREAT | O_TRUNC, 0666);
        if (audio.get() < 0) return journalFault(folder, "making its audio file", errno);
        if (::ftruncate(audio.get(), static_cast<off_t>(kAudioStart)) != 0)
            return journalFault(folder, "making its audio file", errno);
        if (aacChoice) {
            aac = openFile(kAac, O_RDWR | O_CREAT | O_TRUNC);
            if (aac.get() < 0) return journalFault(folder, "making its encoded audio's file", errno);
        }
        return writeState();
    }

    // Makes the folder (only its owner may enter it), or takes the one there if it is the user's own
    // folder, and locks it.
    base::Result<void> lockFolder() {
        parent = base::UniqueFd(::open(folderOf(folder).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (parent.get() < 0) return journalFault(folder, "opening the folder it is in", errno);
        if (::mkdirat(parent.get(), name.c_str(), 0700) != 0 && errno != EEXIST)
            return journalFault(folder, "making the folder", errno);
        dir = base::UniqueFd(::openat(parent.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        const int err = errno;
        if (const auto why = refuseFolder(parent.get(), name, dir.get()))
            return base::Fault{base::errc::kAccessDenied, "Cannot keep the render's journal in \"" + folder +
                                                              "\": " + *why + "; nothing in it is touched."};
        if (dir.get() < 0) return journalFault(folder, "opening the folder", err);
        lock = openFile(kLock, O_RDWR | O_CREAT);
        if (lock.get() < 0) return journalFault(folder, "opening its lock", errno);
        if (::flock(lock.get(), LOCK_EX | LOCK_NB) != 0) {
            if (errno == EWOULDBLOCK)
                return base::Fault{
                    base::errc::kAccessDenied,
                    "Another render of \"" + output + "\" is running (it holds \"" + folder + "\"); this one stops."};
            return journalFault(folder, "locking it", errno);
        }
        return {};
    }

    // The state and audio an earlier render left, or why they cannot be used; nothing to read is a
    // fresh journal.
    std::optional<std::string> readEarlier(bool& fresh) {
        base::UniqueFd stateFd = openFile(kState, O_RDONLY);
        fresh = stateFd.get() < 0 && errno == ENOENT;
        if (fresh) return std::nullopt;
        if (stateFd.get() < 0) return "its state cannot be read";
        struct stat st {};
        // A state is a line a unit; a huge one is not ours.
        if (::fstat(stateFd.get(), &st) != 0 || st.st_size > (int64_t{16} << 20)) return "its state is damaged";
        std::string text;
        if (readBlocks(stateFd.get(), 0, static_cast<uint64_t>(st.st_size), [&](std::span<const uint8_t> b) {
                text.append(reinterpret_cast<const char*>(b.data()), b.size());
                return base::Result<void>();
            }) != 0)
            return "its state cannot be read";
        JournalState earlier;
        if (auto why = parseJournalState(text, key, earlier)) return why;
        audio = openFile(kAudio, O_RDWR);
        if (auto why = checkAudio(earlier.units)) return why;
        if (aacChoice) {
            aac = openFile(kAac, O_RDWR);
            if (auto why = checkParts(earlier)) return why;
        }
        state = std::move(earlier);
        return std::nullopt;
    }

    // Audio past the listed units (a unit cut short by a kill) is cut off, with any file a finish left.
    base::Result<void> trim() {
        step();
        if (::ftruncate(audio.get(), static_cast<off_t>(kAudioStart + committed)) != 0 ||
            (aac.get() >= 0 && ::ftruncate(aac.get(), static_cast<off_t>(state.aacBytes)) != 0))
            return journalFault(folder, "cutting off an unfinished part", errno);
        for (const char* name : {kStatePart, kFinal}) ::unlinkat(dir.get(), name, 0);
        return {};
    }

    void publishUnits() {
        units.clear();
        for (const auto& l : state.units) units.push_back(l.unit);
    }

    // Keeps the parts the feeder encoded since the last time: their records appended and synced, and
    // counted in the state, which the caller writes next. On the render's thread, as every write.
    base::Result<void> keepParts() {
        auto parts = feeder->take();
        if (!parts) return parts.fault();
        if (parts.value().empty()) return {};
        std::vector<uint8_t> records;
        for (const auto& part : parts.value()) {
            const auto record = aacPartRecord(part);
            records.insert(records.end(), record.begin(), record.end());
        }
        step();
        if (const int err = base::pwriteAll(aac.get(), records, state.aacBytes); err != 0)
            return journalFault(folder, "writing its encoded audio", err);
        step();
        if (::fsync(aac.get()) != 0) return journalFault(folder, "writing its encoded audio", errno);
        state.aacParts += static_cast<int64_t>(parts.value().size());
        state.aacBytes += records.size();
        state.aacCrc = checksum32(state.aacCrc, records);
        return {};
    }

    base::Result<std::vector<std::string>> finishWave(const FinalFile& file);
    base::Result<std::vector<std::string>> finishEncoded(const FinalFile& file);
    base::Result<std::vector<std::string>> finishMp4(const FinalFile& file);
    base::Result<void> putInPlace(const char* from, const FinalFile& file, std::vector<std::string>& warnings);
    // The final file, made in the journal's folder; its failures name the user's file.
    base::Result<base::UniqueFd> createFinal(const FinalFile& file);
    // The journal's audio from byte `from` of its samples to the end, handed to `write` a block at a
    // time; the first fault of `write` or of the reading stops it.
    base::Result<void> feedAudio(uint64_t from,
                                 const std::function<base::Result<void>(std::span<const uint8_t>)>& write);
    // Removes the journal: its files, then its folder, unless it holds files the program did not make
    // (a warning then says it is left).
    base::Result<void> remove(std::vector<std::string>& warnings);
};
RenderJournal::RenderJournal(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
RenderJournal::~RenderJournal() = default;

base::Result<std::unique_ptr<RenderJournal>> RenderJournal::open(const std::string& output, const JournalKey& key,
                                                                 std::optional<Mp4Choice> aac,
                                                                 std::optional<EncoderChoice> encoded,
                                                                 std::string& notice) {
    auto impl = std::make_unique<Impl>();
    const std::string base = output.substr(output.rfind('/') + 1);
    impl->output = output;
    impl->name = "." + base + ".resume";
    impl->folder = folderOf(output) + "/" + impl->name;
    impl->key = key;
    impl->aacChoice = aac;
    notice.clear();
    if (auto r = impl->lockFolder(); !r) return r.fault();
    bool fresh = false;
    if (const auto why = impl->readEarlier(fresh)) {
        notice = "The journal of an earlier render of \"" + output + "\" cannot be used (" + *why +
                 "); the render starts over.";
        fresh = true;
    }
    if (auto r = fresh ? impl->startOver() : impl->trim(); !r) return r.fault();
    impl->publishUnits();
    if (aac) {
        // The encoding goes on from the first part not kept, its context included.
        const int64_t from = std::max<int64_t>(0, impl->state.aacParts * kAacPartSamples - kAacPartContext);
        auto encoder = openAacPartEncoder(key.format, *aac, impl->state.aacParts);
        if (!encoder) return encoder.fault();
        const uint64_t fromByte = std::min(static_cast<uint64_t>(from) * impl->frameBytes(), impl->committed);
        impl->feeder = std::make_unique<AacFeeder>(impl->audio.get(), kAudioStart, impl->folder,
                                                   std::move(encoder.value()), fromByte);
        impl->feeder->listed(impl->committed);
    }
    if (encoded) {
        impl->encodedFile = impl->openFile(kFinal, O_RDWR | O_CREAT | O_TRUNC, 0666);
        if (impl->encodedFile.get() < 0)
            return base::Fault{base::errc::kAccessDenied,
                               "Cannot write to the file \"" + output + "\": " + base::fileErrorReason(errno) + "."};
        auto encoder = openSndfileEncoder(impl->encodedFile.get(), output, key.format, *encoded);
        if (!encoder) return encoder.fault();
        impl->encoding =
            std::make_unique<EncoderFeeder>(impl->audio.get(), kAudioStart, impl->folder, std::move(encoder.value()));
        // The audio kept is encoded again beside the render, which waits for it only as it goes on.
        impl->encoding->written(impl->committed, std::numeric_limits<uint64_t>::max());
    }
    return std::make_unique<RenderJournal>(std::move(impl));
}

const std::vector<JournalUnit>& RenderJournal::units() const {
    return impl_->units;
}

const core::MarkerState& RenderJournal::marks() const {
    return impl_->state.marks;
}

uint64_t RenderJournal::frames() const {
    return impl_->committed / impl_->frameBytes();
}

uint64_t RenderJournal::pendingFrames() const {
    return impl_->pending / impl_->frameBytes();
}

const std::string& RenderJournal::folder() const {
    return impl_->folder;
}

base::Result<void> RenderJournal::append(std::span<const uint8_t> bytes) {
    Impl& d = *impl_;
    step();
    if (const int err = base::pwriteAll(d.audio.get(), bytes, kAudioStart + d.committed + d.pending); err != 0)
        return base::Fault{base::errc::kAccessDenied, "Cannot write to the file \"" + d.output + "\" (its journal, \"" +
                                                          d.folder + "\"): " + base::fileErrorReason(err) + "."};
    step();
    d.pendingSum.add(bytes);
    d.pending += bytes.size();
    if (d.encoding) d.encoding->written(d.committed + d.pending, kEncodeBacklog);
    if (d.committed + d.pending - d.writebackFrom >= kWritebackBytes) {
        ::sync_file_range(d.audio.get(), 0, 0, SYNC_FILE_RANGE_WRITE);
        d.writebackFrom = d.committed + d.pending;
    }
    return {};
}

base::Result<void> RenderJournal::commitUnit(uint64_t segments, core::MarkerState marks) {
    Impl& d = *impl_;
    if (d.pending % d.frameBytes() != 0)
        return base::Fault{base::errc::kUnexpected, "A part of the render ended within a frame."};
    step();
    if (::fsync(d.audio.get()) != 0) return journalFault(d.folder, "writing a part's audio", errno);
    step();
    if (d.feeder) {
        if (auto r = d.keepParts(); !r) return r;
    }
    d.state.units.push_back(
        JournalState::Listed{JournalUnit{d.pending / d.frameBytes(), segments}, d.pendingSum.value()});
    d.state.marks = std::move(marks);
    d.committed += d.pending;
    d.pending = 0;
    d.pendingSum.reset();
    if (auto r = d.writeState(); !r) return r;
    d.publishUnits();
    if (d.feeder) d.feeder->listed(d.committed);
    return {};
}

base::Result<void> RenderJournal::dropUnit() {
    Impl& d = *impl_;
    d.pending = 0;
    d.pendingSum.reset();
    return d.trim();
}

base::Result<void> RenderJournal::Impl::remove(std::vector<std::string>& warnings) {
    if (auto r = clean(); !r) return r;
    ::unlinkat(dir.get(), kLock, 0);
    step();
    if (::unlinkat(parent.get(), name.c_str(), AT_REMOVEDIR) == 0) return {};
    if (errno != ENOTEMPTY && errno != EEXIST) return journalFault(folder, "removing it", errno);
    warnings.push_back("The folder \"" + folder + "\" is left in place: it holds files this program did not make.");
    return {};
}

// The file `from`, made in the journal's folder, is synced and renamed over the target (the journal
// lies beside it, on the same file system), and the rename synced with the target's folder; then the
// journal goes. Its state goes first: a render stopped between the two finds no journal and starts
// over, where one stopped after the rename would find a journal whose audio is gone.
base::Result<void> RenderJournal::Impl::putInPlace(const char* from, const FinalFile& file,
                                                   std::vector<std::string>& warnings) {
    base::UniqueFd made = openFile(from, O_RDONLY);
    if (made.get() < 0) return journalFault(folder, "finishing the file", errno);
    if (file.mode) ::fchmod(made.get(), *file.mode & 07777);
    step();
    if (::fsync(made.get()) != 0)
        return base::Fault{base::errc::kAccessDenied,
                           "Cannot save the file \"" + file.name + "\": " + base::fileErrorReason(errno) + "."};
    step();
    if (::unlinkat(dir.get(), kState, 0) != 0 && errno != ENOENT) return journalFault(folder, "removing it", errno);
    if (auto r = syncFolder(); !r) return r;
    if (::renameat(dir.get(), from, AT_FDCWD, file.target.c_str()) != 0)
        return base::Fault{base::errc::kAccessDenied,
                           "Cannot save the file \"" + file.name + "\": " + base::fileErrorReason(errno) + "."};
    step();
    base::UniqueFd target(::open(folderOf(file.target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (target.get() >= 0) ::fsync(target.get());
    return remove(warnings);
}

base::Result<std::vector<std::string>> RenderJournal::Impl::finishWave(const FinalFile& file) {
    const auto header = waveHeader(key.format, static_cast<uint32_t>(committed));
    step();
    int err = base::pwriteAll(audio.get(), header, 0);
    // An odd data chunk is followed by a pad byte, as in any WAV file.
    const uint8_t pad[1] = {0};
    if (err == 0 && committed % 2 != 0) err = base::pwriteAll(audio.get(), pad, kAudioStart + committed);
    if (err != 0)
        return base::Fault{base::errc::kAccessDenied,
                           "Cannot write to the file \"" + file.name + "\": " + base::fileErrorReason(err) + "."};
    std::vector<std::string> warnings;
    if (file.tags) {
        step();
        auto marked = markFinishedFile(audio.get(), file.name, core::FileCodec::Wav, key.format,
                                       committed / frameBytes(), *file.tags, file.marks);
        if (!marked) return marked.fault();
        warnings = std::move(marked.value());
    }
    if (auto r = putInPlace(kAudio, file, warnings); !r) return r.fault();
    return warnings;
}

base::Result<base::UniqueFd> RenderJournal::Impl::createFinal(const FinalFile& file) {
    base::UniqueFd out = openFile(kFinal, O_RDWR | O_CREAT | O_TRUNC, 0666);
    if (out.get() < 0)
        return base::Fault{base::errc::kAccessDenied,
                           "Cannot write to the file \"" + file.name + "\": " + base::fileErrorReason(errno) + "."};
    return out;
}

base::Result<void> RenderJournal::Impl::feedAudio(
    uint64_t from, const std::function<base::Result<void>(std::span<const uint8_t>)>& write) {
    std::optional<base::Fault> failed;
    const int err = readBlocks(audio.get(), kAudioStart + from, committed - from, [&](std::span<const uint8_t> b) {
        auto r = write(b);
        if (!r) failed = r.fault();
        return r;
    });
    if (failed) return *failed;
    if (err != 0) return journalFault(folder, "reading its audio", err);
    return {};
}

// Any other output is encoded from the journal's audio into a file beside it.
base::Result<std::vector<std::string>> RenderJournal::Impl::finishEncoded(const FinalFile& file) {
    std::vector<std::string> warnings;
    EncoderChoice choice = file.choice;
    // Past 4 GB a WAV file is RF64, whose marks this program does not write.
    choice.rf64 = choice.codec == core::FileCodec::Wav;
    base::UniqueFd out;
    base::Result<std::unique_ptr<SoundFileEncoder>> encoder = base::Fault{base::errc::kUnexpected, ""};
    if (encoding) {
        // Encoded as the render went on: what is left is the last unit's audio.
        encoder = encoding->finish();
        if (!encoder) return encoder.fault();
        out = std::move(encodedFile);
    } else {
        auto created = createFinal(file);
        if (!created) return created.fault();
        out = std::move(created.value());
        encoder = openSndfileEncoder(out.get(), file.name, key.format, choice);
        if (!encoder) return encoder.fault();
        if (auto r = feedAudio(0, [&](std::span<const uint8_t> b) { return encoder.value()->write(b); }); !r)
            return r.fault();
    }
    if (choice.rf64 && file.tags)
        warnings.push_back("The chapters are not marked in \"" + file.name + "\": it is an RF64 file.");
    if (auto r = encoder.value()->finish(); !r) return r.fault();
    if (file.tags && !choice.rf64) {
        auto marked = markFinishedFile(out.get(), file.name, file.choice.codec, key.format, committed / frameBytes(),
                                       *file.tags, file.marks);
        if (!marked) return marked.fault();
        warnings = std::move(marked.value());
    }
    encoder.value().reset();
    if (out.reset() != 0)
        return base::Fault{base::errc::kAccessDenied,
                           "Cannot save the file \"" + file.name + "\": " + base::fileErrorReason(errno) + "."};
    if (auto r = putInPlace(kFinal, file, warnings); !r) return r.fault();
    return warnings;
}

// An MP4 output: the parts the journal kept, then the rest encoded from its audio.
base::Result<std::vector<std::string>> RenderJournal::Impl::finishMp4(const FinalFile& file) {
    if (auto r = feeder->finish(); !r) return r.fault();
    // The last parts are kept for the file only: a render stopped from here on encodes them again.
    if (auto r = keepParts(); !r) return r.fault();
    feeder.reset();
    auto created = createFinal(file);
    if (!created) return created.fault();
    base::UniqueFd out = std::move(created.value());
    auto opened = openMp4Writer(out.get(), file.name, key.format, *aacChoice, file.tags.value_or(core::FileTags{}),
                                state.aacParts);
    if (!opened) return opened.fault();
    Mp4Writer& writer = *opened.value();
    int64_t next = 0;
    auto read = readAacParts(aac.get(), state.aacBytes, folder, [&](const AacPart& part) -> base::Result<void> {
        if (part.index != next++)
            return base::Fault{base::errc::kFile, "The encoded audio in \"" + folder + "\" is damaged."};
        return writer.writeStoredPart(part);
    });
    if (!read) return read.fault();
    const uint64_t from = std::min(
        static_cast<uint64_t>(std::max<int64_t>(0, state.aacParts * kAacPartSamples - kAacPartContext)) * frameBytes(),
        committed);
    if (auto r = feedAudio(from, [&](std::span<const uint8_t> b) { return writer.write(b); }); !r) return r.fault();
    if (auto r = writer.finish(file.marks); !r) return r.fault();
    std::vector<std::string> warnings = writer.warnings();
    opened.value().reset();
    if (out.reset() != 0)
        return base::Fault{base::errc::kAccessDenied,
                           "Cannot save the file \"" + file.name + "\": " + base::fileErrorReason(errno) + "."};
    if (auto r = putInPlace(kFinal, file, warnings); !r) return r.fault();
    return warnings;
}

base::Result<std::vector<std::string>> RenderJournal::finish(const FinalFile& file) {
    Impl& d = *impl_;
    if (d.pending != 0) return base::Fault{base::errc::kUnexpected, "The render's last part was not finished."};
    const bool plainWave = file.choice.codec == core::FileCodec::Wav && !file.choice.rf64 &&
                           d.committed <= uint64_t{0xFFFFFFFF} - kAudioStart - (uint64_t{1} << 20);
    if (d.feeder) return d.finishMp4(file);
    return plainWave ? d.finishWave(file) : d.finishEncoded(file);
}

void setJournalStepHookForTesting(std::function<void()> hook) {
    std::lock_guard lock(hookMutex);
    stepHook = std::move(hook);
}

}  // namespace speech::audio
