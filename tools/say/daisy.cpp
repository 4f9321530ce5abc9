// SPDX-License-Identifier: GPL-3.0-or-later
#include "tools/say/daisy.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "base/files.h"
#include "base/utf8.h"
#include "encoding/decoder.h"
#include "speech/core/languages.h"
#include "tools/say/book.h"
#include "tools/say/daisy_files.h"
#include "tools/say/render.h"
#include "tools/say/stop_signals.h"

#ifndef TALLAMO_VERSION
#define TALLAMO_VERSION "unknown"
#endif

namespace say {

using namespace speech;

namespace {

namespace fs = std::filesystem;

bool endsWithDaisy(std::string_view name) {
    constexpr std::string_view kExtension = ".daisy";
    if (name.size() <= kExtension.size()) return false;
    const std::string_view tail = name.substr(name.size() - kExtension.size());
    return std::equal(tail.begin(), tail.end(), kExtension.begin(),
                      [](char a, char b) { return (a >= 'A' && a <= 'Z' ? a - 'A' + 'a' : a) == b; });
}

// Where the book goes: the folder `leaf` in `parent`, held open so that everything is done relative to
// it.
struct Place {
    std::string shown;  // the output's name without its trailing slashes, for messages
    std::string leaf;
    base::Folder parent;
};

Place placeOf(const std::string& output) {
    std::string path = output;
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    const fs::path p(path);
    const std::string parent = p.has_parent_path() ? p.parent_path().string() : ".";
    return Place{path, p.filename().string(), std::move(base::Folder::open(parent).orThrow())};
}

enum class Existing { None, Ours, Other };

// What is under the book's name: nothing, a DAISY book this program made (a folder whose ncc.html names
// it as the generator), or anything else (a file, a link, another folder).
Existing existing(const Place& place) {
    struct stat st {};
    if (::fstatat(place.parent.fd(), place.leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT) return Existing::None;
        throw Error(errc::kAccessDenied,
                    "Cannot look at \"" + place.shown + "\": " + base::fileErrorReason(errno) + ".");
    }
    if (!S_ISDIR(st.st_mode)) return Existing::Other;
    const base::UniqueFd folder(
        ::openat(place.parent.fd(), place.leaf.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (folder.get() < 0) return Existing::Other;
    // Not blocking, so that a pipe under the name is refused rather than waited on.
    const base::UniqueFd ncc(::openat(folder.get(), "ncc.html", O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (ncc.get() < 0 || ::fstat(ncc.get(), &st) != 0 || !S_ISREG(st.st_mode)) return Existing::Other;
    // The generator is named in the NCC's head, after the title and the creator.
    constexpr size_t kHead = 256 * 1024;
    std::string head(kHead, '\0');
    size_t got = 0;
    for (ssize_t n; got < kHead && (n = ::read(ncc.get(), head.data() + got, kHead - got)) != 0;) {
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return Existing::Other;
        got += static_cast<size_t>(n);
    }
    head.resize(got);
    return head.find(kDaisyGeneratorMeta) != std::string::npos ? Existing::Ours : Existing::Other;
}

Error refusal(const Place& place) {
    return Error(errc::kAccessDenied, "\"" + place.shown +
                                          "\" is there already and is not a DAISY book made by tallamo-say; it is "
                                          "left as it is.");
}

// The book being made: a hidden folder beside the book's name, removed with what it holds unless it
// was put in place. It is locked while it is made, so that one a killed render left behind (unlocked)
// is told from one being made, and removed by the next render of the same book.
class TemporaryBook {
public:
    explicit TemporaryBook(const Place& place) : place_(place) {
        removeLeftBehind();
        const std::string stem = partPrefix() + std::to_string(::getpid()) + "-";
        for (int attempt = 0;; ++attempt) {
            name_ = stem + std::to_string(attempt);
            if (::mkdirat(place.parent.fd(), name_.c_str(), 0777) == 0) break;
            if (errno != EEXIST || attempt == 100)
                throw Error(errc::kAccessDenied, "Cannot make a folder beside \"" + place.shown +
                                                     "\": " + base::fileErrorReason(errno) + ".");
        }
        made_ = true;
        auto opened = base::Folder::open(place.parent.pathOf(name_));
        if (!opened) {
            // The destructor does not run for a constructor that throws.
            removeAll(name_);
            throw Error(opened.fault().code, opened.fault().message);
        }
        folder_ = std::move(opened.value());
        // Only this program takes the lock, and nothing else holds the new folder yet.
        (void)::flock(folder_.fd(), LOCK_EX | LOCK_NB);
    }
    ~TemporaryBook() {
        if (made_) removeAll(name_);
    }
    TemporaryBook(const TemporaryBook&) = delete;
    TemporaryBook& operator=(const TemporaryBook&) = delete;

    const base::Folder& folder() const { return folder_; }

    // Puts the book under its name: in one rename when nothing is there, else, when what is there is a
    // book of ours, by exchanging the two folders and then removing the old one.
    void putInPlace() {
        if (::fsync(folder_.fd()) != 0) throw failure("Cannot write the book \"" + place_.shown + "\"");
        const int parent = place_.parent.fd();
        if (::renameat2(parent, name_.c_str(), parent, place_.leaf.c_str(), RENAME_NOREPLACE) != 0) {
            if (errno != EEXIST) throw failure("Cannot put the book \"" + place_.shown + "\" in place");
            if (existing(place_) != Existing::Ours) throw refusal(place_);
            if (::renameat2(parent, name_.c_str(), parent, place_.leaf.c_str(), RENAME_EXCHANGE) != 0)
                throw failure("Cannot put the book \"" + place_.shown + "\" in place of the one there");
            // The old book is under the temporary name now.
            removeAll(name_);
        }
        made_ = false;
        ::fsync(parent);
    }

private:
    // The book's name cut short enough that the hidden name is a name a file system takes.
    std::string partPrefix() const { return "." + place_.leaf.substr(0, 128) + ".part-"; }

    void removeLeftBehind() const {
        std::vector<std::string> names;
        std::error_code unreadable;
        for (const auto& entry : fs::directory_iterator(place_.parent.path(), unreadable)) {
            std::string name = entry.path().filename().string();
            if (name.starts_with(partPrefix())) names.push_back(std::move(name));
        }
        for (const auto& name : names) {
            const base::UniqueFd part(
                ::openat(place_.parent.fd(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (part.get() >= 0 && ::flock(part.get(), LOCK_EX | LOCK_NB) == 0) removeAll(name);
        }
    }

    Error failure(const std::string& what) const {
        return Error(errc::kAccessDenied, what + ": " + base::fileErrorReason(errno) + ".");
    }
    void removeAll(const std::string& name) const {
        std::error_code ignored;
        fs::remove_all(place_.parent.pathOf(name), ignored);
        if (ignored)
            printWarnings(
                {"Cannot remove the folder \"" + place_.parent.pathOf(name) + "\": " + ignored.message() + "."});
    }

    const Place& place_;
    std::string name_;
    bool made_ = false;
    base::Folder folder_;
};

// The input as read: its text, what is known of the book, and the identifier made from its checksum.
struct Input {
    std::u16string text;
    Book book;
    std::string identifier;
};

std::string identifierOf(uLong crc, uint64_t bytes) {
    char buffer[48];
    std::snprintf(buffer, sizeof buffer, "tallamo-%08lx-%llu", crc, static_cast<unsigned long long>(bytes));
    return buffer;
}

// The checksum of the file's bytes, read as they are now.
std::string fileIdentifier(const std::string& path) {
    const base::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0)
        throw Error(errc::kAccessDenied, "The file \"" + path + "\" cannot be read: " + std::strerror(errno) + ".");
    uLong crc = ::crc32(0, nullptr, 0);
    uint64_t bytes = 0;
    std::vector<Bytef> buffer(1 << 16);
    for (ssize_t n; (n = ::read(fd.get(), buffer.data(), buffer.size())) != 0;) {
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw Error(errc::kFile, "The file \"" + path + "\" cannot be read: " + std::strerror(errno) + ".");
        crc = ::crc32(crc, buffer.data(), static_cast<uInt>(n));
        bytes += static_cast<uint64_t>(n);
    }
    return identifierOf(crc, bytes);
}

Input readDaisyInput(const Options& o) {
    Input in;
    if (o.text) {
        in.text = base::fromUtf8(*o.text);
    } else if (o.readsStandardInput() || namesAPipe(o)) {
        // Read once and whole, a document as one.
        const bool standard = o.readsStandardInput();
        const base::UniqueFd pipe(standard ? -1 : ::open(o.file->c_str(), O_RDONLY | O_CLOEXEC));
        if (!standard && pipe.get() < 0)
            throw Error(errc::kAccessDenied,
                        "The file \"" + *o.file + "\" cannot be read: " + std::strerror(errno) + ".");
        Render render;
        readInput(render, o, standard ? STDIN_FILENO : pipe.get(),
                  standard ? "standard input" : "file \"" + *o.file + "\"", nullptr);
        in.text = std::move(render.text);
        if (render.book) in.book = std::move(*render.book);
    } else {
        if (!documents::looksLikeDocument(*o.file)) {
            // A sound file (which tallamo-say would play) or any other binary file has no text.
            const base::UniqueFd fd(::open(o.file->c_str(), O_RDONLY | O_CLOEXEC));
            uint8_t head[4096];
            const ssize_t n = fd.get() < 0 ? -1 : ::read(fd.get(), head, sizeof head);
            if (n > 0 && encoding::looksBinary(std::span<const uint8_t>(head, static_cast<size_t>(n))))
                throw Error(errc::kFile, "The file \"" + *o.file + "\" is neither a text nor a document.");
        }
        in.book = readBook(*o.file, &in.text, documentOptions());
        in.identifier = fileIdentifier(*o.file);
    }
    if (in.identifier.empty()) {
        uLong crc = ::crc32(0, nullptr, 0);
        const std::string bytes = base::toUtf8(in.text);
        crc = ::crc32_z(crc, reinterpret_cast<const Bytef*>(bytes.data()), bytes.size());
        in.identifier = identifierOf(crc, bytes.size());
    }
    return in;
}

// A part of the text to make a section of: the text before the first chapter (titled by the book), then
// each chapter; without chapters, all of it, titled by the book.
struct Part {
    std::string title;
    size_t begin = 0;
    size_t end = 0;
};

std::vector<Part> partsOf(const Input& in, const std::string& bookTitle) {
    const auto& chapters = in.book.chapters;
    const size_t size = in.text.size();
    std::vector<Part> parts;
    size_t begin = 0;
    std::string title = bookTitle;
    for (const auto& c : chapters) {
        const size_t at = std::clamp<size_t>(static_cast<size_t>(std::min<uint64_t>(c.position, size)), begin, size);
        parts.push_back({title, begin, at});
        begin = at;
        title = c.title.empty() ? bookTitle : c.title;
    }
    parts.push_back({title, begin, size});
    std::erase_if(
        parts, [&](const Part& p) { return !hasWords(std::u16string_view(in.text).substr(p.begin, p.end - p.begin)); });
    return parts;
}

}  // namespace

DaisyName daisyName(std::string_view output) {
    size_t end = output.size();
    while (end > 0 && output[end - 1] == '/') --end;
    if (!endsWithDaisy(output.substr(0, end))) return DaisyName::No;
    return end < output.size() ? DaisyName::Folder : DaisyName::NoSlash;
}

int speakDaisy(SpVoice& voice, const Options& o, int32_t format) {
    const Place place = placeOf(*o.output);
    if (existing(place) == Existing::Other) throw refusal(place);
    const Input in = readDaisyInput(o);
    if (interrupted()) return interruptedStatus();
    const std::string bookTitle =
        !in.book.info.title.empty() ? in.book.info.title : fs::path(place.leaf).stem().string();
    const std::vector<Part> parts = partsOf(in, bookTitle);
    if (parts.empty()) throw Error(errc::kFile, "There is no text to speak: the book would be empty.");

    TemporaryBook book(place);
    std::vector<DaisySection> sections;
    for (const Part& part : parts) {
        DaisySection section{part.title, in.text.substr(part.begin, part.end - part.begin), {}, 0};
        Render render;
        render.text = section.text;
        render.flags = plainTextFlags(o) | SVSFlagsAsync;
        const std::string audio = daisyAudioName(sections.size());
        render.file = openOutput(voice, o, audio, format, std::nullopt, &book.folder());
        const auto wave = render.file->Format().wave();
        const auto ms = [&](uint64_t bytes) {
            return bytes / static_cast<uint64_t>(wave.bytesPerFrame()) * 1000 / static_cast<uint64_t>(wave.sampleRate);
        };
        std::vector<SpokenSentence> spoken;
        uint64_t endBytes = 0;
        render.onEvent = [&](const VoiceEvent& e) {
            if (e.kind == EventKind::Sentence)
                spoken.push_back({e.characterPosition, e.length, ms(e.streamPosition)});
            else if (e.kind == EventKind::EndStream)
                endBytes = std::max(endBytes, e.streamPosition);
        };
        if (speakToEnd(voice, render, o)) return interruptedStatus();
        section.durationMs = ms(std::max(endBytes, render.file->bytesWritten()));
        section.sentences = daisySentences(section.text, spoken, section.durationMs);
        if (section.sentences.empty()) {
            // Words that made no sound (symbols the voice does not read): no section.
            if (::unlinkat(book.folder().fd(), audio.c_str(), 0) != 0)
                throw Error(errc::kAccessDenied, "Cannot remove \"" + book.folder().pathOf(audio) +
                                                     "\": " + base::fileErrorReason(errno) + ".");
            continue;
        }
        sections.push_back(std::move(section));
    }
    if (sections.empty()) throw Error(errc::kFile, "Nothing of the text was spoken: the book would be empty.");

    DaisyFacts facts;
    facts.title = bookTitle;
    facts.creator = in.book.info.author;
    facts.date = in.book.info.date;
    facts.language = !in.book.language.empty() ? in.book.language : core::languageTag(voice.Voice());
    facts.identifier = in.identifier;
    facts.narrator = voice.Voice().GetDescription(0);
    facts.generator = "Tallamo " TALLAMO_VERSION;
    for (const auto& [name, bytes] : daisyDocuments(facts, sections)) {
        auto file = std::move(
            base::ReplacingFile::create({&book.folder(), name, base::ReplacingFile::Link::Replace}).orThrow());
        file.write(bytes).orThrow();
        file.putInPlace().orThrow();
    }
    if (interrupted()) return interruptedStatus();
    book.putInPlace();
    return kExitSuccess;
}

}  // namespace say
