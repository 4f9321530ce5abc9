// tallamo-say's command line. Every option is one row of a table (name, argument, one-line help and
// what it sets), from which both the parser and the --help text are made.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/speech/constants.h"

namespace say {

// The documented exit statuses.
inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitInterrupted = 130;

struct Options {
    std::optional<std::string> voice;
    std::optional<long> rate;
    std::optional<long> volume;
    std::optional<int32_t> format;
    int32_t flags = speech::SVSFDefault;
    std::optional<std::string> output;
    std::optional<long> device;  // nothing: the default output
    bool events = false;
    bool mixedScript = true;
    bool listVoices = false;
    bool listFormats = false;
    bool listOutputs = false;
    bool help = false;
    bool version = false;
    std::optional<std::string> text;
    std::optional<std::string> file;  // "-" is standard input

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
    std::string_view argument;  // the value's placeholder in --help; empty for a switch
    std::string_view help;      // one line
    void (*apply)(Options&, const std::string& value);
};

std::span<const OptionRow> optionTable();

// Reads "--name VALUE", "--name=VALUE", switches, "--" and one TEXT. Throws UsageError.
Options parseCommandLine(int argc, const char* const* argv);

// The --help text: usage, description, one line per row of the table, exit statuses, examples.
std::string helpText();

}  // namespace say
