// The back-off schedules (base/backoff.h), through what a caller can see:
// how many waiting steps each allows before its caller parks, and that
// resetting gives the whole budget back. The worked examples are the
// documented schedules: a lock waiter spins or yields ten times, the
// engine's snooze eleven, and spin() alone never uses up a budget.
#include <gtest/gtest.h>

#include "base/backoff.h"

namespace {

template <class Schedule>
int snoozes_before_completed(Schedule& s) {
    int n = 0;
    while (!s.is_completed() && n < 1000) {
        s.snooze();
        ++n;
    }
    return n;
}

TEST(BackoffSchedules, StepsBeforeParkingAndReset) {
    quorvel::SpinWait lock_wait;
    int steps = 0;
    while (lock_wait.try_snooze()) ++steps;
    EXPECT_EQ(steps, 10);
    EXPECT_FALSE(lock_wait.try_snooze()) << "a spent budget stays spent";
    lock_wait.reset();
    EXPECT_TRUE(lock_wait.try_snooze()) << "reset gives the budget back";

    quorvel::Backoff engine;
    EXPECT_EQ(snoozes_before_completed(engine), 11);
    engine.reset();
    EXPECT_FALSE(engine.is_completed());

    quorvel::Backoff spinning;
    for (int i = 0; i < 100; ++i) spinning.spin();
    EXPECT_FALSE(spinning.is_completed()) << "spin alone never completes the back-off";
}

}  // namespace
