// engine/alloc: engine memory with per-kind tallies and test fault injection.
//
// Memory comes from the global operator new (aligned where the kind needs
// it). The tallies are relaxed counters read by tests after their threads
// joined; the countdown of fail_nth() throws std::bad_alloc before anything
// is allocated, so callers see exactly what a real failure would give them.
#include "engine/alloc.h"

namespace quorvel::engine {

namespace {

struct Tally {
    std::atomic<int64_t> live{0};
    std::atomic<uint64_t> total{0};
    // Allocations left before the injected failure; 0 means none is pending.
    std::atomic<uint64_t> fail_in{0};
};

Tally g_tally[kAllocKinds];

}  // namespace

void* allocate(AllocKind kind, size_t size, size_t align) {
    Tally& t = g_tally[unsigned(kind)];
    // Relaxed: the countdown is a test hook and orders nothing. The loop keeps
    // it from wrapping below zero when threads race for the last step.
    uint64_t left = t.fail_in.load(std::memory_order_relaxed);
    while (left != 0) {
        if (t.fail_in.compare_exchange_weak(left, left - 1, std::memory_order_relaxed)) {
            if (left == 1) throw std::bad_alloc();
            break;
        }
    }
    void* p = align > __STDCPP_DEFAULT_NEW_ALIGNMENT__ ? ::operator new(size, std::align_val_t(align))
                                                        : ::operator new(size);
    // Relaxed: tallies are read only after the threads that used them joined.
    t.live.fetch_add(1, std::memory_order_relaxed);
    t.total.fetch_add(1, std::memory_order_relaxed);
    return p;
}

void deallocate(AllocKind kind, void* p, size_t size, size_t align) noexcept {
    g_tally[unsigned(kind)].live.fetch_sub(1, std::memory_order_relaxed);  // tally only
    // The size is only a hint to the allocator. Compilers that do not enable
    // sized deallocation by default (clang before 19) do not declare the
    // sized forms, so fall back to the unsized ones there.
#if defined(__cpp_sized_deallocation)
    if (align > __STDCPP_DEFAULT_NEW_ALIGNMENT__) {
        ::operator delete(p, size, std::align_val_t(align));
    } else {
        ::operator delete(p, size);
    }
#else
    (void)size;
    if (align > __STDCPP_DEFAULT_NEW_ALIGNMENT__) {
        ::operator delete(p, std::align_val_t(align));
    } else {
        ::operator delete(p);
    }
#endif
}

namespace alloc_stats {

int64_t live(AllocKind kind) noexcept { return g_tally[unsigned(kind)].live.load(std::memory_order_relaxed); }
uint64_t total(AllocKind kind) noexcept { return g_tally[unsigned(kind)].total.load(std::memory_order_relaxed); }
void fail_nth(AllocKind kind, uint64_t n) noexcept {
    g_tally[unsigned(kind)].fail_in.store(n, std::memory_order_relaxed);
}

}  // namespace alloc_stats

}  // namespace quorvel::engine
