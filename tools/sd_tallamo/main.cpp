// SPDX-License-Identifier: GPL-3.0-or-later
// sd_tallamo: a speech-dispatcher output module speaking with the platform's voices. speech-dispatcher
// starts it with the path of its configuration file (tallamo.conf) and talks to it over standard input
// and output, one command a line; the module plays the audio itself on the default PulseAudio (or
// PipeWire) output and reports what is heard as events. Log messages go to standard error.
#include <signal.h>
#include <unistd.h>

#include <csignal>
#include <exception>
#include <fstream>
#include <iostream>
#include <memory>

#include "speech/backends.h"
#include "speech/names.h"
#include "speech/voice.h"
#include "tools/sd_tallamo/module_loop.h"
#include "tools/sd_tallamo/protocol.h"
#include "tools/sd_tallamo/voice_backend.h"

namespace {

// Written to by the stop signals' handler; read by the module's loop.
int g_stopFd = -1;

extern "C" void onStopSignal(int) {
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(g_stopFd, &one, sizeof one);
}

int run(int argc, char** argv) {
    sd_tallamo::Log log;
    sd_tallamo::ModuleConfig config;
    if (argc > 1) {
        std::ifstream file(argv[1]);
        if (file)
            config = sd_tallamo::parseConfig(file, log);
        else
            log.write(3, std::string("no configuration file ") + argv[1] + "; using the defaults");
    }

    // A write to a closed pipe fails with EPIPE and ends the loop instead of killing the module.
    std::signal(SIGPIPE, SIG_IGN);
    const sd_tallamo::Wakeup stop;
    g_stopFd = stop.fd();
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    for (const int signal : {SIGTERM, SIGINT, SIGHUP}) ::sigaction(signal, &action, nullptr);

    const sd_tallamo::Wakeup wakeup;
    sd_tallamo::FdOutput output(STDOUT_FILENO);
    sd_tallamo::VoiceBackend backend(
        [] {
            speech::startEngineEarly(1);
            return std::make_unique<speech::SpVoice>();
        },
        config, log, [&wakeup] { wakeup.raise(); });
    sd_tallamo::Protocol protocol(backend, output, log);
    return sd_tallamo::serveModule(STDIN_FILENO, wakeup, stop.fd(), protocol, backend, output);
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const std::exception& e) {
        std::cerr << "sd_tallamo: " << e.what() << std::endl;
        return 1;
    }
}
