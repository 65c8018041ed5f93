import pytest
from hypothesis import given, settings, strategies as st

from helpers import Idx, PanicException, catch, oob
from zendrik import Matrix


def swap(a, b):
    return [(a, b), (b, a), (a, b)]


@pytest.mark.parametrize("rows, expected, log", [
    ([[1, 0, 0], [0, 1, 0], [1, 1, 1]], [[1, 0, 0], [0, 1, 0], [0, 0, 1]], [(2, 0), (2, 1)]),
    ([[1, 0, 0], [0, 0, 1], [0, 1, 1]], [[1, 0, 0], [0, 1, 1], [0, 0, 1]], swap(1, 2)),
    ([[1, 0, 0], [0, 0, 0], [0, 0, 1]], [[1, 0, 0], [0, 0, 1], [0, 0, 0]], swap(1, 2)),
    ([[0, 0, 0], [1, 0, 0], [0, 0, 1]], [[0, 0, 1], [1, 0, 0], [0, 0, 0]], swap(0, 2)),
    ([[1, 0, 0], [1, 1, 0], [1, 0, 1]], [[1, 0, 0], [0, 1, 1], [0, 1, 0]],
     [(2, 1)] + swap(1, 2) + [(2, 0)]),
    ([[1, 0], [0, 1], [1, 1]], [[1, 0], [0, 1], [0, 0]], [(2, 0), (2, 1)]),
    ([[0, 1], [1, 0], [1, 1]], [[0, 1], [1, 0], [0, 0]], [(2, 1), (2, 0)]),
    ([[1, 0, 1], [0, 0, 1], [0, 0, 0]], [[1, 0, 1], [0, 0, 0], [0, 0, 1]], swap(1, 2)),
    ([[0, 1], [0, 1], [0, 0]], [[0, 1], [0, 1], [0, 0]], swap(0, 1) + swap(0, 1)),
    ([[1, 0, 0], [0, 1, 0], [0, 0, 0]], [[1, 0, 0], [0, 1, 0], [0, 0, 0]], []),
    ([[1, 0]], [[1, 0]], []),
    # several rows above the last lead at one column, then move
    ([[1, 0, 1, 1, 1, 1, 1], [1, 1, 1, 1, 0, 0, 0], [1, 0, 1, 0, 1, 0, 1], [0, 0, 1, 0, 1, 1, 0]],
     [[1, 0, 1, 1, 1, 1, 1], [0, 1, 0, 1, 1, 0, 1], [0, 0, 1, 0, 1, 1, 0], [0, 0, 0, 1, 0, 1, 0]],
     swap(2, 3) + [(3, 1)] + swap(1, 3) + [(3, 0), (3, 1)]),
    ([[], []], [[], []], []),
    # bytes other than 0 and 1 are neither a one nor a zero
    ([[2, 1], [0, 0], [0, 0]], [[2, 1], [0, 0], [0, 0]], []),
    ([[1, 3], [1, 2]], [[1, 3], [0, 1]], [(1, 0)]),
    ([[1, 0, 0], [2, 0, 0], [0, 0, 1]], [[1, 0, 0], [2, 0, 0], [0, 0, 1]], []),
])
def test_worked_examples(rows, expected, log):
    m = Matrix(rows)
    reduced, got = m.echelon_form_last_row()
    assert (reduced.to_list(), got) == (expected, log)
    assert m.to_list() == rows


@pytest.mark.parametrize("rows, length, index", [
    ([], 0, 2**64 - 1),
    ([[0, 1]], 1, 1),
    ([[1, 0, 0], [0, 0, 1]], 2, 2),
    ([[1], [0], [0]], 1, 1),
    # scans read a short row only up to the element that decides them
    ([[0, 0, 0, 0], [0, 0], [0, 0, 0, 0]], 2, 2),
    ([[1, 0, 0], [1], [0, 0, 1]], 1, 2),
])
def test_failures(rows, length, index):
    m = Matrix(rows)
    e = catch(m.echelon_form_last_row)
    assert (type(e), str(e)) == (PanicException, oob(length, index))
    assert m.to_list() == rows
    m.append_row([1])


SHARED = ["echelon_form", "row_echelon_full_matrix", "rank", "kernel"]


@pytest.mark.parametrize("method", SHARED + ["echelon_form_last_row"])
def test_borrow_kind_of_the_reductions(method):
    m = Matrix([[1, 1], [0, 1]])
    inner = Idx(lambda: (getattr(m, method)(), 0)[1])
    calls = [lambda: m.add_rows(inner, 1)]
    if method in SHARED:
        assert m.get(inner, 0) == 1
    else:
        calls.append(lambda: m.get(inner, 0))
    for call in calls:
        e = catch(call)
        assert (type(e), str(e)) == (RuntimeError, "Already mutably borrowed" if method in SHARED
                                     else "Already borrowed")
    assert m.to_list() == [[1, 1], [0, 1]]
    m.echelon_form_last_row()


def gf2_rank(rows):
    basis = []
    for row in rows:
        x = int("".join(map(str, row)) or "0", 2)
        for b in sorted(basis, reverse=True):
            x = min(x, x ^ b)
        if x:
            basis.append(x)
    return len(basis)


@settings(deadline=None, derandomize=True)
@given(st.integers(1, 6).flatmap(lambda n: st.lists(
    st.lists(st.integers(0, 1), min_size=n, max_size=n), min_size=1, max_size=2 * n)))
def test_growing_a_system_one_equation_at_a_time(equations):
    """n rows of width n; each equation is appended and worked in, and the last row, then zero, dropped."""
    n = len(equations[0])
    rows = [[0] * n for _ in range(n)]
    for k, equation in enumerate(equations, 1):
        m = Matrix(rows)
        m.append_row(equation)
        reduced, _ = m.echelon_form_last_row()
        assert reduced.is_zero_row(n)
        rows = reduced.to_list()[:n]
        seen = equations[:k]
        assert Matrix(rows).rank() == gf2_rank(seen) == gf2_rank(rows + seen)
        assert all(1 not in row or row.index(1) == i for i, row in enumerate(rows))
