// SPDX-License-Identifier: GPL-3.0-or-later
// The engine worker's side of the protocol (../protocol.h): serves the platform over the socket it
// passes as descriptor 3, one segment at a time, until the platform closes the socket or itself ends.
//
// espeak-ng keeps state from one text to the next that no call resets (the pitch flutter, the gain
// control, the noise generator), so a text sounds a little different depending on what the process
// spoke before. The segments are therefore read in runs, each by a child forked from this process,
// which itself only ever loads voices: a run (a "fresh" request, then the ones that continue it)
// starts from the same state whichever worker reads it and whatever it read before. That makes a
// render the same whatever the number of workers, and a run read again after a crash the same as the
// first time. A child that ends abnormally ends this process too, since its output may stop in the
// middle of a message; the platform then starts a fresh worker.
#pragma once

#include <functional>
#include <memory>

#include "speech/engine/protocol.h"
#include "speech/engine/synthesizer.h"

namespace speech::engine::worker {

// Starts the engine with `startEngine` (which may throw Error, reported to the platform) and serves
// the platform; returns the process's exit status (a WorkerExit, protocol.h).
int serveEngine(const std::function<std::shared_ptr<Synthesizer>()>& startEngine);

}  // namespace speech::engine::worker
