// Python errors in flight through the module, and the PanicException class.
#pragma once

#include "binding/refs.hpp"

#include <optional>
#include <string>
#include <variant>

namespace zendrik::py {

// One Python error that is not set in the interpreter. Lazy errors hold only
// what is needed to build the exception when it is raised; normalised ones
// hold the exception instance.
class PendingError {
public:
    // `type` is one of the interpreter's static exception types (PyExc_*).
    static PendingError message(PyObject* type, std::string text);
    // TypeError "'{qualname of object_type}' object cannot be converted to '{target}'",
    // worded only when raised.
    static PendingError cannot_convert(PyTypeObject* object_type, const char* target);
    // PanicException carrying `text`.
    static PendingError panic(std::string text) noexcept;
    static PendingError normalized(OwnedRef exception) noexcept;

    PendingError(PendingError&&) noexcept = default;
    PendingError& operator=(PendingError&&) noexcept = default;

    friend void restore(PendingError&& error);
    friend PyObject* normalize(PendingError& error);

private:
    enum class LazyKind { message, cannot_convert, panic };
    struct Lazy {
        LazyKind kind;
        PyObject* type;  // static exception type, for LazyKind::message
        std::string text;
        OwnedRef object_type;  // for LazyKind::cannot_convert
    };
    struct Normalizing {};
    using State = std::variant<Normalizing, Lazy, OwnedRef>;

    explicit PendingError(State state) noexcept : state_(std::move(state)) {}
    // Builds the (type, value) pair of a lazy error; null value on failure,
    // with the interpreter's error set.
    static std::pair<OwnedRef, OwnedRef> produce(Lazy& lazy);

    State state_;
};

// Carries a PendingError from wherever it arose to the call frame, the only
// place that catches it.
struct PythonError {
    PendingError error;
};

[[noreturn]] void raise(PendingError error);
[[noreturn]] void raise_message(PyObject* type, std::string text);

// Sets the error as the interpreter's current exception.
void restore(PendingError&& error);
// The exception instance of the error (borrowed), made first if it is lazy.
PyObject* normalize(PendingError& error);

// Fetches and clears the interpreter's current exception. A PanicException
// that comes back this way is resumed: it ends the call as a new panic.
std::optional<PendingError> take();
// take(), or SystemError when an interpreter call failed without saying why.
PendingError fetch();
// Throws the interpreter's current error as a PythonError.
[[noreturn]] void raise_fetched();

PyObject* panic_exception_type();

// The text of a str as UTF-8, with lone surrogates turned into U+FFFD;
// nothing when even that fails.
std::optional<std::string> lossy_utf8(PyObject* text);

// Reports a failure that cannot be turned into a Python exception, then aborts.
[[noreturn]] void abort_process(const char* message, const char* last_words = nullptr) noexcept;

inline constexpr const char* no_exception_set = "attempted to fetch exception but none was set";

}  // namespace zendrik::py
