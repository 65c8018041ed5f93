// The call frame every entry from the interpreter passes through, the borrows
// that guard a matrix during a call, and the life of Matrix objects.
#pragma once

#include "binding/errors.hpp"
#include "matrix/matrix.hpp"
#include "runtime/compiler.hpp"
#include "runtime/panic.hpp"

#include <atomic>
#include <exception>
#include <new>
#include <optional>

namespace zendrik::py {

// Whether two threads may run the module's code at once: on an interpreter
// built without the GIL (Py_GIL_DISABLED). Only such a build gets what it
// alone needs: claims of the borrow flag by compare-exchange, the interpreter's
// lock on a bytearray being copied, list items read with references of their
// own, and the module's declaration that it runs without the GIL. With the
// GIL, which orders every call, the flag is read and written plainly: locked
// instructions there would only slow small calls (by about 1% measured).
#ifdef Py_GIL_DISABLED
inline constexpr bool free_threaded = true;
#else
inline constexpr bool free_threaded = false;
#endif

// Who holds a matrix's record: 0 free, n > 0 shared borrows, -1 borrowed
// exclusively. A claim that is refused leaves it as it was.
class BorrowFlag {
public:
    static constexpr Py_ssize_t exclusive_mark = -1;

    bool try_share() noexcept {
        Py_ssize_t seen = value_.load(std::memory_order_relaxed);
        if constexpr (free_threaded) {
            do {
                if (seen == exclusive_mark) return false;
            } while (!value_.compare_exchange_weak(seen, seen + 1, std::memory_order_acquire,
                                                   std::memory_order_relaxed));
        } else {
            if (seen == exclusive_mark) return false;
            value_.store(seen + 1, std::memory_order_relaxed);
        }
        return true;
    }
    bool try_take() noexcept {
        if constexpr (free_threaded) {
            Py_ssize_t unclaimed = 0;
            return value_.compare_exchange_strong(unclaimed, exclusive_mark, std::memory_order_acquire,
                                                  std::memory_order_relaxed);
        } else {
            if (value_.load(std::memory_order_relaxed) != 0) return false;
            value_.store(exclusive_mark, std::memory_order_relaxed);
            return true;
        }
    }
    void unshare() noexcept {
        if constexpr (free_threaded)
            value_.fetch_sub(1, std::memory_order_release);
        else
            value_.store(value_.load(std::memory_order_relaxed) - 1, std::memory_order_relaxed);
    }
    void give_back() noexcept { value_.store(0, std::memory_order_release); }

private:
    std::atomic<Py_ssize_t> value_{0};
};
static_assert(sizeof(BorrowFlag) == sizeof(Py_ssize_t) && std::atomic<Py_ssize_t>::is_always_lock_free);

// Layout of every Matrix instance.
struct MatrixObject {
    PyObject_HEAD
    Matrix record;
    BorrowFlag borrow_flag;
};

// How many of the module's frames are active on this thread. Read on every
// reference release: constinit and the initial-exec model keep each use a
// plain load, with neither an initialisation guard nor a call into the loader.
extern constinit thread_local Py_ssize_t frame_depth ZENDRIK_INITIAL_EXEC_TLS;
// Set once the interpreter has begun to end this thread by unwinding its
// stack (see guarded), as the unwind leaves the innermost call's borrow.
extern constinit thread_local bool thread_ending ZENDRIK_INITIAL_EXEC_TLS;
// Set while references wait in the deferred list; cheap to test on entry.
extern std::atomic<bool> releases_waiting;
void drain_pending_releases();
// Drops the deferred references unreleased: their runtime has been finalised.
void forget_pending_releases() noexcept;

// Counts the module's frames on this thread and performs deferred releases.
class FrameScope {
public:
    FrameScope() {
        ++frame_depth;
        if (releases_waiting.load(std::memory_order_acquire)) [[unlikely]]
            drain_pending_releases();
    }
    ~FrameScope() { --frame_depth; }
    FrameScope(const FrameScope&) = delete;
    FrameScope& operator=(const FrameScope&) = delete;
};

// Runs `body`; if it throws, returns `on_failure()`, run inside the handler
// (where `throw;` rethrows what was caught). The unwind of a thread that the
// interpreter ends (see guarded) is caught too where the C++ runtime can
// resume it (libstdc++, and every runtime off Linux, where it never comes),
// for `on_failure` to rethrow. libc++abi would enter a catch-all for it, as a
// foreign exception, and could only rethrow it as a new exception that no
// frame catches, which terminates: with libc++ on Linux, the module's own
// failures (PythonError, and std::exception for the rest) are caught by type,
// and that unwind passes as it passes any cleanup.
template <typename Body, typename OnFailure>
decltype(auto) catching_failures(Body&& body, OnFailure&& on_failure) {
#if defined(_LIBCPP_VERSION) && defined(__linux__)
    try {
        return body();
    } catch (const PythonError&) {
        return on_failure();
    } catch (const std::exception&) {
        return on_failure();
    }
#else
    try {
        return body();
    } catch (...) {
        return on_failure();
    }
#endif
}

// Turns the exception being handled into the interpreter's error. Called only
// from a handler inside a frame; returns null. The unwind of a thread that
// the interpreter ends at exit it rethrows.
PyObject* fail_with_current_exception();

// Runs `body` (returning OwnedRef) inside a frame with every failure caught.
// Returns the new reference, or null with the exception set. Inline, so that
// a call that succeeds pays for no indirection.
//
// Not noexcept, nor is any frame on the way from the interpreter to Python
// code the module calls: CPython 3.12 and 3.13 end a thread that wants the
// interpreter back after finalisation began with pthread_exit, which glibc
// carries out by unwinding the thread's stack. That unwind must pass every
// frame (a noexcept one would abort the process), and touches no Python
// object on its way (see attached_to_interpreter).
template <typename Body>
PyObject* guarded(Body&& body) {
    FrameScope frame;
    return catching_failures([&] { return body().release(); }, [] { return fail_with_current_exception(); });
}

// The Matrix type, made on first need; a failure to make it inside a call
// is a panic. Made with the type registration.
extern std::atomic<PyTypeObject*> matrix_type_made;
PyTypeObject* make_matrix_type_in_call();
inline PyTypeObject* matrix_type_in_call() {
    if (PyTypeObject* type = matrix_type_made.load(std::memory_order_acquire)) [[likely]]
        return type;
    return make_matrix_type_in_call();
}

// The failures of a borrow, out of the way of the calls that succeed.
[[noreturn]] void refuse_receiver(PyObject* receiver);
[[noreturn]] void refuse_borrow(bool exclusive);

enum class Access { shared, exclusive };

// Runs `body`; if the interpreter ends this thread meanwhile by unwinding its
// stack (see guarded), marks the thread as ending (thread_ending) as the
// unwind passes. A cleanup rather than a handler, so that the unwind goes on
// untouched under every C++ runtime; costs one store when `body` returns.
template <typename Body>
auto watching_for_thread_end(Body&& body) {
    struct Watch {
        bool returned = false;
        Watch() = default;
        Watch(const Watch&) = delete;
        Watch& operator=(const Watch&) = delete;
        ~Watch() {
            if (!returned && !attached_to_interpreter()) [[unlikely]]
                thread_ending = true;
        }
    } watch;
    auto result = body();
    watch.returned = true;
    return result;
}

// A borrow of a Matrix for the length of one call: checks the receiver,
// claims the borrow flag and holds a strong reference until released.
template <Access access>
class Borrow {
public:
    explicit Borrow(PyObject* receiver) {
        PyTypeObject* type = matrix_type_in_call();
        if (Py_TYPE(receiver) != type && !PyType_IsSubtype(Py_TYPE(receiver), type)) [[unlikely]]
            refuse_receiver(receiver);
        object_ = reinterpret_cast<MatrixObject*>(receiver);
        if constexpr (access == Access::shared) {
            if (!object_->borrow_flag.try_share()) [[unlikely]]
                refuse_borrow(false);
        } else {
            if (!object_->borrow_flag.try_take()) [[unlikely]]
                refuse_borrow(true);
        }
        Py_INCREF(receiver);
    }
    ~Borrow() {
        if constexpr (access == Access::shared)
            object_->borrow_flag.unshare();
        else
            object_->borrow_flag.give_back();
        // A thread being ended has no thread state: the reference stays with
        // the ending process.
        if (!thread_ending) [[likely]]
            Py_DECREF(reinterpret_cast<PyObject*>(object_));
    }
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

// Runs `body(record)` with the receiver borrowed for the length of the call.
template <Access access, typename Body>
OwnedRef with_borrow(PyObject* receiver, Body&& body) {
    Borrow<access> matrix(receiver);
    return watching_for_thread_end([&] { return body(matrix.record()); });
}

// Runs `work`, which touches no Python object, detached from the interpreter
// on builds without the GIL, so that a stop-the-world pause (a collection) in
// another thread never waits for it; the borrow held by the caller keeps the
// record unchanged. Attaches again however `work` ends. Once finalisation has
// begun, attaching ends any thread but the finalising one by unwinding it
// (see guarded): that is done here, outside any destructor, so the unwind
// passes. With the GIL it only runs `work`: the module holds it throughout.
template <typename Work>
auto run_detached(Work&& work) {
#ifndef Py_GIL_DISABLED
    return work();
#else
    PyThreadState* const saved = PyEval_SaveThread();
    std::optional<decltype(work())> result;
    try {
        result.emplace(work());
    } catch (...) {
        PyEval_RestoreThread(saved);
        throw;
    }
    PyEval_RestoreThread(saved);
    return std::move(*result);
#endif
}

// A new object of `type` owning `record`.
OwnedRef new_matrix_object(PyTypeObject* type, Matrix&& record);
// A new object of exactly the Matrix type, for results.
OwnedRef new_matrix_result(Matrix&& record);

// Py_tp_dealloc of Matrix.
void matrix_dealloc(PyObject* self);

}  // namespace zendrik::py
