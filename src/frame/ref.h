// frame/ref: owning handles for Python references.
//
// `Owned` holds one strong reference and releases it with Py_DECREF; it is for
// code that runs attached to the interpreter. Ownership is spelled out where a
// handle is made: Owned::steal(new_ref) takes over a reference the caller got
// from the C API, Owned::incref(borrowed) takes a new one.
//
// `Item` is the owning handle stored in native structures (channel items, job
// records): its destructor goes through deferred release, so it may run on a
// thread that is not attached (a detached wait, a worker between jobs).
#pragma once

#include <utility>

#include "frame/python.h"

namespace quorvel::frame {

// Releases `obj` now when the thread is attached, or queues it for the next
// thread that enters the interpreter through this module (frame/attach.cpp).
void release(PyObject* obj) noexcept;

class Owned {
public:
    Owned() noexcept = default;
    static Owned steal(PyObject* obj) noexcept { return Owned(obj); }
    static Owned incref(PyObject* obj) noexcept { return Owned(Py_XNewRef(obj)); }

    Owned(Owned&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
    Owned& operator=(Owned&& other) noexcept {
        if (this != &other) {
            Py_XDECREF(obj_);
            obj_ = std::exchange(other.obj_, nullptr);
        }
        return *this;
    }
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    ~Owned() { Py_XDECREF(obj_); }

    PyObject* get() const noexcept { return obj_; }
    explicit operator bool() const noexcept { return obj_ != nullptr; }
    // Gives up ownership: the caller now owns the reference.
    PyObject* release() noexcept { return std::exchange(obj_, nullptr); }

private:
    explicit Owned(PyObject* obj) noexcept : obj_(obj) {}
    PyObject* obj_ = nullptr;
};

class Item {
public:
    Item() noexcept = default;
    static Item steal(PyObject* obj) noexcept { return Item(obj); }
    static Item incref(PyObject* obj) noexcept { return Item(Py_XNewRef(obj)); }

    Item(Item&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
    Item& operator=(Item&& other) noexcept {
        if (this != &other) {
            if (obj_) frame::release(obj_);
            obj_ = std::exchange(other.obj_, nullptr);
        }
        return *this;
    }
    Item(const Item&) = delete;
    Item& operator=(const Item&) = delete;
    ~Item() {
        if (obj_) frame::release(obj_);
    }

    PyObject* get() const noexcept { return obj_; }
    explicit operator bool() const noexcept { return obj_ != nullptr; }
    PyObject* release() noexcept { return std::exchange(obj_, nullptr); }

private:
    explicit Item(PyObject* obj) noexcept : obj_(obj) {}
    PyObject* obj_ = nullptr;
};

}  // namespace quorvel::frame
