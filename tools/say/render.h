// SPDX-License-Identifier: GPL-3.0-or-later
// One render of tallamo-say: the text and how the voice reads it, where its audio and timings go, and
// the wait for its end, with its events printed and recorded on the way.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/files.h"
#include "speech/names.h"
#include "speech/streams.h"
#include "speech/voice.h"
#include "tools/say/book.h"
#include "tools/say/input.h"
#include "tools/say/options.h"
#include "tools/say/progress.h"
#include "tools/say/timings.h"

namespace say {

// One Speak and where its results go: the audio file (none when the voice plays to a device) and the
// timings file, with the recorder of its events. Both are open before anything is spoken, and put in
// place together once the render is complete.
struct Render {
    std::u16string text;
    int32_t flags = 0;
    std::shared_ptr<speech::SpFileStream> file;
    std::optional<TimingRecorder> timings;
    std::optional<base::ReplacingFile> timingsFile;
    std::optional<Book> book;                                // a document read from standard input
    std::function<void(const speech::VoiceEvent&)> onEvent;  // given each event as it is released
    Progress* progress = nullptr;                            // told how far the voice has read
};

// Documents are spoken as plain text: their text is never the voice's markup.
int32_t plainTextFlags(const Options& o);

void printWarnings(const std::vector<std::string>& warnings);

// Standard input (or the pipe `name`) for `render`. Its first bytes tell what it holds: a document is
// read whole (up to the size limit of one) and its text spoken as plain text; any other text goes on
// to the voice as it comes, through `relay`, so that input that never ends is never held whole, or,
// without a relay (the text is needed before it is spoken: for its timings, its reading), is read
// whole up to the same limit.
void readInput(Render& render, const Options& o, int fd, const std::string& name, std::optional<InputRelay>* relay);

// Whether --file names a pipe or a device rather than a file: it can be read once only.
bool namesAPipe(const Options& o);

// The recorder of the render's timings, over the text whose positions the events give: the text
// spoken, or the named file's text as the voice reads it (a text file decoded, a document's text,
// never markup).
TimingRecorder timingRecorder(const Options& o, const Render& render);

// An audio file stream in `format` and the codec the options name, with `tags` (none: none), not yet
// open.
std::shared_ptr<speech::SpFileStream> makeOutput(const Options& o, int32_t format,
                                                 std::optional<speech::FileTags> tags);

// An audio file stream at `path` ("-": standard output), or named `path` in `folder` when there is
// one, in `format` and the codec the options name, with `tags`, made the voice's output.
std::shared_ptr<speech::SpFileStream> openOutput(speech::SpVoice& voice, const Options& o, const std::string& path,
                                                 int32_t format, std::optional<speech::FileTags> tags = std::nullopt,
                                                 const base::Folder* folder = nullptr);

// Speaks and waits for the end, printing the events as they are released (with --events) and recording
// the timings and chapter starts; Ctrl+C purges what is left. Returns whether it was interrupted.
bool speakAndWait(speech::SpVoice& voice, Render& render, const Options& o);

// "3:12 of audio": the length of the audio `file` holds so far, for the progress line.
std::string audioMade(const speech::SpFileStream& file);

// Speaks and waits for the end (speakAndWait). A complete render puts its files in place, its chapters
// marked; an interrupted one leaves none, and no earlier file is lost. Returns whether it was
// interrupted.
bool speakToEnd(speech::SpVoice& voice, Render& render, const Options& o);

}  // namespace say
