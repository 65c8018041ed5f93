import gc
import sys

import pytest
from helpers import Idx, PanicException, Seq, catch, oob, raiser
from zendrik import Matrix

ROWS = [[1, 0], [0, 1]]


@pytest.mark.parametrize("inner, seen", [
    (lambda m: m.nrows(), 2),
    (lambda m: repr(m), "[[1, 0], [0, 1]]"),
    (lambda m: m.get(Idx(lambda: m.ncols() - 1), 1), 1),
    (lambda m: m.copy().to_list(), ROWS),
    (lambda m: m.to_list(), ROWS),
])
def test_shared_calls_nest_inside_a_conversion(inner, seen):
    m, results = Matrix(ROWS), []
    assert m.get(Idx(lambda: results.append(inner(m)) or 1), 0) == 0
    assert results == [seen]


@pytest.mark.parametrize("inner, text", [
    (lambda m: m.get(0), "Matrix.get() missing 1 required positional argument: 'col'"),
    (lambda m: m.get(0, 0, 0), "Matrix.get() takes 2 positional arguments but 3 were given"),
])
def test_matching_fails_inside_a_conversion_before_borrowing(inner, text):
    m = Matrix(ROWS)
    e = catch(lambda: m.get(Idx(lambda: inner(m)), 0))
    assert type(e) is TypeError and str(e) == "argument 'row': " + text


@pytest.mark.parametrize("fail, exc", [
    (lambda m: m.get(2, 0), PanicException),
    (lambda m: m.get(0, 2), PanicException),
    (lambda m: m.get(Idx(lambda: m.get(9, 0)), 0), PanicException),
    (lambda m: m.get(Idx(raiser(PanicException("again"))), 0), PanicException),
    (lambda m: m.get(-1, 0), OverflowError),
    (lambda m: m.get(0, "x"), TypeError),
    (lambda m: m.get(Idx(raiser(ValueError)), 0), ValueError),
    (lambda m: m.get(0), TypeError),
    (lambda m: m.get(Idx(lambda: m.get(0)), 0), TypeError),
    (lambda m: m.get(Idx(lambda: Matrix(Seq(raiser(MemoryError)))), 0), MemoryError),
])
def test_receiver_is_released_after_every_failure(fail, exc):
    m = Matrix(ROWS)
    gc.collect()
    count = sys.getrefcount(m)
    for _ in range(3):
        assert type(catch(lambda: fail(m))) is exc
    gc.collect()
    assert sys.getrefcount(m) == count
    assert m.to_list() == ROWS and m.get(1, 1) == 1 and repr(m.copy()) == repr(ROWS)


def test_panic_inside_a_nested_call_ends_the_outer_call():
    m = Matrix(ROWS)
    e = catch(lambda: m.get(Idx(lambda: m.get(0, 7)), 0))
    assert type(e) is PanicException and str(e) == oob(2, 7)


def entry_point(name):
    """The C function behind a no-argument method, callable with any receiver,
    as code that reaches the entry point without the method descriptor could."""
    import ctypes

    # A method descriptor: object header (as long as a plain object, which is
    # longer without the GIL), type, name, qualname, then its PyMethodDef, whose
    # function follows the name.
    word = ctypes.sizeof(ctypes.c_void_p)
    offset = object.__basicsize__ + 3 * word
    method_def = ctypes.c_void_p.from_address(id(Matrix.__dict__[name]) + offset).value
    function = ctypes.c_void_p.from_address(method_def + word).value
    return ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.py_object, ctypes.c_void_p)(function)


@pytest.mark.parametrize("method", ["nrows", "echelon_form_last_row"])
@pytest.mark.parametrize("receiver, name", [(42, "int"), ([], "list"), (Matrix, "type")])
def test_receiver_must_be_a_matrix(method, receiver, name):
    error = catch(lambda: entry_point(method)(receiver, None))
    assert type(error) is TypeError
    assert str(error) == f"'{name}' object cannot be converted to 'Matrix'"
    assert entry_point("nrows")(Matrix([[1]]), None) == 1
