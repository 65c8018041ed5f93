#include "binding/arguments.hpp"

#include "binding/frame.hpp"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <string>
#include <vector>

namespace zendrik::py {
namespace {

constexpr const char* out_of_range = "out of range integral type conversion attempted";
// A sequence's reported length only sizes the first reservation, so a lying
// or huge __len__ cannot ask for more than this before any item is read.
constexpr std::size_t reservation_limit_bytes = std::size_t{1} << 20;

std::string full_name(const ParameterSpec& spec) {
    std::string name = spec.class_name != nullptr ? std::string(spec.class_name) + "." : "";
    return name.append(spec.method_name).append("()");
}

// 'a'  /  'a' and 'b'  /  'a', 'b', and 'c'
std::string name_list(const std::vector<std::string>& names) {
    std::string text;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            if (names.size() > 2) text += ",";
            text += i + 1 == names.size() ? " and " : " ";
        }
        text.append("'").append(names[i]).append("'");
    }
    return text;
}

[[noreturn]] void raise_type_error(std::string text) {
    raise_message(PyExc_TypeError, std::move(text));
}

class ArgumentMatcher {
public:
    ArgumentMatcher(const ParameterSpec& spec, std::span<PyObject*> slots)
        : spec_(spec), slots_(slots) {}

    void positional(PyObject* const* items, Py_ssize_t count) {
        const std::size_t declared = spec_.positional_names.size();
        const auto given = static_cast<std::size_t>(count);
        if (items != nullptr) std::copy_n(items, std::min(declared, given), slots_.begin());
        if (given <= declared) return;
        std::string text = full_name(spec_) + " takes ";
        if (spec_.required_positional_count < declared)
            text += "from " + std::to_string(spec_.required_positional_count) + " to ";
        raise_type_error(text + std::to_string(declared) + " positional arguments but " +
                         std::to_string(given) + (given == 1 ? " was" : " were") + " given");
    }

    void keyword(PyObject* key, PyObject* value) {
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_Check(key) ? PyUnicode_AsUTF8AndSize(key, &size) : nullptr;
        if (utf8 == nullptr) {
            PyErr_Clear();
            unexpected(key);
        }
        const std::string_view name(utf8, static_cast<std::size_t>(size));
        const std::size_t declared = spec_.positional_names.size();
        for (std::size_t j = 0; j < spec_.keyword_only.size(); ++j)
            if (spec_.keyword_only[j].name == name) return fill(declared + j, name, value);
        for (std::size_t j = 0; j < declared; ++j) {
            if (spec_.positional_names[j] != name) continue;
            if (j < spec_.positional_only_count) {
                misplaced_.emplace_back(name);
                return;
            }
            return fill(j, name, value);
        }
        unexpected(key);
    }

    void finish(Py_ssize_t nargs) const {
        const std::string full = full_name(spec_);
        if (!misplaced_.empty())
            raise_type_error(full + " got some positional-only arguments passed as keyword "
                                    "arguments: " + name_list(misplaced_));
        const std::size_t required = spec_.required_positional_count;
        std::vector<std::string> missing;
        if (static_cast<std::size_t>(nargs) < required)
            for (std::size_t j = 0; j < required; ++j)
                if (slots_[j] == nullptr) missing.emplace_back(spec_.positional_names[j]);
        if (!missing.empty()) raise_missing(full, "positional", missing);
        const std::size_t declared = spec_.positional_names.size();
        for (std::size_t j = 0; j < spec_.keyword_only.size(); ++j)
            if (spec_.keyword_only[j].required && slots_[declared + j] == nullptr)
                missing.emplace_back(spec_.keyword_only[j].name);
        if (!missing.empty()) raise_missing(full, "keyword", missing);
    }

private:
    void fill(std::size_t slot, std::string_view name, PyObject* value) {
        if (slots_[slot] != nullptr)
            raise_type_error(full_name(spec_) + " got multiple values for argument '" +
                             std::string(name) + "'");
        slots_[slot] = value;
    }

    [[noreturn]] void unexpected(PyObject* key) const {
        OwnedRef text = OwnedRef::steal(PyObject_Str(key));
        if (!text) raise_fetched();
        std::optional<std::string> shown = lossy_utf8(text.get());
        raise_type_error(full_name(spec_) + " got an unexpected keyword argument '" +
                         shown.value_or("") + "'");
    }

    [[noreturn]] static void raise_missing(const std::string& full, const char* kind,
                                           const std::vector<std::string>& names) {
        raise_type_error(full + " missing " + std::to_string(names.size()) + " required " + kind +
                         (names.size() == 1 ? " argument: " : " arguments: ") +
                         name_list(names));
    }

    const ParameterSpec& spec_;
    std::span<PyObject*> slots_;
    std::vector<std::string> misplaced_;
};

// Converts every item of a sequence with `convert_item`, refusing a str.
template <typename Item, typename Convert>
std::vector<Item> extract_sequence(PyObject* object, Convert convert_item) {
    if (PyType_HasFeature(Py_TYPE(object), Py_TPFLAGS_UNICODE_SUBCLASS))
        raise_type_error("Can't extract `str` to `Vec`");
    if (PySequence_Check(object) == 0) raise(PendingError::cannot_convert(Py_TYPE(object), "Sequence"));
    std::vector<Item> items;
    const Py_ssize_t reported = PySequence_Size(object);
    if (reported < 0)
        take();  // only a hint: its failure is dropped (a returning panic still resumes)
    else
        items.reserve(std::min(static_cast<std::size_t>(reported),
                               reservation_limit_bytes / sizeof(Item)));
    OwnedRef iterator = OwnedRef::steal(PyObject_GetIter(object));
    if (!iterator) raise_fetched();
    while (OwnedRef item = OwnedRef::steal(PyIter_Next(iterator.get())))
        items.push_back(convert_item(item.get()));
    if (PyErr_Occurred()) raise_fetched();
    return items;
}

OwnedRef checked(PyObject* created) {
    if (created == nullptr) raise_fetched();
    return OwnedRef::steal(created);
}

OwnedRef pair_of(OwnedRef first, OwnedRef second) {
    OwnedRef pair = checked(PyTuple_New(2));
    PyTuple_SET_ITEM(pair.get(), 0, first.release());
    PyTuple_SET_ITEM(pair.get(), 1, second.release());
    return pair;
}

}  // namespace

void parse_vector_call(const ParameterSpec& spec, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames, std::span<PyObject*> slots) {
    ArgumentMatcher matcher(spec, slots);
    matcher.positional(args, nargs);
    if (kwnames != nullptr)
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(kwnames); ++i)
            matcher.keyword(PyTuple_GET_ITEM(kwnames, i), args[nargs + i]);
    matcher.finish(nargs);
}

void parse_tuple_call(const ParameterSpec& spec, PyObject* args, PyObject* kwargs,
                      std::span<PyObject*> slots) {
    ArgumentMatcher matcher(spec, slots);
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    matcher.positional(&PyTuple_GET_ITEM(args, 0), nargs);
    if (kwargs != nullptr) {
        Py_ssize_t position = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &position, &key, &value)) matcher.keyword(key, value);
    }
    matcher.finish(nargs);
}

PendingError wrap_argument_error(std::string_view name, PendingError error) {
    PyObject* failed = normalize(error);
    if (Py_TYPE(failed) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) return error;
    OwnedRef text = OwnedRef::steal(PyObject_Str(failed));
    if (!text) {
        PyErr_WriteUnraisable(failed);
        OwnedRef type_name = OwnedRef::steal(PyType_GetName(Py_TYPE(failed)));
        if (type_name)
            text = OwnedRef::steal(PyUnicode_FromFormat("<unprintable %U object>", type_name.get()));
        else
            text = OwnedRef::steal(PyUnicode_FromString("<unprintable object>"));
        if (!text) return fetch();
    }
    const std::string parameter(name);
    OwnedRef message =
        OwnedRef::steal(PyUnicode_FromFormat("argument '%s': %U", parameter.c_str(), text.get()));
    OwnedRef renamed =
        message ? OwnedRef::steal(PyObject_CallOneArg(PyExc_TypeError, message.get())) : OwnedRef();
    if (!renamed) return fetch();
    PyException_SetCause(renamed.get(), PyException_GetCause(failed));
    return PendingError::normalized(std::move(renamed));
}

Index extract_index(PyObject* object) {
    unsigned long long value;
    if (PyType_HasFeature(Py_TYPE(object), Py_TPFLAGS_LONG_SUBCLASS)) {
        value = PyLong_AsUnsignedLongLong(object);
    } else {
        OwnedRef index = OwnedRef::steal(PyNumber_Index(object));
        if (!index) raise_fetched();
        value = PyLong_AsUnsignedLongLong(index.get());
    }
    if (value == ULLONG_MAX)
        if (auto error = take()) raise(std::move(*error));
    if constexpr (SIZE_MAX < ULLONG_MAX)
        if (value > SIZE_MAX) raise_message(PyExc_OverflowError, out_of_range);
    return static_cast<Index>(value);
}

Byte extract_byte(PyObject* object) {
    const long value = PyLong_AsLong(object);
    if (value == -1)
        if (auto error = take()) raise(std::move(*error));
    if (value < 0 || value > 255) raise_message(PyExc_OverflowError, out_of_range);
    return static_cast<Byte>(value);
}

Row extract_byte_vector(PyObject* object) { return extract_sequence<Byte>(object, extract_byte); }

Rows extract_byte_rows(PyObject* object) {
    return extract_sequence<Row>(object, extract_byte_vector);
}

OwnedRef byte_to_int(Byte value) { return checked(PyLong_FromLong(value)); }

OwnedRef size_to_int(Index value) {
    return checked(PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(value)));
}

OwnedRef text_to_str(const std::string& text) {
    return checked(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

OwnedRef bool_to_object(bool value) { return OwnedRef::take_new(value ? Py_True : Py_False); }

OwnedRef none_object() { return OwnedRef::take_new(Py_None); }

namespace {

// A list of `count` items, each built by `item(i)` and stored in place.
template <typename Build>
OwnedRef filled_list(std::size_t count, Build item) {
    OwnedRef list = checked(PyList_New(static_cast<Py_ssize_t>(count)));
    for (std::size_t i = 0; i < count; ++i)
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item(i).release());
    return list;
}

}  // namespace

OwnedRef bytes_to_list(const Row& row) {
    return filled_list(row.size(), [&](std::size_t i) { return byte_to_int(row[i]); });
}

OwnedRef rows_to_list(Rows&& rows) {
    const Rows consumed = std::move(rows);
    return filled_list(consumed.size(), [&](std::size_t i) { return bytes_to_list(consumed[i]); });
}

OwnedRef pairs_to_list(const OpLog& log) {
    // A log names few distinct rows many times over: make each int once.
    std::vector<OwnedRef> ints;
    auto int_for = [&](Index value) {
        if (value >= ints.size()) ints.resize(value + 1);
        if (!ints[value]) ints[value] = size_to_int(value);
        return OwnedRef::take_new(ints[value].get());
    };
    return filled_list(log.size(), [&](std::size_t i) {
        OwnedRef pair = pair_of(int_for(log[i].target), int_for(log[i].source));
        // A pair of ints can be in no cycle; the collector need not visit it.
        PyObject_GC_UnTrack(pair.get());
        return pair;
    });
}

OwnedRef echelon_to_tuple(EchelonResult&& result) {
    OwnedRef matrix = new_matrix_result(std::move(result.matrix));
    return pair_of(std::move(matrix), pairs_to_list(result.log));
}

}  // namespace zendrik::py
