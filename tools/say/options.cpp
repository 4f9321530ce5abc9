#include "tools/say/options.h"

#include <algorithm>
#include <array>

#include "platform/speech/formats.h"

namespace say {
namespace {

long toNumber(std::string_view option, const std::string& value) {
    try {
        size_t used = 0;
        const long n = std::stol(value, &used, 0);
        if (used == value.size())
            return n;
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
    OptionRow{"--format", "", "NAME|N",
              "audio format: a name or number of --list-formats; default SAFT22kHz16BitMono",
              [](Options& o, const std::string& v) {
                  const auto type = speech::formatTypeByName(v);
                  o.format = type ? *type : static_cast<int32_t>(toNumber("--format", v));
              }},
    OptionRow{
        "--flags", "", "N", "speak flags added up: 8 markup, 16 plain text, 64 speak punctuation",
        [](Options& o, const std::string& v) { o.flags = static_cast<int32_t>(toNumber("--flags", v)); }},
    OptionRow{"--output", "", "FILE", "render into the WAV file FILE instead of playing",
              [](Options& o, const std::string& v) { o.output = v; }},
    OptionRow{"--device", "", "N|default",
              "play on audio output N of --list-outputs; default: the default output",
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
    OptionRow{"--file", "", "PATH", "speak the text file PATH or play the WAV file PATH; - is standard input",
              [](Options& o, const std::string& v) { o.file = v; }},
    OptionRow{"--list-voices", "", "", "print the voices, one \"number<TAB>name\" per line, and exit",
              [](Options& o, const std::string&) { o.listVoices = true; }},
    OptionRow{"--list-outputs", "", "", "print the audio outputs, one \"number<TAB>name\" per line, and exit",
              [](Options& o, const std::string&) { o.listOutputs = true; }},
    OptionRow{"--list-formats", "", "", "print the audio formats, one \"name<TAB>number\" per line, and exit",
              [](Options& o, const std::string&) { o.listFormats = true; }},
    OptionRow{"--help", "-h", "", "print this help and exit",
              [](Options& o, const std::string&) { o.help = true; }},
    OptionRow{"--version", "", "", "print the version and exit",
              [](Options& o, const std::string&) { o.version = true; }},
};

const OptionRow* findRow(std::string_view name) {
    const auto row = std::find_if(kRows.begin(), kRows.end(), [&](const OptionRow& r) {
        return r.name == name || (!r.alias.empty() && r.alias == name);
    });
    return row == kRows.end() ? nullptr : &*row;
}

std::string rowLabel(const OptionRow& row) {
    std::string label = row.alias.empty() ? "    " : std::string(row.alias) + ", ";
    label += row.name;
    if (!row.argument.empty())
        label += " " + std::string(row.argument);
    return label;
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
            if (o.text)
                throw UsageError{"give one TEXT only (quote it)"};
            o.text = arg;
            continue;
        }
        const size_t equals = arg.find('=');
        const std::string name = arg.substr(0, equals);
        const OptionRow* row = findRow(name);
        if (!row)
            throw UsageError{"unknown option " + arg};
        if (row->argument.empty()) {
            if (equals != std::string::npos)
                throw UsageError{name + " takes no value"};
            row->apply(o, {});
        } else if (equals != std::string::npos) {
            row->apply(o, arg.substr(equals + 1));
        } else {
            if (i + 1 >= argc)
                throw UsageError{name + " needs a value (" + std::string(row->argument) + ")"};
            row->apply(o, argv[++i]);
        }
    }
    if (o.text && o.file)
        throw UsageError{"give a TEXT or --file, not both"};
    return o;
}

std::string helpText() {
    std::string text =
        "Usage: tallamo-say [OPTION]... [TEXT]\n"
        "  or:  tallamo-say [OPTION]... --file PATH\n"
        "Speak TEXT aloud on an audio device, or render it into a WAV file with --output.\n"
        "Without TEXT (or with --file -) the text is read from standard input and decoded like a text\n"
        "file: by its byte-order mark, else as UTF-8 when it is well-formed UTF-8, else in the legacy\n"
        "encoding that ICU detects (GB18030, Big5, Shift_JIS, ...).\n"
        "A text that starts with \"<\" is read as the voice's XML markup unless --flags says otherwise.\n"
        "Ctrl+C stops speaking at once.\n"
        "\n"
        "Options:\n";
    size_t width = 0;
    for (const OptionRow& row : kRows) width = std::max(width, rowLabel(row).size());
    for (const OptionRow& row : kRows) {
        const std::string label = rowLabel(row);
        text += "  " + label + std::string(width - label.size() + 2, ' ') + std::string(row.help) + "\n";
    }
    text +=
        "\n"
        "Exit status:\n"
        "  0    the text was spoken or written whole\n"
        "  1    a failure: no voice or audio output, a file that cannot be read or written, ...\n"
        "  2    the command line cannot be used (an unknown option, a missing value, ...)\n"
        "  130  stopped by Ctrl+C\n"
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
        "  tallamo-say --events --output /dev/null \"Hello there.\"\n"
        "        prints the events of a text without keeping its audio\n";
    return text;
}

}  // namespace say
