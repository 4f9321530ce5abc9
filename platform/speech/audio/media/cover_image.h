// SPDX-License-Identifier: GPL-3.0-or-later
// A book's cover, checked before it goes into a file: a JPEG or PNG image that decodes (with FFmpeg's
// decoders) of a bounded size, so a broken or oversized cover is left out with a warning instead of
// giving players a picture they cannot show, or the program an image that fills its memory.
#pragma once

#include <cstdint>
#include <string>

#include "base/error.h"
#include "speech/core/book_tags.h"

namespace speech::audio::media {

struct CoverImage {
    core::ImageKind kind = core::ImageKind::Unknown;
    int width = 0;
    int height = 0;
};

// The most a cover may take once decoded: one that would take more is left out.
inline constexpr uint64_t kMaxCoverDecodedBytes = 64 << 20;

// The image's kind and size; a fault whose message says what is wrong with it ("it does not decode").
// Its size is read from its header first, and an image that would take more than kMaxCoverDecodedBytes
// is refused without being decoded. The files of one book carry the same cover: the last one checked
// is remembered, so it is decoded once for them all.
base::Result<CoverImage> checkCover(const std::string& bytes);

// "The cover image is left out of "name": <why>."
std::string coverWarning(const std::string& name, const base::Fault& why);

}  // namespace speech::audio::media
