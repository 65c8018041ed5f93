// Matching call arguments to parameter names, converting them to the values
// the matrix core takes, and building the Python objects it returns.
#pragma once

#include "binding/errors.hpp"
#include "matrix/matrix.hpp"

#include <array>
#include <atomic>
#include <span>
#include <string_view>

namespace zendrik::py {

struct KeywordOnlyParameter {
    std::string_view name;
    bool required;
};

// How a method's parameters may be given; one constant record per method.
struct ParameterSpec {
    const char* class_name;  // null for a plain function
    std::string_view method_name;
    std::span<const std::string_view> positional_names;
    std::size_t positional_only_count;
    std::size_t required_positional_count;
    std::span<const KeywordOnlyParameter> keyword_only;

    constexpr std::size_t parameter_count() const noexcept {
        return positional_names.size() + keyword_only.size();
    }
    constexpr std::string_view parameter_name(std::size_t slot) const noexcept {
        return slot < positional_names.size() ? positional_names[slot]
                                              : keyword_only[slot - positional_names.size()].name;
    }
};

// Fill `slots` (one per parameter, borrowed references) or raise the
// TypeError that names the method.
void parse_vector_call(const ParameterSpec& spec, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames, std::span<PyObject*> slots);
void parse_tuple_call(const ParameterSpec& spec, PyObject* args, PyObject* kwargs,
                      std::span<PyObject*> slots);

// Converts a failed conversion's error into the one reported for parameter `name`.
PendingError wrap_argument_error(std::string_view name, PendingError error);

// The matched arguments of one call, converted one at a time by name.
template <std::size_t count>
class Arguments {
public:
    Arguments(const ParameterSpec& spec, PyObject* const* args, Py_ssize_t nargs,
              PyObject* kwnames)
        : spec_(spec) {
        // Every parameter given by position, as nearly every call gives them:
        // read in place. (Copying them would load, as one, values that the
        // interpreter has just stored one by one, which stalls the processor.)
        if (kwnames == nullptr && nargs == static_cast<Py_ssize_t>(count) &&
            spec.positional_names.size() == count) [[likely]] {
            slots_ = args;
        } else {
            matched_.fill(nullptr);
            parse_vector_call(spec, args, nargs, kwnames, matched_);
            slots_ = matched_.data();
        }
    }
    Arguments(const ParameterSpec& spec, PyObject* args, PyObject* kwargs) : spec_(spec) {
        matched_.fill(nullptr);
        parse_tuple_call(spec, args, kwargs, matched_);
        slots_ = matched_.data();
    }
    Arguments(const Arguments&) = delete;
    Arguments& operator=(const Arguments&) = delete;

    // Converts parameter `slot`; a failure is reported for that parameter.
    template <typename Extract>
    auto convert(std::size_t slot, Extract extract) const {
        try {
            return extract(slots_[slot]);
        } catch (PythonError& failed) {
            raise(py::wrap_argument_error(spec_.parameter_name(slot), std::move(failed.error)));
        }
    }

private:
    const ParameterSpec& spec_;
    std::array<PyObject*, count> matched_;  // filled only when the arguments need matching
    PyObject* const* slots_;
};

Index extract_index_by_interpreter(PyObject* object);
// An exact int held inline is read without a call; anything else, negative
// values included, by the interpreter.
inline Index extract_index(PyObject* object) {
    auto* number = reinterpret_cast<PyLongObject*>(object);
    if (PyLong_CheckExact(object) && PyUnstable_Long_IsCompact(number)) [[likely]] {
        const Py_ssize_t value = PyUnstable_Long_CompactValue(number);
        if (value >= 0) [[likely]]
            return static_cast<Index>(value);
    }
    return extract_index_by_interpreter(object);
}
Byte extract_byte(PyObject* object);
Row extract_byte_vector(PyObject* object);
Rows extract_byte_rows(PyObject* object);

// The ints 0 to 255, made on first need and kept for the life of the
// process (borrowed from the table). The interpreter keeps one object for each
// of them anyway, so a result is the very object it would have made.
inline constexpr std::size_t byte_int_count = 256;
extern std::atomic<PyObject* const*> byte_ints_made;
PyObject* const* make_byte_ints();
inline PyObject* const* byte_ints() {
    if (PyObject* const* made = byte_ints_made.load(std::memory_order_acquire)) [[likely]]
        return made;
    return make_byte_ints();
}

// Result builders: each returns a new reference.
inline OwnedRef byte_to_int(Byte value) { return OwnedRef::steal(Py_NewRef(byte_ints()[value])); }
OwnedRef large_size_to_int(Index value);
inline OwnedRef size_to_int(Index value) {
    if (value < byte_int_count) return OwnedRef::steal(Py_NewRef(byte_ints()[value]));
    return large_size_to_int(value);
}
inline OwnedRef bool_to_object(bool value) { return OwnedRef::steal(Py_NewRef(value ? Py_True : Py_False)); }
inline OwnedRef none_object() { return OwnedRef::steal(Py_NewRef(Py_None)); }
OwnedRef rows_to_list(const Rows& rows);
OwnedRef text_to_str(const std::string& text);
OwnedRef pairs_to_list(const OpLog& log);
// (new Matrix holding the reduced rows, list of (target, source) tuples)
OwnedRef echelon_to_tuple(EchelonResult&& result);

}  // namespace zendrik::py
