// The call frame every entry from the interpreter passes through, the borrows
// that guard a matrix during a call, and the life of Matrix objects.
#pragma once

#include "binding/errors.hpp"
#include "matrix/matrix.hpp"
#include "runtime/panic.hpp"

#include <new>

namespace zendrik::py {

// Layout of every Matrix instance.
struct MatrixObject {
    PyObject_HEAD
    Matrix record;
    // 0 free, n > 0 shared borrows, -1 borrowed exclusively.
    Py_ssize_t borrow_flag;
};

// Counts the module's frames on this thread and performs deferred releases.
class FrameScope {
public:
    FrameScope() noexcept;
    ~FrameScope();
    FrameScope(const FrameScope&) = delete;
    FrameScope& operator=(const FrameScope&) = delete;
};

// A call of some callable returning OwnedRef, passed without templates so
// that the one protected region below serves every entry point.
class EntryBody {
public:
    template <typename Body>
    EntryBody(Body& body) noexcept
        : body_(&body), call_([](void* callable) { return (*static_cast<Body*>(callable))(); }) {}
    OwnedRef operator()() const { return call_(body_); }

private:
    void* body_;
    OwnedRef (*call_)(void*);
};

// Runs `body` inside a frame with every failure caught. Returns the new
// reference, or null with the exception set.
PyObject* run_entry(EntryBody body) noexcept;

template <typename Body>
PyObject* guarded(Body&& body) noexcept {
    return run_entry(EntryBody(body));
}

enum class Access { shared, exclusive };

// A borrow of a Matrix for the length of one call: checks the receiver,
// claims the borrow flag and holds a strong reference until released.
template <Access access>
class Borrow {
public:
    explicit Borrow(PyObject* receiver);
    ~Borrow();
    Borrow(const Borrow&) = delete;
    Borrow& operator=(const Borrow&) = delete;

    auto& record() const noexcept {
        if constexpr (access == Access::shared)
            return std::as_const(object_->record);
        else
            return object_->record;
    }

private:
    MatrixObject* object_;
};

// A new object of `type` owning `record`.
OwnedRef new_matrix_object(PyTypeObject* type, Matrix&& record);
// A new object of exactly the Matrix type, for results.
OwnedRef new_matrix_result(Matrix&& record);

// The Matrix type, made on first need; a failure to make it inside a call
// is a panic. Defined with the type registration.
PyTypeObject* matrix_type_in_call();

// Py_tp_dealloc of Matrix.
void matrix_dealloc(PyObject* self) noexcept;

}  // namespace zendrik::py
