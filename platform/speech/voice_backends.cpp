#include "platform/speech/espeak_synthesizer.h"
#include "platform/speech/pulse_host.h"
#include "platform/speech/voice.h"

namespace speech {

Backends Backends::defaults() { return {makeEspeakSynthesizer(), makePulseAudioHost()}; }

}  // namespace speech
