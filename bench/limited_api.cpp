// What building against the stable ABI would cost the binding's two busiest
// loops, per list item: reading small ints out of a list, and filling a new
// list with ints. "inline" is how the module does it today (the list's item
// array, the compact int's value); "limited" uses only calls the limited API
// offers. Embeds the interpreter; prints nanoseconds per item, best of 9.
//
//   g++ -std=c++20 -O2 $(python3.12-config --includes) -o build/limited_api \
//       bench/limited_api.cpp $(python3.12-config --embed --ldflags) && build/limited_api
#include <Python.h>

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace {

constexpr Py_ssize_t items = 1 << 20;

template <typename Loop>
double nanoseconds_per_item(Loop loop) {
    double best = 1e300;
    for (int round = 0; round < 9; ++round) {
        const auto start = std::chrono::steady_clock::now();
        loop();
        const std::chrono::duration<double, std::nano> took = std::chrono::steady_clock::now() - start;
        best = std::min(best, took.count() / items);
    }
    return best;
}

long volatile sink;

void read_inline(PyObject* list) {
    long sum = 0;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        PyObject* item = PyList_GET_ITEM(list, i);
        auto* number = reinterpret_cast<PyLongObject*>(item);
        if (PyLong_CheckExact(item) && PyUnstable_Long_IsCompact(number)) {
            const Py_ssize_t value = PyUnstable_Long_CompactValue(number);
            if (value >= 0 && value <= 255) {
                sum += value;
                continue;
            }
        }
        sum += PyLong_AsLong(item);
    }
    sink = sum;
}

void read_limited(PyObject* list) {
    long sum = 0;
    const Py_ssize_t size = PyList_Size(list);
    for (Py_ssize_t i = 0; i < size; ++i) {
        const long value = PyLong_AsLong(PyList_GetItem(list, i));
        if (value == -1 && PyErr_Occurred()) return;
        sum += value;
    }
    sink = sum;
}

void fill_inline(PyObject* const* ints) {
    PyObject* list = PyList_New(items);
    PyObject** slots = reinterpret_cast<PyListObject*>(list)->ob_item;
    for (Py_ssize_t i = 0; i < items; ++i) slots[i] = Py_NewRef(ints[i & 1]);
    Py_DECREF(list);
}

void fill_limited(PyObject* const* ints) {
    PyObject* list = PyList_New(items);
    for (Py_ssize_t i = 0; i < items; ++i) PyList_SetItem(list, i, Py_NewRef(ints[i & 1]));
    Py_DECREF(list);
}

}  // namespace

int main() {
    Py_Initialize();
    PyObject* ints[] = {PyLong_FromLong(0), PyLong_FromLong(1)};
    PyObject* list = PyList_New(items);
    for (Py_ssize_t i = 0; i < items; ++i) PyList_SET_ITEM(list, i, Py_NewRef(ints[i % 3 == 0]));
    const double read[] = {nanoseconds_per_item([&] { read_inline(list); }),
                           nanoseconds_per_item([&] { read_limited(list); })};
    const double fill[] = {nanoseconds_per_item([&] { fill_inline(ints); }),
                           nanoseconds_per_item([&] { fill_limited(ints); })};
    std::printf("ns per item   inline  limited  ratio\n");
    std::printf("read ints     %6.2f  %7.2f  %5.2f\n", read[0], read[1], read[1] / read[0]);
    std::printf("fill list     %6.2f  %7.2f  %5.2f\n", fill[0], fill[1], fill[1] / fill[0]);
    Py_DECREF(list);
    return Py_FinalizeEx() < 0;
}
