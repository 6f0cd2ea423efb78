// Bounded waiting, shared by every native test program.
//
// A lock bug usually shows up as a thread that never wakes. Every wait in
// these tests therefore has a limit: eventually() polls a condition until a
// deadline, and Team joins its threads only after they have all reported
// done, aborting the whole run with the test's name if they have not done so
// within the limit (a hung thread cannot be cancelled, so failing the test and
// carrying on is not an option). run_bounded() runs a whole scenario on its
// own thread under the same rule. A forked child runs under an alarm and the
// parent waits for it with the same limit.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <memory>
#include <thread>
#include <vector>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

namespace quorvel::test {

// Far above what any test needs, even under ThreadSanitizer on a busy machine.
inline constexpr std::chrono::milliseconds kHangLimit{20'000};

[[noreturn]] inline void hang_detected(const char* what) {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::fprintf(stderr, "\nHANG in %s.%s: %s did not finish within %lld ms; aborting.\n",
                 info ? info->test_suite_name() : "?", info ? info->name() : "?", what,
                 static_cast<long long>(kHangLimit.count()));
    std::fflush(stderr);
    std::abort();
}

// Poll `pred` until it holds or `limit` passes; returns its last value.
template <class Pred>
bool eventually(Pred pred, std::chrono::milliseconds limit = kHangLimit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= deadline) return pred();
        std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
    return true;
}

#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
inline constexpr int kScale = 2;  // sanitizers run 5-15x slower: fewer rounds
#else
inline constexpr int kScale = 4;
#endif

// Runs `body` on its own thread; if it has not finished within `limit`, the
// test binary reports the hang and aborts instead of blocking. Rethrows what
// the body threw.
template <class F>
void run_bounded(const char* what, F&& body, std::chrono::milliseconds limit = 3 * kHangLimit) {
    std::packaged_task<void()> task(std::forward<F>(body));
    std::future<void> done = task.get_future();
    std::thread runner(std::move(task));
    if (done.wait_for(limit) != std::future_status::ready) hang_detected(what);
    runner.join();
    done.get();
}

// Threads started by a test, joined with a time limit.
class Team {
public:
    Team() = default;
    Team(const Team&) = delete;
    Team& operator=(const Team&) = delete;
    ~Team() { join("a thread left running at the end of the test"); }

    template <class F>
    void spawn(F body) {
        threads_.emplace_back([this, body = std::move(body)]() mutable {
            body();
            finished_.fetch_add(1);
        });
    }

    // spawn(body(i)) for i in [0, n), all released together.
    template <class F>
    void spawn_n(int n, F body) {
        auto start = std::make_shared<std::atomic<bool>>(false);
        for (int i = 0; i < n; ++i) {
            spawn([start, body, i]() mutable {
                while (!start->load()) std::this_thread::yield();
                body(i);
            });
        }
        start->store(true);
    }

    size_t finished() const { return finished_.load(); }

    void join(const char* what = "a spawned thread") {
        if (!eventually([&] { return finished_.load() == threads_.size(); })) hang_detected(what);
        for (auto& t : threads_) t.join();
        threads_.clear();
        finished_.store(0);
    }

private:
    std::vector<std::thread> threads_;
    std::atomic<size_t> finished_{0};
};

// Forks; the child runs `body` (which must not start threads or use gtest
// assertions) and exits with its result, under an alarm so a hang ends it.
// Returns the child's exit status, or -1 if it did not exit normally (killed
// by the alarm, a signal, or the parent's own limit).
template <class Body>
int exit_status_of_fork_child(Body body) {
    const pid_t pid = ::fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        ::alarm(unsigned(kHangLimit.count() / 1000));
        ::_exit(body());
    }
    int status = 0;
    const bool exited = eventually([&] { return ::waitpid(pid, &status, WNOHANG) == pid; });
    if (!exited) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace quorvel::test
