// engine/context: the selection word and the per-thread waiting context.
//
// A waiting thread publishes a WaitContext. Other threads choose one of its
// registered operations, or report a disconnection, by moving its `select`
// word out of Waiting with one compare-and-exchange (the loser leaves it
// alone); the owner moves it to Aborted when it gives up. Only `with` moves it
// back to Waiting, at the start of the next use.
// Guarantee: whoever moves the word unparks the owner afterwards, and the
// parker keeps one permit for an unpark that comes before the park, so a
// waiter never sleeps through the change.
// Lifetime: contexts are reference-counted and wait-list entries hold a
// reference, so a parker being unparked is alive even if its thread has gone.
// Each thread caches one context; a nested use (or one at thread exit) gets a
// fresh one.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <utility>

#include "engine/alloc.h"
#include "sync/parker.h"
#include "base/platform.h"

namespace quorvel::engine {

using platform::Instant;

// Names one pending operation of one thread: the address of an object that
// stays in place for the whole wait (a blocking call's Token, or a record of a
// Select). Never 0, 1 or 2, the words of the other Selected states.
class Operation {
public:
    static Operation hook(const void* address);  // panics on an address <= 2
    uintptr_t id() const noexcept { return id_; }
    friend bool operator==(Operation a, Operation b) noexcept { return a.id_ == b.id_; }

private:
    explicit Operation(uintptr_t id) noexcept : id_(id) {}
    uintptr_t id_;
    friend class Selected;
};

// Value of a context's selection word: [ 0 Waiting | 1 Aborted | 2 Disconnected | id Operation ].
class Selected {
public:
    enum class Kind : uint8_t { Waiting, Aborted, Disconnected, Operation };
    static constexpr uintptr_t WAITING = 0, ABORTED = 1, DISCONNECTED = 2;

    static constexpr Selected waiting() noexcept { return Selected(WAITING); }
    static constexpr Selected aborted() noexcept { return Selected(ABORTED); }
    static constexpr Selected disconnected() noexcept { return Selected(DISCONNECTED); }
    static Selected operation(Operation op) noexcept { return Selected(op.id()); }
    static constexpr Selected from_word(uintptr_t word) noexcept { return Selected(word); }

    Kind kind() const noexcept {
        switch (word_) {
            case WAITING: return Kind::Waiting;
            case ABORTED: return Kind::Aborted;
            case DISCONNECTED: return Kind::Disconnected;
            default: return Kind::Operation;
        }
    }
    bool is_waiting() const noexcept { return word_ == WAITING; }
    // The chosen operation; meaningful only when kind() is Operation.
    Operation operation() const noexcept { return Operation(word_); }
    uintptr_t word() const noexcept { return word_; }
    friend bool operator==(Selected a, Selected b) noexcept { return a.word_ == b.word_; }

private:
    explicit constexpr Selected(uintptr_t word) noexcept : word_(word) {}
    uintptr_t word_;
};

class ContextRef;
namespace detail {
struct ContextCacheOwner;
}

class WaitContext {
public:
    WaitContext(const WaitContext&) = delete;
    WaitContext& operator=(const WaitContext&) = delete;

    // Runs f(WaitContext&) with this thread's cached context, reset to Waiting
    // with a null packet, and returns f's result. When the cache is in use
    // further up the stack (or already torn down at thread exit) f gets a
    // fresh context for this call only.
    template <class F>
    static decltype(auto) with(F&& f);

    // Moves `select` from Waiting to s. On failure, *found (if given) gets the
    // state that was there.
    bool try_select(Selected s, Selected* found = nullptr) noexcept {
        uintptr_t expected = Selected::WAITING;
        // AcqRel on success: the chooser's earlier writes (a packet, a slot)
        // are published to the owner's acquire load in selected(); acquire on
        // failure: the caller acts on the state it found.
        const bool ok = select_.compare_exchange_strong(expected, s.word(), std::memory_order_acq_rel,
                                                        std::memory_order_acquire);
        if (!ok && found) *found = Selected::from_word(expected);
        return ok;
    }

    Selected selected() const noexcept {
        // Acquire: pairs with the acq_rel compare-and-exchange in try_select().
        return Selected::from_word(select_.load(std::memory_order_acquire));
    }

    void store_packet(void* packet) noexcept {
        // Release: pairs with the acquire load in wait_packet(); the packet's
        // contents written before this store are visible to the owner.
        if (packet) packet_.store(packet, std::memory_order_release);
    }

    // Snoozes until a chooser has stored the packet of the chosen operation.
    void* wait_packet() const noexcept;

    // Parks until `select` leaves Waiting. With a deadline, once it has passed
    // the owner tries to move the word to Aborted itself and returns whatever
    // state the word ends in. Never returns Waiting.
    Selected wait_until(std::optional<Instant> deadline) noexcept;

    void unpark() noexcept { thread_.unpark(); }
    uint64_t thread_id() const noexcept { return thread_id_; }
    // The context's owner was left behind in the parent by a fork: its wait
    // will never end here, and nothing may be handed to it.
    bool is_stale() const noexcept { return generation_ != platform::fork_generation(); }

private:
    WaitContext() noexcept;
    static ContextRef make();
    void reset() noexcept {
        // Release: pairs with the acquire loads of other threads that read the
        // word through an entry registered after this reset.
        select_.store(Selected::WAITING, std::memory_order_release);
        packet_.store(nullptr, std::memory_order_release);
        // A context cached before a fork is reused by the forking thread,
        // which does exist in the child: stamp it with this process's generation.
        generation_ = platform::fork_generation();
    }
    void add_ref() noexcept;
    void drop_ref() noexcept;

    static WaitContext* take_cached();
    static void put_back(WaitContext* cx) noexcept;

    std::atomic<uintptr_t> select_{Selected::WAITING};
    std::atomic<void*> packet_{nullptr};
    sync::Parker thread_;   // the owner parks here; wakers unpark it
    uint64_t thread_id_;    // platform::unique_thread_id() of the owner
    uint64_t generation_;   // platform::fork_generation() when the owner last started a wait;
                            // written by the owner before it registers, read by wakers
                            // under the wait list's mutex (which orders the two)
    std::atomic<uint64_t> refs_{1};

    friend class ContextRef;
    friend struct ContextScope;
    friend struct detail::ContextCacheOwner;
};

// A counted reference to a WaitContext.
class ContextRef {
public:
    ContextRef() noexcept = default;
    static ContextRef share(WaitContext& cx) noexcept {
        cx.add_ref();
        return ContextRef(&cx);
    }
    ContextRef(ContextRef&& o) noexcept : cx_(std::exchange(o.cx_, nullptr)) {}
    ContextRef& operator=(ContextRef&& o) noexcept {
        if (this != &o) {
            reset();
            cx_ = std::exchange(o.cx_, nullptr);
        }
        return *this;
    }
    ContextRef(const ContextRef&) = delete;
    ContextRef& operator=(const ContextRef&) = delete;
    ~ContextRef() { reset(); }

    WaitContext* get() const noexcept { return cx_; }
    WaitContext* operator->() const noexcept { return cx_; }
    WaitContext& operator*() const noexcept { return *cx_; }
    explicit operator bool() const noexcept { return cx_ != nullptr; }
    void reset() noexcept {
        if (cx_) std::exchange(cx_, nullptr)->drop_ref();
    }
    WaitContext* release() noexcept { return std::exchange(cx_, nullptr); }

private:
    explicit ContextRef(WaitContext* cx) noexcept : cx_(cx) {}
    WaitContext* cx_ = nullptr;
    friend class WaitContext;
};

// Counters of the calling thread, for tests: how often it parked in
// wait_until(), and how many operations it registered in Select waits.
struct WaitStats {
    uint64_t parks = 0;
    uint64_t select_registrations = 0;
};
WaitStats this_thread_wait_stats() noexcept;
namespace detail {
void count_select_registration() noexcept;
}

// Test hooks of the calling thread, so that a test can make a counterpart act
// at a chosen point of a wait. Unset in production: one thread-local load on
// the slow path of a wait.
//  - before_block: a blocking send or receive failed its start step and is
//    about to register (the race its re-check closes);
//  - after_select_register: a select wait has just registered operation `index`.
struct WaitHooks {
    void (*before_block)(void* arg) = nullptr;
    void (*after_select_register)(void* arg, size_t index) = nullptr;
    void* arg = nullptr;
};
WaitHooks& this_thread_wait_hooks() noexcept;

// Returns the cached context to its slot (or releases a fresh one) when f
// leaves, also by an exception.
struct ContextScope {
    WaitContext* cached;
    ContextRef fresh;
    ~ContextScope() {
        if (cached) WaitContext::put_back(cached);
    }
};

template <class F>
decltype(auto) WaitContext::with(F&& f) {
    ContextScope scope{take_cached(), {}};
    if (scope.cached) {
        scope.cached->reset();
        return f(*scope.cached);
    }
    scope.fresh = make();
    return f(*scope.fresh);
}

}  // namespace quorvel::engine
