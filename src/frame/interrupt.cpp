#include "frame/interrupt.h"

#include <pthread.h>

#include <atomic>
#include <cstdint>

#include "base/platform.h"

namespace quorvel::frame {

namespace {

// Bumped in a forked child, whose forking thread becomes the main thread:
// every thread's cached answer from before the fork is then stale.
std::atomic<uint32_t> g_fork_generation{1};

void after_fork_in_child() noexcept {
    // Relaxed: the child has this one thread.
    g_fork_generation.fetch_add(1, std::memory_order_relaxed);
}

const bool g_atfork_registered = pthread_atfork(nullptr, nullptr, after_fork_in_child) == 0;

thread_local uint32_t t_generation = 0;  // 0: not asked yet on this thread
thread_local bool t_in_slices = false;

}  // namespace

bool waits_in_slices() noexcept {
    // The interpreter's main thread is the one that started it, which for an
    // ordinary interpreter process is the process's initial thread (and after
    // fork(), the forking thread in both views). Elsewhere the handler check
    // would do nothing, so the slices would only cost wake-ups. The answer is
    // two system calls, so each thread keeps it until the next fork.
    // Relaxed: only this thread's own earlier answer is compared.
    const uint32_t generation = g_fork_generation.load(std::memory_order_relaxed);
    if (t_generation != generation || !g_atfork_registered) {
        t_in_slices = platform::is_initial_thread();
        t_generation = generation;
    }
    return t_in_slices;
}

void check_signals() {
    if (PyErr_CheckSignals() < 0) throw_error_set();
}

}  // namespace quorvel::frame
