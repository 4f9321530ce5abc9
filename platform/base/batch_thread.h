// SPDX-License-Identifier: GPL-3.0-or-later
// Marks the calling thread as batch work (SCHED_BATCH) while the object lives.
//
// A render into a file is throughput work: its threads (the lanes taking the engine's audio, the
// stream job converting it, the writer) wake every few milliseconds for a moment's work. Woken as
// ordinary threads, they take the processor they land on at once, and a scheduler that packs woken
// threads onto busy processors lands them on the engine's reader, which the whole render waits for.
// As batch threads they wait for their turn on that processor, or run on another that is idle: a
// render of 48 kHz stereo with one job was 1-3% quicker. They keep their weight, so over time they get
// the same share of the processor as before.
#pragma once

#include <sched.h>

namespace base {

class BatchThread {
public:
    BatchThread() noexcept {
        // Only an ordinary thread: one with another policy (real time, idle) was given it on purpose.
        if (::sched_getscheduler(0) == SCHED_OTHER) {
            const sched_param none{};
            marked_ = ::sched_setscheduler(0, SCHED_BATCH, &none) == 0;
        }
    }
    ~BatchThread() {
        if (marked_) {
            const sched_param none{};
            ::sched_setscheduler(0, SCHED_OTHER, &none);
        }
    }
    BatchThread(const BatchThread&) = delete;
    BatchThread& operator=(const BatchThread&) = delete;

private:
    bool marked_ = false;
};

}  // namespace base
