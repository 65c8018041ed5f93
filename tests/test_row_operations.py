import pytest

from helpers import RANGE, Idx, PanicException, Seq, catch, element_overflow, oob
from zendrik import Matrix


@pytest.mark.parametrize("rows, call, expected", [
    ([[1, 0, 1], [1, 1, 0]], lambda m: m.add_rows(0, 1), [[0, 1, 1], [1, 1, 0]]),
    ([[1, 0, 1], [1, 1, 0]], lambda m: m.add_rows(1, 1), [[1, 0, 1], [0, 0, 0]]),
    ([], lambda m: m.add_rows(5, 7), []),
    ([[]], lambda m: m.add_rows(5, 7), [[]]),
    ([[1], [1, 1, 1]], lambda m: m.add_rows(1, 0), [[1], [0, 1, 1]]),
    ([[2, 255, 7], [3, 15, 7]], lambda m: m.add_rows(0, 1), [[1, 240, 0], [3, 15, 7]]),
    ([[1, 0, 1], [1]], lambda m: m.swap_rows(0, 1), [[1], [1, 0, 1]]),
    ([[1, 0], [0, 1]], lambda m: m.swap_rows(1, 1), [[1, 0], [0, 1]]),
    ([[1, 0, 1]], lambda m: m.append_row([1, 0, 1, 1]), [[1, 0, 1], [1, 0, 1, 1]]),
    ([], lambda m: m.append_row(b"\x01\x00"), [[1, 0]]),
    ([[1]], lambda m: m.append_row([]), [[1], []]),
    ([[1], [0]], lambda m: m.append_column([1, 0, 1]), [[1, 1], [0, 0]]),
    ([[1, 1], [0]], lambda m: m.append_column((7, 9)), [[1, 1, 7], [0, 9]]),
    ([], lambda m: m.append_column([1, 2, 3]), []),
])
def test_changes_in_place(rows, call, expected):
    m = Matrix(rows)
    assert call(m) is None
    assert m.to_list() == expected


@pytest.mark.parametrize("rows, row, expected", [
    ([[0, 0], [0, 1]], 0, True),
    ([[0, 0], [0, 1]], 1, False),
    ([[]], 0, True),
    ([[2]], 0, False),
    ([[1, 0], [0, 0, 0, 1]], 1, False),
])
def test_is_zero_row(rows, row, expected):
    assert Matrix(rows).is_zero_row(row) is expected


MUT, BORROWED = "Already mutably borrowed", "Already borrowed"


def hook(call):
    """An index, or a sequence holding one 0, whose conversion first runs `call`."""
    return Idx(lambda: (call(), 0)[1]), Seq(lambda: (call(), iter([0]))[1], lambda: 1)


@pytest.mark.parametrize("rows, call, exc, msg", [
    # source is checked before target, and every check before any element changes
    ([[1, 0], [0, 1]], lambda m: m.add_rows(2, 0), PanicException, oob(2, 2)),
    ([[1, 0], [0, 1]], lambda m: m.add_rows(5, 7), PanicException, oob(2, 7)),
    ([[1, 1], []], lambda m: m.add_rows(5, 1), PanicException, oob(0, 0)),
    ([[1, 1], []], lambda m: m.add_rows(1, 5), PanicException, oob(2, 5)),
    ([[1, 1, 1], [1]], lambda m: m.add_rows(1, 0), PanicException, oob(1, 1)),
    ([[1, 1, 1], [1]], lambda m: m.add_rows(0, 1), PanicException, oob(1, 1)),
    ([[1, 1, 1], [1, 1], [1]], lambda m: m.add_rows(2, 1), PanicException, oob(1, 1)),
    ([[1, 1, 1, 1], [1, 1, 1], [1, 0]], lambda m: m.add_rows(1, 2), PanicException, oob(2, 2)),
    ([], lambda m: m.swap_rows(0, 0), PanicException, oob(0, 0)),
    ([[1], [0]], lambda m: m.swap_rows(7, 5), PanicException, oob(2, 7)),
    ([[1], [0]], lambda m: m.swap_rows(0, 5), PanicException, oob(2, 5)),
    ([[0, 0], [0, 1]], lambda m: m.is_zero_row(2), PanicException, oob(2, 2)),
    ([[1], [0]], lambda m: m.append_column([1]), PanicException, oob(1, 1)),
    ([[1], [0], [1]], lambda m: m.append_column([]), PanicException, oob(0, 0)),
    ([[1]], lambda m: m.append_row("01"), TypeError, "argument 'v': Can't extract `str` to `Vec`"),
    ([[1]], lambda m: m.append_row([1, 256]), OverflowError, RANGE),
    ([[1]], lambda m: m.append_row([2**40]), OverflowError, element_overflow(2**40)),
    ([[1]], lambda m: m.append_column([2**63]), OverflowError, element_overflow(2**63)),
    ([], lambda m: m.append_column([300]), OverflowError, RANGE),
    ([[1, 1], [0, 1]], lambda m: m.add_rows(1, -1), OverflowError, "can't convert negative int to unsigned"),
    # a conversion that calls back into the matrix meets the borrow held by the outer call
    ([[1, 0]], lambda m: m.add_rows(hook(m.nrows)[0], 0), RuntimeError, MUT),
    ([[1, 0]], lambda m: m.add_rows(0, hook(lambda: m.swap_rows(0, 0))[0]), RuntimeError, BORROWED),
    ([[1, 0]], lambda m: m.swap_rows(hook(lambda: m.is_zero_row(0))[0], 0), RuntimeError, MUT),
    ([[1, 0]], lambda m: m.append_row(hook(m.to_list)[1]), RuntimeError, MUT),
    ([[1, 0]], lambda m: m.append_column(hook(lambda: m.append_row([]))[1]), RuntimeError, BORROWED),
    ([[1, 0]], lambda m: m.is_zero_row(hook(lambda: m.add_rows(0, 0))[0]), RuntimeError, BORROWED),
])
def test_failure_leaves_matrix_unchanged_and_free(rows, call, exc, msg):
    m = Matrix(rows)
    e = catch(lambda: call(m))
    assert (type(e), str(e)) == (exc, msg)
    assert m.to_list() == rows
    m.swap_rows(0, 0) if rows else m.add_rows(0, 0)
    assert m.to_list() == rows


def test_zero_test_allows_nested_shared_calls():
    m, seen = Matrix([[0, 0], [1, 0]]), []
    assert m.is_zero_row(hook(lambda: seen.append((m.is_zero_row(1), m.rank(), repr(m))))[0])
    assert seen == [(False, 1, "[[0, 0], [1, 0]]")]
