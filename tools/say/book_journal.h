// SPDX-License-Identifier: GPL-3.0-or-later
// The journal of a talking book made with --resume: a hidden folder beside the book (".NAME.resume")
// that holds the audio file of every part finished so far and a state file listing them, each with its
// audio's size and checksum and the times of its sentences and words, under the key of what the book's
// audio is made from. A book stopped part way (Ctrl+C, a failure, a kill) keeps the parts it finished;
// the same command takes them as they are and speaks the rest. The part that was being spoken when the
// render stopped is spoken again whole: the times of its sentences come from the voice's events as
// they are released, which a resume that passes over the audio already made would not see again.
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
    // The book is in place: the journal's files go, then its folder; a file of another left in it is a
    // warning.
    void remove();

private:
    void writeState();
    void startOver();

    std::string shown_;  // the folder's path, for messages
    const base::Folder& parent_;
    std::string name_;
    base::Folder folder_;
    std::string key_;
    std::vector<std::optional<Kept>> parts_;
};

}  // namespace say
