// SPDX-License-Identifier: GPL-3.0-or-later
// Files the platform and its programs write: a folder held open, and a file written under a
// temporary name and put in place under its own in one step, so that a write that fails or is
// stopped never leaves a partial file behind and never removes the file that was there before.
//
// A name the user gave may be a symbolic link: the file it names is the one replaced (the link
// stays). A name the program made inside a folder (a chapter's file) never follows a link: the link
// itself is replaced and its target never touched, and the file is made relative to the folder's
// descriptor, so that neither a link planted at the name nor a folder renamed meanwhile can send the
// file elsewhere.
#pragma once

#include <fcntl.h>
#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "base/child_process.h"
#include "base/error.h"

namespace base {

// "the disk is full", "permission denied", ... for an errno value, to end a sentence with.
std::string fileErrorReason(int err);

// Writes all of `bytes` at `offset`, through interrupted and partial writes; 0, or the errno of a failure.
int pwriteAll(int fd, std::span<const uint8_t> bytes, uint64_t offset);

// A folder held open by its descriptor.
class Folder {
public:
    // Opens the folder at `path`; a fault (kNotFound, kAccessDenied) names it and says why not.
    static Result<Folder> open(const std::string& path);
    int fd() const { return fd_.get(); }
    const std::string& path() const { return path_; }
    // The path of `name` in the folder, for messages.
    std::string pathOf(std::string_view name) const;

private:
    UniqueFd fd_;
    std::string path_;
};

class ReplacingFile {
public:
    enum class Link {
        Follow,   // a name the user gave: a link at it is followed, and the file it names replaced
        Replace,  // a name the program made: a link at it is replaced, never followed
    };

    // Where the file goes: `name` in `folder`, or the path `name` when there is no folder (a path
    // the user gave; Link::Follow). `shown` is the name messages give.
    struct Place {
        const Folder* folder = nullptr;
        std::string name;
        Link link = Link::Follow;
        std::string shown() const { return folder ? folder->pathOf(name) : name; }
    };

    // The temporary for `place`, in its folder: a file without a name where the file system has them
    // (nothing is left behind when the program is killed half way), else one under a hidden unique
    // name, removed when its owner goes. It has the permissions of the file it replaces, or the usual
    // 0666 less the umask. Refused, with a fault that names the file and says why: a folder at the
    // name, a file there that cannot be written, and (Link::Replace) anything but a regular file or a
    // link.
    static Result<ReplacingFile> create(const Place& place);
    // A second temporary for the same place (the first one's content is then the caller's to copy).
    Result<ReplacingFile> again() const;

    ReplacingFile() = default;  // no file
    ReplacingFile(ReplacingFile&& other) noexcept;
    ReplacingFile& operator=(ReplacingFile&& other) noexcept;
    ~ReplacingFile();

    int fd() const { return fd_.get(); }
    // Appends `bytes`; a fault says why not ("Cannot write to the file "name": the disk is full.").
    Result<void> write(std::string_view bytes);
    // Makes the content written so far durable (a write the disk refuses shows here at the latest).
    Result<void> flush();
    // Makes the content durable, then puts the file in place under its name in one rename.
    Result<void> putInPlace();

private:
    void removeNow();

    UniqueFd folder_;    // where the file goes (opened for reading, so that it can be flushed)
    std::string leaf_;   // its name there
    std::string shown_;  // its name for messages
    std::optional<mode_t> mode_;
    UniqueFd fd_;
    std::string temporary_;  // the temporary's name in the folder; empty for a file without a name
};

}  // namespace base
