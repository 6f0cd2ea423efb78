// engine/flavors/zero: the rendezvous flavour: no buffer, every send is handed
// straight to one receive.
//
// Guarantee: a send completes only together with one receive, which gets its
// item; a blocked party never pairs with one of its own thread's entries.
// Pairing happens under the channel mutex (a Waker per side); the item changes
// hands afterwards, through a packet: written, then `ready` set (release), and
// read after `ready` is seen (acquire).
// Packets: a blocking send or receive keeps its packet in its own frame
//   (on_stack) and does not return before the partner has set `ready` or it
//   has unregistered. A selecting party allocates a separate packet, freed by
//   whoever reads from it, or by its owner at unregister if nobody chose it.
// Wakes: a pairing wakes the chosen partner; disconnection wakes every waiter.
#pragma once

#include <atomic>
#include <mutex>
#include <optional>

#include "engine/alloc.h"
#include "base/backoff.h"
#include "engine/context.h"
#include "engine/outcome.h"
#include "engine/select.h"
#include "engine/waker.h"
#include "base/panic.h"

namespace quorvel::engine {

struct TestAccess;

template <class T>
struct ZeroPacket {
    std::optional<T> item;
    bool on_stack;
    std::atomic<bool> ready{false};

    explicit ZeroPacket(bool in_frame) noexcept : on_stack(in_frame) {}

    void wait_ready() const noexcept {
        Backoff backoff;
        // Acquire: pairs with the release store of `ready` by the partner.
        while (!ready.load(std::memory_order_acquire)) backoff.snooze();
    }
    T take() noexcept {
        T out(std::move(*item));
        item.reset();
        return out;
    }
};

template <class T>
class ZeroChannel {
public:
    using Packet = ZeroPacket<T>;

    ZeroChannel() = default;
    ZeroChannel(const ZeroChannel&) = delete;
    ZeroChannel& operator=(const ZeroChannel&) = delete;

    // Pairs with a waiting receiver, or reports the disconnection.
    bool start_send(Token& token) noexcept {
        std::optional<WaiterEntry> entry;  // released, waking its owner, after the unlock
        std::lock_guard<std::mutex> g(mu_);
        if ((entry = receivers_.try_select())) {
            token.zero.packet = entry->packet;
            return true;
        }
        if (is_disconnected_) {
            token.zero.packet = nullptr;
            return true;
        }
        return false;
    }

    SendResult<T> write(Token& token, T&& item) noexcept {
        Packet* packet = static_cast<Packet*>(token.zero.packet);
        if (!packet) return SendResult<T>::disconnected(std::move(item));
        packet->item.emplace(std::move(item));
        // Release: pairs with the acquire in wait_ready(); the item is visible.
        packet->ready.store(true, std::memory_order_release);
        return SendResult<T>::sent();
    }

    bool start_recv(Token& token) noexcept {
        std::optional<WaiterEntry> entry;  // released, waking its owner, after the unlock
        std::lock_guard<std::mutex> g(mu_);
        if ((entry = senders_.try_select())) {
            token.zero.packet = entry->packet;
            return true;
        }
        if (is_disconnected_) {
            token.zero.packet = nullptr;
            return true;
        }
        return false;
    }

    RecvResult<T> read(Token& token) noexcept {
        Packet* packet = static_cast<Packet*>(token.zero.packet);
        if (!packet) return RecvResult<T>::disconnected();
        if (packet->on_stack) {
            // A blocked sender's packet, filled before it registered: take the
            // item, then let the sender return (its packet goes with its frame).
            T item = packet->take();
            // Release: pairs with the acquire in the sender's wait_ready().
            packet->ready.store(true, std::memory_order_release);
            return RecvResult<T>::received(std::move(item));
        }
        // A separate packet: wait for its writer, then free it.
        packet->wait_ready();
        T item = packet->take();
        engine::destroy(AllocKind::Packet, packet);
        return RecvResult<T>::received(std::move(item));
    }

    SendResult<T> try_send(T&& item) {
        Token token;
        {
            std::optional<WaiterEntry> entry;
            std::lock_guard<std::mutex> g(mu_);
            if ((entry = receivers_.try_select())) {
                token.zero.packet = entry->packet;
            } else if (is_disconnected_) {
                return SendResult<T>::disconnected(std::move(item));
            } else {
                return SendResult<T>::full(std::move(item));
            }
        }
        return write(token, std::move(item));
    }

    RecvResult<T> try_recv() {
        Token token;
        {
            std::optional<WaiterEntry> entry;
            std::lock_guard<std::mutex> g(mu_);
            if ((entry = senders_.try_select())) {
                token.zero.packet = entry->packet;
            } else if (is_disconnected_) {
                return RecvResult<T>::disconnected();
            } else {
                return RecvResult<T>::empty();
            }
        }
        return read(token);
    }

    SendResult<T> send(T&& item) {
        Token token;
        std::unique_lock<std::mutex> g(mu_);
        if (std::optional<WaiterEntry> entry = receivers_.try_select()) {
            token.zero.packet = entry->packet;
            g.unlock();
            entry.reset();
            return write(token, std::move(item));
        }
        if (is_disconnected_) {
            g.unlock();
            return SendResult<T>::disconnected(std::move(item));
        }
        return WaitContext::with([&](WaitContext& cx) -> SendResult<T> {
            Packet packet(/*in_frame=*/true);
            const Operation oper = Operation::hook(&token);
            // Register first: if that fails (std::bad_alloc), the item is
            // still the caller's, so nothing is destroyed while we hold the
            // mutex and the caller keeps what it tried to send. A receiver
            // can choose the packet only under the mutex, so filling it
            // after registering but before unlocking is soon enough.
            senders_.register_with_packet(oper, &packet, cx);
            packet.item.emplace(std::move(item));
            g.unlock();
            const Selected sel = cx.wait_until(std::nullopt);
            switch (sel.kind()) {
                case Selected::Kind::Operation:
                    // A receiver chose our packet and takes the item from it.
                    packet.wait_ready();
                    return SendResult<T>::sent();
                case Selected::Kind::Disconnected:
                    unregister_or_panic(senders_, oper);
                    return SendResult<T>::disconnected(packet.take());
                case Selected::Kind::Aborted:
                    // Only the owner aborts, and only at a deadline; this wait has none.
                    unregister_or_panic(senders_, oper);
                    panic("blocking send aborted without a deadline");
                case Selected::Kind::Waiting:
                    break;
            }
            panic("blocking wait ended while still waiting");  // wait_until() never returns Waiting
        });
    }

    RecvResult<T> recv() {
        Token token;
        std::unique_lock<std::mutex> g(mu_);
        if (std::optional<WaiterEntry> entry = senders_.try_select()) {
            token.zero.packet = entry->packet;
            g.unlock();
            entry.reset();
            return read(token);
        }
        if (is_disconnected_) {
            g.unlock();
            return RecvResult<T>::disconnected();
        }
        return WaitContext::with([&](WaitContext& cx) -> RecvResult<T> {
            Packet packet(/*in_frame=*/true);
            const Operation oper = Operation::hook(&token);
            receivers_.register_with_packet(oper, &packet, cx);
            g.unlock();
            const Selected sel = cx.wait_until(std::nullopt);
            switch (sel.kind()) {
                case Selected::Kind::Operation:
                    // A sender chose our packet and writes the item into it.
                    packet.wait_ready();
                    return RecvResult<T>::received(packet.take());
                case Selected::Kind::Disconnected:
                    unregister_or_panic(receivers_, oper);
                    return RecvResult<T>::disconnected();
                case Selected::Kind::Aborted:
                    // Only the owner aborts, and only at a deadline; this wait has none.
                    unregister_or_panic(receivers_, oper);
                    panic("blocking receive aborted without a deadline");
                case Selected::Kind::Waiting:
                    break;
            }
            panic("blocking wait ended while still waiting");  // wait_until() never returns Waiting
        });
    }

    bool is_empty() const noexcept { return true; }
    bool is_full() const noexcept { return true; }

    // The last end of either side is gone: wake every waiter of both sides.
    bool disconnect() {
        WakeBatch wakes;  // destroyed, waking its contexts, after the unlock
        std::lock_guard<std::mutex> g(mu_);
        if (is_disconnected_) return false;
        is_disconnected_ = true;
        senders_.disconnect(wakes);
        receivers_.disconnect(wakes);
        return true;
    }
    bool disconnect_senders() { return disconnect(); }
    bool disconnect_receivers() { return disconnect(); }

    // Selection steps. Registration carries a separate packet.
    bool send_register(Operation oper, WaitContext& cx) { return register_with_new_packet(senders_, receivers_, oper, cx); }
    void send_unregister(Operation oper) { unregister_and_free(senders_, oper); }
    bool send_is_ready() {
        std::lock_guard<std::mutex> g(mu_);
        return receivers_.can_select() || is_disconnected_;
    }
    bool recv_register(Operation oper, WaitContext& cx) { return register_with_new_packet(receivers_, senders_, oper, cx); }
    void recv_unregister(Operation oper) { unregister_and_free(receivers_, oper); }
    bool recv_is_ready() {
        std::lock_guard<std::mutex> g(mu_);
        return senders_.can_select() || is_disconnected_;
    }

private:
    bool register_with_new_packet(Waker& own, Waker& partners, Operation oper, WaitContext& cx) {
        Packet* packet = create<Packet>(AllocKind::Packet, /*in_frame=*/false);
        std::unique_lock<std::mutex> g(mu_);
        try {
            own.register_with_packet(oper, packet, cx);
        } catch (...) {
            g.unlock();
            engine::destroy(AllocKind::Packet, packet);
            throw;
        }
        return partners.can_select() || is_disconnected_;
    }

    void unregister_and_free(Waker& own, Operation oper) {
        std::optional<WaiterEntry> entry;
        {
            std::lock_guard<std::mutex> g(mu_);
            entry = own.unregister(oper);
        }
        // Still listed, so nobody chose it: the packet was never touched.
        if (entry) engine::destroy(AllocKind::Packet, static_cast<Packet*>(entry->packet));
    }

    void unregister_or_panic(Waker& own, Operation oper) {
        std::optional<WaiterEntry> entry;
        {
            std::lock_guard<std::mutex> g(mu_);
            entry = own.unregister(oper);
        }
        if (!entry) panic("wait-list entry missing at unregister");
    }

    std::mutex mu_;
    Waker senders_;                 // guarded by mu_
    Waker receivers_;               // guarded by mu_
    bool is_disconnected_ = false;  // guarded by mu_

    friend struct TestAccess;
};

}  // namespace quorvel::engine
