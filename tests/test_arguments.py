import sys

import numpy as np
import pytest
from helpers import RANGE, SIZE_MAX, Idx, PanicException, Seq, catch, element_overflow, oob, raiser
from zendrik import Matrix

M = Matrix([[1, 0], [0, 1]])
NEVER = Idx(raiser(AssertionError("converted before the arguments were matched")))
GET, NEW = "Matrix.get() ", "Matrix.__new__() "
# The interpreter's own text, passed through as it stands; 3.15 reworded it.
NON_INT_INDEX = ("helpers.Idx.__index__() must return an int, not str" if sys.version_info >= (3, 15)
                 else "__index__ returned non-int (type str)")
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
    (Idx(lambda: "1"), 0, TypeError, "argument 'row': " + NON_INT_INDEX),
    (Idx(raiser(TypeError("mine"))), 0, TypeError, "argument 'row': mine"),
    (-1, 0, OverflowError, "can't convert negative int to unsigned"),
    (0, Idx(lambda: -1), OverflowError, "can't convert negative int to unsigned"),
    (2**64, 0, OverflowError, "int too big to convert"),
    # an index past the build's word is out of range: 2**32 to 2**64 - 1 on a 32-bit build
    *[(v, 0, *((PanicException, oob(2, v)) if v <= SIZE_MAX else (OverflowError, RANGE)))
      for v in (SIZE_MAX, 2**32 - 1, 2**32, 2**48, 2**64 - 1)],
    # either side of the largest int held in one digit, which is read without a call
    (2**30 - 1, 0, PanicException, oob(2, 2**30 - 1)),
    (0, 2**30, PanicException, oob(2, 2**30)),
    (-(2**30 - 1), 0, OverflowError, "can't convert negative int to unsigned"),
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
    ([[2**40]], OverflowError, element_overflow(2**40)),
    ([[1, 256, "x"]], OverflowError, RANGE),
    ([[Idx(lambda: 300)]], OverflowError, RANGE),
    ([[2**63]], OverflowError, element_overflow(2**63)),
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


# ---- Every reading of a row or of `elements` agrees with item-by-item iteration ----------------

LENGTHS = [0, 1, 63, 64, 65, 127, 128, 129]
VALUES = [[(7 * i + n) % 256 for i in range(n)] for n in LENGTHS] + [[1 << k for k in range(8)] + [0, 255]]
# Elements that are not small exact ints take the element-by-element path, or fail.
ODD_VALUES = [[1, 256], [0, -1], [1, 2**30], [2**63], [-(2**70)], [1, 1.5], [0, "x", 300], [True, False, 1],
              [type("MyInt", (int,), {})(3)], [1, Idx(lambda: 2)], [Idx(raiser(ValueError("idx")))]]


class SubList(list): pass
class SubTuple(tuple): pass
class SubBytes(bytes): pass
class SubArray(np.ndarray): pass


def spaced(a):
    """The same values, not contiguous."""
    wide = np.zeros((2,) + a.shape, dtype=a.dtype)
    wide[0] = a
    return np.moveaxis(wide, 0, -1)[..., 0]


ROW_FORMS = {
    "list": list, "tuple": tuple, "bytes": bytes, "bytearray": bytearray, "sublist": SubList,
    "subtuple": SubTuple, "subbytes": SubBytes,
    "uint8": lambda v: np.array(v, dtype=np.uint8),
    "uint8 view": lambda v: np.array(v, dtype=np.uint8).view(SubArray),
    "uint8 spaced": lambda v: spaced(np.array(v, dtype=np.uint8)),
    "uint8 reversed": lambda v: np.array(v[::-1], dtype=np.uint8)[::-1],
    "uint8 2-D": lambda v: np.array([v], dtype=np.uint8),
    "int8": lambda v: np.array(v, dtype=np.uint8).astype(np.int8),
    "int64": lambda v: np.array(v, dtype=np.int64),
    "uint16": lambda v: np.array(v, dtype=np.uint16),
    "bool": lambda v: np.array(v, dtype=np.uint8).astype(bool),
    "float": lambda v: np.array(v, dtype=np.float64),
    "bytes dtype": lambda v: np.array(v, dtype=np.uint8).view("S1"),
    "record": lambda v: np.array(v, dtype=np.uint8).view([("f", "u1")]),
    "read-only": lambda v: np.frombuffer(bytes(v), dtype=np.uint8),
    "object": lambda v: np.array(v + [None], dtype=object)[:-1],
}
FAST = (list, tuple, bytes, bytearray, np.ndarray)


def one_by_one(x, depth):
    """`x` as a user sequence read only by iteration, `depth` levels down."""
    if depth == 0 or not isinstance(x, FAST):
        return x
    return Seq(lambda: (one_by_one(item, depth - 1) for item in x), lambda: len(x))


def outcome(f):
    try:
        return "ok", f().to_list()
    except BaseException as e:
        return type(e), str(e)


def same_as_iteration(elements):
    got = outcome(lambda: Matrix(elements))
    assert got == outcome(lambda: Matrix(one_by_one(elements, 2)))
    return got


@pytest.mark.parametrize("form", ROW_FORMS)
@pytest.mark.parametrize("values", VALUES, ids=lambda v: f"len{len(v)}")
def test_row_forms_read_like_iteration(form, values):
    try:
        row = ROW_FORMS[form](values)
    except (ValueError, TypeError, OverflowError):
        pytest.skip("no such row")
    got = same_as_iteration([row, row])
    if form in ("list", "tuple", "bytes", "bytearray", "uint8", "uint8 spaced", "uint8 reversed", "int64"):
        assert got == ("ok", [values, values])
    m, slow = Matrix([]), Matrix([])
    assert outcome(lambda: m.append_row(row) or m) == outcome(lambda: slow.append_row(one_by_one(row, 1)) or slow)


@pytest.mark.parametrize("values", ODD_VALUES, ids=repr)
@pytest.mark.parametrize("form", ["list", "tuple", "sublist", "int64", "object"])
def test_odd_elements_read_like_iteration(form, values):
    try:
        row = ROW_FORMS[form](values)
    except (ValueError, TypeError, OverflowError):
        pytest.skip("no such row")
    same_as_iteration([[0], row])
    same_as_iteration((row, [0]))


def arrays():
    a = np.arange(3 * 130, dtype=np.uint8).reshape(3, 130)
    return {"2-D": a, "empty rows": np.zeros((4, 0), np.uint8), "no rows": np.zeros((0, 5), np.uint8),
            "fortran": np.asfortranarray(a), "spaced rows": a[:, ::2], "spaced": a[::2], "transposed": a.T,
            "view": a.view(SubArray), "1-D": a[0], "0-d": np.ones((), np.uint8), "3-D": a.reshape(3, 2, 65),
            "int16": a.astype(np.int16), "bool": a.astype(bool), "bytes dtype": a.view("S1"),
            "wide": np.ones((2, 129), np.uint8) * 128}


@pytest.mark.parametrize("name", arrays())
def test_arrays_as_elements_read_like_iteration(name):
    a = arrays()[name]
    got = same_as_iteration(a)
    if name in ("2-D", "empty rows", "no rows", "fortran", "spaced rows", "spaced", "transposed", "wide"):
        assert got == ("ok", a.tolist())


@pytest.mark.parametrize("elements", [
    [b"\x01\x00", bytearray(b"\x02"), (1, 0, 1), [], np.array([255], np.uint8), range(2)],
    ([1, 0], 5), [[1], "01"], [np.arange(3, dtype=np.uint8), np.zeros((1, 1), np.uint8)],
    SubList([[1], (0,)]), SubTuple(([1],)), (b"",) * 3,
], ids=range(7))
def test_mixed_elements_read_like_iteration(elements):
    same_as_iteration(elements)


def test_a_python_class_named_like_the_array_type_is_read_by_iteration():
    Fake = type("numpy.ndarray", (), {"__buffer__": lambda self, flags: memoryview(b"\x09"),
                                       "__getitem__": lambda self, i: 1, "__iter__": lambda self: iter([7, 7])})
    assert Matrix([Fake()]).to_list() == [[7, 7]]


def hostile_lists(act, where):
    """Two equal lists of rows whose __index__ callbacks `act` on the list being read (where="row") or on the
    list of rows (where="rows"); the second is read only through the list's own iterator."""
    made = []
    for _ in range(2):
        rows = [[1, 0, 1, 1], [0, 1]]
        target = rows if where == "rows" else rows[0]
        rows[0][1] = Idx(lambda t=target: act(t) or 0)
        made.append(rows)
    return made[0], Seq(lambda: (Seq(lambda r=r: iter(r)) if type(r) is list else r for r in made[1]))


ACTS = {"grow": lambda t: t.append(t[-1]), "shrink": lambda t: t.pop(), "clear": list.clear,
        "shrink twice": lambda t: (t.pop(), t.pop()), "insert first": lambda t: len(t) < 9 and t.insert(0, t[-1]),
        "grow with int": lambda t: t.append(7), "grow with str": lambda t: t.append("x")}


@pytest.mark.parametrize("where", ["row", "rows"])
@pytest.mark.parametrize("act", ACTS)
def test_lists_changed_while_read_are_read_like_their_iterator(act, where):
    fast, slow = hostile_lists(ACTS[act], where)
    assert outcome(lambda: Matrix(fast)) == outcome(lambda: Matrix(slow))


@pytest.mark.parametrize("act", ACTS)
def test_rows_changed_while_appended_are_read_like_their_iterator(act):
    outcomes = []
    for wrap in (lambda v: v, lambda v: Seq(lambda: iter(v))):
        v = [1, 0, 1]
        v[1] = Idx(lambda: ACTS[act](v) or 1)
        m = Matrix([[0]])
        outcomes.append(outcome(lambda: m.append_row(wrap(v)) or m))
    assert outcomes[0] == outcomes[1]


@pytest.mark.parametrize("call, exc, text, after", [
    (lambda m: m.append_row([1, Idx(lambda: m.nrows())]), RuntimeError, "Already mutably borrowed", [[1]]),
    (lambda m: m.append_column((Idx(lambda: m.add_rows(0, 0) or 1),)), RuntimeError, "Already borrowed", [[1]]),
    # The constructor borrows nothing: a callback may change the matrix it reads from.
    (lambda m: Matrix([[1, Idx(lambda: m.append_row(m.to_list()[0]) or 1)], b"x", 1.5]), TypeError,
     "argument 'elements': 'float' object cannot be converted to 'Sequence'", [[1], [1]]),
])
def test_callbacks_from_a_read_list_meet_the_borrow(call, exc, text, after):
    m = Matrix([[1]])
    e = catch(lambda: call(m))
    assert type(e) is exc and str(e) == text and m.to_list() == after
