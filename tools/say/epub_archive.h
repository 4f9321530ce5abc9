// SPDX-License-Identifier: GPL-3.0-or-later
// The archive of an EPUB book tallamo-say writes, through libzip.
#pragma once

#include <zip.h>

#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "speech/names.h"

namespace say {

// An archive being written; one not closed is discarded, leaving nothing.
struct ZipDiscard {
    void operator()(zip_t* z) const { zip_discard(z); }
};
using Zip = std::unique_ptr<zip_t, ZipDiscard>;

inline speech::Error zipError(zip_t* z, const std::string& name) {
    return speech::Error(speech::errc::kFile, "Cannot write the book \"" + name + "\": " + zip_strerror(z) + ".");
}

// The book's archive, written by libzip in the work folder: the "mimetype" entry first and stored, as
// EPUB requires, then the container, the documents and the audio files (stored: they are compressed
// already). Every entry has the input's time, so that the same input gives the same bytes.
class EpubArchive {
public:
    EpubArchive(const std::string& path, const std::string& shown, std::time_t time) : shown_(shown), time_(time) {
        int error = 0;
        zip_.reset(zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error));
        if (!zip_) {
            zip_error_t e;
            zip_error_init_with_code(&e, error);
            const std::string why = zip_error_strerror(&e);
            zip_error_fini(&e);
            throw speech::Error(speech::errc::kFile, "Cannot write the book \"" + shown + "\": " + why + ".");
        }
    }

    // Adds `bytes` (kept until the archive is closed) under `name`.
    void addBytes(const std::string& name, std::string bytes, bool compress) {
        held_.push_back(std::make_unique<std::string>(std::move(bytes)));
        add(name, zip_source_buffer(zip_.get(), held_.back()->data(), held_.back()->size(), 0), compress);
    }
    // Adds the file at `path` (read when the archive is closed) under `name`.
    void addFile(const std::string& name, const std::string& path, bool compress) {
        add(name, zip_source_file(zip_.get(), path.c_str(), 0, -1), compress);
    }
    void close() {
        if (zip_close(zip_.get()) != 0) throw zipError(zip_.get(), shown_);
        (void)zip_.release();  // closed and freed by zip_close
    }

private:
    void add(const std::string& name, zip_source_t* source, bool compress) {
        if (source == nullptr) throw zipError(zip_.get(), shown_);
        const zip_int64_t index = zip_file_add(zip_.get(), name.c_str(), source, ZIP_FL_ENC_UTF_8);
        if (index < 0) {
            zip_source_free(source);
            throw zipError(zip_.get(), shown_);
        }
        const auto at = static_cast<zip_uint64_t>(index);
        if (zip_set_file_compression(zip_.get(), at, compress ? ZIP_CM_DEFLATE : ZIP_CM_STORE, 0) != 0 ||
            zip_file_set_mtime(zip_.get(), at, time_, 0) != 0)
            throw zipError(zip_.get(), shown_);
    }

    std::string shown_;
    std::time_t time_;
    Zip zip_;
    std::vector<std::unique_ptr<std::string>> held_;
};

}  // namespace say
