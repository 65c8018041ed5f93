import sys

import pytest
from helpers import Idx, PanicException, Seq, catch, oob, raiser
from zendrik import Matrix

M = Matrix([[1, 0], [0, 1]])
NEVER = Idx(raiser(AssertionError("converted before the arguments were matched")))
GET, NEW = "Matrix.get() ", "Matrix.__new__() "
BAD_KEY = "\udc80".encode("utf-8", "surrogatepass").decode("utf-8", "replace")


@pytest.mark.parametrize("call, text", [
    (lambda: M.get(1, 2, 3), GET + "takes 2 positional arguments but 3 were given"),
    (lambda: M.get(NEVER, 0, 0, col=1, zzz=1), GET + "takes 2 positional arguments but 3 were given"),
    (lambda: Matrix([[1]], [[0]], elements=1), NEW + "takes 1 positional arguments but 2 were given"),
    (lambda: M.get(), GET + "missing 2 required positional arguments: 'row' and 'col'"),
    (lambda: M.get(NEVER), GET + "missing 1 required positional argument: 'col'"),
    (lambda: M.get(col=NEVER), GET + "missing 1 required positional argument: 'row'"),
    (lambda: Matrix(), NEW + "missing 1 required positional argument: 'elements'"),
    (lambda: M.get(0, row=1), GET + "got multiple values for argument 'row'"),
    (lambda: M.get(0, 0, col=1), GET + "got multiple values for argument 'col'"),
    (lambda: M.get(0, row=1, zzz=2), GET + "got multiple values for argument 'row'"),
    (lambda: Matrix([[1]], elements=[[1]]), NEW + "got multiple values for argument 'elements'"),
    (lambda: M.get(zzz=2), GET + "got an unexpected keyword argument 'zzz'"),
    (lambda: M.get(0, zzz=2, row=1), GET + "got an unexpected keyword argument 'zzz'"),
    (lambda: M.get(yyy=0, zzz=1), GET + "got an unexpected keyword argument 'yyy'"),
    (lambda: M.get(ro=0, col=0), GET + "got an unexpected keyword argument 'ro'"),
    (lambda: M.get(0, **{"\udc80": 0}), GET + f"got an unexpected keyword argument '{BAD_KEY}'"),
    (lambda: Matrix(x=1), NEW + "got an unexpected keyword argument 'x'"),
    (lambda: Matrix(elements=[["x"]], x=1), NEW + "got an unexpected keyword argument 'x'"),
])
def test_argument_matching_messages(call, text):
    e = catch(call)
    assert type(e) is TypeError and str(e) == text


def test_keyword_forms():
    assert Matrix(elements=[[1, 2]]).to_list() == [[1, 2]]
    assert M.get(col=1, row=0) == 0 and M.get(1, col=1) == 1


class Outer:
    class Inner:
        pass


@pytest.mark.parametrize("row, col, exc, text", [
    (1.0, 0, TypeError, "argument 'row': 'float' object cannot be interpreted as an integer"),
    (1.5, "x", TypeError, "argument 'row': 'float' object cannot be interpreted as an integer"),
    (99, "x", TypeError, "argument 'col': 'str' object cannot be interpreted as an integer"),
    (Idx(lambda: "1"), 0, TypeError, "argument 'row': __index__ returned non-int (type str)"),
    (Idx(raiser(TypeError("mine"))), 0, TypeError, "argument 'row': mine"),
    (-1, 0, OverflowError, "can't convert negative int to unsigned"),
    (0, Idx(lambda: -1), OverflowError, "can't convert negative int to unsigned"),
    (2**64, 0, OverflowError, "int too big to convert"),
    (2**64 - 1, 0, PanicException, oob(2, 2**64 - 1)),
])
def test_index_conversion_errors(row, col, exc, text):
    e = catch(lambda: M.get(row, col))
    assert type(e) is exc and str(e) == text


@pytest.mark.parametrize("row, col, value", [
    (True, False, 0), (Idx(lambda: 1), 1, 1), (type("I", (int,), {})(1), 0, 0), (Idx(lambda: 1), Idx(lambda: 0), 0),
])
def test_index_conversion_accepts(row, col, value):
    assert M.get(row, col) == value


@pytest.mark.parametrize("exc", [ValueError("v"), type("SubTypeError", (TypeError,), {})("s"), OverflowError("o"),
                                 KeyboardInterrupt()])
def test_other_exceptions_pass_unchanged(exc):
    assert catch(lambda: M.get(Idx(raiser(exc)), 0)) is exc
    assert catch(lambda: Matrix(Seq(raiser(exc)))) is exc


def test_renamed_type_error_keeps_cause():
    def f():
        raise TypeError("inner") from KeyError("cause")
    e = catch(lambda: M.get(0, Idx(f)))
    assert str(e) == "argument 'col': inner"
    assert type(e.__cause__) is KeyError and e.__suppress_context__


def test_unprintable_type_error(monkeypatch):
    class Bad:
        def __str__(self):
            raise ValueError("no text")
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", seen.append)
    original = TypeError(Bad())
    e = catch(lambda: M.get(Idx(raiser(original)), 0))
    assert type(e) is TypeError and str(e) == "argument 'row': <unprintable TypeError object>"
    assert [(u.exc_type, u.object) for u in seen] == [(ValueError, original)]


def items_then(items, exc):
    yield from items
    raise exc


ELEMENTS = "argument 'elements': "
NOT_SEQ = "object cannot be converted to 'Sequence'"
RANGE = "out of range integral type conversion attempted"


@pytest.mark.parametrize("elements, exc, text", [
    ("0101", TypeError, ELEMENTS + "Can't extract `str` to `Vec`"),
    ([type("S", (str,), {})("1")], TypeError, ELEMENTS + "Can't extract `str` to `Vec`"),
    (5, TypeError, ELEMENTS + "'int' " + NOT_SEQ),
    ({1: 0}, TypeError, ELEMENTS + "'dict' " + NOT_SEQ),
    ([[1], 1], TypeError, ELEMENTS + "'int' " + NOT_SEQ),
    ([Outer.Inner()], TypeError, ELEMENTS + "'Outer.Inner' " + NOT_SEQ),
    ([[1.0]], TypeError, ELEMENTS + "'float' object cannot be interpreted as an integer"),
    ([[1, "x", 256]], TypeError, ELEMENTS + "'str' object cannot be interpreted as an integer"),
    ([[Idx(raiser(TypeError("idx")))]], TypeError, ELEMENTS + "idx"),
    ([Seq(raiser(TypeError("iter")))], TypeError, ELEMENTS + "iter"),
    (Seq(lambda: items_then([[1]], TypeError("next"))), TypeError, ELEMENTS + "next"),
    ([Seq(lambda: items_then([1], ValueError("next")))], ValueError, "next"),
    ([[256]], OverflowError, RANGE),
    ([[-1]], OverflowError, RANGE),
    ([[2**40]], OverflowError, RANGE),
    ([[1, 256, "x"]], OverflowError, RANGE),
    ([[Idx(lambda: 300)]], OverflowError, RANGE),
    ([[2**63]], OverflowError, "Python int too large to convert to C long"),
])
def test_elements_conversion_errors(elements, exc, text):
    e = catch(lambda: Matrix(elements))
    assert type(e) is exc and str(e) == text


def lying(items, n):
    return Seq(lambda: iter(items), n)


@pytest.mark.parametrize("elements, rows", [
    ([(1, 0), b"\x01\x01", bytearray([0, 1]), range(2), [True, False, Idx(lambda: 255)]],
     [[1, 0], [1, 1], [0, 1], [0, 1], [1, 0, 255]]),
    (((1, 0), ()), [[1, 0], []]),
    (range(0), []),
    ([lying([1, 1], lambda: 2**62)], [[1, 1]]),
    (lying([[1], [0]], lambda: 2**62), [[1], [0]]),
    ([lying([1, 0, 1], lambda: 0)], [[1, 0, 1]]),
    ([lying([1], raiser(ValueError("len")))], [[1]]),
    (lying([[1]], raiser(TypeError("len"))), [[1]]),
])
def test_elements_conversion_accepts(elements, rows):
    assert Matrix(elements).to_list() == rows
