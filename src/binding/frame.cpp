#include "binding/frame.hpp"

#include "runtime/compiler.hpp"

#include <atomic>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <vector>

namespace zendrik::py {

// Read on every reference release: the initial-exec model keeps that a plain
// load instead of a call into the dynamic loader.
constinit thread_local Py_ssize_t frame_depth ZENDRIK_INITIAL_EXEC_TLS = 0;
constinit thread_local bool thread_ending ZENDRIK_INITIAL_EXEC_TLS = false;
std::atomic<bool> releases_waiting{false};

namespace {

// References released while no frame was active on their thread; the next
// frame entry on any thread releases them.
std::mutex pending_mutex;
std::vector<PyObject*> pending_releases;

}  // namespace

void drain_pending_releases() {
    std::vector<PyObject*> taken;
    {
        std::lock_guard lock(pending_mutex);
        taken.swap(pending_releases);
        releases_waiting.store(false, std::memory_order_release);
    }
    for (PyObject* object : taken) Py_DECREF(object);
}

void forget_pending_releases() noexcept {
    std::lock_guard lock(pending_mutex);
    pending_releases.clear();
    releases_waiting.store(false, std::memory_order_release);
}

void release_reference(PyObject* object) {
    if (frame_depth > 0) {
        // Without a thread state this thread is being ended by the finalising
        // interpreter: what it held is left to the ending process.
        if (attached_to_interpreter()) [[likely]]
            Py_DECREF(object);
        return;
    }
    try {
        std::lock_guard lock(pending_mutex);
        pending_releases.push_back(object);
        releases_waiting.store(true, std::memory_order_release);
    } catch (...) {
        // No memory to remember it: keeping the object alive is the safe loss.
    }
}

namespace {

// A panic while setting the error cannot be reported to Python any more.
void set_error(PendingError&& error) {
    catching_failures([&] { restore(std::move(error)); }, [] {
        if (!attached_to_interpreter()) throw;  // the thread is ending: let it
        abort_process("uncaught panic at ffi boundary");
    });
}

}  // namespace

PyObject* fail_with_current_exception() {
    // A thread that the finalising interpreter ends is unwound (see
    // attached_to_interpreter): that unwind goes on, through every frame.
    if (!attached_to_interpreter()) throw;
    std::optional<PendingError> failure;
    try {
        throw;
    } catch (PythonError& raised) {
        failure.emplace(std::move(raised.error));
    } catch (Panic& caught) {
        caught.report();
        failure.emplace(PendingError::panic(caught.take_message()));
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::length_error&) {
        // A size past what a container can hold: no memory could serve it.
        return PyErr_NoMemory();
    } catch (...) {
        try {
            failure.emplace(PendingError::panic("native code failed with an unknown exception"));
        } catch (...) {
            abort_process("panic in a function that cannot unwind",
                          "thread caused non-unwinding panic. aborting.");
        }
    }
    set_error(std::move(*failure));
    return nullptr;
}

void refuse_receiver(PyObject* receiver) {
    raise(PendingError::cannot_convert(Py_TYPE(receiver), "Matrix"));
}

void refuse_borrow(bool exclusive) {
    if (exclusive) raise_message(PyExc_RuntimeError, "Already borrowed");
    raise_message(PyExc_RuntimeError, "Already mutably borrowed");
}

OwnedRef new_matrix_object(PyTypeObject* type, Matrix&& record) {
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    if (alloc == nullptr) alloc = PyType_GenericAlloc;
    OwnedRef object = OwnedRef::steal(alloc(type, 0));
    if (!object) raise_fetched();
    auto* matrix = reinterpret_cast<MatrixObject*>(object.get());
    std::construct_at(&matrix->record, std::move(record));
    std::construct_at(&matrix->borrow_flag);
    return object;
}

OwnedRef new_matrix_result(Matrix&& record) {
    return new_matrix_object(matrix_type_in_call(), std::move(record));
}

void matrix_dealloc(PyObject* self) {
    // A deallocator may run while an exception is being propagated: keep it.
    PyObject* in_flight = PyErr_GetRaisedException();
    PyObject* done = guarded([self] {
        PyTypeObject* type = Py_TYPE(self);
        std::destroy_at(&reinterpret_cast<MatrixObject*>(self)->record);
        reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
        Py_DECREF(type);
        return OwnedRef::take_new(Py_None);
    });
    if (done == nullptr)
        PyErr_WriteUnraisable(nullptr);
    else
        Py_DECREF(done);
    PyErr_SetRaisedException(in_flight);
}

}  // namespace zendrik::py
