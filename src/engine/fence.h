// engine/fence: the full fence of the emptiness and fullness checks.
//
// The start steps of the array and list flavours issue a sequentially
// consistent fence between loading their own position and loading the other
// side's, so that "empty" or "full" is never concluded from a stale pair.
// ThreadSanitizer does not model standalone fences (GCC warns, -Wtsan); that
// is harmless here because no plain memory is published through this fence,
// only the decision to report Empty or Full. Items travel through stamps and
// WRITE bits with release/acquire pairs that the sanitizer does see.
#pragma once

namespace quorvel::engine {

// Only GCC has the -Wtsan group; clang would warn about an unknown one.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpragmas"
#pragma GCC diagnostic ignored "-Wtsan"
#endif
inline void seq_cst_fence() noexcept { __atomic_thread_fence(__ATOMIC_SEQ_CST); }
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

}  // namespace quorvel::engine
