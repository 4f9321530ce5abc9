// SPDX-License-Identifier: GPL-3.0-or-later
// A book's cover, checked before it goes into a file: a JPEG or PNG image that decodes (with FFmpeg's
// decoders), so a broken cover is left out with a warning instead of giving players a picture they
// cannot show.
#pragma once

#include <string>

#include "base/error.h"
#include "speech/core/book_tags.h"

namespace speech::audio::media {

struct CoverImage {
    core::ImageKind kind = core::ImageKind::Unknown;
    int width = 0;
    int height = 0;
};

// The image's kind and size; a fault whose message says what is wrong with it ("it does not decode").
base::Result<CoverImage> checkCover(const std::string& bytes);

// "The cover image is left out of "name": <why>."
std::string coverWarning(const std::string& name, const base::Fault& why);

}  // namespace speech::audio::media
