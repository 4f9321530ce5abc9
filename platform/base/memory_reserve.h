// SPDX-License-Identifier: GPL-3.0-or-later
// Memory a thread sets aside for the moment it runs out (std::bad_alloc): its handler frees the
// reserve first, so that building the fault and ending the stream find the few small blocks they
// need. glibc serves a thread's next small blocks from what it freed in the thread's own arena, which
// matters under an address-space limit (ulimit -v), where a full arena cannot get a new one.
#pragma once

#include <cstdlib>
#include <memory>

namespace base {

class MemoryReserve {
public:
    MemoryReserve() noexcept { renew(); }

    void release() noexcept { block_.reset(); }
    // Sets a reserve aside again after a release; stays without one when there is no memory for it.
    void renew() noexcept {
        if (block_) return;
        block_.reset(std::malloc(kSize));
        // The block is never read: without this the compiler may drop the allocation altogether.
        asm volatile("" : : "r"(block_.get()) : "memory");
    }

private:
    static constexpr size_t kSize = 64 * 1024;
    struct Free {
        void operator()(void* p) const noexcept { std::free(p); }
    };
    std::unique_ptr<void, Free> block_;
};

}  // namespace base
