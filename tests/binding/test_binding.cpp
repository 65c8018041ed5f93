// The binding's own machinery, driven directly inside an embedded interpreter:
// the parts that no call from Python reaches with this module's parameter
// records and a healthy interpreter (deferred releases, the general argument
// matcher, failures that only a broken interpreter or allocator produce).
#include "check.hpp"
#include "binding/arguments.hpp"
#include "binding/frame.hpp"

#include <cstdio>
#include <fcntl.h>
#include <stdexcept>
#include <string>
#ifdef _WIN32
#include <io.h>
constexpr const char* null_device = "NUL";
#else
#include <unistd.h>
constexpr const char* null_device = "/dev/null";
#endif

extern "C" void zendrik_fault_arm(unsigned long from, unsigned long until);
PyMODINIT_FUNC PyInit_zendrik();

using namespace zendrik;
using namespace zendrik::py;

namespace {

using testing::check;

// The interpreter's current error as "Type: text", cleared.
std::string current_error() {
    OwnedRef error = OwnedRef::steal(PyErr_GetRaisedException());
    if (!error) return "none";
    OwnedRef text = OwnedRef::steal(PyObject_Str(error.get()));
    const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
    PyErr_Clear();
    return std::string(Py_TYPE(error.get())->tp_name) + ": " + (utf8 ? utf8 : "?");
}

// What a body run inside the call frame ends with.
template <typename Body>
std::string outcome(Body body) {
    PyObject* result = guarded(body);
    if (result == nullptr) return current_error();
    Py_DECREF(result);
    return "ok";
}

void deferred_releases() {
    PyObject* object = PyList_New(0);
    Py_INCREF(object);
    release_reference(object);  // no frame on this thread: kept for later
    check(Py_REFCNT(object) == 2, "a release outside a frame waits");
    { FrameScope frame; }
    check(Py_REFCNT(object) == 1, "the next frame performs it");

    // No memory to remember it: the object stays alive rather than freed twice.
    Py_INCREF(object);
    zendrik_fault_arm(1, 0);
    release_reference(object);
    zendrik_fault_arm(0, 0);
    { FrameScope frame; }
    check(Py_REFCNT(object) == 2, "a release that cannot be remembered keeps the object");
    Py_DECREF(object);
    Py_DECREF(object);
}

void unknown_exception() {
    const std::string seen = outcome([]() -> OwnedRef { throw 42; });
    check(seen == "PanicException: native code failed with an unknown exception",
          "an unknown exception ends the call as a panic: " + seen);
    const std::string too_long = outcome([]() -> OwnedRef { throw std::length_error("vector"); });
    check(too_long == "MemoryError: ", "a size past a container's limit is out of memory: " + too_long);
    check(Panic("text").what() == std::string("text"), "a panic tells its message");
}

void not_an_exception_class() {
    restore(PendingError::message(Py_None, "text"));
    const std::string seen = current_error();
    check(seen == "TypeError: exceptions must derive from BaseException", "raising None: " + seen);
}

// Three positional parameters, the first positional-only and the third
// optional, and two keyword-only ones, the first required.
constexpr std::string_view positional[] = {"a", "b", "c"};
constexpr KeywordOnlyParameter keyword_only[] = {{"k", true}, {"o", false}};
constexpr ParameterSpec spec{"Thing", "f", positional, 1, 2, keyword_only};

std::string parse(std::initializer_list<PyObject*> args, std::initializer_list<const char*> names) {
    std::vector<PyObject*> all(args);
    OwnedRef kwnames = OwnedRef::steal(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
    Py_ssize_t i = 0;
    for (const char* name : names) {
        PyTuple_SET_ITEM(kwnames.get(), i++, PyUnicode_FromString(name));
        all.push_back(Py_None);
    }
    PyObject* slots[5] = {};
    return outcome([&] {
        parse_vector_call(spec, all.data(), static_cast<Py_ssize_t>(args.size()),
                          names.size() ? kwnames.get() : nullptr, slots);
        return OwnedRef::take_new(Py_None);
    });
}

void general_parameters() {
    PyObject* x = Py_None;
    check(parse({x, x}, {"k"}) == "ok", "keyword-only given by keyword");
    check(parse({x, x, x}, {"k", "o"}) == "ok", "every parameter given");
    std::string seen = parse({x, x, x, x}, {"k"});
    check(seen == "TypeError: Thing.f() takes from 2 to 3 positional arguments but 4 were given",
          seen);
    seen = parse({}, {"a", "b", "k"});
    check(seen == "TypeError: Thing.f() got some positional-only arguments passed as keyword "
                  "arguments: 'a'", seen);
    seen = parse({x, x}, {});
    check(seen == "TypeError: Thing.f() missing 1 required keyword argument: 'k'", seen);
}

void type_made_in_a_call() {
    // The module was never imported here, so the type is made on first need;
    // out of memory, its creation fails, which is reported as the panic.
    PyMemAllocatorEx saved;
    PyMem_GetAllocator(PYMEM_DOMAIN_OBJ, &saved);
    PyMemAllocatorEx failing = saved;
    failing.malloc = [](void*, size_t) -> void* { return nullptr; };
    failing.calloc = [](void*, size_t, size_t) -> void* { return nullptr; };
    failing.realloc = [](void*, void*, size_t) -> void* { return nullptr; };
    // The interpreter's report of the failure, and the panic's, are expected.
    std::fflush(stderr);
    const int saved_stderr = dup(2);
    const int null = open(null_device, O_WRONLY);
    dup2(null, 2);
    PyMem_SetAllocator(PYMEM_DOMAIN_OBJ, &failing);
    const std::string seen = outcome([] {
        matrix_type_in_call();
        return OwnedRef::take_new(Py_None);
    });
    PyMem_SetAllocator(PYMEM_DOMAIN_OBJ, &saved);
    std::fflush(stderr);
    dup2(saved_stderr, 2);
    close(saved_stderr);
    close(null);
    check(seen == "PanicException: failed to create type object for Matrix" ||
              seen == "MemoryError: ",
          "the type cannot be made: " + seen);
    const std::string again = outcome([] {
        return OwnedRef::take_new(reinterpret_cast<PyObject*>(matrix_type_in_call()));
    });
    check(again == "ok", "made once memory is back: " + again);
}

// A failure report asks the reader the host program gave for its switch.
void report_switch_reader() {
    static const char* asked = nullptr;
    read_switches_with([](const char* name) {
        asked = name;
        return false;
    });
    std::fflush(stderr);
    const int saved_stderr = dup(2);
    const int null = open(null_device, O_WRONLY);
    dup2(null, 2);
    Panic("expected").report();
    std::fflush(stderr);
    dup2(saved_stderr, 2);
    close(saved_stderr);
    close(null);
    check(asked != nullptr && std::string(asked) == backtrace_variable,
          "the report asks the given reader");
}

// What a module call gives, as "Type: text" or the result's repr.
std::string run(const char* code) {
    OwnedRef globals = OwnedRef::steal(PyDict_New());
    OwnedRef result = OwnedRef::steal(PyRun_String(code, Py_eval_input, globals.get(), globals.get()));
    if (!result) return current_error();
    OwnedRef text = OwnedRef::steal(PyObject_Repr(result.get()));
    return text ? PyUnicode_AsUTF8(text.get()) : current_error();
}

// A runtime finalised and started again in one process: the module of the
// first, its type and its deferred releases ended with it, so the second is
// refused the module rather than handed what is left of them.
void second_runtime() {
    const char* reduce = "__import__('zendrik').Matrix([[1, 1], [0, 1]]).echelon_form()[0].to_list()";
    std::string seen = run(reduce);
    check(seen == "[[1, 0], [0, 1]]", "the first runtime has the module: " + seen);
    PyObject* waiting = PyList_New(0);
    release_reference(waiting);  // outside any frame: left for the next frame entry
    Py_FinalizeEx();
    Py_InitializeEx(0);
    seen = run(reduce);
    check(seen.starts_with("ImportError: zendrik cannot be imported again in this process"),
          "the second runtime is refused the module: " + seen);
    seen = run("__import__('zendrik')");
    check(seen.starts_with("ImportError: "), "and refused again: " + seen);
}

}  // namespace

int main() {
    PyImport_AppendInittab("zendrik", PyInit_zendrik);
    Py_InitializeEx(0);
    deferred_releases();
    unknown_exception();
    not_an_exception_class();
    general_parameters();
    type_made_in_a_call();
    report_switch_reader();
    second_runtime();
    Py_FinalizeEx();
    return testing::report("binding");
}
