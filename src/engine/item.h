// engine/item: storage for one item inside a slot, a block or a packet.
//
// ItemCell<T> is raw storage that holds either nothing or one T; the slot's
// own state word (stamp, WRITE bit) says which. put() moves an item in, take()
// moves it out and destroys the moved-from storage, destroy() ends an item
// still stored. Each stored item is therefore destroyed exactly once, by
// whichever thread takes or discards it.
// A contentless item type (empty, trivial) takes no storage at all: with
// [[no_unique_address]] the cell adds nothing to its slot.
#pragma once

#include <new>
#include <type_traits>
#include <utility>

namespace quorvel::engine {

// The contentless item, for signals that carry no payload.
struct Unit {
    friend bool operator==(Unit, Unit) noexcept { return true; }
};

template <class T>
inline constexpr bool kContentless = std::is_empty_v<T> && std::is_trivially_default_constructible_v<T> &&
                                     std::is_trivially_destructible_v<T>;

template <class T>
concept ChannelItem = std::is_nothrow_move_constructible_v<T> && std::is_nothrow_destructible_v<T>;

template <class T, bool = kContentless<T>>
class ItemCell {
public:
    void put(T&& item) noexcept { ::new (static_cast<void*>(bytes_)) T(std::move(item)); }
    T take() noexcept {
        T* p = std::launder(reinterpret_cast<T*>(bytes_));
        T out(std::move(*p));
        p->~T();
        return out;
    }
    void destroy() noexcept { std::launder(reinterpret_cast<T*>(bytes_))->~T(); }

private:
    alignas(T) unsigned char bytes_[sizeof(T)];
};

template <class T>
class ItemCell<T, true> {
public:
    void put(T&&) noexcept {}
    T take() noexcept { return T{}; }
    void destroy() noexcept {}
};

}  // namespace quorvel::engine
