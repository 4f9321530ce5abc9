// SPDX-License-Identifier: GPL-3.0-or-later
// A stand-in for libpcaudio, the audio output library espeak-ng links, installed beside the engine
// worker as libpcaudio.so.0: the worker loads it instead of the real one, and so does the second copy
// of espeak-ng it may load (espeak_synthesizer.cpp). espeak-ng only ever hands its samples back here,
// yet it opens an audio output when it starts; this library has none to give, so nothing connects to
// the sound server, and none of libpcaudio's thirty libraries is loaded.
#include <cstddef>

extern "C" {

struct audio_object;

__attribute__((visibility("default"))) audio_object* create_audio_device_object(const char*, const char*, const char*) {
    return nullptr;
}
__attribute__((visibility("default"))) int audio_object_open(audio_object*, int, unsigned, unsigned char) {
    return -1;
}
__attribute__((visibility("default"))) void audio_object_close(audio_object*) {}
__attribute__((visibility("default"))) void audio_object_destroy(audio_object*) {}
__attribute__((visibility("default"))) int audio_object_write(audio_object*, const void*, size_t) {
    return -1;
}
__attribute__((visibility("default"))) int audio_object_drain(audio_object*) {
    return 0;
}
__attribute__((visibility("default"))) int audio_object_flush(audio_object*) {
    return 0;
}
__attribute__((visibility("default"))) const char* audio_object_strerror(audio_object*, int) {
    return "no audio output";
}
}
