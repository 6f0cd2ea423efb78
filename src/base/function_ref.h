// base/function_ref: a non-owning reference to a callable.
//
// Lets a non-template function (the parking table's park and unpark) take a
// lambda without allocating. It holds the callable's address and a trampoline;
// the callable must outlive every call made through the reference.
#pragma once

#include <memory>
#include <type_traits>
#include <utility>

namespace quorvel {

// A non-owning reference to a callable, cheap to pass to a non-template
// function. The callable must outlive the call it is passed to.
template <class Sig>
class FunctionRef;

template <class R, class... Args>
class FunctionRef<R(Args...)> {
public:
    template <class F>
        requires(!std::is_same_v<std::remove_cvref_t<F>, FunctionRef> &&
                 std::is_invocable_r_v<R, F&, Args...>)
    FunctionRef(F&& f) noexcept  // NOLINT: implicit by design, like a function pointer
        : obj_(const_cast<void*>(static_cast<const void*>(std::addressof(f)))),
          call_([](void* obj, Args... args) -> R {
              return (*static_cast<std::remove_reference_t<F>*>(obj))(std::forward<Args>(args)...);
          }) {}

    R operator()(Args... args) const { return call_(obj_, std::forward<Args>(args)...); }

private:
    void* obj_;
    R (*call_)(void*, Args...);
};

}  // namespace quorvel
