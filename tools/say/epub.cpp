// SPDX-License-Identifier: GPL-3.0-or-later
#include "tools/say/epub.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "base/files.h"
#include "speech/core/book_tags.h"
#include "speech/core/languages.h"
#include "tools/say/book_journal.h"
#include "tools/say/epub_archive.h"
#include "tools/say/epub_files.h"
#include "tools/say/file_names.h"
#include "tools/say/render.h"
#include "tools/say/stop_signals.h"
#include "tools/say/talking_book.h"

namespace say {

using namespace speech;

namespace {

namespace fs = std::filesystem;

constexpr std::string_view kContainer =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
    "<container version=\"1.0\" xmlns=\"urn:oasis:names:tc:opendocument:xmlns:container\">\n"
    "<rootfiles>\n<rootfile full-path=\"EPUB/package.opf\" media-type=\"application/oebps-package+xml\"/>\n"
    "</rootfiles>\n</container>\n";

// The time the book's entries and its dcterms:modified get for an input that has none (a TEXT, a
// pipe): the earliest a zip entry can hold, so that the same text gives the same bytes.
constexpr std::time_t kNoTime = 315532800;  // 1980-01-01T00:00:00Z

}  // namespace

bool epubName(std::string_view output) {
    return hasExtension(output, ".epub");
}

int speakEpub(SpVoice& voice, const Options& o, int32_t format) {
    const Place place = placeOf(*o.output);
    // A folder under the name could not be replaced by the book: refused before anything is spoken.
    struct stat st {};
    if (::fstatat(place.parent.fd(), place.leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode))
        throw Error(errc::kAccessDenied, "\"" + place.shown + "\" is a folder; an EPUB book is a file.");
    // An EPUB keeps its own documents, styles and images.
    if (const auto own = speakOwnEpub(voice, o, format, place)) return *own;
    const BookInput in = readBookInput(o);
    if (interrupted()) return interruptedStatus();
    printWarnings(in.book.warnings);
    const std::string bookTitle =
        !in.book.info.title.empty() ? in.book.info.title : fs::path(place.leaf).stem().string();
    const std::vector<BookPart> parts = bookParts(in, bookTitle);
    if (parts.empty()) throw Error(errc::kFile, "There is no text to speak: the book would be empty.");

    EpubFacts facts;
    facts.level = o.overlay == Options::Overlay::Word ? OverlayLevel::Word : OverlayLevel::Sentence;
    facts.audioExtension = o.codec == FileCodec::M4a ? "m4a" : "mp3";
    const auto journal = openBookJournal(voice, o, format, in, place);
    WorkFolder work(place);
    const auto spoken = speakParts(voice, o, format, in, parts, work.folder(), journal.get(),
                                   [&](size_t index) { return epubFileName(index, facts.audioExtension); });
    if (!spoken) return interruptedStatus();
    const base::Folder& audioFolder = journal ? journal->folder() : work.folder();
    std::vector<EpubSection> sections;
    std::vector<std::string> audioFiles;
    for (const SpokenSection& s : *spoken) {
        EpubSection section{s.part->title, in.text.substr(s.part->begin, s.part->end - s.part->begin), {}, {}, 0,
                            s.part->level};
        section.durationMs = s.spoken.durationMs;
        section.sentences = daisySentences(section.text, s.spoken.sentences, section.durationMs);
        if (facts.level == OverlayLevel::Word)
            for (const auto& sentence : section.sentences)
                section.words.push_back(epubWords(section.text, sentence, s.spoken.words));
        audioFiles.push_back(s.audio);
        sections.push_back(std::move(section));
    }
    if (sections.empty()) throw Error(errc::kFile, "Nothing of the text was spoken: the book would be empty.");

    facts.title = bookTitle;
    facts.creator = in.book.info.author;
    facts.language = !in.book.language.empty() ? in.book.language : fallbackLanguage(in.text, voice.Voice());
    facts.identifier = in.identifier;
    facts.narrator = voice.Voice().GetDescription(0);
    facts.modified = in.modified.value_or(kNoTime);
    const auto coverKind = core::imageKind(in.book.info.cover);
    if (coverKind == core::ImageKind::Jpeg) facts.coverName = "cover.jpg";
    if (coverKind == core::ImageKind::Png) facts.coverName = "cover.png";
    if (!in.book.info.cover.empty() && facts.coverName.empty())
        printWarnings(
            {"The cover image is left out of \"" + place.shown + "\": it is neither a JPEG nor a PNG image."});

    // The archive is written under a name of the work folder, then moved under the book's name.
    const std::string archiveName = "book.epub";
    {
        EpubArchive archive(work.folder().pathOf(archiveName), place.shown, std::max(facts.modified, kNoTime));
        archive.addBytes("mimetype", "application/epub+zip", false);
        archive.addBytes("META-INF/container.xml", std::string(kContainer), true);
        for (auto& [name, bytes] : epubDocuments(facts, sections))
            archive.addBytes("EPUB/" + name, std::move(bytes), true);
        if (!facts.coverName.empty()) archive.addBytes("EPUB/" + facts.coverName, in.book.info.cover, false);
        for (const auto& audio : audioFiles) archive.addFile("EPUB/" + audio, audioFolder.pathOf(audio), false);
        archive.close();
    }
    if (interrupted()) return interruptedStatus();
    putInPlace(work, place, archiveName);
    if (journal) journal->remove();
    return kExitSuccess;
}

void putInPlace(const WorkFolder& work, const Place& place, const std::string& archiveName) {
    const base::UniqueFd written(::openat(work.folder().fd(), archiveName.c_str(), O_RDONLY | O_CLOEXEC));
    if (written.get() < 0 || ::fsync(written.get()) != 0 ||
        ::renameat(work.folder().fd(), archiveName.c_str(), place.parent.fd(), place.leaf.c_str()) != 0)
        throw Error(errc::kAccessDenied,
                    "Cannot put the book \"" + place.shown + "\" in place: " + base::fileErrorReason(errno) + ".");
    ::fsync(place.parent.fd());
}

}  // namespace say
