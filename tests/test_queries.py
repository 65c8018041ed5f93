import pytest
from helpers import SIZE_MAX, PanicException, catch, oob
from zendrik import Matrix


@pytest.mark.parametrize("rows, nrows, ncols, text", [
    ([], 0, 0, "[]"),
    ([[]], 1, 0, "[[]]"),
    ([[1, 0, 1], [0, 1, 1]], 2, 3, "[[1, 0, 1], [0, 1, 1]]"),
    ([[1, 0, 1], [1]], 2, 3, "[[1, 0, 1], [1]]"),
    ([[], [1, 1]], 2, 0, "[[], [1, 1]]"),
    ([list(range(256))], 1, 256, repr([list(range(256))])),
])
def test_shape_list_and_text(rows, nrows, ncols, text):
    m = Matrix(rows)
    assert (m.nrows(), m.ncols()) == (nrows, ncols) and type(m.nrows()) is int
    assert m.to_list() == rows and repr(m) == str(m) == text


@pytest.mark.parametrize("rows, row, col, value", [
    ([[2, 255]], 0, 1, 255),
    ([[1, 0, 1], [1]], 1, 0, 1),
    ([[1], [0, 0, 1]], 1, 2, 1),
    ([], 0, 0, (0, 0)),
    ([[]], 0, 0, (0, 0)),
    ([[1, 0, 1], [1]], 1, 2, (1, 2)),
    ([[1, 0], [0, 1]], 2, 0, (2, 2)),
    ([[1, 0], [0, 1]], 0, 5, (2, 5)),
    ([[1, 0]], SIZE_MAX, SIZE_MAX, (1, SIZE_MAX)),  # the largest index the build takes
])
def test_get(rows, row, col, value):
    m = Matrix(rows)
    if isinstance(value, int):
        assert m.get(row, col) == value and type(m.get(row, col)) is int
    else:
        e = catch(lambda: m.get(row, col))
        assert type(e) is PanicException and e.args == (oob(*value),)
        assert m.to_list() == rows


@pytest.mark.parametrize("rows", [[], [[]], [[1, 0, 1], [1]], [[7, 255], [], [0]]])
def test_copies_share_nothing(rows):
    source = [list(r) for r in rows]
    m = Matrix(source)
    source.append([9])
    for r in source:
        r.append(9)
    c = m.copy()
    assert type(c) is Matrix and c is not m and c.to_list() == m.to_list() == rows
    listed = m.to_list()
    assert listed is not m.to_list() and all(a is not b for a, b in zip(listed, m.to_list()))
    listed.append([1])
    for r in listed:
        r.append(1)
    assert m.to_list() == c.to_list() == rows and repr(m) == repr(rows)
    c.append_row([1])
    c.append_column([5] * c.nrows())
    assert m.to_list() == rows
    m.append_row([3])
    assert c.to_list() == [r + [5] for r in rows] + [[1, 5]]
