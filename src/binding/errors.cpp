#include "binding/errors.hpp"

#include "runtime/panic.hpp"

#include <cstdio>
#include <cstdlib>
#include <new>

namespace zendrik::py {
namespace {

constexpr const char* panic_exception_name = "pyo3_runtime.PanicException";
constexpr const char* panic_exception_doc =
    "\nThe exception raised when native code called from Python panics.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";
constexpr const char* unnamed_type = "<failed to extract type name>";

std::atomic<PyObject*> panic_class{nullptr};  // filled once, kept for the life of the process

std::string qualified_name(PyTypeObject* type) {
    OwnedRef name = OwnedRef::steal(PyType_GetQualName(type));
    const char* text = name ? PyUnicode_AsUTF8(name.get()) : nullptr;
    if (text == nullptr) {
        PyErr_Clear();
        return unnamed_type;
    }
    return text;
}

}  // namespace

std::optional<std::string> lossy_utf8(PyObject* text) {
    OwnedRef encoded = OwnedRef::steal(PyUnicode_AsEncodedString(text, "utf-8", "surrogatepass"));
    OwnedRef decoded;
    if (encoded)
        decoded = OwnedRef::steal(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(encoded.get()),
                                                       PyBytes_GET_SIZE(encoded.get()), "replace"));
    Py_ssize_t size = 0;
    const char* utf8 = decoded ? PyUnicode_AsUTF8AndSize(decoded.get(), &size) : nullptr;
    if (utf8 == nullptr) {
        PyErr_Clear();
        return std::nullopt;
    }
    return std::string(utf8, static_cast<std::size_t>(size));
}

PendingError PendingError::message(PyObject* type, std::string text) {
    return PendingError(Lazy{LazyKind::message, type, std::move(text), {}});
}

PendingError PendingError::cannot_convert(PyTypeObject* object_type, const char* target) {
    return PendingError(Lazy{LazyKind::cannot_convert, PyExc_TypeError, target,
                             OwnedRef::take_new(reinterpret_cast<PyObject*>(object_type))});
}

PendingError PendingError::panic(std::string text) noexcept {
    return PendingError(Lazy{LazyKind::panic, nullptr, std::move(text), {}});
}

PendingError PendingError::normalized(OwnedRef exception) noexcept {
    return PendingError(std::move(exception));
}

std::pair<OwnedRef, OwnedRef> PendingError::produce(Lazy& lazy) {
    auto str = [](const std::string& text) {
        return OwnedRef::steal(
            PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    };
    switch (lazy.kind) {
    case LazyKind::message:
        return {OwnedRef::take_new(lazy.type), str(lazy.text)};
    case LazyKind::cannot_convert: {
        auto* object_type = reinterpret_cast<PyTypeObject*>(lazy.object_type.get());
        std::string text = "'";
        text.append(qualified_name(object_type))
            .append("' object cannot be converted to '")
            .append(lazy.text)
            .append("'");
        return {OwnedRef::take_new(PyExc_TypeError), str(text)};
    }
    case LazyKind::panic: {
        OwnedRef type = OwnedRef::take_new(panic_exception_type());
        OwnedRef text = str(lazy.text);
        OwnedRef args = text ? OwnedRef::steal(PyTuple_New(1)) : OwnedRef();
        if (args) PyTuple_SET_ITEM(args.get(), 0, text.release());
        return {std::move(type), std::move(args)};
    }
    }
    return {};
}

void restore(PendingError&& error) {
    PendingError::State state = std::exchange(error.state_, PendingError::Normalizing{});
    if (auto* instance = std::get_if<OwnedRef>(&state)) {
        PyErr_SetRaisedException(instance->release());
        return;
    }
    auto* lazy = std::get_if<PendingError::Lazy>(&state);
    if (lazy == nullptr) panic("PyErr state should never be invalid outside of normalization");
    std::pair<OwnedRef, OwnedRef> produced;
    try {
        produced = PendingError::produce(*lazy);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    }
    auto& [type, value] = produced;
    if (!value) {
        // Building the exception ran out of memory: that MemoryError is the error now.
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, no_exception_set);
        return;
    }
    if (PyExceptionClass_Check(type.get()))
        PyErr_SetObject(type.get(), value.get());
    else
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
}

PyObject* normalize(PendingError& error) {
    if (auto* instance = std::get_if<OwnedRef>(&error.state_)) return instance->get();
    if (std::holds_alternative<PendingError::Normalizing>(error.state_))
        panic("Cannot normalize a PyErr while already normalizing it.");
    PendingError lazy(std::exchange(error.state_, PendingError::Normalizing{}));
    restore(std::move(lazy));
    PyObject* instance = PyErr_GetRaisedException();
    if (instance == nullptr) panic("exception missing after writing to the interpreter");
    error.state_ = OwnedRef::steal(instance);
    return instance;
}

void raise(PendingError error) { throw PythonError{std::move(error)}; }

void raise_message(PyObject* type, std::string text) {
    raise(PendingError::message(type, std::move(text)));
}

std::optional<PendingError> take() {
    OwnedRef exception = OwnedRef::steal(PyErr_GetRaisedException());
    if (!exception) return std::nullopt;
    if (reinterpret_cast<PyObject*>(Py_TYPE(exception.get())) != panic_exception_type())
        return PendingError::normalized(std::move(exception));

    // A panic that left the module earlier has come back through Python code.
    std::optional<std::string> message;
    if (OwnedRef text = OwnedRef::steal(PyObject_Str(exception.get())))
        message = lossy_utf8(text.get());
    else
        PyErr_Clear();
    std::fputs("--- PyO3 is resuming a panic after fetching a PanicException from Python. ---\n",
               stderr);
    std::fputs("Python stack trace below:\n", stderr);
    // The traceback goes through Python's own stream: what stands in the C
    // stream's buffer (a file or pipe on Windows is buffered) must go first.
    std::fflush(stderr);
    PyErr_SetRaisedException(exception.release());
    PyErr_PrintEx(0);
    resume_panic(message ? std::move(*message) : "Unwrapped panic from Python code");
}

PendingError fetch() {
    if (auto error = take()) return std::move(*error);
    return PendingError::message(PyExc_SystemError, no_exception_set);
}

void raise_fetched() { raise(fetch()); }

PyObject* panic_exception_type() {
    if (PyObject* made = panic_class.load(std::memory_order_acquire)) return made;
    OwnedRef base = OwnedRef::take_new(PyExc_BaseException);
    PyObject* created = PyErr_NewExceptionWithDoc(panic_exception_name, panic_exception_doc,
                                                  base.get(), nullptr);
    if (created == nullptr) {
        OwnedRef cause = OwnedRef::steal(PyErr_GetRaisedException());
        // Running out of memory is no broken invariant: it must reach Python as
        // MemoryError, and a panic here, while a panic is being raised, aborts.
        if (cause && PyErr_GivenExceptionMatches(cause.get(), PyExc_MemoryError))
            throw std::bad_alloc();
        OwnedRef text = OwnedRef::steal(cause ? PyObject_Str(cause.get()) : nullptr);
        const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
        PyErr_Clear();
        panic(std::string("Failed to initialize new exception type.: ") +
              (utf8 != nullptr ? utf8 : "unknown error"));
    }
    // Python code run while the class was made, or another thread, may have
    // filled the cell first.
    return publish_once(panic_class, created);
}

void abort_process(const char* message, const char* last_words) noexcept {
    report_failure(message, std::source_location::current());
    if (last_words != nullptr) std::fprintf(stderr, "%s\n", last_words);
    // abort() does not flush streams everywhere (Windows' C runtime does not).
    std::fflush(stderr);
    std::abort();
}

}  // namespace zendrik::py
