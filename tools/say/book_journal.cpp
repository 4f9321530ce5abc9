// SPDX-License-Identifier: GPL-3.0-or-later
#include "tools/say/book_journal.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <sstream>

#include "speech/names.h"
#include "tools/say/render.h"

namespace say {

using namespace speech;

namespace {

constexpr std::string_view kStateName = "state";
constexpr std::string_view kHeading = "tallamo-book-journal 1\n";
// A part's list is a few lines a sentence: a part of a million sentences stays far below.
constexpr off_t kMaxState = off_t{256} << 20;

// A regular file `name` of `folder`, opened for reading without following a link and without blocking
// on a pipe put there.
base::UniqueFd openRegular(const base::Folder& folder, std::string_view name, struct stat& st) {
    base::UniqueFd fd(
        ::openat(folder.fd(), std::string(name).c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (fd.get() >= 0 && (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))) return base::UniqueFd();
    return fd;
}

// The size and CRC-32 of the regular file `name` of `folder`, as "BYTES CRC"; empty when it is not
// there, not a regular file, or cannot be read.
std::string audioSum(const base::Folder& folder, const std::string& name) {
    struct stat st {};
    const base::UniqueFd fd = openRegular(folder, name, st);
    if (fd.get() < 0) return {};
    uLong crc = ::crc32(0, nullptr, 0);
    uint64_t bytes = 0;
    std::vector<Bytef> buffer(1 << 16);
    for (ssize_t n; (n = ::read(fd.get(), buffer.data(), buffer.size())) != 0;) {
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return {};
        crc = ::crc32(crc, buffer.data(), static_cast<uInt>(n));
        bytes += static_cast<uint64_t>(n);
    }
    char text[48];
    std::snprintf(text, sizeof text, "%llu %08lx", static_cast<unsigned long long>(bytes), crc);
    return text;
}

uLong textCrc(std::string_view text) {
    return ::crc32_z(::crc32(0, nullptr, 0), reinterpret_cast<const Bytef*>(text.data()), text.size());
}

// The names in `folder`.
std::vector<std::string> namesIn(const base::Folder& folder) {
    std::vector<std::string> names;
    if (DIR* listing = ::fdopendir(::openat(folder.fd(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC))) {
        while (const dirent* entry = ::readdir(listing)) names.emplace_back(entry->d_name);
        ::closedir(listing);
    }
    return names;
}

// The file that lists the kept part `index`.
std::string partName(size_t index) {
    return "part." + std::to_string(index);
}
bool isPartName(std::string_view name) {
    return name.size() > 5 && name.starts_with("part.") && name.find_first_not_of("0123456789", 5) == name.npos;
}

// Writes `text` as the journal's file `name`, in place at once, with its heading and its checksum.
void writeChecked(const base::Folder& folder, const std::string& name, const std::string& text) {
    std::string whole = std::string(kHeading) + text;
    char check[32];
    std::snprintf(check, sizeof check, "check %08lx\n", textCrc(whole));
    whole += check;
    auto file = std::move(base::ReplacingFile::create({&folder, name, base::ReplacingFile::Link::Replace}).orThrow());
    file.write(whole).orThrow();
    file.putInPlace().orThrow();
}

// What the journal's file `name` holds between its heading and its checksum: nothing (errno set) when it
// cannot be opened, empty when it is damaged.
std::optional<std::string> readChecked(const base::Folder& folder, std::string_view name) {
    struct stat st {};
    const base::UniqueFd fd = openRegular(folder, name, st);
    if (fd.get() < 0) return std::nullopt;
    std::string text;
    if (st.st_size > kMaxState) return text;
    text.resize(static_cast<size_t>(st.st_size));
    size_t got = 0;
    for (ssize_t n; got < text.size() && (n = ::read(fd.get(), text.data() + got, text.size() - got)) != 0;) {
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) break;
        got += static_cast<size_t>(n);
    }
    text.resize(got);
    const size_t check = text.rfind("check ");
    if (!text.starts_with(kHeading) || check == std::string::npos || !text.ends_with('\n') ||
        std::strtoul(text.c_str() + check + 6, nullptr, 16) != textCrc(std::string_view(text).substr(0, check)))
        return std::string();
    return text.substr(kHeading.size(), check - kHeading.size());
}

}  // namespace

BookJournal::BookJournal(const Place& place, const std::string& key, std::string& notice)
    : shown_(place.parent.pathOf("." + place.leaf.substr(0, 200) + ".resume")),
      parent_(place.parent),
      name_("." + place.leaf.substr(0, 200) + ".resume"),
      key_(key) {
    const auto refuse = [&](const std::string& why) {
        return Error(errc::kAccessDenied, "Cannot use the journal \"" + shown_ + "\": " + why + ".");
    };
    if (::mkdirat(parent_.fd(), name_.c_str(), 0700) != 0 && errno != EEXIST)
        throw refuse(base::fileErrorReason(errno));
    // Only a folder of the user's own, not a link to one: anything else under the name is left alone.
    struct stat named {};
    if (::fstatat(parent_.fd(), name_.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0)
        throw refuse(base::fileErrorReason(errno));
    if (!S_ISDIR(named.st_mode) || named.st_uid != ::geteuid())
        throw refuse("it is not a folder of yours; it is left as it is");
    folder_ = std::move(base::Folder::open(parent_.pathOf(name_)).orThrow());
    struct stat opened {};
    if (::fstat(folder_.fd(), &opened) != 0 || opened.st_dev != named.st_dev || opened.st_ino != named.st_ino)
        throw refuse("it was replaced while it was opened; it is left as it is");
    // Released by the kernel when the holder ends, however it ends.
    if (::flock(folder_.fd(), LOCK_EX | LOCK_NB) != 0)
        throw Error(errc::kAccessDenied,
                    "Another render of \"" + place.shown + "\" is going on (it holds \"" + shown_ + "\").");

    // A journal begins with its key alone; each part kept is listed in a file of its own.
    const auto begin = [&] {
        startOver();
        writeChecked(folder_, std::string(kStateName), "key " + key_ + '\n');
    };
    const auto state = readChecked(folder_, kStateName);
    if (!state) {
        if (errno != ENOENT) notice = "The journal \"" + shown_ + "\" has no readable state; the book starts over.";
        begin();
        return;
    }
    const auto why = [&]() -> std::string {
        if (state->empty()) return "its state is damaged";
        // The parts of another key are read all the same, for their files to be removed by name.
        const bool otherKey = *state != "key " + key_ + '\n';
        for (const std::string& name : namesIn(folder_)) {
            if (!isPartName(name)) continue;
            const auto text = readChecked(folder_, name);
            if (!text || text->empty()) return "its state is damaged";
            std::istringstream in(*text);
            std::string word;
            size_t index = 0;
            Kept kept;
            std::string bytes, crc;
            if (!(in >> word >> index >> kept.audio >> bytes >> crc >> kept.spoken.durationMs) || word != "part" ||
                index > 1'000'000 || name != partName(index))
                return "its state is damaged";
            kept.sum = bytes + ' ' + crc;
            if (kept.audio == "-") {
                kept.audio.clear();
            } else if (kept.audio.find('/') != std::string::npos || kept.audio.starts_with('.')) {
                return "its state is damaged";
            } else if (!otherKey && audioSum(folder_, kept.audio) != kept.sum) {
                return "the audio of a part it kept has changed since";
            }
            while (in >> word) {
                SpokenSentence at;
                if ((word != "s" && word != "w") || !(in >> at.position >> at.length >> at.startMs))
                    return "its state is damaged";
                (kept.spoken.*(word == "s" ? &SpokenPart::sentences : &SpokenPart::words)).push_back(at);
            }
            if (parts_.size() <= index) parts_.resize(index + 1);
            parts_[index] = std::move(kept);
        }
        return otherKey ? "the input or the options have changed since" : "";
    }();
    if (!why.empty()) {
        notice = "The journal \"" + shown_ + "\" cannot be used (" + why + "); the book starts over.";
        begin();
    }
}

BookJournal::~BookJournal() = default;

const BookJournal::Kept* BookJournal::kept(size_t index) const {
    return index < parts_.size() && parts_[index] ? &*parts_[index] : nullptr;
}

void BookJournal::keep(size_t index, const std::string& audio, const SpokenPart& spoken) {
    if (parts_.size() <= index) parts_.resize(index + 1);
    std::string sum = "0 0";
    if (!audio.empty()) {
        // Read back as the disk has it, once: a resume checks the same.
        sum = audioSum(folder_, audio);
        if (sum.empty()) throw Error(errc::kFile, "Cannot read \"" + folder_.pathOf(audio) + "\" back to keep it.");
    }
    std::string text = "part " + std::to_string(index) + ' ' + (audio.empty() ? "-" : audio) + ' ' + sum + ' ' +
                       std::to_string(spoken.durationMs) + '\n';
    for (const auto& s : spoken.sentences)
        text +=
            "s " + std::to_string(s.position) + ' ' + std::to_string(s.length) + ' ' + std::to_string(s.startMs) + '\n';
    for (const auto& w : spoken.words)
        text +=
            "w " + std::to_string(w.position) + ' ' + std::to_string(w.length) + ' ' + std::to_string(w.startMs) + '\n';
    // Each part in a file of its own, written once: a book of many parts costs no more per part.
    writeChecked(folder_, partName(index), text);
    parts_[index] = Kept{audio, spoken, std::move(sum)};
}

void BookJournal::startOver() {
    // The state goes first: a kill on the way leaves a journal with nothing listed.
    (void)::unlinkat(folder_.fd(), std::string(kStateName).c_str(), 0);
    // Then what the journal makes, by its names: the lists of the parts kept, their audio files and
    // logs, and the journals of parts being spoken. Anything else is left.
    for (const std::string& name : namesIn(folder_)) {
        struct stat st {};
        if (::fstatat(folder_.fd(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
        if (S_ISDIR(st.st_mode) && name.starts_with('.') && name.ends_with(".resume") && name.size() > 8) {
            std::error_code ignored;
            std::filesystem::remove_all(folder_.pathOf(name), ignored);
        } else if (!S_ISDIR(st.st_mode) &&
                   (isPartName(name) || name.ends_with(".times") || name.ends_with(".mp3") || name.ends_with(".m4a"))) {
            (void)::unlinkat(folder_.fd(), name.c_str(), 0);
        }
    }
    parts_.clear();
}

std::string BookJournal::partInput(size_t index, std::u16string_view text) const {
    return key_ + "\npart " + std::to_string(index) + '\n' +
           std::string(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(char16_t));
}

void BookJournal::forgetPart(const std::string& audio) {
    std::error_code ignored;
    std::filesystem::remove_all(folder_.pathOf("." + audio + ".resume"), ignored);
    (void)::unlinkat(folder_.fd(), (audio + ".times").c_str(), 0);
}

BookJournal::PartLog::PartLog(const base::Folder& folder, const std::string& audio)
    : folder_(folder), name_(audio + ".times") {
    fd_ = base::UniqueFd(
        ::openat(folder.fd(), name_.c_str(), O_RDWR | O_CREAT | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
    struct stat st {};
    if (fd_.get() < 0 || ::fstat(fd_.get(), &st) != 0 || !S_ISREG(st.st_mode))
        throw Error(errc::kAccessDenied, "Cannot write \"" + folder.pathOf(name_) + "\": " +
                                             (fd_.get() < 0 ? base::fileErrorReason(errno) : "it is not a file") + ".");
}

std::vector<BookJournal::Logged> BookJournal::PartLog::read() const {
    std::string text;
    char buffer[1 << 16];
    for (off_t at = 0;;) {
        const ssize_t n = ::pread(fd_.get(), buffer, sizeof buffer, at);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        text.append(buffer, static_cast<size_t>(n));
        at += n;
    }
    std::vector<Logged> events;
    std::istringstream in(text.substr(0, text.rfind('\n') + 1));
    for (std::string line; std::getline(in, line);) {
        Logged e;
        std::istringstream fields(line);
        if (!(fields >> e.kind >> e.at.position >> e.at.length >> e.at.startMs >> e.byte) ||
            (e.kind != 's' && e.kind != 'w'))
            break;
        events.push_back(e);
    }
    return events;
}

void BookJournal::PartLog::restart(const std::vector<Logged>& events) {
    if (::ftruncate(fd_.get(), 0) != 0)
        throw Error(errc::kFile,
                    "Cannot write \"" + folder_.pathOf(name_) + "\": " + base::fileErrorReason(errno) + ".");
    for (const Logged& e : events) add(e);
}

void BookJournal::PartLog::add(const Logged& e) {
    char line[96];
    const int n = std::snprintf(line, sizeof line, "%c %d %d %llu %llu\n", e.kind, e.at.position, e.at.length,
                                static_cast<unsigned long long>(e.at.startMs), static_cast<unsigned long long>(e.byte));
    if (broken_ || n <= 0) return;
    // A log the disk refuses goes: a resume then speaks the part again rather than lose its times.
    if (::write(fd_.get(), line, static_cast<size_t>(n)) != n) {
        broken_ = true;
        (void)::ftruncate(fd_.get(), 0);
        remove();
    }
}

void BookJournal::PartLog::remove() {
    (void)::unlinkat(folder_.fd(), name_.c_str(), 0);
}

void BookJournal::remove() {
    startOver();
    if (::unlinkat(parent_.fd(), name_.c_str(), AT_REMOVEDIR) != 0)
        printWarnings({"The journal \"" + shown_ + "\" is left: " + base::fileErrorReason(errno) + "."});
}

}  // namespace say
