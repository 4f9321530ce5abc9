// tallamo-engine: the speech platform's engine worker. It runs espeak-ng (with sonic for slow rates)
// and nothing else; the platform starts it and speaks to it over a socket (engine/serve.h).
#include "platform/speech/engine/serve.h"
#include "platform/speech/espeak_synthesizer.h"

int main() {
    return speech::engine::serveEngine(speech::makeEspeakSynthesizer);
}
