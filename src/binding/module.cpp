// The zendrik module and its one type, Matrix: initialisation, the type's
// slots and method table, and the body of every method.
#include "binding/arguments.hpp"
#include "binding/frame.hpp"

#include <atomic>
#include <cstdint>
#include <string_view>
#include <tuple>
#include <utility>

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
constexpr std::array target_source_parameters{"target"sv, "source"sv};
constexpr std::array row1_row2_parameters{"row1"sv, "row2"sv};
constexpr std::array row_parameters{"row"sv};
constexpr std::array v_parameters{"v"sv};

constexpr ParameterSpec new_spec = method_spec("__new__", elements_parameters);
constexpr ParameterSpec get_spec = method_spec("get", row_col_parameters);
constexpr ParameterSpec add_rows_spec = method_spec("add_rows", target_source_parameters);
constexpr ParameterSpec swap_rows_spec = method_spec("swap_rows", row1_row2_parameters);
constexpr ParameterSpec is_zero_row_spec = method_spec("is_zero_row", row_parameters);
constexpr ParameterSpec append_row_spec = method_spec("append_row", v_parameters);
constexpr ParameterSpec append_column_spec = method_spec("append_column", v_parameters);

// A method with arguments, in the order every such call takes: match the
// arguments, borrow the receiver, convert each argument first to last with
// its converter, then run `operation` on the record.
template <const ParameterSpec& spec, Access access, auto... convert>
struct MethodWithArguments {
    template <typename Operation>
    static OwnedRef run(PyObject* self, const VectorCall& call, Operation operation) {
        Arguments<spec.parameter_count()> arguments(spec, call.args, call.nargs, call.kwnames);
        return with_borrow<access>(self, [&](auto& record) {
            return [&]<std::size_t... slot>(std::index_sequence<slot...>) {
                // A braced list converts its items in order.
                std::tuple values{arguments.convert(slot, convert)...};
                return std::apply(
                    [&](auto&... value) { return operation(record, std::move(value)...); },
                    values);
            }(std::index_sequence_for<decltype(convert)...>{});
        });
    }
};

using Get = MethodWithArguments<get_spec, Access::shared, extract_index, extract_index>;
using AddRows = MethodWithArguments<add_rows_spec, Access::exclusive, extract_index, extract_index>;
using SwapRows =
    MethodWithArguments<swap_rows_spec, Access::exclusive, extract_index, extract_index>;
using IsZeroRow = MethodWithArguments<is_zero_row_spec, Access::shared, extract_index>;
using AppendRow = MethodWithArguments<append_row_spec, Access::exclusive, extract_byte_vector>;
using AppendColumn =
    MethodWithArguments<append_column_spec, Access::exclusive, extract_byte_vector>;

OwnedRef matrix_get(PyObject* self, const VectorCall& call) {
    return Get::run(self, call, [](const Matrix& m, Index row, Index col) {
        return byte_to_int(get(m, row, col));
    });
}

OwnedRef matrix_add_rows(PyObject* self, const VectorCall& call) {
    return AddRows::run(self, call, [](Matrix& m, Index target, Index source) {
        add_rows(m, target, source);
        return none_object();
    });
}

OwnedRef matrix_swap_rows(PyObject* self, const VectorCall& call) {
    return SwapRows::run(self, call, [](Matrix& m, Index row1, Index row2) {
        swap_rows(m, row1, row2);
        return none_object();
    });
}

OwnedRef matrix_is_zero_row(PyObject* self, const VectorCall& call) {
    return IsZeroRow::run(self, call, [](const Matrix& m, Index row) {
        return bool_to_object(is_zero_row(m, row));
    });
}

OwnedRef matrix_append_row(PyObject* self, const VectorCall& call) {
    return AppendRow::run(self, call, [](Matrix& m, Row v) {
        append_row(m, std::move(v));
        return none_object();
    });
}

OwnedRef matrix_append_column(PyObject* self, const VectorCall& call) {
    return AppendColumn::run(self, call, [](Matrix& m, const Row& v) {
        append_column(m, v);
        return none_object();
    });
}

enum class Work { brief, long_running };

// Methods without arguments: borrow, run, convert the result. Without the GIL,
// long work runs detached from the interpreter (see run_detached).
template <Access access, auto operation, auto to_python, Work work = Work::brief>
OwnedRef method_without_arguments(PyObject* self) {
    return with_borrow<access>(self, [](auto& record) {
        if constexpr (work == Work::long_running)
            return to_python(run_detached([&] { return operation(record); }));
        else
            return to_python(operation(record));
    });
}

// Read in place: the shared borrow keeps the rows as they are until the lists are built.
const Rows& rows_of(const Matrix& m) { return m.rows; }

constexpr auto matrix_to_list = method_without_arguments<Access::shared, rows_of, rows_to_list>;
constexpr auto matrix_nrows = method_without_arguments<Access::shared, nrows, size_to_int>;
constexpr auto matrix_ncols = method_without_arguments<Access::shared, ncols, size_to_int>;
constexpr auto matrix_copy =
    method_without_arguments<Access::shared, copy, new_matrix_result, Work::long_running>;
// Exclusive, although the receiver is left unchanged.
constexpr auto matrix_echelon_form_last_row =
    method_without_arguments<Access::exclusive, echelon_form_last_row, echelon_to_tuple,
                             Work::long_running>;
constexpr auto matrix_echelon_form =
    method_without_arguments<Access::shared, echelon_form, echelon_to_tuple, Work::long_running>;
constexpr auto matrix_row_echelon_full_matrix =
    method_without_arguments<Access::shared, row_echelon_full_matrix, echelon_to_tuple,
                             Work::long_running>;
constexpr auto matrix_rank =
    method_without_arguments<Access::shared, rank, size_to_int, Work::long_running>;
constexpr auto matrix_kernel =
    method_without_arguments<Access::shared, kernel, rows_to_list, Work::long_running>;
constexpr auto matrix_text_form = method_without_arguments<Access::shared, text_form, text_to_str>;

// ---- Entry points -------------------------------------------------------------------

template <OwnedRef (*body)(PyObject*)>
PyObject* no_arguments_entry(PyObject* self, PyObject*) {
    return guarded([self] { return body(self); });
}

template <OwnedRef (*body)(PyObject*, const VectorCall&)>
PyObject* vector_call_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
    return guarded([&] { return body(self, VectorCall{args, nargs, kwnames}); });
}

PyObject* matrix_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        Arguments<new_spec.parameter_count()> arguments(new_spec, args, kwargs);
        Rows rows = arguments.convert(0, extract_byte_rows);
        return new_matrix_object(type, Matrix{std::move(rows)});
    });
}

PyObject* matrix_repr(PyObject* self) {
    return guarded([self] { return matrix_text_form(self); });
}

// ---- The Matrix type ----------------------------------------------------------------

template <OwnedRef (*body)(PyObject*)>
constexpr PyMethodDef noargs_def(const char* name, const char* doc) {
    return {name, reinterpret_cast<PyCFunction>(no_arguments_entry<body>), METH_NOARGS, doc};
}

template <OwnedRef (*body)(PyObject*, const VectorCall&)>
constexpr PyMethodDef fastcall_def(const char* name, const char* doc) {
    return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(vector_call_entry<body>)),
            METH_FASTCALL | METH_KEYWORDS, doc};
}

// Referenced by the type for its whole life.
PyMethodDef matrix_methods[] = {
    noargs_def<matrix_to_list>("to_list", "to_list($self)\n--\n\n"),
    noargs_def<matrix_nrows>("nrows", "nrows($self)\n--\n\n"),
    noargs_def<matrix_ncols>("ncols", "ncols($self)\n--\n\n"),
    noargs_def<matrix_copy>("copy", "copy($self)\n--\n\n"),
    fastcall_def<matrix_get>("get", "get($self, row, col)\n--\n\n"),
    fastcall_def<matrix_add_rows>("add_rows", "add_rows($self, target, source)\n--\n\n"),
    fastcall_def<matrix_swap_rows>("swap_rows", "swap_rows($self, row1, row2)\n--\n\n"),
    fastcall_def<matrix_is_zero_row>("is_zero_row", "is_zero_row($self, row)\n--\n\n"),
    noargs_def<matrix_echelon_form_last_row>("echelon_form_last_row",
                                             "echelon_form_last_row($self)\n--\n\n"),
    noargs_def<matrix_echelon_form>("echelon_form", "echelon_form($self)\n--\n\n"),
    noargs_def<matrix_row_echelon_full_matrix>("row_echelon_full_matrix",
                                               "row_echelon_full_matrix($self)\n--\n\n"),
    fastcall_def<matrix_append_row>("append_row", "append_row($self, v)\n--\n\n"),
    fastcall_def<matrix_append_column>("append_column", "append_column($self, v)\n--\n\n"),
    noargs_def<matrix_rank>("rank", "rank($self)\n--\n\n"),
    noargs_def<matrix_kernel>("kernel", "kernel($self)\n--\n\n"),
    {nullptr, nullptr, 0, nullptr},
};

constexpr const char* matrix_doc = "Matrix(elements)\n--\n\n";

// The Matrix type, made on first need; raises the interpreter's error on failure.
PyTypeObject* matrix_type() {
    if (PyTypeObject* made = matrix_type_made.load(std::memory_order_acquire)) return made;
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
    return publish_once(matrix_type_made, reinterpret_cast<PyTypeObject*>(created));
}

// ---- The module ---------------------------------------------------------------------

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, "zendrik", "A Python module implemented in C++.", 0,
    nullptr,               nullptr,   nullptr,                                nullptr,
    nullptr,
};

// The first interpreter to load the module owns it for the life of the process.
std::atomic<std::int64_t> owning_interpreter{-1};
std::atomic<PyObject*> cached_module{nullptr};

void add_matrix_class(PyObject* module) {
    PyObject* type = reinterpret_cast<PyObject*>(matrix_type());
    OwnedRef name = OwnedRef::steal(PyUnicode_FromStringAndSize("Matrix", 6));
    if (!name) raise_fetched();
    // Kept once made; a failure to make it (out of memory) must not stick.
    static std::atomic<PyObject*> all_name_made{nullptr};
    PyObject* all_name = all_name_made.load(std::memory_order_acquire);
    if (all_name == nullptr) {
        all_name = PyUnicode_InternFromString("__all__");
        if (all_name == nullptr) raise_fetched();
        all_name = publish_once(all_name_made, all_name);
    }
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
        // Out of memory stays MemoryError, with nothing printed.
        if (PyErr_GivenExceptionMatches(normalize(failure), PyExc_MemoryError))
            raise(std::move(failure));
        OwnedRef text = OwnedRef::steal(PyObject_Str(normalize(failure)));
        std::optional<std::string> description = text ? lossy_utf8(text.get()) : std::nullopt;
        PyErr_Clear();
        panic("could not append __name__ to __all__: " + description.value_or(""));
    }
    if (PyObject_SetAttr(module, name.get(), type) < 0) raise_fetched();
}

#ifdef Py_GIL_DISABLED
// Without the GIL another thread may set a variable (os.environ[...] = ...
// calls setenv) while a failure report reads one, which the C library does
// not make safe. os.environ, which such a change updates first, is a dict
// with a lock of its own: the report reads it there. Asked only by the frame
// that caught the panic, attached to the interpreter, where an unwind passes.
bool switched_on_in_os_environ(const char* name) {
    PyObject* in_flight = PyErr_GetRaisedException();
    bool on = false;
    {
        const auto os = OwnedRef::steal(PyImport_ImportModule("os"));
        const auto environ =
            OwnedRef::steal(os ? PyObject_GetAttrString(os.get(), "environ") : nullptr);
        const auto value = OwnedRef::steal(
            environ ? PyObject_CallMethod(environ.get(), "get", "s", name) : nullptr);
        const bool is_text = value && PyUnicode_Check(value.get());
        on = switch_value_is_on(is_text ? PyUnicode_AsUTF8(value.get()) : nullptr);
    }
    PyErr_SetRaisedException(in_flight);
    return on;
}
#endif

// Set by the finalisation of the runtime that imported the module, whose
// objects (the module, its type, the panic class) ended with it: a runtime
// started after that in the same process is refused the module.
std::atomic<bool> first_runtime_ended{false};
std::atomic<bool> end_of_runtime_watched{false};

void note_end_of_runtime() noexcept {
    first_runtime_ended.store(true, std::memory_order_release);
    forget_pending_releases();
}

[[noreturn]] void refuse_other_interpreter() {
    raise_message(PyExc_ImportError,
                  "zendrik modules do not yet support subinterpreters, see "
                  "https://docs.python.org/3/howto/isolating-extensions.html");
}

// Whether the interpreter refuses a module of single-phase initialisation
// once its init function has returned, as CPython 3.12 does in a
// subinterpreter of its own (3.13 runs the function in the main interpreter
// first): such an interpreter must not become the module's owner.
bool refuses_single_phase_modules(PyInterpreterState* interpreter) {
#if PY_VERSION_HEX < 0x030D0000
    return _PyInterpreterState_HasFeature(interpreter, Py_RTFLAGS_MULTI_INTERP_EXTENSIONS) != 0;
#else
    (void)interpreter;
    return false;
#endif
}

OwnedRef initialise_module() {
    if (first_runtime_ended.load(std::memory_order_acquire))
        raise_message(PyExc_ImportError,
                      "zendrik cannot be imported again in this process: the Python runtime "
                      "that first imported it was finalised; start a new process");
    PyInterpreterState* const current = PyInterpreterState_Get();
    const std::int64_t interpreter = PyInterpreterState_GetID(current);
    if (interpreter == -1) raise_fetched();
    const std::int64_t recorded = owning_interpreter.load(std::memory_order_acquire);
    if (recorded != -1 && recorded != interpreter) refuse_other_interpreter();
    // An interpreter that will refuse the module changes nothing: it is
    // refused here, with the interpreter's own words, before it is recorded.
    if (refuses_single_phase_modules(current))
        raise_message(PyExc_ImportError,
                      "module zendrik does not support loading in subinterpreters");
    // Without that hook a second runtime would be handed the first one's
    // ended objects; there are 32 places for such hooks in all.
    if (!end_of_runtime_watched.exchange(true) && Py_AtExit(note_end_of_runtime) < 0) {
        end_of_runtime_watched.store(false);
        raise_message(PyExc_ImportError,
                      "zendrik cannot be imported: every place for a function to run at the end "
                      "of the Python runtime (Py_AtExit) is taken, and zendrik needs one");
    }
    std::int64_t owner = -1;
    if (!owning_interpreter.compare_exchange_strong(owner, interpreter) && owner != interpreter)
        refuse_other_interpreter();
#ifdef Py_GIL_DISABLED
    read_switches_with(switched_on_in_os_environ);
#endif
    PyObject* cached = cached_module.load(std::memory_order_acquire);
    if (cached == nullptr) {
        OwnedRef module = OwnedRef::steal(PyModule_Create2(&module_definition, PYTHON_API_VERSION));
        if (!module) raise_fetched();
#ifdef Py_GIL_DISABLED
        // Safe without the GIL: see `free_threaded`.
        if (PyUnstable_Module_SetGIL(module.get(), Py_MOD_GIL_NOT_USED) < 0) raise_fetched();
#endif
        add_matrix_class(module.get());
        // A nested initialisation may have finished first; its module stays.
        cached = publish_once(cached_module, module.release());
    }
    return OwnedRef::take_new(cached);
}

}  // namespace

std::atomic<PyTypeObject*> matrix_type_made{nullptr};  // made once, kept for the life of the process

PyTypeObject* make_matrix_type_in_call() {
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
