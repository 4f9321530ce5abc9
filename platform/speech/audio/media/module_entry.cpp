// SPDX-License-Identifier: GPL-3.0-or-later
// The media module's entry (see ../media_module.h): the table of its functions.
#include "speech/audio/media/file_tags.h"
#include "speech/audio/media/mp4_writer.h"
#include "speech/audio/media_module.h"

extern "C" [[gnu::visibility("default")]] const speech::audio::MediaFunctions* tallamo_media_functions() {
    using namespace speech::audio::media;
    static const speech::audio::MediaFunctions functions{&makeMp4Writer, &makeAacPartEncoder, &writeFileTags};
    return &functions;
}
