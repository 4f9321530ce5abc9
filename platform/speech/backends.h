// SPDX-License-Identifier: GPL-3.0-or-later
// The back ends a voice speaks with: a synthesizer and an audio host. The defaults are espeak-ng in
// the platform's engine worker processes and the PulseAudio host.
#pragma once

#include <cstddef>
#include <memory>

namespace speech {

namespace engine {
class Synthesizer;
}  // namespace engine
namespace audio {
class AudioHost;
}  // namespace audio

struct Backends {
    std::shared_ptr<engine::Synthesizer> synthesizer;
    std::shared_ptr<audio::AudioHost> audioHost;
    static Backends defaults();
};

// Starts `workers` engine workers now, without waiting for them, so that the engine's start-up
// overlaps the program's own (and, for a render in parallel, the later workers' start-up the first's);
// the first default back ends made take them. Does nothing when the engine helper cannot be found.
void startEngineEarly(size_t workers = 1);

}  // namespace speech
