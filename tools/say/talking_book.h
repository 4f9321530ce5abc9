// SPDX-License-Identifier: GPL-3.0-or-later
// What tallamo-say's talking books (DAISY folders, EPUB files) share: where the book goes, the hidden
// folder it is made in, the input read whole with the identifier made from its checksum, its parts (the
// text before the first chapter, then each chapter), and the render of a part into an audio file with
// the times of its sentences (and words).
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/files.h"
#include "speech/voice.h"
#include "tools/say/book.h"
#include "tools/say/daisy_files.h"
#include "tools/say/options.h"
#include "tools/say/progress.h"

namespace say {

// Where the book goes: the entry `leaf` in `parent`, held open so that everything is done relative to
// it.
struct Place {
    std::string shown;  // the output's name without its trailing slashes, for messages
    std::string leaf;
    base::Folder parent;
};

Place placeOf(const std::string& output);

// The book being made: a hidden folder beside the book's name, removed with what it holds unless it
// was kept. It is locked while it is made, so that one a killed render left behind (unlocked) is told
// from one being made, and removed by the next render of the same book.
class WorkFolder {
public:
    explicit WorkFolder(const Place& place);
    ~WorkFolder();
    WorkFolder(const WorkFolder&) = delete;
    WorkFolder& operator=(const WorkFolder&) = delete;

    const base::Folder& folder() const { return folder_; }
    const std::string& name() const { return name_; }  // in the place's parent
    // The folder is no longer this one's to remove (it was put in place).
    void keep() { made_ = false; }
    // Removes the folder `name` of the place's parent with what it holds; a failure is a warning.
    void removeAll(const std::string& name) const;

private:
    std::string partPrefix() const;
    void removeLeftBehind() const;

    const Place& place_;
    std::string name_;
    bool made_ = false;
    base::Folder folder_;
};

// The input as read: its text, what is known of the book, the identifier made from its checksum, and
// its file's modification time (none for a text or a pipe).
struct BookInput {
    std::u16string text;
    Book book;
    std::string identifier;
    std::optional<std::time_t> modified;
};

// An identifier of the file's bytes as they are now (their checksum and size), for a book that has none.
std::string fileIdentifier(const std::string& path);

// Reads the text the options name (a TEXT, a file, a pipe, standard input) whole.
BookInput readBookInput(const Options& o);

// A part of the text to make a section of: the text before the first chapter (titled by the book), then
// each chapter; without chapters, all of it, titled by the book. Parts without words are left out.
struct BookPart {
    std::string title;
    size_t begin = 0;
    size_t end = 0;
    int32_t level = 1;  // in the document's outline (1 a chapter, 2 a section of one)
};

std::vector<BookPart> bookParts(const BookInput& in, const std::string& bookTitle);

// The language a book names where its input names none: Chinese ("zh") for a text mostly of Han
// characters, which the Mandarin voice reads whatever voice reads the rest, else the voice's own.
std::string fallbackLanguage(std::u16string_view text, const speech::SpObjectToken& voice);

// A part rendered: its audio's length and its sentences' and words' events.
struct SpokenPart {
    std::vector<SpokenSentence> sentences;
    std::vector<SpokenSentence> words;
    uint64_t durationMs = 0;
};

class BookJournal;

// Renders `text` into the audio file `audio` of `folder`, in the options' codec, telling `progress`
// (when given) how far it is; with `journal` (whose folder `folder` is) as the part `index`, going on
// from what an earlier render of it kept. Returns nothing when the render was interrupted.
std::optional<SpokenPart> renderPart(speech::SpVoice& voice, const Options& o, int32_t format,
                                     const base::Folder& folder, const std::string& audio, const std::u16string& text,
                                     Progress* progress = nullptr, BookJournal* journal = nullptr, size_t index = 0);

// A part spoken into its audio file (in the folder the parts were spoken into).
struct SpokenSection {
    const BookPart* part = nullptr;
    std::string audio;
    SpokenPart spoken;
};

// Speaks each part into an audio file named by `audioName` (from the number of parts before it that
// made a sound) in `folder`, or, with a journal, in the journal's folder: there the parts an earlier
// render finished are taken as they are, and each part is kept as it is finished. A part whose words
// made no sound (symbols the voice does not read) is left out. Shows the progress on a terminal.
// Nothing when the render was interrupted.
std::optional<std::vector<SpokenSection>> speakParts(speech::SpVoice& voice, const Options& o, int32_t format,
                                                     const BookInput& in, const std::vector<BookPart>& parts,
                                                     const base::Folder& folder, BookJournal* journal,
                                                     const std::function<std::string(size_t)>& audioName);

// The journal of the book at `place` made from `in` (--resume), or nothing without --resume; says on
// standard error when it starts over or goes on.
std::unique_ptr<BookJournal> openBookJournal(const speech::SpVoice& voice, const Options& o, int32_t format,
                                             const BookInput& in, const Place& place);

}  // namespace say
