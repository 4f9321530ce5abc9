// SPDX-License-Identifier: GPL-3.0-or-later
// tallamo-say's command line. Every option is one row of a table (name, argument, one-line help and
// what it sets), from which both the parser and the --help text are made.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "speech/core/constants.h"
#include "speech/names.h"
#include "speech/streams.h"
#include "tools/say/timings.h"

namespace say {

// The documented exit statuses; a run stopped by a signal exits with 128 + the signal's number.
inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

struct Options {
    std::optional<std::string> voice;
    std::optional<long> rate;
    std::optional<long> volume;
    std::optional<int32_t> format;
    int32_t flags = speech::SVSFDefault;
    std::optional<std::string> output;                 // "-" is standard output
    speech::FileCodec codec = speech::FileCodec::Wav;  // from the output's (or --chapters-format's) extension
    std::optional<long> quality;
    std::optional<std::string> timings;
    say::TimingFormat timingFormat = say::TimingFormat::Srt;
    say::CueUnit cueUnit = say::CueUnit::Sentence;
    std::optional<long> device;  // nothing: the default output
    bool events = false;
    bool mixedScript = true;
    enum class Pinyin { None, Digits, Marks, Spoken };
    Pinyin pinyin = Pinyin::None;       // print the Mandarin reading instead of speaking
    std::vector<std::string> lexicons;  // --lexicon files, in order
    std::optional<long> jobs;           // engine workers rendering into a file at once; nothing: one a processor
    bool listVoices = false;
    bool listFormats = false;
    bool listOutputs = false;
    bool help = false;
    bool version = false;
    std::optional<std::string> text;
    std::optional<std::string> file;  // "-" is standard input
    bool chapters = false;
    std::optional<std::string> chaptersFormat;
    bool resume = false;
    bool daisy = false;  // --output names a DAISY book (a folder "NAME.daisy/")
    bool epub = false;   // --output names an EPUB book ("NAME.epub")
    enum class Overlay { Sentence, Word };
    std::optional<Overlay> overlay;           // an EPUB book's overlay unit; nothing: by sentence
    std::optional<std::string> overlayAudio;  // an EPUB book's audio format: mp3 (nothing) or m4a
    bool speakAlt = false;                    // a document's images are read by their alt text

    // Neither a TEXT nor a file other than "-": the text comes from standard input.
    bool readsStandardInput() const { return !text && (!file || *file == "-"); }
};

// A command line that cannot be used; the program prints the message and exits with kExitUsage.
struct UsageError {
    std::string message;
};

struct OptionRow {
    std::string_view name;      // "--voice"
    std::string_view alias;     // a short spelling ("-h"), or empty
    std::string_view argument;  // the value's placeholder in --help; empty for a switch; "[=VALUE]" for a
                                // switch that may take a value after "=" only
    std::string_view help;      // one line
    void (*apply)(Options&, const std::string& value);
};

std::span<const OptionRow> optionTable();

// Reads "--name VALUE", "--name=VALUE", switches, "--" and one TEXT, and checks that the options go
// together; the codec and timing format come from the names' extensions. Throws UsageError.
Options parseCommandLine(int argc, const char* const* argv);

// The --help text: usage, description, one line per row of the table, exit statuses, examples.
std::string helpText();

// With --chapters, --chapters-format and --timings give only an extension: "flac", ".flac" (or a name
// ending in it). In lower case, with its dot.
std::string asExtension(const std::string& value);

// The options that change a render's audio, as text: a journal of a render with others is not used.
std::string audioOptions(const Options& o, int32_t format);
// The lexicons in effect: the user's own, when there is one, then those of --lexicon.
std::vector<std::string> lexiconFiles(const Options& o);

}  // namespace say
