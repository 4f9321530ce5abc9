// SPDX-License-Identifier: GPL-3.0-or-later
// The media module's entry (see media_module.h): the table of its functions.
#include "speech/audio/media/file_tags.h"
#include "speech/audio/media_module.h"
#include "speech/audio/mp4_writer.h"

extern "C" [[gnu::visibility("default")]] const speech::MediaFunctions* tallamo_media_functions() {
    static const speech::MediaFunctions functions{&speech::Mp4Writer::open, &speech::AacPartEncoder::open,
                                                  &speech::writeChapterTags};
    return &functions;
}
