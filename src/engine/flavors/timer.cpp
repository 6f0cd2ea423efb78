// engine/flavors/timer: the at flavour's one-shot delivery.
//
// The clock is read on every look; `received` is claimed by one seq_cst swap,
// so exactly one receive gets the instant. The reference count frees the
// timer with its last receiver; nothing else ever touches it.
#include "engine/flavors/timer.h"

#include <cstdint>
#include <cstdlib>

namespace quorvel::engine {

AtChannel* AtChannel::make_after(uint64_t duration_ns) {
    const std::optional<Instant> when = Instant::now().checked_add(duration_ns);
    if (!when) return nullptr;
    return create<AtChannel>(AllocKind::Timer, *when);
}

std::optional<Instant> AtChannel::try_recv() noexcept {
    // Relaxed: a cheap early exit; the swap below decides.
    if (received_.load(std::memory_order_relaxed)) return std::nullopt;
    if (Instant::now() < delivery_time_) return std::nullopt;
    if (!received_.exchange(true, std::memory_order_seq_cst)) return delivery_time_;
    return std::nullopt;
}

bool AtChannel::is_empty() const noexcept {
    // Relaxed: a cheap early answer; the seq_cst load below is the real one.
    if (received_.load(std::memory_order_relaxed)) return true;
    if (Instant::now() < delivery_time_) return true;
    return received_.load(std::memory_order_seq_cst);
}

std::optional<Instant> AtChannel::deadline() const noexcept {
    // Relaxed: a stale "not yet received" only makes a Select wake once more.
    if (received_.load(std::memory_order_relaxed)) return std::nullopt;
    return delivery_time_;
}

void AtChannel::add_ref() noexcept {
    // Relaxed: a clone is made from a live reference; nothing is published.
    if (refs_.fetch_add(1, std::memory_order_relaxed) >= uint64_t(INT64_MAX)) std::abort();
}

void AtChannel::drop_ref() noexcept {
    // AcqRel: the last holder sees every other holder's uses before the free.
    if (refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) destroy(AllocKind::Timer, this);
}

}  // namespace quorvel::engine
