#include "frame/interrupt.h"

#include <cstdint>

#include "base/platform.h"

namespace quorvel::frame {

namespace {

// The fork generation (plus one, so that 0 means "not asked yet") at which
// this thread last asked: in a forked child the forking thread becomes the
// main thread, so an answer from before a fork is stale.
thread_local uint64_t t_generation = 0;
thread_local bool t_in_slices = false;

}  // namespace

bool waits_in_slices() noexcept {
    // The interpreter's main thread is the one that started it, which for an
    // ordinary interpreter process is the process's initial thread (and after
    // fork(), the forking thread in both views). Elsewhere the handler check
    // would do nothing, so the slices would only cost wake-ups. The answer is
    // two system calls, so each thread keeps it until the next fork.
    const uint64_t generation = platform::fork_generation() + 1;
    if (t_generation != generation) {
        t_in_slices = platform::is_initial_thread();
        t_generation = generation;
    }
    return t_in_slices;
}

void check_signals() {
    if (PyErr_CheckSignals() < 0) throw_error_set();
}

}  // namespace quorvel::frame
