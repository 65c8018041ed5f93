#include "binding/arguments.hpp"

#include "binding/frame.hpp"
#include "runtime/compiler.hpp"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <mutex>
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
        // Named only when a message needs it: a call that matches allocates nothing here.
        if (!misplaced_.empty())
            raise_type_error(full_name(spec_) + " got some positional-only arguments passed as "
                                                "keyword arguments: " + name_list(misplaced_));
        const std::size_t required = spec_.required_positional_count;
        std::vector<std::string> missing;
        if (static_cast<std::size_t>(nargs) < required)
            for (std::size_t j = 0; j < required; ++j)
                if (slots_[j] == nullptr) missing.emplace_back(spec_.positional_names[j]);
        if (!missing.empty()) raise_missing(full_name(spec_), "positional", missing);
        const std::size_t declared = spec_.positional_names.size();
        for (std::size_t j = 0; j < spec_.keyword_only.size(); ++j)
            if (spec_.keyword_only[j].required && slots_[declared + j] == nullptr)
                missing.emplace_back(spec_.keyword_only[j].name);
        if (!missing.empty()) raise_missing(full_name(spec_), "keyword", missing);
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

// A reported length sizes at most this many items of the first reservation.
template <typename Item>
void reserve_hint(std::vector<Item>& items, std::size_t reported) {
    items.reserve(std::min(reported, reservation_limit_bytes / sizeof(Item)));
}

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
        reserve_hint(items, static_cast<std::size_t>(reported));
    OwnedRef iterator = OwnedRef::steal(PyObject_GetIter(object));
    if (!iterator) raise_fetched();
    while (OwnedRef item = OwnedRef::steal(PyIter_Next(iterator.get())))
        items.push_back(convert_item(item.get()));
    if (PyErr_Occurred()) raise_fetched();
    return items;
}

// An exact list or tuple, read as its iterator would: the length is looked
// at again before every item, since converting one may run code that changes
// the list, and the item is held while it is converted.
template <typename Item, typename Convert>
std::vector<Item> extract_list_or_tuple(PyObject* object, Convert convert_item) {
    std::vector<Item> items;
    reserve_hint(items, static_cast<std::size_t>(PySequence_Fast_GET_SIZE(object)));
#ifdef Py_GIL_DISABLED
    // Another thread may change a list at any moment: each item is taken with
    // a reference of its own, or not at all once the list has become shorter.
    if (PyList_CheckExact(object)) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(object); ++i) {
            const OwnedRef held = OwnedRef::steal(PyList_GetItemRef(object, i));
            if (!held) {
                PyErr_Clear();
                break;
            }
            items.push_back(convert_item(held.get()));
        }
        return items;
    }
#endif
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(object); ++i) {
        PyObject* item = PySequence_Fast_GET_ITEM(object, i);
        // Converting an exact int runs no code, so nothing can drop it meanwhile.
        if (PyLong_CheckExact(item)) {
            items.push_back(convert_item(item));
            continue;
        }
        const OwnedRef held = OwnedRef::take_new(item);
        items.push_back(convert_item(item));
    }
    return items;
}

// Reads any integer through the interpreter (its __index__ may run code).
ZENDRIK_NOINLINE Byte extract_byte_by_interpreter(PyObject* object) {
    const long value = PyLong_AsLong(object);
    if (value == -1)
        if (auto error = take()) raise(std::move(*error));
    if (value < 0 || value > 255) raise_message(PyExc_OverflowError, out_of_range);
    return static_cast<Byte>(value);
}

bool is_list_or_tuple(PyObject* object) {
    return PyList_CheckExact(object) || PyTuple_CheckExact(object);
}

// numpy stays optional: its array type is known by name. A static type
// cannot be a Python class that took the name.
bool is_numpy_array(PyObject* object) {
    PyTypeObject* type = Py_TYPE(object);
    return !PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE) &&
           std::strcmp(type->tp_name, "numpy.ndarray") == 0;
}

// A C-contiguous buffer of unsigned bytes with `ndim` dimensions, or nothing:
// anything else is read item by item, which is what defines the result.
class ByteBuffer {
public:
    ByteBuffer(PyObject* object, int ndim) {
        if (PyObject_GetBuffer(object, &view_, PyBUF_RECORDS_RO) != 0) {
            PyErr_Clear();  // the item-by-item reading reports what is wrong
            return;
        }
        held_ = true;
        usable_ = view_.ndim == ndim && view_.itemsize == 1 && view_.format != nullptr &&
                  std::strcmp(view_.format, "B") == 0 && PyBuffer_IsContiguous(&view_, 'C');
    }
    ~ByteBuffer() {
        if (held_) PyBuffer_Release(&view_);
    }
    ByteBuffer(const ByteBuffer&) = delete;
    ByteBuffer& operator=(const ByteBuffer&) = delete;

    explicit operator bool() const noexcept { return usable_; }
    const Byte* data() const noexcept { return static_cast<const Byte*>(view_.buf); }
    std::size_t extent(int dimension) const noexcept {
        return static_cast<std::size_t>(view_.shape[dimension]);
    }

private:
    Py_buffer view_{};
    bool held_ = false;
    bool usable_ = false;
};

Row row_of(const Byte* data, std::size_t size) { return Row(data, data + size); }

// Without the GIL: the interpreter's lock on one object, the one its own
// methods take to change it, held while the object's contents are copied.
class ObjectLock {
public:
#ifdef Py_GIL_DISABLED
    explicit ObjectLock(PyObject* object) noexcept { PyCriticalSection_Begin(&section_, object); }
    ~ObjectLock() { PyCriticalSection_End(&section_); }
#else
    explicit ObjectLock(PyObject*) noexcept {}
#endif
    ObjectLock(const ObjectLock&) = delete;
    ObjectLock& operator=(const ObjectLock&) = delete;

private:
#ifdef Py_GIL_DISABLED
    PyCriticalSection section_;
#endif
};

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

Index extract_index_by_interpreter(PyObject* object) {
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
    // An exact int held inline (what lists of 0 and 1 hold) is read without a
    // call; everything else, out-of-range values included, by the interpreter.
    auto* number = reinterpret_cast<PyLongObject*>(object);
    if (PyLong_CheckExact(object) && PyUnstable_Long_IsCompact(number)) {
        const Py_ssize_t value = PyUnstable_Long_CompactValue(number);
        if (value >= 0 && value <= 255) [[likely]]
            return static_cast<Byte>(value);
    }
    return extract_byte_by_interpreter(object);
}

Row extract_byte_vector(PyObject* object) {
    if (is_list_or_tuple(object)) return extract_list_or_tuple<Byte>(object, extract_byte);
    if (PyBytes_CheckExact(object))
        return row_of(reinterpret_cast<const Byte*>(PyBytes_AS_STRING(object)),
                      static_cast<std::size_t>(PyBytes_GET_SIZE(object)));
    if (PyByteArray_CheckExact(object)) {
        // Without the GIL: copied under the lock that the interpreter's own
        // bytearray methods take to resize it (from 3.14 on; 3.13's take none).
        const ObjectLock lock(object);
        return row_of(reinterpret_cast<const Byte*>(PyByteArray_AS_STRING(object)),
                      static_cast<std::size_t>(PyByteArray_GET_SIZE(object)));
    }
    if (is_numpy_array(object))
        if (const ByteBuffer buffer(object, 1); buffer) return row_of(buffer.data(), buffer.extent(0));
    return extract_sequence<Byte>(object, extract_byte);
}

Rows extract_byte_rows(PyObject* object) {
    if (is_list_or_tuple(object)) return extract_list_or_tuple<Row>(object, extract_byte_vector);
    if (is_numpy_array(object)) {
        if (const ByteBuffer buffer(object, 2); buffer) {
            const std::size_t count = buffer.extent(0), width = buffer.extent(1);
            Rows rows;
            reserve_hint(rows, count);
            for (std::size_t i = 0; i < count; ++i)
                rows.push_back(row_of(buffer.data() + i * width, width));
            return rows;
        }
    }
    return extract_sequence<Row>(object, extract_byte_vector);
}

std::atomic<PyObject* const*> byte_ints_made{nullptr};

PyObject* const* make_byte_ints() {
    static PyObject* ints[byte_int_count] = {};
    // Filled by one thread at a time, published whole. Held only for the
    // filling, which runs no Python code: another thread waits at most that long.
    static std::mutex filling;
    std::lock_guard lock(filling);
    if (PyObject* const* made = byte_ints_made.load(std::memory_order_acquire)) return made;
    for (std::size_t value = 0; value < byte_int_count; ++value)
        if (ints[value] == nullptr)
            ints[value] = checked(PyLong_FromLong(static_cast<long>(value))).release();
    byte_ints_made.store(ints, std::memory_order_release);
    return ints;
}

OwnedRef large_size_to_int(Index value) {
    return checked(PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(value)));
}

OwnedRef text_to_str(const std::string& text) {
    return checked(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

namespace {

// A new list of `count` empty slots, for filling in place.
std::pair<OwnedRef, PyObject**> new_list(std::size_t count) {
    OwnedRef list = checked(PyList_New(static_cast<Py_ssize_t>(count)));
    PyObject** slots = reinterpret_cast<PyListObject*>(list.get())->ob_item;
    return {std::move(list), slots};
}

// The ints that one call hands out many times over, each made once: those
// below 256 come from the process's table, slot i of the call's own holds
// 256 + i, made on first use.
class IntTable {
public:
    // Borrowed from a table.
    PyObject* operator[](Index value) {
        if (value < byte_int_count) return small_[value];
        value -= byte_int_count;
        if (value >= ints_.size()) ints_.resize(value + 1);
        OwnedRef& slot = ints_[value];
        if (!slot) slot = large_size_to_int(value + byte_int_count);
        return slot.get();
    }

private:
    PyObject* const* small_ = byte_ints();
    std::vector<OwnedRef> ints_;
};

OwnedRef list_of(const Row& row, PyObject* const* ints) {
    auto [list, slots] = new_list(row.size());
    for (std::size_t i = 0; i < row.size(); ++i) {
        PyObject* value = ints[row[i]];
        Py_INCREF(value);
        slots[i] = value;
    }
    return std::move(list);
}

}  // namespace

OwnedRef rows_to_list(const Rows& rows) {
    PyObject* const* ints = byte_ints();
    auto [list, slots] = new_list(rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
        slots[i] = list_of(rows[i], ints).release();
    }
    return std::move(list);
}

OwnedRef pairs_to_list(const OpLog& log) {
    const std::size_t count = log.size();
    auto [list, slots] = new_list(count);
    // A log names few distinct rows many times over.
    IntTable ints;
    log.for_each([&](std::size_t i, RowOp op) {
        PyObject* target = ints[op.target];
        PyObject* source = ints[op.source];
        PyObject* pair = PyTuple_New(2);
        if (pair == nullptr) raise_fetched();
        Py_INCREF(target);
        Py_INCREF(source);
        PyTuple_SET_ITEM(pair, 0, target);
        PyTuple_SET_ITEM(pair, 1, source);
        // A pair of ints can be in no cycle; the collector need not visit it.
        PyObject_GC_UnTrack(pair);
        slots[i] = pair;
    });
    return std::move(list);
}

OwnedRef echelon_to_tuple(EchelonResult&& result) {
    OwnedRef matrix = new_matrix_result(std::move(result.matrix));
    return pair_of(std::move(matrix), pairs_to_list(result.log));
}

}  // namespace zendrik::py
