// SPDX-License-Identifier: GPL-3.0-or-later
// What the module hands the voice: speech-dispatcher's messages as SSML (UTF-8), which the platform's
// front end reads like any text (so a Mandarin voice reads its numbers and English words with the
// Mandarin reader). A message's own SSML goes as it is, with what the voice has no setting for (pitch,
// spelling) as elements around its content.
#pragma once

#include <string>
#include <string_view>

namespace sd_tallamo {

struct MessageOptions {
    bool spelling = false;  // every letter spelled
    int pitch = 0;          // speech-dispatcher's pitch, -100..100 (0 the voice's own)
};

// A SPEAK message: SSML (a <speak> document) or, should a client send it, plain text.
std::string textMessage(std::string_view data, const MessageOptions& options);
// A CHAR message (one character, or "space"), a KEY message (a key name such as "shift_kp-enter") and a
// SOUND_ICON message (an icon's name). `chinese`: the voice reads Chinese.
std::string charMessage(std::string_view character, bool chinese, const MessageOptions& options);
std::string keyMessage(std::string_view key, bool chinese, const MessageOptions& options);
std::string iconMessage(std::string_view icon, const MessageOptions& options);

// Text escaped for XML (&, <, >, and quotes).
std::string escapeXml(std::string_view text);

}  // namespace sd_tallamo
