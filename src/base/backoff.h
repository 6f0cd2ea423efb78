// base/backoff: the one bounded busy-wait schedule of every short wait.
//
// A BackoffSchedule is a step counter, fresh for each wait loop (never
// shared), starting at kFirst. It never sleeps: no call here blocks.
//  - spin(): after a lost compare-and-exchange, 2^min(step, kSpinLimit)
//    processor pause hints; the step stops growing past kSpinLimit.
//  - snooze(): waiting for another thread to finish a step it has begun, or
//    for an owner to let go: 2^step hints while step <= kSpinLimit, then a
//    yield of the time slice; is_completed() turns true after step
//    kYieldLimit, when a blocking caller parks instead.
//  - try_snooze(): snooze() unless completed; false (and no delay) once it is.
// The three schedules in use:
//  - SpinWait (lock waiters before they park, reset after every wake-up):
//    2, 4 and 8 hints, then 7 yields; ten steps in all. Spinning only pays
//    while the owner is about to let go, and the yields let an owner that
//    shares our processor run before we commit to a sleep.
//  - ContentionBackoff (a crowd of readers retrying their count): 2, 4, ...
//    1024 hints, capped there.
//  - Backoff (the channel engine): spin() 1, 2, 4 ... 64 hints; snooze() 7
//    growing spins, then 4 yields before is_completed().
#pragma once

#include "base/platform.h"

namespace quorvel {

template <unsigned kFirst, unsigned kSpinLimit, unsigned kYieldLimit>
class BackoffSchedule {
    static_assert(kSpinLimit < 32 && kSpinLimit <= kYieldLimit);

public:
    void spin() noexcept {
        pause_hints(1u << (step_ < kSpinLimit ? step_ : kSpinLimit));
        if (step_ <= kSpinLimit) ++step_;
    }

    void snooze() noexcept {
        if (step_ <= kSpinLimit) {
            pause_hints(1u << step_);
        } else {
            platform::yield_now();
        }
        if (step_ <= kYieldLimit) ++step_;
    }

    bool try_snooze() noexcept {
        if (is_completed()) return false;
        snooze();
        return true;
    }

    bool is_completed() const noexcept { return step_ > kYieldLimit; }

    void reset() noexcept { step_ = kFirst; }

private:
    static void pause_hints(unsigned n) noexcept {
        for (unsigned i = 0; i < n; ++i) platform::cpu_relax();
    }

    unsigned step_ = kFirst;
};

using SpinWait = BackoffSchedule<1, 3, 10>;
using ContentionBackoff = BackoffSchedule<1, 10, 10>;
using Backoff = BackoffSchedule<0, 6, 10>;

}  // namespace quorvel
