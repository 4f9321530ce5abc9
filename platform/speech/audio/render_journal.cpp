// SPDX-License-Identifier: GPL-3.0-or-later
#include "speech/audio/render_journal.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cinttypes>
#include <cstdio>
#include <mutex>
#include <new>
#include <sstream>
#include <utility>

#include "base/child_process.h"
#include "speech/audio/media_module.h"

namespace speech {

namespace {

constexpr const char* kMagic = "tallamo-journal 1";
constexpr const char* kAudio = "audio.wav";
constexpr const char* kFinal = "final.part";
// Bytes read at a time when the audio is checked or encoded.
constexpr size_t kBlock = size_t{1} << 20;
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

uint32_t crc32(uint32_t crc, std::span<const uint8_t> bytes) {
    // zlib's takes at most an unsigned int's worth at a time.
    for (size_t at = 0; at < bytes.size(); at += 1u << 30)
        crc = static_cast<uint32_t>(
            ::crc32(crc, bytes.data() + at, static_cast<uInt>(std::min<size_t>(1u << 30, bytes.size() - at))));
    return crc;
}

std::string hex32(uint32_t value) {
    char text[9];
    std::snprintf(text, sizeof text, "%08" PRIx32, value);
    return text;
}

Fault journalFault(const std::string& folder, const std::string& what, int err) {
    return Fault{errc::kAccessDenied, "Cannot keep the render's journal in \"" + folder + "\": " + what + " (" +
                                          fileErrorReason(err) + ")."};
}

// Reads `size` bytes at `at` in blocks, giving each to `take`; 0 or an errno (EIO at an early end).
template <class Take>
int readBlocks(int fd, uint64_t at, uint64_t size, Take take) {
    std::vector<uint8_t> buffer(static_cast<size_t>(std::min<uint64_t>(kBlock, size)));
    while (size > 0) {
        const ssize_t n = ::pread(fd, buffer.data(), static_cast<size_t>(std::min<uint64_t>(buffer.size(), size)),
                                  static_cast<off_t>(at));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno;
        if (n == 0) return EIO;
        if (auto r = take(std::span<const uint8_t>(buffer.data(), static_cast<size_t>(n))); !r) return EIO;
        at += static_cast<uint64_t>(n);
        size -= static_cast<uint64_t>(n);
    }
    return 0;
}

std::string folderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

struct Listed {
    JournalUnit unit;
    uint32_t crc = 0;
};

}  // namespace

struct RenderJournal::Impl {
    std::string output;
    std::string folder;
    JournalKey key;
    std::vector<Listed> listed;
    std::vector<JournalUnit> units;  // listed, as handed out
    UniqueFd lock;
    UniqueFd dir;
    UniqueFd audio;
    uint64_t committed = 0;  // bytes of the listed units
    uint64_t pending = 0;    // bytes written since
    uint32_t pendingCrc = 0;
    uint64_t writebackFrom = 0;

    std::string path(const std::string& name) const { return folder + "/" + name; }
    uint64_t frameBytes() const { return static_cast<uint64_t>(key.format.bytesPerFrame()); }

    Result<void> syncFolder() {
        step();
        if (::fsync(dir.get()) != 0) return journalFault(folder, "syncing the folder", errno);
        step();
        return {};
    }

    std::string stateText() const {
        std::ostringstream out;
        out << kMagic << '\n'
            << "version " << key.version << '\n'
            << "input " << key.inputDigest << '\n'
            << "options " << key.optionsDigest << '\n'
            << "format " << key.format.sampleRate << ' ' << key.format.bitsPerSample << ' ' << key.format.channels
            << '\n';
        for (const auto& l : listed) {
            out << "unit " << l.unit.frames << ' '
                << (l.unit.markFrame ? std::to_string(*l.unit.markFrame) : std::string("-")) << ' ' << hex32(l.crc)
                << '\n';
        }
        std::string text = out.str();
        return text + "check " +
               hex32(crc32(0, std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()))) + '\n';
    }

    // The state, written whole beside the old one and renamed over it.
    Result<void> writeState() {
        const std::string text = stateText();
        const std::string part = path("state.part");
        UniqueFd fd(::open(part.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
        if (fd.get() < 0) return journalFault(folder, "writing its state", errno);
        step();
        if (const int err =
                pwriteAll(fd.get(), std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()), 0);
            err != 0)
            return journalFault(folder, "writing its state", err);
        step();
        if (::fsync(fd.get()) != 0 || fd.reset() != 0) return journalFault(folder, "writing its state", errno);
        step();
        if (::rename(part.c_str(), path("state").c_str()) != 0) return journalFault(folder, "writing its state", errno);
        return syncFolder();
    }

    // The units a state lists, or why it cannot be used.
    std::optional<std::string> parseState(const std::string& text, std::vector<Listed>& out) const {
        const size_t checkAt = text.rfind("check ");
        if (checkAt == std::string::npos || text.empty() || text.back() != '\n') return "it was cut short";
        const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
        if (text.substr(checkAt + 6, 8) != hex32(crc32(0, std::span(bytes, checkAt))) || text.size() != checkAt + 15)
            return "its state is damaged";
        std::istringstream in(text.substr(0, checkAt));
        std::string line;
        if (!std::getline(in, line) || line != kMagic) return "it is from another version of the program";
        if (!std::getline(in, line) || !line.starts_with("version ")) return "its state is damaged";
        if (line.substr(8) != key.version) return "it is from another version of the program";
        std::string word, input, options;
        WaveFormat format;
        in >> word >> input;
        if (word != "input") return "its state is damaged";
        in >> word >> options;
        if (word != "options") return "its state is damaged";
        in >> word >> format.sampleRate >> format.bitsPerSample >> format.channels;
        if (word != "format" || !in) return "its state is damaged";
        if (input != key.inputDigest) return "the input has changed since";
        if (options != key.optionsDigest || !(format == key.format)) return "the options have changed since";
        while (in >> word) {
            Listed l;
            std::string mark, crc;
            in >> l.unit.frames >> mark >> crc;
            if (word != "unit" || !in || crc.size() != 8 ||
                std::from_chars(crc.data(), crc.data() + 8, l.crc, 16).ptr != crc.data() + 8)
                return "its state is damaged";
            if (mark != "-") {
                uint64_t at = 0;
                if (std::from_chars(mark.data(), mark.data() + mark.size(), at).ptr != mark.data() + mark.size())
                    return "its state is damaged";
                l.unit.markFrame = at;
            }
            out.push_back(l);
        }
        return std::nullopt;
    }

    // Why the audio cannot be used with the units listed, or nothing: it holds them all (more is cut
    // off), and the last one is as it was written.
    std::optional<std::string> checkAudio(const std::vector<Listed>& units) {
        uint64_t bytes = 0;
        for (const auto& l : units) bytes += l.unit.frames * frameBytes();
        struct stat st {};
        if (audio.get() < 0 || ::fstat(audio.get(), &st) != 0) return "its audio is missing";
        if (static_cast<uint64_t>(st.st_size) < kAudioStart + bytes) return "its audio is cut short";
        if (!units.empty()) {
            const uint64_t last = units.back().unit.frames * frameBytes();
            uint32_t crc = 0;
            const int err = readBlocks(audio.get(), kAudioStart + bytes - last, last, [&](std::span<const uint8_t> b) {
                crc = crc32(crc, b);
                return Result<void>();
            });
            if (err != 0 || crc != units.back().crc) return "its audio is damaged";
        }
        committed = bytes;
        return std::nullopt;
    }

    // Removes every file of the folder but the lock, the state first.
    Result<void> clean() {
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
    Result<void> startOver() {
        listed.clear();
        committed = 0;
        if (auto r = clean(); !r) return r;
        audio = UniqueFd(::open(path(kAudio).c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
        if (audio.get() < 0) return journalFault(folder, "making its audio file", errno);
        if (::ftruncate(audio.get(), static_cast<off_t>(kAudioStart)) != 0)
            return journalFault(folder, "making its audio file", errno);
        return writeState();
    }

    Result<void> lockFolder() {
        if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
            return journalFault(folder, "making the folder", errno);
        dir = UniqueFd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (dir.get() < 0) return journalFault(folder, "opening the folder", errno);
        lock = UniqueFd(::open(path("lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
        if (lock.get() < 0) return journalFault(folder, "opening its lock", errno);
        if (::flock(lock.get(), LOCK_EX | LOCK_NB) != 0) {
            if (errno == EWOULDBLOCK)
                return Fault{errc::kAccessDenied, "Another render of \"" + output + "\" is running (it holds \"" +
                                                      folder + "\"); this one stops."};
            return journalFault(folder, "locking it", errno);
        }
        return {};
    }

    // The state and audio an earlier render left, or why they cannot be used; nothing to read is a
    // fresh journal.
    std::optional<std::string> readEarlier(bool& fresh) {
        UniqueFd state(::open(path("state").c_str(), O_RDONLY | O_CLOEXEC));
        fresh = state.get() < 0;
        if (fresh) return std::nullopt;
        struct stat st {};
        // A state is a line a unit; a huge one is not ours.
        if (::fstat(state.get(), &st) != 0 || st.st_size > (int64_t{16} << 20)) return "its state is damaged";
        std::string text;
        if (readBlocks(state.get(), 0, static_cast<uint64_t>(st.st_size), [&](std::span<const uint8_t> b) {
                text.append(reinterpret_cast<const char*>(b.data()), b.size());
                return Result<void>();
            }) != 0)
            return "its state cannot be read";
        std::vector<Listed> units;
        if (auto why = parseState(text, units)) return why;
        audio = UniqueFd(::open(path(kAudio).c_str(), O_RDWR | O_CLOEXEC));
        if (auto why = checkAudio(units)) return why;
        listed = std::move(units);
        return std::nullopt;
    }

    // Audio past the listed units (a unit cut short by a kill) is cut off, with any file a finish left.
    Result<void> trim() {
        step();
        if (::ftruncate(audio.get(), static_cast<off_t>(kAudioStart + committed)) != 0)
            return journalFault(folder, "cutting off an unfinished part", errno);
        for (const char* name : {"state.part", kFinal}) ::unlink(path(name).c_str());
        return {};
    }

    void publishUnits() {
        units.clear();
        for (const auto& l : listed) units.push_back(l.unit);
    }

    Result<std::vector<std::string>> finishWave(const FinalFile& file);
    Result<std::vector<std::string>> finishEncoded(const FinalFile& file);
    Result<void> putInPlace(const std::string& from, const FinalFile& file);
    Result<void> remove();
};

RenderJournal::RenderJournal(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
RenderJournal::~RenderJournal() = default;

Result<std::unique_ptr<RenderJournal>> RenderJournal::open(const std::string& output, const JournalKey& key,
                                                           std::string& notice) {
    auto impl = std::make_unique<Impl>();
    const std::string base = output.substr(output.rfind('/') + 1);
    impl->output = output;
    impl->folder = folderOf(output) + "/." + base + ".resume";
    impl->key = key;
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

Result<void> RenderJournal::append(std::span<const uint8_t> bytes) {
    Impl& d = *impl_;
    step();
    if (const int err = pwriteAll(d.audio.get(), bytes, kAudioStart + d.committed + d.pending); err != 0)
        return Fault{errc::kAccessDenied, "Cannot write to the file \"" + d.output + "\" (its journal, \"" + d.folder +
                                              "\"): " + fileErrorReason(err) + "."};
    step();
    d.pendingCrc = crc32(d.pendingCrc, bytes);
    d.pending += bytes.size();
    if (d.committed + d.pending - d.writebackFrom >= kWritebackBytes) {
        ::sync_file_range(d.audio.get(), 0, 0, SYNC_FILE_RANGE_WRITE);
        d.writebackFrom = d.committed + d.pending;
    }
    return {};
}

Result<void> RenderJournal::commitUnit(std::optional<uint64_t> markFrame) {
    Impl& d = *impl_;
    if (d.pending % d.frameBytes() != 0) return Fault{errc::kUnexpected, "A part of the render ended within a frame."};
    step();
    if (::fsync(d.audio.get()) != 0) return journalFault(d.folder, "writing a part's audio", errno);
    step();
    d.listed.push_back(Listed{JournalUnit{d.pending / d.frameBytes(), markFrame}, d.pendingCrc});
    d.committed += d.pending;
    d.pending = 0;
    d.pendingCrc = 0;
    if (auto r = d.writeState(); !r) return r;
    d.publishUnits();
    return {};
}

Result<void> RenderJournal::dropUnit() {
    Impl& d = *impl_;
    d.pending = 0;
    d.pendingCrc = 0;
    return d.trim();
}

Result<void> RenderJournal::Impl::remove() {
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
Result<void> RenderJournal::Impl::putInPlace(const std::string& from, const FinalFile& file) {
    UniqueFd made(::open(from.c_str(), O_RDONLY | O_CLOEXEC));
    if (made.get() < 0) return journalFault(folder, "finishing the file", errno);
    if (file.mode) ::fchmod(made.get(), *file.mode & 07777);
    step();
    if (::fsync(made.get()) != 0)
        return Fault{errc::kAccessDenied,
                     "Cannot save the file \"" + file.name + "\": " + fileErrorReason(errno) + "."};
    step();
    if (::unlink(path("state").c_str()) != 0 && errno != ENOENT) return journalFault(folder, "removing it", errno);
    if (auto r = syncFolder(); !r) return r;
    if (::rename(from.c_str(), file.target.c_str()) != 0)
        return Fault{errc::kAccessDenied,
                     "Cannot save the file \"" + file.name + "\": " + fileErrorReason(errno) + "."};
    step();
    UniqueFd target(::open(folderOf(file.target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (target.get() >= 0) ::fsync(target.get());
    return remove();
}

// A plain WAV output is the journal's audio: its header written into the bytes kept for it, its marks
// after the audio.
Result<std::vector<std::string>> RenderJournal::Impl::finishWave(const FinalFile& file) {
    const auto header = waveHeader(key.format, static_cast<uint32_t>(committed));
    step();
    int err = pwriteAll(audio.get(), header, 0);
    // An odd data chunk is followed by a pad byte, as in any WAV file.
    const uint8_t pad[1] = {0};
    if (err == 0 && committed % 2 != 0) err = pwriteAll(audio.get(), pad, kAudioStart + committed);
    if (err != 0)
        return Fault{errc::kAccessDenied,
                     "Cannot write to the file \"" + file.name + "\": " + fileErrorReason(err) + "."};
    std::vector<std::string> warnings;
    if (file.tags) {
        step();
        auto marked = markFinishedFile(audio.get(), file.name, FileCodec::Wav, key.format, committed / frameBytes(),
                                       *file.tags, file.marks);
        if (!marked) return marked.fault();
        warnings = std::move(marked.value());
    }
    if (auto r = putInPlace(path(kAudio), file); !r) return r.fault();
    return warnings;
}

// Any other output is encoded from the journal's audio into a file beside it.
Result<std::vector<std::string>> RenderJournal::Impl::finishEncoded(const FinalFile& file) {
    const std::string made = path(kFinal);
    UniqueFd out(::open(made.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (out.get() < 0)
        return Fault{errc::kAccessDenied,
                     "Cannot write to the file \"" + file.name + "\": " + fileErrorReason(errno) + "."};
    const FileTags tags = file.tags.value_or(FileTags{});
    const bool mp4 = file.choice.codec == FileCodec::M4b || file.choice.codec == FileCodec::M4a;
    std::vector<std::string> warnings;
    std::unique_ptr<Mp4Writer> writer;
    std::unique_ptr<SoundFileEncoder> encoder;
    if (mp4) {
        Mp4Choice choice;
        choice.quality = file.choice.quality;
        choice.audiobook = file.choice.codec == FileCodec::M4b;
        auto opened = openMp4Writer(out.get(), file.name, key.format, choice, tags);
        if (!opened) return opened.fault();
        writer = std::move(opened.value());
    } else {
        EncoderChoice choice = file.choice;
        // Past 4 GB a WAV file is RF64, whose marks this program does not write.
        choice.rf64 = choice.codec == FileCodec::Wav;
        auto opened = openSndfileEncoder(out.get(), file.name, key.format, choice);
        if (!opened) return opened.fault();
        encoder = std::move(opened.value());
        if (choice.rf64 && file.tags)
            warnings.push_back("The chapters are not marked in \"" + file.name + "\": it is an RF64 file.");
    }
    std::optional<Fault> failed;
    const int err = readBlocks(audio.get(), kAudioStart, committed, [&](std::span<const uint8_t> b) -> Result<void> {
        auto r = writer ? writer->write(b) : encoder->write(b);
        if (!r) failed = r.fault();
        return r;
    });
    if (failed) return *failed;
    if (err != 0) return journalFault(folder, "reading its audio", err);
    auto finished = writer ? writer->finish(file.marks) : encoder->finish();
    if (!finished) return finished.fault();
    if (writer) warnings = writer->warnings();
    if (file.tags && !mp4 && file.choice.codec != FileCodec::Wav) {
        auto marked = markFinishedFile(out.get(), file.name, file.choice.codec, key.format, committed / frameBytes(),
                                       tags, file.marks);
        if (!marked) return marked.fault();
        warnings = std::move(marked.value());
    }
    writer.reset();
    encoder.reset();
    if (out.reset() != 0)
        return Fault{errc::kAccessDenied,
                     "Cannot save the file \"" + file.name + "\": " + fileErrorReason(errno) + "."};
    if (auto r = putInPlace(made, file); !r) return r.fault();
    return warnings;
}

Result<std::vector<std::string>> RenderJournal::finish(const FinalFile& file) {
    Impl& d = *impl_;
    if (d.pending != 0) return Fault{errc::kUnexpected, "The render's last part was not finished."};
    const bool plainWave = file.choice.codec == FileCodec::Wav && !file.choice.rf64 &&
                           d.committed <= uint64_t{0xFFFFFFFF} - kAudioStart - (uint64_t{1} << 20);
    return plainWave ? d.finishWave(file) : d.finishEncoded(file);
}

std::string textChecksum(std::string_view text) {
    return hex32(crc32(0, std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()))) + "-" +
           std::to_string(text.size());
}

Result<std::string> fileChecksum(const std::string& path) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st {};
    if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0)
        return Fault{errc::kFile, "Cannot read the file \"" + path + "\": " + fileErrorReason(errno) + "."};
    uint32_t crc = 0;
    if (const int err = readBlocks(fd.get(), 0, static_cast<uint64_t>(st.st_size),
                                   [&](std::span<const uint8_t> b) {
                                       crc = crc32(crc, b);
                                       return Result<void>();
                                   });
        err != 0)
        return Fault{errc::kFile, "Cannot read the file \"" + path + "\": " + fileErrorReason(err) + "."};
    return hex32(crc) + "-" + std::to_string(st.st_size);
}

void setJournalStepHookForTesting(std::function<void()> hook) {
    std::lock_guard lock(hookMutex);
    stepHook = std::move(hook);
}

}  // namespace speech
