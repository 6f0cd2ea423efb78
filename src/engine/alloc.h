// engine/alloc: the one place the channel engine takes memory from.
//
// Every record, array buffer, list block, zero-flavour packet, timer, waiting
// context and wait-list vector is allocated here, tagged with its kind. The
// tag feeds two cheap process-wide tallies that tests read to prove that each
// record or block is freed exactly once: the number of live allocations and
// the number ever made, per kind (relaxed counters; they order nothing).
//
// Failure: allocate() throws std::bad_alloc. Every caller allocates before it
// changes shared state, so a failed allocation leaves the channel as it was.
// Tests can make the n-th next allocation of one kind fail (fail_nth), which
// costs production one relaxed load per allocation.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <new>

namespace quorvel::engine {

enum class AllocKind : unsigned { Record, Buffer, Block, Packet, Timer, Context, WaitList };
inline constexpr size_t kAllocKinds = 7;

// Raw storage of `size` bytes aligned to `align`; throws std::bad_alloc.
void* allocate(AllocKind kind, size_t size, size_t align);
void deallocate(AllocKind kind, void* p, size_t size, size_t align) noexcept;

// Typed helpers: construct in engine memory, destroy and give it back.
template <class T, class... Args>
T* create(AllocKind kind, Args&&... args) {
    void* raw = allocate(kind, sizeof(T), alignof(T));
    try {
        return ::new (raw) T(static_cast<Args&&>(args)...);
    } catch (...) {
        deallocate(kind, raw, sizeof(T), alignof(T));
        throw;
    }
}

template <class T>
void destroy(AllocKind kind, T* p) noexcept {
    p->~T();
    deallocate(kind, p, sizeof(T), alignof(T));
}

// Standard allocator over the engine's memory, for the wait-list vectors.
template <class T, AllocKind K>
struct EngineAllocator {
    using value_type = T;
    template <class U>
    struct rebind {
        using other = EngineAllocator<U, K>;
    };
    EngineAllocator() noexcept = default;
    template <class U>
    EngineAllocator(const EngineAllocator<U, K>&) noexcept {}
    T* allocate(size_t n) {
        if (n > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
        return static_cast<T*>(engine::allocate(K, n * sizeof(T), alignof(T)));
    }
    void deallocate(T* p, size_t n) noexcept { engine::deallocate(K, p, n * sizeof(T), alignof(T)); }
    template <class U>
    bool operator==(const EngineAllocator<U, K>&) const noexcept {
        return true;
    }
};

// Tallies and fault injection, for tests and diagnostics.
namespace alloc_stats {
int64_t live(AllocKind kind) noexcept;     // allocations not yet freed
uint64_t total(AllocKind kind) noexcept;   // allocations ever made
// Make the n-th next allocation of `kind` (counting from 1) throw
// std::bad_alloc; 0 cancels a pending failure.
void fail_nth(AllocKind kind, uint64_t n) noexcept;
}  // namespace alloc_stats

}  // namespace quorvel::engine
