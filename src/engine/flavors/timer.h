// engine/flavors/timer: receivers that serve time limits in a Select.
//
// at: made by after(duration); delivers exactly one item, its own delivery
//   instant, once the clock has reached it. `received` is claimed by one
//   sequentially consistent swap, so exactly one receive gets the item however
//   many selections race for it; afterwards the timer stays empty for ever.
//   Reference-counted (no counter record): clones share one timer; it never
//   disconnects.
// never: no state; never ready, no deadline, reading it gives Disconnected.
//   after() returns one when now + duration does not fit the clock.
// Wakes: nobody. A Select that holds a timer uses its deadline to bound its
//   own park, then finds the timer ready in its next pass.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>

#include "engine/alloc.h"
#include "engine/context.h"
#include "engine/select.h"

namespace quorvel::engine {

class AtChannel {
public:
    // A timer due at now + duration_ns, or null when that overflows the clock.
    static AtChannel* make_after(uint64_t duration_ns);

    // The instant, once; then never again.
    std::optional<Instant> try_recv() noexcept;
    bool is_empty() const noexcept;
    // The delivery instant while the item is still to be taken.
    std::optional<Instant> deadline() const noexcept;
    Instant delivery_time() const noexcept { return delivery_time_; }

    bool try_select(Token& token) noexcept {
        std::optional<Instant> got = try_recv();
        if (!got) return false;
        token.at.instant = got;
        return true;
    }
    static RecvResult<Instant> read(Token& token) noexcept {
        if (!token.at.instant) return RecvResult<Instant>::disconnected();
        return RecvResult<Instant>::received(Instant(*token.at.instant));
    }

    void add_ref() noexcept;  // aborts the process if the count would pass the max signed word
    void drop_ref() noexcept;

    explicit AtChannel(Instant when) noexcept : delivery_time_(when) {}

private:
    const Instant delivery_time_;
    std::atomic<bool> received_{false};
    std::atomic<uint64_t> refs_{1};
};

}  // namespace quorvel::engine
