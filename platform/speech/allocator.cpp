#include "platform/speech/allocator.h"

#include <malloc.h>

namespace speech {

void keepAudioBuffersInHeap() {
    // Below 4 MB (about 90 s of the engine's audio) a buffer comes from the heap; the heap keeps up to
    // 8 MB free at its top before it gives memory back.
    mallopt(M_MMAP_THRESHOLD, 4 << 20);
    mallopt(M_TRIM_THRESHOLD, 8 << 20);
}

}  // namespace speech
