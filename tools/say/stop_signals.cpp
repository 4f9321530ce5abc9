// SPDX-License-Identifier: GPL-3.0-or-later
#include "tools/say/stop_signals.h"

#include <signal.h>

#include <atomic>

#include "tools/say/progress.h"

namespace say {
namespace {

// The signal that asked the program to stop (0: none yet).
std::atomic<int> stopSignal{0};

extern "C" void onStopSignal(int signal) {
    stopSignal.store(signal);
}

}  // namespace

// Ctrl+C, a closed terminal, a kill and a reader of standard output that went away all stop the
// program the same way: what is left is purged and no unfinished file is left behind. Without
// SA_RESTART, so that a wait for input (a terminal, a named pipe with no writer) ends too.
void catchStopSignals() {
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) ::sigaction(signal, &action, nullptr);
}

bool interrupted() {
    return stopSignal.load() != 0;
}

int interruptedStatus() {
    return 128 + stopSignal.load();
}

namespace {
bool imageAltText = false;
}  // namespace

void readImageAltText(bool read) {
    imageAltText = read;
}

documents::Options documentOptions() {
    documents::Options options;
    options.imageAltText = imageAltText;
    options.cancelled = interrupted;
    options.skipped = [](const std::string& message) { Progress::printLine(message); };
    return options;
}

}  // namespace say
