// base/spin: the bounded spinning a lock waiter does before it parks.
//
// SpinWait: a budget of ten steps per wait. Steps 1, 2 and 3 execute 2, 4 and
// 8 processor pause hints; steps 4 to 10 yield the processor to the scheduler.
// After the tenth step spin() returns false and the caller parks. Callers reset
// the budget after every wake-up, so a woken thread spins again before it
// parks again.
// ContentionBackoff: the pause after a failed compare-and-exchange on a reader
// count; the m-th failure pauses 2^m hints, m capped at 10 (1024 hints).
// Neither ever sleeps; both are values local to one wait, never shared.
#pragma once

#include <cstdint>

#include "base/platform.h"

namespace quorvel::sync {

inline void pause_hints(uint32_t n) noexcept {
    for (uint32_t i = 0; i < n; ++i) platform::cpu_relax();
}

class SpinWait {
public:
    // Spinning only pays while the owner is about to let go; ten steps cover a
    // short critical section on another processor, and the yields let an owner
    // that shares our processor run before we commit to a sleep.
    static constexpr uint32_t kSteps = 10;
    static constexpr uint32_t kPauseSteps = 3;  // steps 1..3 pause, 4..10 yield

    // Take one step; false (and no delay) once the budget is spent.
    bool spin() noexcept {
        if (counter_ >= kSteps) return false;
        ++counter_;
        if (counter_ <= kPauseSteps) {
            pause_hints(1u << counter_);
        } else {
            platform::yield_now();
        }
        return true;
    }

    void reset() noexcept { counter_ = 0; }

private:
    uint32_t counter_ = 0;
};

class ContentionBackoff {
public:
    static constexpr uint32_t kMaxShift = 10;

    // Call after each failed compare-and-exchange of the retry loop.
    void after_failure() noexcept {
        if (failures_ < kMaxShift) ++failures_;
        pause_hints(1u << failures_);
    }

private:
    uint32_t failures_ = 0;
};

}  // namespace quorvel::sync
