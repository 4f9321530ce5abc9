// SPDX-License-Identifier: GPL-3.0-or-later
// The journal of a render that can resume: a hidden folder beside the output (".book.m4b.resume/")
// holding the audio rendered so far in the file stream's format (and for an MP4 output its AAC packets
// too, part by part, as they are encoded), one unit after another (the audio from one start of a
// synthesis chain to the next), and a small state file naming what the audio was rendered from (the
// input's digest, the options' digest, the format, the program's version) and the finished units, with
// their lengths and the segments of the text they end at, and the chapter marks found in them. The audio file is a WAV
// file in the making: 44 bytes kept for its header, then the samples, so that a WAV output is the journal's own audio
// put in place, with no copy; other codecs are encoded from it at the end.
//
// Every step is ordered so that a kill at any point leaves a journal that is either valid or seen to
// be broken when it is opened again:
//   - a unit's audio is appended to the audio file and synced (with the AAC parts encoded since the
//     last unit, for an MP4 output); only then is the unit listed: the state is written whole as
//     "state.part", synced, renamed over "state", and the folder synced. The state ends with a
//     checksum of its lines, and holds one of every unit's audio and one of the kept parts' bytes;
//   - on opening, audio past the listed units (a unit cut short) is cut off; a state that does not
//     parse, whose checksum or version differ, audio shorter than the listed units, or any unit or
//     the kept parts whose checksum differs, makes the journal unusable: it is started over, with a
//     message saying why;
//   - at the end the output is made complete beside the journal, synced and renamed into place; the
//     state is removed before the rest of the journal.
// The journal's folder is made by the program, readable by its owner only; one that is there already is
// used only if it is a folder (not a link to one) of the user's own, else the render is refused and
// nothing in it touched. Its files are opened relative to the folder's descriptor, refusing links and
// anything but regular files, and the clean-up removes only the files the program makes, by name: a
// folder that holds others is left, with a warning.
// One render holds the journal at a time: a second one that opens it while the first runs is refused
// (an advisory lock on a file in the folder, released by the kernel when the holder dies).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/error.h"
#include "speech/audio/file_encoder.h"
#include "speech/audio/journal_state.h"
#include "speech/audio/mp4_writer.h"
#include "speech/core/book_tags.h"
#include "speech/core/formats.h"

namespace speech::audio {

// What the journal's audio becomes when the render is complete.
struct FinalFile {
    std::string target;                    // where it goes (a symbolic link resolved)
    std::string name;                      // the user's name for it, for messages
    EncoderChoice choice;                  // its codec and quality
    std::optional<mode_t> mode;            // the permissions of the file it replaces
    std::optional<core::FileTags> tags;    // nothing: no tags and no marks, as a file stream without them
    std::vector<core::ChapterMark> marks;  // starts in frames of the journal's format from the audio's start
};

class RenderJournal {
public:
    // The bytes kept before the audio for a WAV header.
    static constexpr uint64_t kAudioStart = 44;

    // Opens the journal of `output` for `key`, making it when there is none. A journal that cannot be
    // used (another version, other input or options, broken) is started over; `notice` then says why,
    // for the user. Faults: the folder cannot be made or written, or another render holds the journal.
    // With `aac` (an MP4 output), the listed units' audio is encoded as the render goes on, by a thread
    // of the journal's own, and every whole part's packets kept, so that the file is made at the end
    // from them and from the audio of the last part only.
    // With `encoded` (a FLAC, Ogg, Opus or MP3 output), the listed units' audio is encoded into the file
    // as the render goes on, by a thread of the journal's own (encoder_feeder.h).
    static base::Result<std::unique_ptr<RenderJournal>> open(const std::string& output, const JournalKey& key,
                                                             std::optional<Mp4Choice> aac,
                                                             std::optional<EncoderChoice> encoded, std::string& notice);
    ~RenderJournal();
    RenderJournal(const RenderJournal&) = delete;
    RenderJournal& operator=(const RenderJournal&) = delete;

    // The finished units, in order: the render goes on with unit units().size().
    const std::vector<JournalUnit>& units() const;
    // Frames of the finished units, and of the unit being written.
    uint64_t frames() const;
    uint64_t pendingFrames() const;

    // The next unit's audio, whole frames, as it comes.
    base::Result<void> append(std::span<const uint8_t> bytes);
    // Makes the unit written since the last commit durable and lists it: it ends after `segments`
    // segments of the text, and `marks` are the chapter marks found up to its end.
    base::Result<void> commitUnit(uint64_t segments, core::MarkerState marks);
    // The chapter marks the last listed unit was committed with.
    const core::MarkerState& marks() const;
    // Drops what was written since the last commit (a unit stopped before its end).
    base::Result<void> dropUnit();

    // Makes the output from the finished units and puts it in place, then removes the journal. A WAV
    // output is the journal's audio itself; other codecs are encoded from it beside the journal. The
    // warnings (a cover left out, chapters past what the format holds).
    base::Result<std::vector<std::string>> finish(const FinalFile& file);

    const std::string& folder() const;

    struct Impl;  // defined with the journal's code only
    explicit RenderJournal(std::unique_ptr<Impl> impl);

private:
    std::unique_ptr<Impl> impl_;
};

// Called before and after every write, sync, rename and removal the journal makes, so that a test can
// stop the process at each of them.
void setJournalStepHookForTesting(std::function<void()> hook);

}  // namespace speech::audio
