// base/panic: the single path for broken invariants and native limits.
//
// Engine code (no Python in it) calls quorvel::panic("message") when it meets a
// condition it cannot handle. That throws quorvel::Panic; the call frame
// catches it at the boundary with the interpreter and raises PanicException
// with the same message. Nothing else in the engines throws, apart from
// std::bad_alloc when memory runs out, which the frame reports as MemoryError.
#pragma once

#include <exception>
#include <string>
#include <utility>

namespace quorvel {

class Panic final : public std::exception {
public:
    explicit Panic(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const noexcept { return message_; }

private:
    std::string message_;
};

[[noreturn]] inline void panic(std::string message) { throw Panic(std::move(message)); }

}  // namespace quorvel
