// SPDX-License-Identifier: GPL-3.0-or-later
// tallamo-engine: the speech platform's engine worker. It runs espeak-ng (with sonic for slow rates)
// and nothing else; the platform starts it and speaks to it over a socket (engine/serve.h).
#include "speech/engine/espeak/espeak_synthesizer.h"
#include "speech/engine/worker/serve.h"

// espeak-ng 1.51 opens an audio output in espeak_Initialize even when it only hands its samples back,
// as here: libpcaudio connects to the sound server and opens a playback stream to see that one works.
// A worker never plays anything, so the program answers that call itself, with no output (the
// dynamic linker finds the program's definition before the library's; the link exports it). Each
// worker start then skips the round trips to the server, and a worker under an address-space limit
// (ulimit -v) no longer hangs in libpulse until it is killed.
extern "C" {
struct audio_object;
struct audio_object* create_audio_device_object(const char* device, const char* application, const char* description);
struct audio_object* create_audio_device_object(const char*, const char*, const char*) {
    return nullptr;
}
}

int main() {
    return speech::engine::worker::serveEngine(speech::engine::espeak::makeEspeakSynthesizer);
}
