// frame/interrupt: detached waits that a signal on the main thread can end.
//
// The interpreter runs signal handlers only on its main thread, and only
// while that thread is attached. A wait that stays detached until its
// condition holds would therefore sit through Ctrl-C. interruptible() waits
// in slices there instead: a slice that ends without result re-attaches the
// thread, runs the pending handlers (PyErr_CheckSignals) and, when one
// raised, gives up by throwing PyErrorSet with that exception set; otherwise
// it detaches again for the next slice. Other threads wait in one piece, as
// before, since handlers never run on them.
//
// Contract for the wait step: called detached with the slice length, it
// returns a result, or nothing once about that long has passed. Returning
// nothing must leave no effect behind (nothing taken, nothing sent, no lock
// held), so giving up between slices never loses or duplicates anything.
// Called with no slice, it must wait for its result.
#pragma once

#include <cstdint>
#include <optional>
#include <type_traits>
#include <utility>

#include "frame/attach.h"
#include "frame/errors.h"

namespace quorvel::frame {

// How long the main thread stays detached before it looks for signals.
inline constexpr uint64_t kInterruptSliceNs = 50'000'000;

// Whether waits on this thread are cut into slices: true on the process's
// main thread, where the interpreter delivers signals.
bool waits_in_slices() noexcept;

// Runs the handlers of signals that arrived; throws PyErrorSet when one of
// them raised. Must run attached.
void check_signals();

// Runs `step(std::optional<uint64_t> slice_ns)` detached, as described above,
// and returns the value inside the optional it finally yields.
template <class Step>
auto interruptible(Step&& step) {
    using Result = typename std::invoke_result_t<Step&, std::optional<uint64_t>>::value_type;
    if (!waits_in_slices()) {
        return detached([&]() -> Result {
            std::optional<Result> r = step(std::optional<uint64_t>());
            return std::move(*r);
        });
    }
    for (;;) {
        std::optional<Result> r = detached([&] { return step(std::optional<uint64_t>(kInterruptSliceNs)); });
        if (r) return std::move(*r);
        check_signals();
    }
}

}  // namespace quorvel::frame
