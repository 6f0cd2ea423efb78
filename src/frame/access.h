// frame/access: per-object admission of calls through the access word.
//
// Access word (signed 64-bit, in every instance): 0 free, n > 0 held by n
// shared calls, -1 held by one exclusive call. Admission never waits: a
// conflicting call fails at once with RuntimeError "Already mutably borrowed"
// (shared refused) or "Already borrowed" (exclusive refused). Access is held
// for the whole body, detached waits included, and given back on every path
// out by the guard's destructor.
#pragma once

#include <atomic>
#include <cstdint>

#include "frame/errors.h"

namespace quorvel::frame {

using AccessWord = std::atomic<int64_t>;

class SharedAccess {
public:
    explicit SharedAccess(AccessWord& word) : word_(word) {
        int64_t cur = word.load(std::memory_order_relaxed);
        do {
            if (cur == -1) raise_error(PyExc_RuntimeError, "Already mutably borrowed");
            // Acquire: pairs with the release in ~ExclusiveAccess; a shared call
            // sees what the last exclusive call wrote.
        } while (!word.compare_exchange_weak(cur, cur + 1, std::memory_order_acquire,
                                             std::memory_order_relaxed));
    }
    ~SharedAccess() { word_.fetch_sub(1, std::memory_order_release); }
    SharedAccess(const SharedAccess&) = delete;
    SharedAccess& operator=(const SharedAccess&) = delete;

private:
    AccessWord& word_;
};

class ExclusiveAccess {
public:
    explicit ExclusiveAccess(AccessWord& word) : word_(word) {
        int64_t expected = 0;
        // Acquire: pairs with the releases of earlier shared and exclusive calls.
        if (!word.compare_exchange_strong(expected, -1, std::memory_order_acquire,
                                          std::memory_order_relaxed)) {
            raise_error(PyExc_RuntimeError, "Already borrowed");
        }
    }
    ~ExclusiveAccess() { word_.store(0, std::memory_order_release); }
    ExclusiveAccess(const ExclusiveAccess&) = delete;
    ExclusiveAccess& operator=(const ExclusiveAccess&) = delete;

private:
    AccessWord& word_;
};

}  // namespace quorvel::frame
