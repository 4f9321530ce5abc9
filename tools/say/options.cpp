// SPDX-License-Identifier: GPL-3.0-or-later
#include "tools/say/options.h"

#include <algorithm>
#include <array>
#include <filesystem>

#include "base/paths.h"
#include "speech/core/formats.h"
#include "speech/names.h"
#include "tools/say/daisy.h"
#include "tools/say/epub.h"

namespace say {
namespace {

long toNumber(std::string_view option, const std::string& value) {
    try {
        size_t used = 0;
        const long n = std::stol(value, &used, 0);
        if (used == value.size()) return n;
    } catch (const std::exception&) {
    }
    throw UsageError{std::string(option) + " needs a number, not \"" + value + "\""};
}

const std::array kRows = {
    OptionRow{"--voice", "", "N|NAME", "speak with voice N of --list-voices, or the voice of that name",
              [](Options& o, const std::string& v) { o.voice = v; }},
    OptionRow{"--rate", "", "R", "speaking rate, -10 (slowest) to 10 (fastest); default 0",
              [](Options& o, const std::string& v) { o.rate = toNumber("--rate", v); }},
    OptionRow{"--volume", "", "V", "volume, 0 to 100; default 100",
              [](Options& o, const std::string& v) { o.volume = toNumber("--volume", v); }},
    OptionRow{"--format", "", "NAME|N", "audio format: a name or number of --list-formats; default SAFT22kHz16BitMono",
              [](Options& o, const std::string& v) {
                  const auto type = speech::formatTypeByName(v);
                  o.format = type ? *type : static_cast<int32_t>(toNumber("--format", v));
              }},
    OptionRow{"--flags", "", "N", "speak flags added up: 8 markup, 16 plain text, 64 speak punctuation",
              [](Options& o, const std::string& v) { o.flags = static_cast<int32_t>(toNumber("--flags", v)); }},
    OptionRow{
        "--output", "", "FILE|-|BOOK.daisy/|BOOK.epub",
        "render into FILE instead of playing, in the format its extension names (.wav .flac .ogg .oga .opus "
        ".mp3 .m4b .m4a); - writes a WAV stream to standard output. With --file, the file is tagged with the "
        "book's title, author, year and cover, and marked with its chapters. A folder BOOK.daisy/ gets a DAISY "
        "2.02 talking book: the text, a heading a chapter, and an MP3 file a chapter timed by sentence. BOOK.epub "
        "gets an EPUB 3 book with Media Overlays: a content document and an audio file a chapter",
        [](Options& o, const std::string& v) { o.output = v; }},
    OptionRow{"--overlay", "", "sentence|word",
              "an EPUB book's Media Overlays highlight each sentence (the default) or each word as it is read",
              [](Options& o, const std::string& v) {
                  if (v != "word" && v != "sentence") throw UsageError{"--overlay is sentence or word"};
                  o.overlay = v == "word" ? Options::Overlay::Word : Options::Overlay::Sentence;
              }},
    OptionRow{"--overlay-audio", "", "mp3|m4a", "an EPUB book's audio: MP3 (the default) or AAC in MP4",
              [](Options& o, const std::string& v) { o.overlayAudio = v; }},
    OptionRow{"--speak-alt", "", "",
              "read a document's images by their alt text (an EPUB book keeps them unspoken else)",
              [](Options& o, const std::string&) { o.speakAlt = true; }},
    OptionRow{"--quality", "", "Q",
              "quality of .ogg, .oga, .opus, .mp3, .m4b and .m4a output, 0 (smallest) to 10 (best); .m4b and .m4a: "
              "about 24 to 128 kbit/s a channel, 64 by default",
              [](Options& o, const std::string& v) { o.quality = toNumber("--quality", v); }},
    OptionRow{"--timings", "", "FILE",
              "write the words' and sentences' times to FILE (.srt .vtt .lrc .json); with --chapters, an "
              "extension: a timings file beside each chapter's audio",
              [](Options& o, const std::string& v) { o.timings = v; }},
    OptionRow{"--timings-unit", "", "word|sentence", "one .srt or .vtt cue a sentence (the default) or a word",
              [](Options& o, const std::string& v) {
                  if (v != "word" && v != "sentence") throw UsageError{"--timings-unit is word or sentence"};
                  o.cueUnit = v == "word" ? say::CueUnit::Word : say::CueUnit::Sentence;
              }},
    OptionRow{"--device", "", "N|default", "play on audio output N of --list-outputs; default: the default output",
              [](Options& o, const std::string& v) {
                  if (v == "default")
                      o.device.reset();
                  else
                      o.device = toNumber("--device", v);
              }},
    OptionRow{"--events", "", "", "print each voice event as a JSON line when it is heard or written",
              [](Options& o, const std::string&) { o.events = true; }},
    OptionRow{"--no-mixed-script", "", "",
              "read English words in Chinese text, and Chinese in other text, with the voice itself",
              [](Options& o, const std::string&) { o.mixedScript = false; }},
    OptionRow{"--pinyin", "", "[=marks|=spoken]",
              "print the text as the Mandarin voice reads it, its Chinese as pinyin with tone digits (or with tone "
              "marks; or with the tones spoken, third-tone sandhi applied, as the engine is sent them), and exit "
              "without speaking",
              [](Options& o, const std::string& v) {
                  if (!v.empty() && v != "marks" && v != "spoken")
                      throw UsageError{"--pinyin takes no value but =marks or =spoken"};
                  o.pinyin = v.empty()      ? Options::Pinyin::Digits
                             : v == "marks" ? Options::Pinyin::Marks
                                            : Options::Pinyin::Spoken;
              }},
    OptionRow{"--lexicon", "", "FILE",
              "read pronunciations from a W3C PLS lexicon (pinyin with alphabet=\"x-pinyin\", or aliases); may be "
              "given more than once, and comes after the user's own (~/.config/tallamo/lexicon.pls)",
              [](Options& o, const std::string& v) { o.lexicons.push_back(v); }},
    OptionRow{"--jobs", "", "N", "render into a file with N engine workers at once, 1 to 64; default: one a processor",
              [](Options& o, const std::string& v) {
                  o.jobs = toNumber("--jobs", v);
                  if (*o.jobs < 1 || *o.jobs > 64) throw UsageError{"--jobs needs a number from 1 to 64"};
              }},
    OptionRow{"--file", "", "PATH",
              "speak the text file or document (EPUB, HTML, DOCX, ODT, FB2, PDF) PATH, or play the WAV file "
              "PATH; - is standard input",
              [](Options& o, const std::string& v) { o.file = v; }},
    OptionRow{"--chapters", "", "",
              "with --file DOCUMENT and --output DIR/: one audio file per chapter, DIR/NN-title.wav",
              [](Options& o, const std::string&) { o.chapters = true; }},
    OptionRow{"--chapters-format", "", "EXT",
              "the chapter files' audio format: wav (the default), flac, ogg, oga, opus, mp3, m4a or m4b",
              [](Options& o, const std::string& v) { o.chaptersFormat = v; }},
    OptionRow{"--resume", "", "",
              "with --file FILE and --output FILE (an audio file or a talking book): keep a journal beside the "
              "output while rendering, so that the same command goes on where a stopped render ended; the "
              "journal goes when the output is complete",
              [](Options& o, const std::string&) { o.resume = true; }},
    OptionRow{"--list-voices", "", "", "print the voices, one \"number<TAB>name\" per line, and exit",
              [](Options& o, const std::string&) { o.listVoices = true; }},
    OptionRow{"--list-outputs", "", "", "print the audio outputs, one \"number<TAB>name\" per line, and exit",
              [](Options& o, const std::string&) { o.listOutputs = true; }},
    OptionRow{"--list-formats", "", "", "print the audio formats, one \"name<TAB>number\" per line, and exit",
              [](Options& o, const std::string&) { o.listFormats = true; }},
    OptionRow{"--help", "-h", "", "print this help and exit", [](Options& o, const std::string&) { o.help = true; }},
    OptionRow{"--version", "", "", "print the version and exit",
              [](Options& o, const std::string&) { o.version = true; }},
};

// The codec and timing format from the file names (or the extensions given with --chapters), and
// whether the options that go with them fit.
void checkOutputs(Options& o) {
    const bool toStdout = o.output && *o.output == "-";
    const DaisyName daisy = o.output ? daisyName(*o.output) : DaisyName::No;
    if (daisy == DaisyName::NoSlash)
        throw UsageError{"a DAISY book is a folder: end its name with a slash (\"" + *o.output + "/\")"};
    o.daisy = daisy == DaisyName::Folder;
    if (o.daisy && (o.chapters || o.timings))
        throw UsageError{std::string(o.chapters ? "--chapters" : "--timings") + " does not go with a DAISY book"};
    o.epub = o.output && epubName(*o.output);
    if (o.epub && (o.chapters || o.timings))
        throw UsageError{std::string(o.chapters ? "--chapters" : "--timings") + " does not go with an EPUB book"};
    if (!o.epub && (o.overlay || o.overlayAudio))
        throw UsageError{std::string(o.overlay ? "--overlay" : "--overlay-audio") +
                         " goes with an EPUB book (--output BOOK.epub)"};
    if (o.epub) {
        const std::string audio = asExtension(o.overlayAudio.value_or("mp3"));
        if (audio == ".opus" || audio == ".ogg")
            throw UsageError{"an EPUB book's audio cannot be Opus: EPUB readers need not play it; use mp3 or m4a"};
        if (audio != ".mp3" && audio != ".m4a") throw UsageError{"--overlay-audio is mp3 or m4a"};
        o.codec = audio == ".m4a" ? speech::FileCodec::M4a : speech::FileCodec::Mp3;
    }
    if (o.chapters && (!o.file || *o.file == "-" || !o.output || toStdout))
        throw UsageError{"--chapters needs --file DOCUMENT and --output DIR/"};
    if (o.chaptersFormat && !o.chapters) throw UsageError{"--chapters-format goes with --chapters"};
    if (o.resume && (!o.file || *o.file == "-" || !o.output || toStdout || o.chapters))
        throw UsageError{"--resume needs --file FILE and --output FILE (a file, not standard output or --chapters)"};
    if (o.resume && o.timings) throw UsageError{"--resume does not go with --timings"};
    // The name whose extension tells the codec; none for standard output, which is WAV.
    const std::optional<std::string> audio = o.chapters                      ? o.chaptersFormat.value_or("wav")
                                             : toStdout || o.daisy || o.epub ? std::nullopt
                                                                             : o.output;
    if (o.daisy) o.codec = speech::FileCodec::Mp3;  // a DAISY book's audio
    if (audio) {
        const auto codec = speech::fileCodecForName(o.chapters ? asExtension(*audio) : *audio);
        if (!codec)
            throw UsageError{"cannot tell the audio format of \"" + *audio + "\" from its extension; use one of " +
                             std::string(speech::fileCodecExtensions())};
        o.codec = *codec;
    }
    if (toStdout && o.events) throw UsageError{"--events prints to standard output, which --output - takes"};
    if (o.quality) {
        using speech::FileCodec;
        const bool lossy = o.codec == FileCodec::OggVorbis || o.codec == FileCodec::OggOpus ||
                           o.codec == FileCodec::Mp3 || o.codec == FileCodec::M4b || o.codec == FileCodec::M4a;
        if (!lossy) throw UsageError{"--quality applies to .ogg, .oga, .opus, .mp3, .m4b and .m4a output only"};
        if (*o.quality < 0 || *o.quality > 10) throw UsageError{"--quality is 0 to 10"};
    }
    if (o.timings) {
        const auto format = say::timingFormatForName(o.chapters ? asExtension(*o.timings) : *o.timings);
        if (!format)
            throw UsageError{"cannot tell the timing format of \"" + *o.timings + "\" from its extension; use one of " +
                             std::string(say::timingExtensions())};
        o.timingFormat = *format;
    }
}

const OptionRow* findRow(std::string_view name) {
    const auto row = std::find_if(kRows.begin(), kRows.end(), [&](const OptionRow& r) {
        return r.name == name || (!r.alias.empty() && r.alias == name);
    });
    return row == kRows.end() ? nullptr : &*row;
}

std::string rowLabel(const OptionRow& row) {
    std::string label = row.alias.empty() ? "    " : std::string(row.alias) + ", ";
    label += row.name;
    if (row.argument.starts_with("[=")) {
        label += row.argument;
    } else if (!row.argument.empty()) {
        label += " " + std::string(row.argument);
    }
    return label;
}

// `words` broken at spaces into lines that end before column 80, each line after the first indented to
// `column`, where the first starts.
std::string wrapped(std::string_view words, size_t column) {
    constexpr size_t kLineEnd = 79;
    const size_t room = kLineEnd > column + 20 ? kLineEnd - column : 20;
    std::string out;
    size_t used = 0;
    while (!words.empty()) {
        const size_t space = words.find(' ');
        const std::string_view word = words.substr(0, space);
        if (used > 0 && used + 1 + word.size() > room) {
            out += "\n" + std::string(column, ' ');
            used = 0;
        } else if (used > 0) {
            out += ' ';
            ++used;
        }
        out += word;
        used += word.size();
        words.remove_prefix(space == std::string_view::npos ? words.size() : space + 1);
    }
    return out;
}

}  // namespace

std::span<const OptionRow> optionTable() {
    return kRows;
}

Options parseCommandLine(int argc, const char* const* argv) {
    Options o;
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        // Only "--name" and the short aliases are options, so a TEXT such as "-5 degrees" is spoken.
        const bool isOption = !optionsEnded && (arg.starts_with("--") || findRow(arg) != nullptr);
        if (isOption && arg == "--") {
            optionsEnded = true;
            continue;
        }
        if (!isOption) {
            if (o.text) throw UsageError{"give one TEXT only (quote it)"};
            o.text = arg;
            continue;
        }
        const size_t equals = arg.find('=');
        const std::string name = arg.substr(0, equals);
        const OptionRow* row = findRow(name);
        if (!row) throw UsageError{"unknown option " + arg};
        if (row->argument.starts_with("[=")) {
            if (equals != std::string::npos && equals + 1 == arg.size()) throw UsageError{name + "= needs its value"};
            row->apply(o, equals == std::string::npos ? std::string() : arg.substr(equals + 1));
        } else if (row->argument.empty()) {
            if (equals != std::string::npos) throw UsageError{name + " takes no value"};
            row->apply(o, {});
        } else if (equals != std::string::npos) {
            row->apply(o, arg.substr(equals + 1));
        } else {
            if (i + 1 >= argc) throw UsageError{name + " needs a value (" + std::string(row->argument) + ")"};
            row->apply(o, argv[++i]);
        }
    }
    if (o.text && o.file) throw UsageError{"give a TEXT or --file, not both"};
    checkOutputs(o);
    return o;
}

std::string asExtension(const std::string& value) {
    return speech::lowerExtension(value.find('.') == std::string::npos ? "." + value : value);
}

std::string helpText() {
    std::string text =
        "Usage: tallamo-say [OPTION]... [TEXT]\n"
        "  or:  tallamo-say [OPTION]... --file PATH\n"
        "  or:  tallamo-say [OPTION]... --file DOCUMENT --chapters --output DIR/\n"
        "  or:  tallamo-say [OPTION]... --file DOCUMENT --output BOOK.daisy/\n"
        "  or:  tallamo-say [OPTION]... --file DOCUMENT --output BOOK.epub\n"
        "Speak TEXT aloud on an audio device, or render it into an audio file with --output.\n"
        "Without TEXT (or with --file -) the text is read from standard input: a document (EPUB, HTML,\n"
        "DOCX, ODT, FB2, PDF) gives its text; anything else is decoded like a text file: by its byte-order\n"
        "mark, else as UTF-8 when it is well-formed UTF-8, else in the legacy encoding that ICU detects\n"
        "(GB18030, Big5, Shift_JIS, ...).\n"
        "A text that starts with \"<\" is read as the voice's XML markup unless --flags says otherwise.\n"
        "Ctrl+C stops speaking at once; a stopped render leaves no file behind.\n"
        "\n"
        "Options:\n";
    size_t width = 0;
    for (const OptionRow& row : kRows) width = std::max(width, rowLabel(row).size());
    const size_t column = width + 4;
    for (const OptionRow& row : kRows) {
        const std::string label = rowLabel(row);
        text += "  " + label + std::string(column - 2 - label.size(), ' ') + wrapped(row.help, column) + "\n";
    }
    text +=
        "\n"
        "Exit status:\n"
        "  0    the text was spoken or written whole\n"
        "  1    a failure: no voice or audio output, a file that cannot be read or written, speech cut\n"
        "       short (the audio output went away, the speech engine kept failing), ...\n"
        "  2    the command line cannot be used (an unknown option, a missing value, ...)\n"
        "  130  stopped by Ctrl+C (129, 141, 143: stopped by SIGHUP, SIGPIPE, SIGTERM)\n"
        "\n"
        "Examples:\n"
        "  tallamo-say \"你好，世界\"\n"
        "        speaks on the default audio output\n"
        "\n"
        "  echo 你好 | tallamo-say --output hello.wav\n"
        "        renders standard input into a WAV file\n"
        "\n"
        "  tallamo-say --rate 3 --voice 1 --file story.txt\n"
        "        reads a text file faster than usual with the second voice\n"
        "\n"
        "  tallamo-say --output book.opus --quality 6 --timings book.srt --file book.txt\n"
        "        renders a text file into Ogg Opus with its sentences' times as subtitles\n"
        "\n"
        "  tallamo-say --output book.m4b --resume --file book.epub\n"
        "        renders a book into one audiobook file with its chapters, title, author and cover; run\n"
        "        again after a stop, it goes on where the render ended\n"
        "\n"
        "  tallamo-say --file book.epub --chapters --output book/ --chapters-format flac\n"
        "        renders each chapter of a book into a FLAC file of its own, book/01-title.flac, ...\n"
        "\n"
        "  tallamo-say --file book.epub --output book.daisy/\n"
        "        renders a book into a DAISY 2.02 talking book, its text and audio together, sentence by\n"
        "        sentence, for the players of libraries for the blind\n"
        "\n"
        "  tallamo-say --file book.docx --output book.narrated.epub --overlay word\n"
        "        makes an EPUB 3 book of a document whose reader highlights each word as it is read\n"
        "\n"
        "  tallamo-say --output - \"你好\" | sox -t wav - -n stats\n"
        "        writes a WAV stream to standard output for the next program of a pipeline\n"
        "\n"
        "  tallamo-say --events --output hello.wav \"Hello there.\"\n"
        "        prints the events of a text, one JSON line each, as it renders it\n";
    return text;
}

std::string audioOptions(const Options& o, int32_t format) {
    std::string text = "voice=" + o.voice.value_or("") + ";rate=" + std::to_string(o.rate.value_or(0)) +
                       ";volume=" + std::to_string(o.volume.value_or(100)) + ";format=" + std::to_string(format) +
                       ";codec=" + std::to_string(static_cast<int>(o.codec)) +
                       ";quality=" + (o.quality ? std::to_string(*o.quality) : std::string("-")) +
                       ";flags=" + std::to_string(o.flags) + ";mixed=" + (o.mixedScript ? "1" : "0");
    return text;
}

std::vector<std::string> lexiconFiles(const Options& o) {
    std::vector<std::string> files;
    std::error_code ec;
    if (const auto own = base::userConfigFile("lexicon.pls"); !own.empty() && std::filesystem::exists(own, ec))
        files.push_back(own.string());
    files.insert(files.end(), o.lexicons.begin(), o.lexicons.end());
    return files;
}

}  // namespace say
