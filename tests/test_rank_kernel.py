import pytest

from helpers import PanicException, catch, oob
from zendrik import Matrix


@pytest.mark.parametrize("rows, rank, kernel", [
    ([], 0, []),
    ([[]], 0, []),
    ([[0, 0, 0]], 0, [[1, 0, 0], [0, 1, 0], [0, 0, 1]]),
    ([[1, 0], [0, 1]], 2, []),
    ([[1, 0, 1, 1], [0, 1, 1, 0]], 2, [[1, 1, 1, 0], [1, 0, 0, 1]]),
    ([[1, 0, 1], [0, 1, 1], [0, 0, 0]], 2, [[1, 1, 1]]),
    # not reduced: rows sharing a leading column count once
    ([[1, 1], [1, 0]], 1, [[1, 1]]),
    ([[1, 1, 0], [0, 0, 1], [0, 0, 0]], 2, [[1, 1, 0]]),
    # pivots off the diagonal: each is substituted from the row it was found in
    ([[1, 0, 0, 1], [0, 0, 1, 1], [0, 0, 0, 0]], 2, [[0, 1, 0, 0], [1, 0, 1, 1]]),
    ([[0, 1, 0], [0, 0, 1]], 2, [[1, 0, 0]]),
    # other bytes never lead but enter the 8-bit products
    ([[2, 1]], 1, [[1, 2]]),
    ([[1, 0, 2], [0, 1, 3]], 2, [[2, 3, 1]]),
    ([[1, 3, 5], [0, 1, 7]], 2, [[16, 7, 1]]),
    ([[3, 2, 1]], 1, [[1, 0, 3], [0, 1, 2]]),
])
def test_worked_examples(rows, rank, kernel):
    m = Matrix(rows)
    assert (m.rank(), m.kernel()) == (rank, kernel)
    assert m.to_list() == rows


def test_rank_reads_each_row_to_its_own_length():
    ragged = [[[1, 0, 1], [1], []], [[0, 0, 1], [0, 1], [1]], [[0], [0, 0, 1]]]
    assert [Matrix(rows).rank() for rows in ragged] == [1, 3, 1]


@pytest.mark.parametrize("rows, length, index", [
    ([[1, 0, 0], [0]], 1, 1),
    ([[1, 0, 0], []], 0, 1),
    ([[1, 0, 1], [0, 1]], 2, 2),
    ([[1, 0, 0, 1], [0, 1]], 2, 3),
    ([[1, 0, 0, 1], [0, 1, 0]], 3, 3),
])
def test_kernel_of_ragged_rows_panics(rows, length, index):
    m = Matrix(rows)
    e = catch(m.kernel)
    assert (type(e), str(e)) == (PanicException, oob(length, index))
    assert m.to_list() == rows
    m.append_row([])
