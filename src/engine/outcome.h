// engine/outcome: what channel operations report, as plain values.
//
// The engine never throws for an expected condition. A send reports Sent,
// Full (non-blocking only) or Disconnected, and gives the item back with the
// last two; a receive reports Received with the item, Empty (non-blocking
// only) or Disconnected. Time limits are not an outcome of these operations:
// they come from Select (SelectTimeout, engine/select.h).
#pragma once

#include <cstdint>
#include <optional>
#include <utility>

namespace quorvel::engine {

enum class SendStatus : uint8_t {
    Sent,          // the item is in the channel (or in the partner's hands)
    Full,          // try_send: no room, or no zero-capacity partner waiting
    Disconnected,  // every receiver is gone
};

template <class T>
struct [[nodiscard]] SendResult {
    SendStatus status;
    std::optional<T> item;  // the item given back; engaged exactly when status != Sent

    static SendResult sent() { return {SendStatus::Sent, std::nullopt}; }
    static SendResult full(T&& item) { return {SendStatus::Full, std::optional<T>(std::move(item))}; }
    static SendResult disconnected(T&& item) {
        return {SendStatus::Disconnected, std::optional<T>(std::move(item))};
    }
    bool ok() const noexcept { return status == SendStatus::Sent; }
};

enum class RecvStatus : uint8_t {
    Received,      // `item` holds what was received
    Empty,         // try_recv: nothing there now
    Disconnected,  // every sender is gone and nothing is left
};

template <class T>
struct [[nodiscard]] RecvResult {
    RecvStatus status;
    std::optional<T> item;  // engaged exactly when status == Received

    static RecvResult received(T&& item) { return {RecvStatus::Received, std::optional<T>(std::move(item))}; }
    static RecvResult empty() { return {RecvStatus::Empty, std::nullopt}; }
    static RecvResult disconnected() { return {RecvStatus::Disconnected, std::nullopt}; }
    bool ok() const noexcept { return status == RecvStatus::Received; }
};

}  // namespace quorvel::engine
