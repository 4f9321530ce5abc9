// SPDX-License-Identifier: GPL-3.0-or-later
#include "speech/audio/render_journal.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <mutex>
#include <utility>

#include "base/child_process.h"
#include "speech/audio/aac_feeder.h"
#include "speech/audio/media_module.h"

namespace speech::audio {

namespace {

constexpr const char* kAudio = "audio.wav";
constexpr const char* kFinal = "final.part";
constexpr const char* kAac = "aac";
// Bytes appended between two starts of the disk's writeback, so that a commit's sync has little left.
constexpr uint64_t kWritebackBytes = uint64_t{16} << 20;

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

}  // namespace

struct RenderJournal::Impl {
    std::string output;
    std::string folder;
    JournalKey key;
    JournalState state;              // the units listed, and the AAC parts kept
    std::vector<JournalUnit> units;  // listed, as handed out
    base::UniqueFd lock;
    base::UniqueFd dir;
    base::UniqueFd audio;
    uint64_t committed = 0;  // bytes of the listed units
    uint64_t pending = 0;    // bytes written since
    uint32_t pendingCrc = 0;
    uint64_t writebackFrom = 0;
    // An MP4 output's AAC packets, kept as its parts are encoded (by a thread of the journal's own,
    // from the listed units' audio), so that the file is made from them at the end.
    std::optional<Mp4Choice> aacChoice;
    base::UniqueFd aac;
    // The state is written by the render's thread (a unit finished) and the feeder's (a part encoded).
    std::mutex stateMutex;
    // Last, so that it stops before anything it uses goes.
    std::unique_ptr<AacFeeder> feeder;

    std::string path(const std::string& name) const { return folder + "/" + name; }
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
        const std::string part = path("state.part");
        base::UniqueFd fd(::open(part.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
        if (fd.get() < 0) return journalFault(folder, "writing its state", errno);
        step();
        if (const int err =
                base::pwriteAll(fd.get(), std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()), 0);
            err != 0)
            return journalFault(folder, "writing its state", err);
        step();
        if (::fsync(fd.get()) != 0 || fd.reset() != 0) return journalFault(folder, "writing its state", errno);
        step();
        if (::rename(part.c_str(), path("state").c_str()) != 0) return journalFault(folder, "writing its state", errno);
        return syncFolder();
    }

    // Why the audio cannot be used with the units listed, or nothing: it holds them all (more is cut
    // off), and the last one is as it was written.
    std::optional<std::string> checkAudio(const std::vector<JournalState::Listed>& units) {
        uint64_t bytes = 0;
        for (const auto& l : units) bytes += l.unit.frames * frameBytes();
        struct stat st {};
        if (audio.get() < 0 || ::fstat(audio.get(), &st) != 0) return "its audio is missing";
        if (static_cast<uint64_t>(st.st_size) < kAudioStart + bytes) return "its audio is cut short";
        if (!units.empty()) {
            const uint64_t last = units.back().unit.frames * frameBytes();
            uint32_t crc = 0;
            const int err = readBlocks(audio.get(), kAudioStart + bytes - last, last, [&](std::span<const uint8_t> b) {
                crc = checksum32(crc, b);
                return base::Result<void>();
            });
            if (err != 0 || crc != units.back().crc) return "its audio is damaged";
        }
        committed = bytes;
        return std::nullopt;
    }

    // Removes every file of the folder but the lock, the state first.
    base::Result<void> clean() {
        step();
        if (::unlink(path("state").c_str()) != 0 && errno != ENOENT) return journalFault(folder, "cleaning it", errno);
        if (auto r = syncFolder(); !r) return r;
        struct CloseDir {
            void operator()(DIR* d) const { ::closedir(d); }
        };
        std::unique_ptr<DIR, CloseDir> listing(::opendir(folder.c_str()));
        if (!listing) return journalFault(folder, "reading it", errno);
        std::vector<std::string> doomed;
        while (const dirent* entry = ::readdir(listing.get())) {
            const std::string name = entry->d_name;
            if (name != "." && name != ".." && name != "lock") doomed.push_back(name);
        }
        for (const auto& name : doomed) {
            step();
            if (::unlink(path(name).c_str()) != 0 && errno != ENOENT) return journalFault(folder, "cleaning it", errno);
        }
        return {};
    }

    // A journal of no units: the state first removed, the audio emptied, the state written again.
    base::Result<void> startOver() {
        state = JournalState{};
        committed = 0;
        if (auto r = clean(); !r) return r;
        audio = base::UniqueFd(::open(path(kAudio).c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
        if (audio.get() < 0) return journalFault(folder, "making its audio file", errno);
        if (::ftruncate(audio.get(), static_cast<off_t>(kAudioStart)) != 0)
            return journalFault(folder, "making its audio file", errno);
        if (aacChoice) {
            aac = base::UniqueFd(::open(path(kAac).c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
            if (aac.get() < 0) return journalFault(folder, "making its encoded audio's file", errno);
        }
        return writeState();
    }

    base::Result<void> lockFolder() {
        if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
            return journalFault(folder, "making the folder", errno);
        dir = base::UniqueFd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (dir.get() < 0) return journalFault(folder, "opening the folder", errno);
        lock = base::UniqueFd(::open(path("lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
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
        base::UniqueFd stateFd(::open(path("state").c_str(), O_RDONLY | O_CLOEXEC));
        fresh = stateFd.get() < 0;
        if (fresh) return std::nullopt;
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
        audio = base::UniqueFd(::open(path(kAudio).c_str(), O_RDWR | O_CLOEXEC));
        if (auto why = checkAudio(earlier.units)) return why;
        if (aacChoice) {
            aac = base::UniqueFd(::open(path(kAac).c_str(), O_RDWR | O_CLOEXEC));
            struct stat st {};
            if (aac.get() < 0 || ::fstat(aac.get(), &st) != 0 || static_cast<uint64_t>(st.st_size) < earlier.aacBytes)
                return "its encoded audio is missing";
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
        for (const char* name : {"state.part", kFinal}) ::unlink(path(name).c_str());
        return {};
    }

    void publishUnits() {
        units.clear();
        for (const auto& l : state.units) units.push_back(l.unit);
    }

    // Keeps an encoded part: its record appended and synced, then listed.
    base::Result<void> keepPart(const AacPart& part) {
        std::lock_guard lock(stateMutex);
        const auto record = aacPartRecord(part);
        step();
        if (const int err = base::pwriteAll(aac.get(), record, state.aacBytes); err != 0)
            return journalFault(folder, "writing its encoded audio", err);
        step();
        if (::fsync(aac.get()) != 0) return journalFault(folder, "writing its encoded audio", errno);
        ++state.aacParts;
        state.aacBytes += record.size();
        return writeState();
    }

    base::Result<std::vector<std::string>> finishWave(const FinalFile& file);
    base::Result<std::vector<std::string>> finishEncoded(const FinalFile& file);
    base::Result<std::vector<std::string>> finishMp4(const FinalFile& file);
    base::Result<void> putInPlace(const std::string& from, const FinalFile& file);
    // The final file, made in the journal's folder; its failures name the user's file.
    base::Result<base::UniqueFd> createFinal(const FinalFile& file);
    // The journal's audio from byte `from` of its samples to the end, handed to `write` a block at a
    // time; the first fault of `write` or of the reading stops it.
    base::Result<void> feedAudio(uint64_t from,
                                 const std::function<base::Result<void>(std::span<const uint8_t>)>& write);
    base::Result<void> remove();
};
RenderJournal::RenderJournal(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
RenderJournal::~RenderJournal() = default;

base::Result<std::unique_ptr<RenderJournal>> RenderJournal::open(const std::string& output, const JournalKey& key,
                                                                 std::optional<Mp4Choice> aac, std::string& notice) {
    auto impl = std::make_unique<Impl>();
    const std::string base = output.substr(output.rfind('/') + 1);
    impl->output = output;
    impl->folder = folderOf(output) + "/." + base + ".resume";
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
        Impl& journal = *impl;
        impl->feeder =
            std::make_unique<AacFeeder>(impl->audio.get(), kAudioStart, impl->folder, std::move(encoder.value()),
                                        fromByte, [&journal](const AacPart& part) { return journal.keepPart(part); });
        impl->feeder->listed(impl->committed);
    }
    return std::make_unique<RenderJournal>(std::move(impl));
}

const std::vector<JournalUnit>& RenderJournal::units() const {
    return impl_->units;
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
    d.pendingCrc = checksum32(d.pendingCrc, bytes);
    d.pending += bytes.size();
    if (d.committed + d.pending - d.writebackFrom >= kWritebackBytes) {
        ::sync_file_range(d.audio.get(), 0, 0, SYNC_FILE_RANGE_WRITE);
        d.writebackFrom = d.committed + d.pending;
    }
    return {};
}

base::Result<void> RenderJournal::commitUnit(std::optional<uint64_t> markFrame) {
    Impl& d = *impl_;
    if (d.pending % d.frameBytes() != 0)
        return base::Fault{base::errc::kUnexpected, "A part of the render ended within a frame."};
    step();
    if (::fsync(d.audio.get()) != 0) return journalFault(d.folder, "writing a part's audio", errno);
    step();
    {
        std::lock_guard lock(d.stateMutex);
        d.state.units.push_back(JournalState::Listed{JournalUnit{d.pending / d.frameBytes(), markFrame}, d.pendingCrc});
        d.committed += d.pending;
        d.pending = 0;
        d.pendingCrc = 0;
        if (auto r = d.writeState(); !r) return r;
    }
    d.publishUnits();
    if (d.feeder) d.feeder->listed(d.committed);
    return {};
}

base::Result<void> RenderJournal::dropUnit() {
    Impl& d = *impl_;
    std::lock_guard lock(d.stateMutex);
    d.pending = 0;
    d.pendingCrc = 0;
    return d.trim();
}

base::Result<void> RenderJournal::Impl::remove() {
    if (auto r = clean(); !r) return r;
    ::unlink(path("lock").c_str());
    step();
    if (::rmdir(folder.c_str()) != 0) return journalFault(folder, "removing it", errno);
    return {};
}

// The file made at `from` in the journal's folder is synced and renamed over the target (the journal
// lies beside it, on the same file system), and the rename synced with the target's folder; then the
// journal goes. Its state goes first: a render stopped between the two finds no journal and starts
// over, where one stopped after the rename would find a journal whose audio is gone.
base::Result<void> RenderJournal::Impl::putInPlace(const std::string& from, const FinalFile& file) {
    base::UniqueFd made(::open(from.c_str(), O_RDONLY | O_CLOEXEC));
    if (made.get() < 0) return journalFault(folder, "finishing the file", errno);
    if (file.mode) ::fchmod(made.get(), *file.mode & 07777);
    step();
    if (::fsync(made.get()) != 0)
        return base::Fault{base::errc::kAccessDenied,
                           "Cannot save the file \"" + file.name + "\": " + base::fileErrorReason(errno) + "."};
    step();
    if (::unlink(path("state").c_str()) != 0 && errno != ENOENT) return journalFault(folder, "removing it", errno);
    if (auto r = syncFolder(); !r) return r;
    if (::rename(from.c_str(), file.target.c_str()) != 0)
        return base::Fault{base::errc::kAccessDenied,
                           "Cannot save the file \"" + file.name + "\": " + base::fileErrorReason(errno) + "."};
    step();
    base::UniqueFd target(::open(folderOf(file.target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (target.get() >= 0) ::fsync(target.get());
    return remove();
}

// A plain WAV output is the journal's audio: its header written into the bytes kept for it, its marks
// after the audio.
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
    if (auto r = putInPlace(path(kAudio), file); !r) return r.fault();
    return warnings;
}

base::Result<base::UniqueFd> RenderJournal::Impl::createFinal(const FinalFile& file) {
    base::UniqueFd out(::open(path(kFinal).c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
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
    auto created = createFinal(file);
    if (!created) return created.fault();
    base::UniqueFd out = std::move(created.value());
    std::vector<std::string> warnings;
    EncoderChoice choice = file.choice;
    // Past 4 GB a WAV file is RF64, whose marks this program does not write.
    choice.rf64 = choice.codec == core::FileCodec::Wav;
    auto encoder = openSndfileEncoder(out.get(), file.name, key.format, choice);
    if (!encoder) return encoder.fault();
    if (choice.rf64 && file.tags)
        warnings.push_back("The chapters are not marked in \"" + file.name + "\": it is an RF64 file.");
    if (auto r = feedAudio(0, [&](std::span<const uint8_t> b) { return encoder.value()->write(b); }); !r)
        return r.fault();
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
    if (auto r = putInPlace(path(kFinal), file); !r) return r.fault();
    return warnings;
}

// An MP4 output: the parts the journal kept, then the rest encoded from its audio.
base::Result<std::vector<std::string>> RenderJournal::Impl::finishMp4(const FinalFile& file) {
    if (auto r = feeder->finish(); !r) return r.fault();
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
    if (auto r = putInPlace(path(kFinal), file); !r) return r.fault();
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
