// SPDX-License-Identifier: GPL-3.0-or-later
// Eight float lanes for the audio conversion loops. GCC's vector extension keeps the loops portable
// (on a processor without AVX a V8 is two SSE registers), and on x86-64 the functions marked
// TALLAMO_SIMD_CLONES are built twice, the faster copy chosen at load time where AVX2 and FMA exist.
#pragma once

#include <cstdint>

namespace speech::audio::simd {

using V8 = float __attribute__((vector_size(32)));
using V8i = int32_t __attribute__((vector_size(32)));
using V8s = int16_t __attribute__((vector_size(16)));
// Loads and stores go through types that may be unaligned and may alias floats, the way the
// compiler's own intrinsics headers do it; a function returning a V8 would change the ABI between
// the clones.
using V8Unaligned = float __attribute__((vector_size(32), aligned(4), may_alias));

}  // namespace speech::audio::simd

#define TALLAMO_LOAD8(p) (*reinterpret_cast<const ::speech::audio::simd::V8Unaligned*>(p))

// The clones' resolver runs while the dynamic linker relocates the program, before ThreadSanitizer has
// started, and its instrumented entry crashes there: a TSan build uses the plain functions.
#if defined(__x86_64__) && !defined(__SANITIZE_THREAD__)
#define TALLAMO_SIMD_CLONES __attribute__((target_clones("arch=x86-64-v3", "default")))
#else
#define TALLAMO_SIMD_CLONES
#endif
