// base/backoff: the bounded busy-wait used by every short wait of the engine.
//
// A Backoff is a step counter, fresh for each wait loop. spin() follows a lost
// compare-and-exchange: 2^min(step, 6) spin hints. snooze() waits for another
// thread to finish a step it has already begun (a stamp, a block link, a
// packet): spin hints while step <= SPIN_LIMIT, then yields of the time slice.
// After YIELD_LIMIT steps is_completed() turns true and a blocking caller
// parks instead: 7 growing spins (1, 2, 4 ... 64 hints), then 4 yields.
// Not a sleep: no call here ever blocks the thread.
#pragma once

#include "base/platform.h"

namespace quorvel::engine {

class Backoff {
public:
    static constexpr unsigned SPIN_LIMIT = 6;
    static constexpr unsigned YIELD_LIMIT = 10;

    void spin() noexcept {
        const unsigned n = 1u << (step_ < SPIN_LIMIT ? step_ : SPIN_LIMIT);
        for (unsigned i = 0; i < n; ++i) platform::cpu_relax();
        if (step_ <= SPIN_LIMIT) ++step_;
    }

    void snooze() noexcept {
        if (step_ <= SPIN_LIMIT) {
            for (unsigned i = 0; i < (1u << step_); ++i) platform::cpu_relax();
        } else {
            platform::yield_now();
        }
        if (step_ <= YIELD_LIMIT) ++step_;
    }

    bool is_completed() const noexcept { return step_ > YIELD_LIMIT; }

    unsigned step() const noexcept { return step_; }

private:
    unsigned step_ = 0;
};

}  // namespace quorvel::engine
