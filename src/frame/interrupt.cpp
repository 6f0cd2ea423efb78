#include "frame/interrupt.h"

#include "base/platform.h"

namespace quorvel::frame {

bool waits_in_slices() noexcept {
    // The interpreter's main thread is the one that started it, which for an
    // ordinary interpreter process is the process's initial thread (and after
    // fork(), the forking thread in both views). Elsewhere the handler check
    // would do nothing, so the slices would only cost wake-ups.
    return platform::is_initial_thread();
}

void check_signals() {
    if (PyErr_CheckSignals() < 0) throw_error_set();
}

}  // namespace quorvel::frame
