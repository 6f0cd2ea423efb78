// The platform's OS threads: a thread starts with the stack it asked for,
// join waits for it, detach lets it finish alone, and a refused start never
// runs the entry function.
#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <cerrno>

#include "base/platform.h"
#include "../bounded.h"

namespace quorvel::platform {
namespace {

constexpr size_t kStack = size_t(2) << 20;

struct Probe {
    std::atomic<int> runs{0};
    std::atomic<size_t> stack{0};
    std::atomic<uint64_t> id{0};
};

void probe_entry(void* raw) {
    auto* p = static_cast<Probe*>(raw);
    pthread_attr_t attr;
    size_t size = 0;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
        pthread_attr_getstacksize(&attr, &size);
        pthread_attr_destroy(&attr);
    }
    p->stack.store(size);
    p->id.store(unique_thread_id());
    p->runs.fetch_add(1);
}

TEST(Thread, JoinWaitsForAThreadWithTheRequestedStack) {
    Probe p;
    ThreadHandle h;
    ASSERT_EQ(spawn_thread(kStack, probe_entry, &p, h), 0);
    join_thread(h);
    EXPECT_EQ(p.runs.load(), 1);  // finished before join returned
    EXPECT_GE(p.stack.load(), kStack);
    EXPECT_NE(p.id.load(), unique_thread_id());
}

TEST(Thread, DetachedThreadRunsToTheEnd) {
    Probe p;
    ThreadHandle h;
    ASSERT_EQ(spawn_thread(kStack, probe_entry, &p, h), 0);
    detach_thread(h);
    EXPECT_TRUE(test::eventually([&] { return p.runs.load() == 1; }));
}

TEST(Thread, RefusedStartReportsTheErrorAndNeverRuns) {
    Probe p;
    ThreadHandle h;
    EXPECT_EQ(spawn_thread(1, probe_entry, &p, h), EINVAL);  // below the system's minimum stack
    EXPECT_EQ(p.runs.load(), 0);
}

}  // namespace
}  // namespace quorvel::platform
