// SPDX-License-Identifier: GPL-3.0-or-later
// Fuzzes the module's protocol reader: any lines from speech-dispatcher, with the backend's events
// raised between them, must be answered with whole lines, never end the module but for QUIT or a
// failed INIT, and keep what it holds within the bound of a message.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "tools/sd_tallamo/protocol.h"

namespace {

void check(bool ok) {
    if (!ok) __builtin_trap();
}

using namespace sd_tallamo;

struct Lines final : Output {
    void write(std::string_view block) override { check(!block.empty() && block.back() == '\n'); }
};

// A backend whose answers follow the input's bytes.
struct FuzzBackend final : sd_tallamo::Backend {
    uint8_t choice = 0;
    InitResult init() override { return {(choice & 1) != 0, "fuzz"}; }
    std::optional<std::string> openAudio(const std::map<std::string, std::string>&) override {
        if (choice & 2) return "no";
        return std::nullopt;
    }
    bool hasVoice(std::string_view name) override { return name == "a"; }
    std::vector<VoiceListing> voices() override { return {{"a", "en", ""}}; }
    bool speak(MessageKind, const std::string& data, const Settings&, Events&) override {
        check(data.size() <= Protocol::kMaxMessageBytes);
        return (choice & 4) == 0;
    }
    void stop(Events& events) override { events.stopped(); }
    void pause(Events& events) override {
        if (choice & 8) events.paused();
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    FuzzBackend backend;
    backend.choice = data[0];
    Lines output;
    Log log;
    log.setLevel(0);
    Protocol protocol(backend, output, log);
    // Lines end at '\n'; a byte 0x7f between lines raises the message's next event.
    std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
    int event = 0;
    while (!rest.empty()) {
        const size_t nl = rest.find('\n');
        const std::string_view line = rest.substr(0, nl);
        rest.remove_prefix(nl == std::string_view::npos ? rest.size() : nl + 1);
        if (line == "\x7f") {
            switch (event++ % 4) {
                case 0:
                    protocol.begin();
                    break;
                case 1:
                    protocol.mark("m");
                    break;
                case 2:
                    protocol.end();
                    break;
                default:
                    protocol.paused();
                    break;
            }
            continue;
        }
        // DEBUG ON names a file the module writes its log to: never a file named by the fuzzer.
        if (line.find("DEBUG") != std::string_view::npos) continue;
        if (!protocol.handleLine(line)) return 0;
    }
    return 0;
}
