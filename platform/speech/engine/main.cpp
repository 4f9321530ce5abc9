// tallamo-engine: the speech platform's engine worker. It runs espeak-ng (with sonic for slow rates)
// and nothing else; the platform starts it and speaks to it over a socket (engine/serve.h).
#include <string_view>

#include "platform/speech/engine/serve.h"
#include "platform/speech/engine_protocol.h"
#include "platform/speech/espeak_synthesizer.h"

int main(int argc, char** argv) {
    const bool unchecked = argc > 1 && std::string_view(argv[1]) == speech::engine::kUncheckedVoices;
    return speech::engine::serveEngine([unchecked] {
        return speech::makeEspeakSynthesizer(unchecked ? speech::VoiceCheck::Skip : speech::VoiceCheck::Load);
    });
}
