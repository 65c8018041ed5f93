// Matching call arguments to parameter names, converting them to the values
// the matrix core takes, and building the Python objects it returns.
#pragma once

#include "binding/errors.hpp"
#include "matrix/matrix.hpp"

#include <array>
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
        parse_vector_call(spec, args, nargs, kwnames, slots_);
    }
    Arguments(const ParameterSpec& spec, PyObject* args, PyObject* kwargs) : spec_(spec) {
        parse_tuple_call(spec, args, kwargs, slots_);
    }

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
    std::array<PyObject*, count> slots_{};
};

Index extract_index(PyObject* object);
Byte extract_byte(PyObject* object);
Row extract_byte_vector(PyObject* object);
Rows extract_byte_rows(PyObject* object);

// Result builders: each returns a new reference.
OwnedRef byte_to_int(Byte value);
OwnedRef size_to_int(Index value);
OwnedRef bool_to_object(bool value);
OwnedRef none_object();
OwnedRef rows_to_list(const Rows& rows);
OwnedRef text_to_str(const std::string& text);
OwnedRef pairs_to_list(const OpLog& log);
// (new Matrix holding the reduced rows, list of (target, source) tuples)
OwnedRef echelon_to_tuple(EchelonResult&& result);

}  // namespace zendrik::py
