// Owned and borrowed references to Python objects, written as C++ types.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <utility>

namespace zendrik::py {

// Whether this thread has its interpreter thread state. Inside a call it
// always has, but while CPython 3.12 or 3.13 unwinds a thread that it ends
// because the interpreter is finalising (one that wanted the interpreter back
// after finalisation began): such a thread leaves every Python object alone.
inline bool attached_to_interpreter() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return PyThreadState_GetUnchecked() != nullptr;
#else
    return _PyThreadState_UncheckedGet() != nullptr;
#endif
}

// Releases one reference now when a frame of the module is active on this
// thread, otherwise defers it to the next frame entry on any thread. May run
// the object's finaliser, Python code, and so may unwind.
void release_reference(PyObject* object);

// Sole owner of one strong reference; releases it when dropped.
class OwnedRef {
public:
    OwnedRef() noexcept = default;
    OwnedRef(const OwnedRef&) = delete;
    OwnedRef& operator=(const OwnedRef&) = delete;
    OwnedRef(OwnedRef&& other) noexcept : object_(other.release()) {}
    // Releasing may run Python code, which a thread ending at exit leaves by
    // unwinding: neither may be noexcept.
    OwnedRef& operator=(OwnedRef&& other) noexcept(false) {
        OwnedRef(std::move(other)).swap(*this);
        return *this;
    }
    ~OwnedRef() noexcept(false) {
        if (object_ != nullptr) release_reference(object_);
    }

    // Takes over a new reference (may be null).
    static OwnedRef steal(PyObject* object) noexcept { return OwnedRef(object); }
    // Takes a new reference to a borrowed object.
    static OwnedRef take_new(PyObject* object) noexcept {
        Py_XINCREF(object);
        return OwnedRef(object);
    }

    PyObject* get() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }
    // Hands the reference to the caller.
    PyObject* release() noexcept { return std::exchange(object_, nullptr); }
    void swap(OwnedRef& other) noexcept { std::swap(object_, other.object_); }

private:
    explicit OwnedRef(PyObject* object) noexcept : object_(object) {}
    PyObject* object_ = nullptr;
};

// Stores `made`, a new reference, in `cell` unless another thread or a nested
// call stored an object there first; the object the cell holds is returned,
// and a `made` that lost is released before anyone has seen it. What is kept
// is made once and seen whole by every thread.
template <typename Object>
Object* publish_once(std::atomic<Object*>& cell, Object* made) noexcept {
    Object* first = nullptr;
    if (cell.compare_exchange_strong(first, made, std::memory_order_acq_rel,
                                     std::memory_order_acquire))
        return made;
    Py_DECREF(reinterpret_cast<PyObject*>(made));
    return first;
}

}  // namespace zendrik::py
