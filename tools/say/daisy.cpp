// SPDX-License-Identifier: GPL-3.0-or-later
#include "tools/say/daisy.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "base/files.h"
#include "speech/core/languages.h"
#include "tools/say/book.h"
#include "tools/say/book_journal.h"
#include "tools/say/daisy_files.h"
#include "tools/say/file_names.h"
#include "tools/say/render.h"
#include "tools/say/stop_signals.h"
#include "tools/say/talking_book.h"

#ifndef TALLAMO_VERSION
#define TALLAMO_VERSION "unknown"
#endif

namespace say {

using namespace speech;

namespace {

namespace fs = std::filesystem;

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

// Puts the book under its name: in one rename when nothing is there, else, when what is there is a book
// of ours, by exchanging the two folders and then removing the old one.
void putInPlace(WorkFolder& book, const Place& place) {
    const auto failure = [&](const std::string& what) {
        return Error(errc::kAccessDenied, what + ": " + base::fileErrorReason(errno) + ".");
    };
    if (::fsync(book.folder().fd()) != 0) throw failure("Cannot write the book \"" + place.shown + "\"");
    const int parent = place.parent.fd();
    const char* name = book.name().c_str();
    if (::renameat2(parent, name, parent, place.leaf.c_str(), RENAME_NOREPLACE) != 0) {
        if (errno != EEXIST) throw failure("Cannot put the book \"" + place.shown + "\" in place");
        if (existing(place) != Existing::Ours) throw refusal(place);
        if (::renameat2(parent, name, parent, place.leaf.c_str(), RENAME_EXCHANGE) != 0)
            throw failure("Cannot put the book \"" + place.shown + "\" in place of the one there");
        // The old book is under the temporary name now.
        book.removeAll(book.name());
    }
    book.keep();
    ::fsync(parent);
}

}  // namespace

DaisyName daisyName(std::string_view output) {
    size_t end = output.size();
    while (end > 0 && output[end - 1] == '/') --end;
    if (!hasExtension(output.substr(0, end), ".daisy")) return DaisyName::No;
    return end < output.size() ? DaisyName::Folder : DaisyName::NoSlash;
}

int speakDaisy(SpVoice& voice, const Options& o, int32_t format) {
    const Place place = placeOf(*o.output);
    if (existing(place) == Existing::Other) throw refusal(place);
    const BookInput in = readBookInput(o);
    if (interrupted()) return interruptedStatus();
    const std::string bookTitle =
        !in.book.info.title.empty() ? in.book.info.title : fs::path(place.leaf).stem().string();
    const std::vector<BookPart> parts = bookParts(in, bookTitle);
    if (parts.empty()) throw Error(errc::kFile, "There is no text to speak: the book would be empty.");

    const auto journal = openBookJournal(voice, o, format, in, place);
    WorkFolder book(place);
    const auto spoken = speakParts(voice, o, format, in, parts, book.folder(), journal.get(), daisyAudioName);
    if (!spoken) return interruptedStatus();
    std::vector<DaisySection> sections;
    for (const SpokenSection& s : *spoken) {
        DaisySection section{
            s.part->title, in.text.substr(s.part->begin, s.part->end - s.part->begin), {}, 0, s.part->level};
        section.durationMs = s.spoken.durationMs;
        section.sentences = daisySentences(section.text, s.spoken.sentences, section.durationMs);
        // The journal's audio goes into the book as it is: linked, or moved where the file system
        // has no links (the journal then no longer serves, but the book is almost in place).
        if (journal && ::linkat(journal->folder().fd(), s.audio.c_str(), book.folder().fd(), s.audio.c_str(), 0) != 0 &&
            ::renameat(journal->folder().fd(), s.audio.c_str(), book.folder().fd(), s.audio.c_str()) != 0)
            throw Error(errc::kAccessDenied, "Cannot put \"" + journal->folder().pathOf(s.audio) +
                                                 "\" in the book: " + base::fileErrorReason(errno) + ".");
        sections.push_back(std::move(section));
    }
    if (sections.empty()) throw Error(errc::kFile, "Nothing of the text was spoken: the book would be empty.");

    DaisyFacts facts;
    facts.title = bookTitle;
    facts.creator = in.book.info.author;
    facts.date = in.book.info.date;
    facts.language = !in.book.language.empty() ? in.book.language : fallbackLanguage(in.text, voice.Voice());
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
    putInPlace(book, place);
    if (journal) journal->remove();
    return kExitSuccess;
}

}  // namespace say
