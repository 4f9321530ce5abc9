// SPDX-License-Identifier: GPL-3.0-or-later
// The journal of a talking book made with --resume: a hidden folder beside the book (".NAME.resume")
// that holds the key of what the book's audio is made from (its state file), and the audio file of every
// part finished so far with a file listing it: its audio's size and checksum and the times of its
// sentences and words. A book stopped part way (Ctrl+C, a failure, a kill) keeps the parts it finished;
// the same command takes them as they are and speaks the rest. The part that was being spoken when the
// render stopped goes on through the file stream's own journal (".AUDIO.resume" in the folder), as a
// render of one file with --resume does; the times of its sentences and words, which come as the
// voice's events and which a resume does not see again for the audio it passes over, are logged
// beside it ("AUDIO.times") as they are placed, before the audio they fall in is written and so
// before that journal keeps it. A log that is missing (it could not be written) has the part spoken
// again whole.
//
// The folder is made by the program, readable by its owner only; one that is there already is used only
// when it is a folder of the user's own (not a link to one), else the render is refused and nothing in
// it touched. Its files are opened relative to the folder, refusing links, and removed by name.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/files.h"
#include "tools/say/talking_book.h"

namespace say {

class BookJournal {
public:
    // The journal of the book at `place` for `key` (resumeDigest), made when there is none. One of
    // another key, or one whose state or audio is damaged, is started over, and `notice` says why.
    // Throws Error when the folder cannot be made or used, or when another render holds it.
    BookJournal(const Place& place, const std::string& key, std::string& notice);
    ~BookJournal();
    BookJournal(const BookJournal&) = delete;
    BookJournal& operator=(const BookJournal&) = delete;

    const base::Folder& folder() const { return folder_; }
    // The part `index` as an earlier render finished it: its audio file's name (empty: it made no
    // sound) and what was spoken. Nothing when it is still to be spoken.
    struct Kept {
        std::string audio;
        SpokenPart spoken;
        std::string sum;  // the audio's size and checksum, as the state lists them
    };
    const Kept* kept(size_t index) const;
    // Lists the part `index`, whose audio (durable, in the folder; empty: none) was just made.
    void keep(size_t index, const std::string& audio, const SpokenPart& spoken);

    // The key of the journal of the part `index` being spoken from `text`: the book's, the part's
    // place and its text.
    std::string partInput(size_t index, std::u16string_view text) const;
    // The log of the sentences and words of the part whose audio is `audio`, as they are placed (on
    // the render's thread): each event's kind, place in the text and byte of the audio.
    struct Logged {
        char kind = 's';  // 's' a sentence, 'w' a word
        SpokenSentence at;
        uint64_t byte = 0;
    };
    class PartLog {
    public:
        PartLog(const base::Folder& folder, const std::string& audio);
        // What an earlier render logged, in order (a line cut short by a kill is left out).
        std::vector<Logged> read() const;
        // Starts the log again with `events`.
        void restart(const std::vector<Logged>& events);
        void add(const Logged& event);
        // The part is kept: the log goes.
        void remove();

    private:
        const base::Folder& folder_;
        std::string name_;
        base::UniqueFd fd_;
        bool broken_ = false;
    };
    // Removes what the journal of the part whose audio is `audio` holds, so that it starts over.
    void forgetPart(const std::string& audio);
    // The book is in place: the journal's files go, then its folder; a file of another left in it is a
    // warning.
    void remove();

private:
    void startOver();

    std::string shown_;  // the folder's path, for messages
    const base::Folder& parent_;
    std::string name_;
    base::Folder folder_;
    std::string key_;
    std::vector<std::optional<Kept>> parts_;
};

}  // namespace say
