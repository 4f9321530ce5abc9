// SPDX-License-Identifier: GPL-3.0-or-later
// The synthesizer back end the platform uses: espeak-ng in worker processes (the tallamo-engine
// helper), so that the engine's crashes and hangs never take the program down, and so that several
// segments can be synthesized at once.
//
// Each synthesize call runs on a worker of its own, taken from the workers this object keeps (a new
// one is started when all are busy; they are reused). When the worker dies during a call (a crash,
// an abort, a kill) or stays silent for longer than `replyTimeout` (it is then killed), the segment is
// synthesized once more by a fresh worker, and what the sink already had of it is skipped: the sink
// sees the same output as if nothing had happened. A second loss on the same segment ends the call
// with a fault (errc::kEngine) whose description says how the worker ended.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "base/error.h"
#include "speech/engine/synthesizer.h"

namespace speech::engine {

struct EngineOptions {
    // The helper program; empty finds it (see enginePath).
    std::string path;
    // How long a worker may stay silent while it has a segment before it counts as hung: far beyond
    // the few milliseconds the engine takes between two pieces of audio, even on a loaded machine.
    std::chrono::milliseconds replyTimeout{5000};
    // How long a new worker may take to start the engine (it reads the voice files, some 15 ms on an
    // idle machine): far beyond that, for a machine that is busy or swapping.
    std::chrono::milliseconds startTimeout{10000};
};

// Starts the first worker and waits for its voice list. Throws Error(kEngine) when the helper cannot
// be found or started, or the engine in it cannot start.
std::shared_ptr<Synthesizer> makeEngineSynthesizer(EngineOptions options = {});

// Starts `workers` workers now, without waiting for them, so that the engine's start-up overlaps the
// program's own (and, for a render in parallel, the later workers' start-up the first's); the first
// synthesizer made takes them. Does nothing when the helper cannot be found.
void startWorkersEarly(size_t workers = 1);

// Where the helper is: $TALLAMO_ENGINE when set; else tallamo-engine beside the running executable;
// else <exe dir>/../libexec/tallamo/tallamo-engine (an installed tree, and the build tree, whose
// programs sit one folder down). A fault when none of them exists.
base::Result<std::string> enginePath();

}  // namespace speech::engine
