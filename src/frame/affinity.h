// frame/affinity: objects usable only on the thread that created them.
//
// A thread-affine instance records its creator's process-unique thread id
// (platform::unique_thread_id: never handed to another thread, unlike the OS
// id, which the OS reuses once its thread has exited). Every method
// checks it after binding and before taking access; a mismatch is an internal
// failure (PanicException):
//   "assertion `left == right` failed: {type path} is unsendable, but sent to another thread
//     left: ThreadId({caller})
//    right: ThreadId({creator})"
// Deallocation on another thread leaks the native state (whatever it holds
// stays held) and reports RuntimeError "{type path} is unsendable, but is
// being dropped on another thread" through the unraisable hook.
#pragma once

#include <cstdint>
#include <string>

#include "base/panic.h"
#include "base/platform.h"

namespace quorvel::frame {

std::string affinity_message(const char* type_path, uint64_t caller, uint64_t creator);

// The calling thread's id as thread-affine instances record and compare it.
inline uint64_t affinity_id() noexcept { return platform::unique_thread_id(); }

// Panics when the calling thread is not `creator`.
inline void check_affinity(uint64_t creator, const char* type_path) {
    const uint64_t caller = affinity_id();
    if (caller != creator) throw Panic(affinity_message(type_path, caller, creator));
}

inline bool on_creator_thread(uint64_t creator) noexcept { return affinity_id() == creator; }

// Reports the foreign-thread drop as an unraisable RuntimeError, keeping any
// exception that is currently set.
void report_foreign_drop(const char* type_path) noexcept;

}  // namespace quorvel::frame
