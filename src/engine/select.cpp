// engine/select: the select wait, its shuffle, and the completion check.
//
// run_select() is the numbered procedure of the header, written once over
// SelectHandle so that one Select mixes ends of any item types. The shuffle
// state is per thread and starts from the same seed on every thread.
// Out of memory while registering: the registrations made so far are taken
// back, unless a counterpart already chose one of them.
#include "engine/select.h"

#include <utility>

#include "base/panic.h"

namespace quorvel::engine {

namespace {

// Every thread starts from the same state and never re-seeds, so a thread's
// sequence of orders is reproducible from run to run.
constexpr uint32_t kShuffleSeed = 1406868647;  // 0x53DB1CA7
thread_local uint32_t t_shuffle_state = kShuffleSeed;

void shuffle(std::vector<detail::SelectRecord>& records) noexcept {
    const size_t len = records.size();
    for (size_t i = 1; i < len; ++i) {
        const uint64_t x = detail::next_shuffle_word();
        const uint64_t n = i + 1;
        const size_t j = size_t((x * n) >> 32);  // in [0, n)
        std::swap(records[i], records[j]);
    }
}

// Sleeps until `deadline`, or for ever (in 1000-second steps) without one.
void sleep_until(std::optional<Instant> deadline) noexcept {
    constexpr uint64_t kStepNs = 1000ull * 1'000'000'000ull;
    for (;;) {
        const Instant now = Instant::now();
        if (deadline) {
            if (now >= *deadline) return;
            platform::sleep_for_ns(deadline->saturating_since(now));
        } else {
            platform::sleep_for_ns(kStepNs);
        }
    }
}

}  // namespace

uint32_t detail::next_shuffle_word() noexcept {
    uint32_t x = t_shuffle_state;
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    t_shuffle_state = x;
    return x;
}

std::optional<size_t> detail::run_select(std::vector<SelectRecord>& records, std::optional<Instant> deadline,
                                         Token& token) {
    if (records.empty()) {
        sleep_until(deadline);
        return std::nullopt;
    }
    shuffle(records);

    // First pass: take whatever is ready without registering.
    for (size_t i = 0; i < records.size(); ++i) {
        if (records[i].handle->try_select(token)) return i;
    }

    for (;;) {
        std::optional<size_t> result = WaitContext::with([&](WaitContext& cx) -> std::optional<size_t> {
            Selected sel = Selected::waiting();
            size_t registered = 0;
            std::optional<size_t> index_ready;

            for (size_t i = 0; i < records.size(); ++i) {
                const SelectRecord& rec = records[i];
                const Operation oper = Operation::hook(&rec);
                bool ready;
                try {
                    ready = rec.handle->register_op(oper, cx);
                } catch (...) {
                    // Out of memory while registering. If nobody chose one of
                    // the operations already registered, close the context to
                    // choosers, take the registrations back and report the
                    // failure. If somebody did, that operation has started and
                    // must be completed, so the failed registration is moot.
                    Selected found = Selected::waiting();
                    if (cx.try_select(Selected::aborted(), &found)) {
                        for (size_t k = 0; k < registered; ++k) {
                            records[k].handle->unregister_op(Operation::hook(&records[k]));
                        }
                        throw;
                    }
                    sel = found;
                    break;
                }
                ++registered;
                detail::count_select_registration();
                if (WaitHooks& h = this_thread_wait_hooks(); h.after_select_register) {
                    h.after_select_register(h.arg, rec.index);
                }
                if (ready) {
                    // Became ready while registering: stop, and try it first.
                    Selected found = Selected::waiting();
                    if (cx.try_select(Selected::aborted(), &found)) {
                        sel = Selected::aborted();
                        index_ready = rec.index;
                    } else {
                        sel = found;
                    }
                    break;
                }
                sel = cx.selected();
                if (!sel.is_waiting()) break;  // already chosen or disconnected
            }

            if (sel.is_waiting()) {
                std::optional<Instant> wake = deadline;
                for (const SelectRecord& rec : records) {
                    if (std::optional<Instant> d = rec.handle->deadline()) {
                        if (!wake || *d < *wake) wake = d;
                    }
                }
                sel = cx.wait_until(wake);
            }

            for (size_t k = 0; k < registered; ++k) {
                records[k].handle->unregister_op(Operation::hook(&records[k]));
            }

            switch (sel.kind()) {
                case Selected::Kind::Waiting:
                    // wait_until() never returns Waiting, and registration
                    // only stops early on another state.
                    panic("select wait ended while still waiting");
                case Selected::Kind::Aborted:
                    if (index_ready) {
                        for (size_t i = 0; i < records.size(); ++i) {
                            if (records[i].index == *index_ready) {
                                if (records[i].handle->try_select(token)) return i;
                                break;
                            }
                        }
                    }
                    return std::nullopt;  // a deadline passed, or the ready end was taken
                case Selected::Kind::Disconnected:
                    return std::nullopt;  // the second pass finds the disconnected end
                case Selected::Kind::Operation:
                    for (size_t i = 0; i < records.size(); ++i) {
                        if (reinterpret_cast<uintptr_t>(&records[i]) == sel.word()) {
                            if (records[i].handle->accept(token, cx)) return i;
                            return std::nullopt;
                        }
                    }
                    return std::nullopt;
            }
            return std::nullopt;
        });
        if (result) return result;

        // Second pass: also finds a channel that disconnected while we waited.
        for (size_t i = 0; i < records.size(); ++i) {
            if (records[i].handle->try_select(token)) return i;
        }
        if (deadline && Instant::now() >= *deadline) return std::nullopt;
    }
}

size_t Select::add(const SelectHandle* handle, const void* identity) {
    const size_t index = records_.size();
    records_.push_back(detail::SelectRecord{handle, index, identity});
    return index;
}

SelectedOperation Select::select() {
    if (records_.empty()) panic("no operations have been added to `Select`");
    Token token;
    const std::optional<size_t> pos = detail::run_select(records_, std::nullopt, token);
    if (!pos) panic("select wait without a deadline ended without an operation");
    return SelectedOperation(token, records_[*pos]);
}

SelectOutcome Select::select_timeout(uint64_t duration_ns) {
    const std::optional<Instant> deadline = Instant::now().checked_add(duration_ns);
    if (!deadline) return SelectOutcome(select());
    Token token;
    const std::optional<size_t> pos = detail::run_select(records_, deadline, token);
    if (!pos) return SelectOutcome(SelectTimeout{});
    return SelectOutcome(SelectedOperation(token, records_[*pos]));
}

SelectOutcome Select::try_select() {
    if (records_.empty()) panic("no operations have been added to `Select`");
    shuffle(records_);
    Token token;
    for (const detail::SelectRecord& rec : records_) {
        if (rec.handle->try_select(token)) return SelectOutcome(SelectedOperation(token, rec));
    }
    return SelectOutcome(SelectTimeout{});
}

SelectedOperation::~SelectedOperation() noexcept(false) {
    if (pending_ && std::uncaught_exceptions() <= uncaught_) {
        panic("dropped `SelectedOperation` without completing the operation");
    }
}

}  // namespace quorvel::engine
