// The zendrik module and its one type, Matrix: initialisation, the type's
// slots and method table, and the body of every method.
#include "binding/arguments.hpp"
#include "binding/frame.hpp"

#include <atomic>
#include <cstdint>

namespace zendrik::py {
namespace {

using namespace std::string_view_literals;

// ---- Method bodies ------------------------------------------------------------------

struct VectorCall {
    PyObject* const* args;
    Py_ssize_t nargs;
    PyObject* kwnames;
};

template <std::size_t count>
constexpr ParameterSpec method_spec(std::string_view name,
                                    const std::array<std::string_view, count>& parameters) {
    return {"Matrix", name, parameters, 0, count, {}};
}

constexpr std::array elements_parameters{"elements"sv};
constexpr std::array row_col_parameters{"row"sv, "col"sv};

constexpr ParameterSpec new_spec = method_spec("__new__", elements_parameters);
constexpr ParameterSpec get_spec = method_spec("get", row_col_parameters);

template <const ParameterSpec& spec>
Arguments<spec.parameter_count()> arguments_of(const VectorCall& call) {
    return {spec, call.args, call.nargs, call.kwnames};
}

OwnedRef matrix_to_list(PyObject* self) {
    SharedBorrow matrix(self);
    return rows_to_list(copy(matrix.record()).rows);
}

OwnedRef matrix_nrows(PyObject* self) {
    SharedBorrow matrix(self);
    return size_to_int(nrows(matrix.record()));
}

OwnedRef matrix_ncols(PyObject* self) {
    SharedBorrow matrix(self);
    return size_to_int(ncols(matrix.record()));
}

OwnedRef matrix_copy(PyObject* self) {
    SharedBorrow matrix(self);
    return new_matrix_result(copy(matrix.record()));
}

OwnedRef matrix_get(PyObject* self, const VectorCall& call) {
    auto arguments = arguments_of<get_spec>(call);
    SharedBorrow matrix(self);
    const Index row = arguments.convert(0, extract_index);
    const Index col = arguments.convert(1, extract_index);
    return byte_to_int(get(matrix.record(), row, col));
}

// ---- Entry points -------------------------------------------------------------------

template <OwnedRef (*body)(PyObject*)>
PyObject* no_arguments_entry(PyObject* self, PyObject*) noexcept {
    return guarded([self] { return body(self); });
}

template <OwnedRef (*body)(PyObject*, const VectorCall&)>
PyObject* vector_call_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) noexcept {
    return guarded([&] { return body(self, VectorCall{args, nargs, kwnames}); });
}

PyObject* matrix_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&] {
        Arguments<new_spec.parameter_count()> arguments(new_spec, args, kwargs);
        Rows rows = arguments.convert(0, extract_byte_rows);
        return new_matrix_object(type, Matrix{std::move(rows)});
    });
}

PyObject* matrix_repr(PyObject* self) noexcept {
    return guarded([self] {
        SharedBorrow matrix(self);
        const std::string text = text_form(matrix.record());
        OwnedRef shown = OwnedRef::steal(
            PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
        if (!shown) raise_fetched();
        return shown;
    });
}

// ---- The Matrix type ----------------------------------------------------------------

template <OwnedRef (*body)(PyObject*)>
constexpr PyMethodDef no_arguments_method(const char* name, const char* doc) {
    return {name, reinterpret_cast<PyCFunction>(no_arguments_entry<body>), METH_NOARGS, doc};
}

template <OwnedRef (*body)(PyObject*, const VectorCall&)>
constexpr PyMethodDef vector_call_method(const char* name, const char* doc) {
    return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(vector_call_entry<body>)),
            METH_FASTCALL | METH_KEYWORDS, doc};
}

// Referenced by the type for its whole life.
PyMethodDef matrix_methods[] = {
    no_arguments_method<matrix_to_list>("to_list", "to_list($self)\n--\n\n"),
    no_arguments_method<matrix_nrows>("nrows", "nrows($self)\n--\n\n"),
    no_arguments_method<matrix_ncols>("ncols", "ncols($self)\n--\n\n"),
    no_arguments_method<matrix_copy>("copy", "copy($self)\n--\n\n"),
    vector_call_method<matrix_get>("get", "get($self, row, col)\n--\n\n"),
    {nullptr, nullptr, 0, nullptr},
};

constexpr const char* matrix_doc = "Matrix(elements)\n--\n\n";

PyObject* matrix_type_cell = nullptr;  // made once, kept for the life of the process

// The Matrix type, made on first need; raises the interpreter's error on failure.
PyTypeObject* matrix_type() {
    if (matrix_type_cell == nullptr) {
        PyType_Slot slots[] = {
            {Py_tp_doc, const_cast<char*>(matrix_doc)},
            {Py_tp_new, reinterpret_cast<void*>(matrix_new)},
            {Py_tp_repr, reinterpret_cast<void*>(matrix_repr)},
            {Py_tp_methods, matrix_methods},
            {Py_tp_base, &PyBaseObject_Type},
            {Py_tp_dealloc, reinterpret_cast<void*>(matrix_dealloc)},
            {0, nullptr},
        };
        PyType_Spec spec = {"builtins.Matrix", static_cast<int>(sizeof(MatrixObject)), 0,
                            Py_TPFLAGS_DEFAULT, slots};
        PyObject* created = PyType_FromSpec(&spec);
        if (created == nullptr) raise_fetched();
        if (matrix_type_cell != nullptr)
            Py_DECREF(created);
        else
            matrix_type_cell = created;
    }
    return reinterpret_cast<PyTypeObject*>(matrix_type_cell);
}

// ---- The module ---------------------------------------------------------------------

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, "zendrik", "A Python module implemented in C++.", 0,
    nullptr,               nullptr,   nullptr,                                nullptr,
    nullptr,
};

// The first interpreter to load the module owns it for the life of the process.
std::atomic<std::int64_t> owning_interpreter{-1};
PyObject* cached_module = nullptr;

void add_matrix_class(PyObject* module) {
    PyObject* type = reinterpret_cast<PyObject*>(matrix_type());
    OwnedRef name = OwnedRef::steal(PyUnicode_FromStringAndSize("Matrix", 6));
    if (!name) raise_fetched();
    static PyObject* const all_name = PyUnicode_InternFromString("__all__");
    if (all_name == nullptr) raise_fetched();
    OwnedRef all = OwnedRef::steal(PyObject_GetAttr(module, all_name));
    if (!all) {
        PendingError lookup = fetch();
        if (!PyErr_GivenExceptionMatches(normalize(lookup), PyExc_AttributeError))
            raise(std::move(lookup));
        all = OwnedRef::steal(PyList_New(0));
        if (!all || PyObject_SetAttr(module, all_name, all.get()) < 0) raise_fetched();
    }
    if (PyList_Append(all.get(), name.get()) < 0) {
        PendingError failure = fetch();
        OwnedRef text = OwnedRef::steal(PyObject_Str(normalize(failure)));
        std::optional<std::string> description = text ? lossy_utf8(text.get()) : std::nullopt;
        PyErr_Clear();
        panic("could not append __name__ to __all__: " + description.value_or(""));
    }
    if (PyObject_SetAttr(module, name.get(), type) < 0) raise_fetched();
}

OwnedRef initialise_module() {
    const std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (interpreter == -1) raise_fetched();
    std::int64_t owner = -1;
    if (!owning_interpreter.compare_exchange_strong(owner, interpreter) && owner != interpreter)
        raise_message(PyExc_ImportError,
                      "zendrik modules do not yet support subinterpreters, see "
                      "https://docs.python.org/3/howto/isolating-extensions.html");
    if (cached_module == nullptr) {
        OwnedRef module = OwnedRef::steal(PyModule_Create2(&module_definition, PYTHON_API_VERSION));
        if (!module) raise_fetched();
        add_matrix_class(module.get());
        // A nested initialisation may have finished first; its module stays.
        if (cached_module == nullptr) cached_module = module.release();
    }
    return OwnedRef::take_new(cached_module);
}

}  // namespace

PyTypeObject* matrix_type_in_call() {
    if (matrix_type_cell != nullptr) return reinterpret_cast<PyTypeObject*>(matrix_type_cell);
    try {
        return matrix_type();
    } catch (PythonError& failed) {
        restore(std::move(failed.error));
        PyErr_PrintEx(0);
        panic("failed to create type object for Matrix");
    }
}

}  // namespace zendrik::py

PyMODINIT_FUNC PyInit_zendrik() {
    return zendrik::py::guarded([] { return zendrik::py::initialise_module(); });
}
