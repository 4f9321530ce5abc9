// Process-wide tuning of the C library's allocator for programs that move audio around.
#pragma once

namespace speech {

// Audio moves between threads and processes in buffers of a few hundred kilobytes to a few megabytes.
// By default glibc maps each buffer of that size afresh and unmaps it when it is freed, so every page
// of every buffer costs a page fault: about a tenth of the program's processor time in a long render.
// After this call such buffers come from the heap, and freed ones are used again. Call it first thing
// in main(), before any thread starts.
void keepAudioBuffersInHeap();

}  // namespace speech
