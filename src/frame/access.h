// frame/access: per-object admission of calls through the access word.
//
// Access word (signed 64-bit, in every instance): 0 free, n > 0 held by n
// shared calls, -1 held by one exclusive call. Admission never waits: a
// conflicting call fails at once with RuntimeError "Already mutably borrowed"
// (shared refused) or "Already borrowed" (exclusive refused). Access is held
// for the whole body, detached waits included, and given back on every path
// out by the guard's destructor.
//
// Counted or checked, declared once per class by the type of its state's
// `access` member:
//   frame::AccessWord         counted: shared calls add themselves to the word
//                             and take themselves off again. Needed only by a
//                             class with an exclusive path (ExclusiveAccess
//                             takes nothing else), which must see the count.
//   frame::CheckedAccessWord  checked: shared calls read the word and leave it
//                             alone. A class none of whose methods takes
//                             exclusive access never has a count to read, so
//                             counting would only cost two atomic
//                             read-modify-writes per call and make every
//                             thread write the one line all of them share.
// Both admit through `SharedAccess access(st.access);`.
#pragma once

#include <atomic>
#include <cstdint>

#include "frame/errors.h"

namespace quorvel::frame {

using AccessWord = std::atomic<int64_t>;

// The word of a class without exclusive access: never written after
// construction (there is no exclusive call to set -1, no count to keep).
class CheckedAccessWord {
public:
    CheckedAccessWord() noexcept = default;
    CheckedAccessWord(const CheckedAccessWord&) = delete;
    CheckedAccessWord& operator=(const CheckedAccessWord&) = delete;

    // Relaxed: nothing is ever published through a word nobody writes; the
    // check only keeps the admission rule whole at the cost of one load.
    bool exclusively_held() const noexcept { return word_.load(std::memory_order_relaxed) == -1; }

private:
    std::atomic<int64_t> word_{0};
};

class SharedAccess {
public:
    // Counted admission.
    explicit SharedAccess(AccessWord& word) : word_(&word) {
        int64_t cur = word.load(std::memory_order_relaxed);
        do {
            if (cur == -1) raise_error(PyExc_RuntimeError, "Already mutably borrowed");
            // Acquire: pairs with the release in ~ExclusiveAccess; a shared call
            // sees what the last exclusive call wrote.
        } while (!word.compare_exchange_weak(cur, cur + 1, std::memory_order_acquire,
                                             std::memory_order_relaxed));
    }
    // Checked admission: nothing to give back.
    explicit SharedAccess(const CheckedAccessWord& word) {
        if (word.exclusively_held()) raise_error(PyExc_RuntimeError, "Already mutably borrowed");
    }
    ~SharedAccess() {
        // Folded away for checked admission, where word_ is a constant nullptr.
        if (word_) word_->fetch_sub(1, std::memory_order_release);
    }
    SharedAccess(const SharedAccess&) = delete;
    SharedAccess& operator=(const SharedAccess&) = delete;

private:
    AccessWord* word_ = nullptr;
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
    // A class whose word is only checked has no exclusive path.
    explicit ExclusiveAccess(const CheckedAccessWord&) = delete;
    ~ExclusiveAccess() { word_.store(0, std::memory_order_release); }
    ExclusiveAccess(const ExclusiveAccess&) = delete;
    ExclusiveAccess& operator=(const ExclusiveAccess&) = delete;

private:
    AccessWord& word_;
};

}  // namespace quorvel::frame
