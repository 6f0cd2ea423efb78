// engine/select: waiting on several channel operations at once.
//
// A Select is an ordered list of ends to receive from or send to. A wait
// returns a SelectedOperation naming one end whose operation has started (a
// slot reserved, a partner paired, a timer claimed); the caller completes it
// with recv or send on that very end object, exactly once.
// The wait: shuffle (per-thread xorshift, the same sequence on every thread),
// first pass of try_select, then loop: register every record with this
// thread's WaitContext, park until a counterpart chooses one (or a channel
// disconnects, or the earliest deadline passes), unregister all, accept the
// chosen one; else a second pass, and check the caller's deadline.
// Registration takes the channels' mutexes one after another, never two.
// Not fair beyond the shuffle; not non-blocking: there is no "ready" probe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <optional>
#include <vector>

#include "engine/context.h"
#include "engine/outcome.h"

namespace quorvel::engine {

template <class T>
class ChannelSender;
template <class T>
class ChannelReceiver;

// Scratch space of one operation: a start step (try_select or accept) fills
// the member of its flavour, the read or write step of that flavour consumes
// it. A null slot, block or packet means the channel is disconnected.
struct Token {
    struct {
        void* slot = nullptr;
        uint64_t stamp = 0;
    } array;
    struct {
        void* block = nullptr;
        size_t offset = 0;
    } list;
    struct {
        void* packet = nullptr;
    } zero;
    struct {
        std::optional<Instant> instant;
    } at;
};

// What every channel end offers to selection.
class SelectHandle {
public:
    // Starts the operation without blocking; true when the token is filled
    // (the operation can complete, or the channel is disconnected).
    virtual bool try_select(Token& token) const = 0;
    // The latest moment at which the end becomes ready by itself (timers).
    virtual std::optional<Instant> deadline() const = 0;
    // Puts `oper` on the channel's wait list; true when the end is ready now.
    // Strong guarantee on std::bad_alloc: nothing registered.
    virtual bool register_op(Operation oper, WaitContext& cx) const = 0;
    // Takes `oper` off the wait list again, if it is still there.
    virtual void unregister_op(Operation oper) const = 0;
    // Finishes the start step after another thread chose `oper`.
    virtual bool accept(Token& token, WaitContext& cx) const = 0;
    // The operation could complete now, or the channel is disconnected.
    virtual bool is_ready() const = 0;

protected:
    SelectHandle() = default;
    SelectHandle(const SelectHandle&) = default;
    SelectHandle& operator=(const SelectHandle&) = default;
    ~SelectHandle() = default;
};

namespace detail {
struct SelectRecord {
    const SelectHandle* handle;
    size_t index;          // position at which the end was added
    const void* identity;  // address of the end object
};
}  // namespace detail

// The started operation a Select wait hands back. It must be completed
// exactly once with recv() or send() on the very end object that was added
// (a clone of it is a different end and is refused).
//
// Dropping it uncompleted is an internal failure: the started operation still
// holds channel resources (a reserved slot, a partner spinning on a packet).
// The destructor then throws quorvel::Panic("dropped `SelectedOperation`
// without completing the operation"), which the call frame raises like every
// other panic; it stays silent only while another exception is already
// unwinding through it, since a second exception would end the process.
// Keep it in a local or a SelectOutcome: a container whose destructor is
// noexcept (std::optional, std::vector) would turn that failure into an abort.
class [[nodiscard]] SelectedOperation {
public:
    SelectedOperation(SelectedOperation&& o) noexcept
        : token_(o.token_), index_(o.index_), identity_(o.identity_), pending_(o.pending_),
          uncaught_(o.uncaught_) {
        o.pending_ = false;
    }
    SelectedOperation& operator=(SelectedOperation&&) = delete;
    SelectedOperation(const SelectedOperation&) = delete;
    SelectedOperation& operator=(const SelectedOperation&) = delete;
    ~SelectedOperation() noexcept(false);

    // Position (from 0) at which the chosen end was added to the Select.
    size_t index() const noexcept { return index_; }

    // Completes a chosen receive: the item, or Disconnected. Panics with
    // "passed a receiver that wasn't selected" for any other end object.
    template <class T>
    RecvResult<T> recv(const ChannelReceiver<T>& receiver);

    // Completes a chosen send: Sent, or Disconnected with the item given back.
    // Panics with "passed a sender that wasn't selected" for any other end.
    template <class T>
    SendResult<T> send(const ChannelSender<T>& sender, T item);

    bool completed() const noexcept { return !pending_; }

private:
    SelectedOperation() noexcept = default;
    SelectedOperation(const Token& token, const detail::SelectRecord& rec) noexcept
        : token_(token), index_(rec.index), identity_(rec.identity), pending_(true),
          uncaught_(std::uncaught_exceptions()) {}

    Token token_;
    size_t index_ = 0;
    const void* identity_ = nullptr;
    bool pending_ = false;  // started, not yet completed
    int uncaught_ = 0;      // exceptions in flight when it was made

    friend class Select;
    friend class SelectOutcome;
};

struct SelectTimeout {};

// The result of select_timeout(): a SelectedOperation, or SelectTimeout.
class [[nodiscard]] SelectOutcome {
public:
    SelectOutcome(SelectedOperation&& op) noexcept : op_(std::move(op)), timed_out_(false) {}
    SelectOutcome(SelectTimeout) noexcept : timed_out_(true) {}
    SelectOutcome(SelectOutcome&&) noexcept = default;

    bool timed_out() const noexcept { return timed_out_; }
    // The chosen operation; only when !timed_out().
    SelectedOperation& operation() noexcept { return op_; }

private:
    SelectedOperation op_;
    bool timed_out_;
};

class Select {
public:
    Select() = default;
    Select(Select&&) = default;
    Select& operator=(Select&&) = default;
    Select(const Select&) = delete;
    Select& operator=(const Select&) = delete;

    // Adds a receive on `receiver`; returns its index. The end must stay in
    // place (it is identified by its address) until the wait is completed.
    template <class T>
    size_t recv(const ChannelReceiver<T>& receiver) {
        return add(&receiver, &receiver);
    }
    // Adds a send on `sender`; the item is given when the operation is completed.
    template <class T>
    size_t send(const ChannelSender<T>& sender) {
        return add(&sender, &sender);
    }

    // Waits without a time limit. An empty Select is an internal failure
    // ("no operations have been added to `Select`").
    SelectedOperation select();
    // Waits at most `duration_ns`. A duration that does not fit the clock's
    // range from now means no limit (as select()); callers saturate longer
    // durations to UINT64_MAX. A zero duration still makes one full attempt.
    SelectOutcome select_timeout(uint64_t duration_ns);
    // One pass over the operations in the shuffled order, without waiting
    // and without registering anywhere: the first ready one is started, else
    // SelectTimeout. A caller may run it before committing to a wait.
    SelectOutcome try_select();

    size_t size() const noexcept { return records_.size(); }
    // Room for `n` operations, so that adding them allocates at most once.
    void reserve(size_t n) { records_.reserve(n); }

private:
    size_t add(const SelectHandle* handle, const void* identity);

    std::vector<detail::SelectRecord> records_;
};

namespace detail {
// The select wait over `records` (shuffled in place). Returns the position of
// the chosen record with `token` filled, or nothing when the deadline passed.
std::optional<size_t> run_select(std::vector<SelectRecord>& records, std::optional<Instant> deadline,
                                 Token& token);
// Advances the calling thread's shuffle generator (xorshift32) and returns it.
uint32_t next_shuffle_word() noexcept;

}  // namespace detail

}  // namespace quorvel::engine
