// SPDX-License-Identifier: GPL-3.0-or-later
#include "tools/say/talking_book.h"

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

#include "base/utf8.h"
#include "encoding/decoder.h"
#include "speech/core/languages.h"
#include "tools/say/book_journal.h"
#include "tools/say/render.h"
#include "tools/say/resume.h"
#include "tools/say/stop_signals.h"

namespace say {

using namespace speech;

namespace {

namespace fs = std::filesystem;

std::string identifierOf(uLong crc, uint64_t bytes) {
    char buffer[48];
    std::snprintf(buffer, sizeof buffer, "tallamo-%08lx-%llu", crc, static_cast<unsigned long long>(bytes));
    return buffer;
}

}  // namespace

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

Place placeOf(const std::string& output) {
    std::string path = output;
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    const fs::path p(path);
    const std::string parent = p.has_parent_path() ? p.parent_path().string() : ".";
    return Place{path, p.filename().string(), std::move(base::Folder::open(parent).orThrow())};
}

WorkFolder::WorkFolder(const Place& place) : place_(place) {
    removeLeftBehind();
    const std::string stem = partPrefix() + std::to_string(::getpid()) + "-";
    for (int attempt = 0;; ++attempt) {
        name_ = stem + std::to_string(attempt);
        if (::mkdirat(place.parent.fd(), name_.c_str(), 0777) == 0) break;
        if (errno != EEXIST || attempt == 100)
            throw Error(errc::kAccessDenied,
                        "Cannot make a folder beside \"" + place.shown + "\": " + base::fileErrorReason(errno) + ".");
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

WorkFolder::~WorkFolder() {
    if (made_) removeAll(name_);
}

std::string WorkFolder::partPrefix() const {
    // The book's name cut short enough that the hidden name is a name a file system takes.
    return "." + place_.leaf.substr(0, 128) + ".part-";
}

void WorkFolder::removeLeftBehind() const {
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

void WorkFolder::removeAll(const std::string& name) const {
    std::error_code ignored;
    fs::remove_all(place_.parent.pathOf(name), ignored);
    if (ignored)
        printWarnings({"Cannot remove the folder \"" + place_.parent.pathOf(name) + "\": " + ignored.message() + "."});
}

BookInput readBookInput(const Options& o) {
    BookInput in;
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
        // Standard input redirected from a file has that file's time.
        struct stat st {};
        if (standard && ::fstat(STDIN_FILENO, &st) == 0 && S_ISREG(st.st_mode)) in.modified = st.st_mtime;
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
        struct stat st {};
        if (::stat(o.file->c_str(), &st) == 0) in.modified = st.st_mtime;
    }
    if (in.identifier.empty()) {
        uLong crc = ::crc32(0, nullptr, 0);
        const std::string bytes = base::toUtf8(in.text);
        crc = ::crc32_z(crc, reinterpret_cast<const Bytef*>(bytes.data()), bytes.size());
        in.identifier = identifierOf(crc, bytes.size());
    }
    return in;
}

std::vector<BookPart> bookParts(const BookInput& in, const std::string& bookTitle) {
    const auto& chapters = in.book.chapters;
    const size_t size = in.text.size();
    std::vector<BookPart> parts;
    size_t begin = 0;
    std::string title = bookTitle;
    int32_t level = 1;
    for (const auto& c : chapters) {
        const size_t at = std::clamp<size_t>(static_cast<size_t>(std::min<uint64_t>(c.position, size)), begin, size);
        parts.push_back({title, begin, at, level});
        begin = at;
        title = c.title.empty() ? bookTitle : c.title;
        level = c.level;
    }
    parts.push_back({title, begin, size, level});
    std::erase_if(parts, [&](const BookPart& p) {
        return !hasWords(std::u16string_view(in.text).substr(p.begin, p.end - p.begin));
    });
    return parts;
}

std::optional<SpokenPart> renderPart(SpVoice& voice, const Options& o, int32_t format, const base::Folder& folder,
                                     const std::string& audio, const std::u16string& text, Progress* progress,
                                     BookJournal* journal, size_t index) {
    Render render;
    render.progress = progress;
    render.text = text;
    render.flags = plainTextFlags(o) | SVSFlagsAsync;
    SpokenPart part;
    std::optional<BookJournal::PartLog> log;
    uint64_t resumedAt = 0;  // the bytes of audio a resumed render goes on after: its events count from there
    if (!journal) {
        render.file = openOutput(voice, o, audio, format, std::nullopt, &folder);
    } else {
        // The part goes on from what its own journal kept, with the times logged for that audio.
        const ResumeKey key{"", audioOptions(o, format), "", journal->partInput(index, text)};
        const auto open = [&] {
            render.file = makeOutput(o, format, std::nullopt);
            return render.file->openResumable(folder.pathOf(audio), key);
        };
        ResumeState state = open();
        log.emplace(folder, audio);
        std::vector<BookJournal::Logged> logged = log->read();
        const uint64_t kept = state.frames * static_cast<uint64_t>(render.file->Format().wave().bytesPerFrame());
        // Every event is logged as it is placed, before the audio it falls in is written: a journal
        // that kept audio has its events in the log, unless the log is gone (it could not be written).
        if (kept > 0 && logged.empty()) {
            render.file->discard();
            journal->forgetPart(audio);
            log.emplace(folder, audio);
            state = open();
        }
        resumedAt = state.frames * static_cast<uint64_t>(render.file->Format().wave().bytesPerFrame());
        std::erase_if(logged, [&](const auto& e) { return e.byte >= resumedAt; });
        log->restart(logged);
        for (const auto& e : logged) (e.kind == 's' ? part.sentences : part.words).push_back(e.at);
        if (!state.notice.empty()) printWarnings({state.notice});
        if (state.frames > 0) {
            const uint64_t seconds = state.frames / static_cast<uint64_t>(render.file->Format().wave().sampleRate);
            Progress::printLine("going on in part " + std::to_string(index + 1) + " after the " +
                                std::to_string(seconds / 60) + (seconds % 60 < 10 ? ":0" : ":") +
                                std::to_string(seconds % 60) + " already rendered");
        }
        voice.SetAudioOutputStream(render.file);
    }
    const auto wave = render.file->Format().wave();
    const auto ms = [wave](uint64_t bytes) {
        return bytes / static_cast<uint64_t>(wave.bytesPerFrame()) * 1000 / static_cast<uint64_t>(wave.sampleRate);
    };
    if (log)
        render.file->setPlacedListener([&log = *log, ms](const VoiceEvent& e, uint64_t byte) {
            log.add({e.kind == EventKind::Sentence ? 's' : 'w', {e.characterPosition, e.length, ms(byte)}, byte});
        });
    uint64_t endBytes = 0;
    render.onEvent = [&](const VoiceEvent& e) {
        const uint64_t byte = resumedAt + e.streamPosition;
        if (e.kind == EventKind::Sentence || e.kind == EventKind::Word) {
            const BookJournal::Logged logged{
                e.kind == EventKind::Sentence ? 's' : 'w', {e.characterPosition, e.length, ms(byte)}, byte};
            (logged.kind == 's' ? part.sentences : part.words).push_back(logged.at);
        } else if (e.kind == EventKind::EndStream) {
            endBytes = std::max(endBytes, byte);
        }
    };
    if (speakToEnd(voice, render, o)) return std::nullopt;
    part.durationMs = ms(std::max(endBytes, render.file->bytesWritten()));
    if (log) log->remove();
    return part;
}

std::optional<std::vector<SpokenSection>> speakParts(SpVoice& voice, const Options& o, int32_t format,
                                                     const BookInput& in, const std::vector<BookPart>& parts,
                                                     const base::Folder& folder, BookJournal* journal,
                                                     const std::function<std::string(size_t)>& audioName) {
    const base::Folder& into = journal ? journal->folder() : folder;
    uint64_t total = 0;
    for (const BookPart& part : parts) total += part.end - part.begin;
    Progress progress(Progress::wanted() ? std::optional<uint64_t>(total) : std::nullopt);
    if (journal) {
        size_t kept = 0;
        for (size_t i = 0; i < parts.size(); ++i) kept += journal->kept(i) ? 1 : 0;
        if (kept > 0)
            std::cerr << "tallamo-say: going on after the " << kept << " of " << parts.size()
                      << " parts already made\n";
    }
    std::vector<SpokenSection> sections;
    uint64_t before = 0;  // the text of the parts before this one
    for (size_t i = 0; i < parts.size(); ++i) {
        const BookPart& part = parts[i];
        const std::u16string text = in.text.substr(part.begin, part.end - part.begin);
        SpokenSection section{&part, audioName(sections.size()), {}};
        if (const BookJournal::Kept* kept = journal ? journal->kept(i) : nullptr;
            kept && (kept->audio.empty() || kept->audio == section.audio)) {
            section.spoken = kept->spoken;
        } else {
            progress.startPart(before, text.size(),
                               "part " + std::to_string(i + 1) + " of " + std::to_string(parts.size()));
            auto spoken = renderPart(voice, o, format, into, section.audio, text, &progress, journal, i);
            if (!spoken) return std::nullopt;
            section.spoken = std::move(*spoken);
            if (daisySentences(text, section.spoken.sentences, section.spoken.durationMs).empty()) {
                // Words that made no sound (symbols the voice does not read): no section.
                if (::unlinkat(into.fd(), section.audio.c_str(), 0) != 0)
                    throw Error(errc::kAccessDenied, "Cannot remove \"" + into.pathOf(section.audio) +
                                                         "\": " + base::fileErrorReason(errno) + ".");
                section.audio.clear();
            }
            if (journal) journal->keep(i, section.audio, section.spoken);
        }
        before += text.size();
        if (!section.audio.empty()) sections.push_back(std::move(section));
    }
    return sections;
}

std::unique_ptr<BookJournal> openBookJournal(const SpVoice& voice, const Options& o, int32_t format,
                                             const BookInput& in, const Place& place) {
    if (!o.resume) return nullptr;
    // The book's audio and the times kept with it: the overlay's level says whether words are timed.
    const std::string input =
        spokenInput(in.text, in.book) + (o.overlay == Options::Overlay::Word ? "\nwords" : "\nsentences");
    std::string notice;
    auto journal = std::make_unique<BookJournal>(place, resumeDigest(resumeKey(voice, o, format, input)), notice);
    if (!notice.empty()) printWarnings({notice});
    return journal;
}

std::string fallbackLanguage(std::u16string_view text, const speech::SpObjectToken& voice) {
    const std::string own = speech::core::languageTag(voice);
    const std::string_view primary = std::string_view(own).substr(0, own.find('-'));
    if (primary == "zh" || primary == "yue" || primary == "cmn") return own;
    size_t han = 0, letters = 0;
    for (char16_t c : text) {
        if ((c >= 0x4E00 && c <= 0x9FFF) || (c >= 0x3400 && c <= 0x4DBF) || (c >= 0xF900 && c <= 0xFAFF)) {
            ++han;
        } else if ((c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= 0xC0 && c <= 0x24F)) {
            ++letters;
        }
    }
    // A Han character says about as much as a word of three or four letters.
    return han * 3 > letters ? "zh" : own;
}

}  // namespace say
