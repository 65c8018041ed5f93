"""Rows that span several machine words: reductions, rank, kernel and the last-row reduction agree with the
model on matrices of 0 and 1 (which the module reduces in packed form) and on the same matrices spoiled by
one other byte or one short row (which it reduces element by element)."""
import random

import pytest

import model
from helpers import PanicException, emulated
from zendrik import Matrix

# Word and lane boundaries of packed rows.
WIDTHS = [1, 7, 8, 9, 63, 64, 65, 127, 128, 129, 255, 256, 257]


def random_rows(rng, nrows, ncols, density):
    """Rank-deficient on purpose: some rows are sums of others, some are zero."""
    rows = [[int(rng.random() < density) for _ in range(ncols)] for _ in range(nrows)]
    for i in range(0, nrows, 5):
        if i >= 2:
            rows[i] = [a ^ b for a, b in zip(rows[i - 1], rows[i - 2])]
    if nrows > 3:
        rows[3] = [0] * ncols
    return rows


def outcome(call):
    try:
        result = call()
    except PanicException as e:
        return ("panic", str(e))
    except model.PanicException as e:
        return ("panic", str(e))
    if isinstance(result, tuple):
        reduced, log = result
        return (reduced.rows if isinstance(reduced, model.Model) else reduced.to_list(), log)
    return result


def spoiled(rows, how):
    rows = [list(r) for r in rows]
    if how == "byte" and rows and rows[0]:
        rows[-1][-1] = 2 if rows[-1][-1] == 0 else 3  # never a one, still XORed along
    elif how == "short" and len(rows) > 1 and rows[-1]:
        rows[-1].pop()
    return rows


# The model's time grows with the square of the rows, which an emulator makes
# minutes: there the rows stop at 65, still past where blocking starts.
ROWS_AT_MOST = 65 if emulated else 129
CASES = [(nrows, ncols, density, how)
         for ncols in WIDTHS
         for nrows, density in [(min(ncols // 2 + 1, ROWS_AT_MOST), 0.5), (min(ncols, ROWS_AT_MOST) + 3, 0.1)]
         for how in ["packed", "byte", "short"]]


@pytest.mark.parametrize("nrows, ncols, density, how", CASES)
def test_reductions_rank_and_kernel_agree_with_the_model(nrows, ncols, density, how):
    rng = random.Random(f"{nrows} {ncols} {density}")
    rows = spoiled(random_rows(rng, nrows, ncols, density), how)
    m = Matrix(rows)
    assert outcome(m.echelon_form) == outcome(lambda: model.echelon(rows, True))
    assert outcome(m.row_echelon_full_matrix) == outcome(lambda: model.echelon(rows, False))
    reduced = model.echelon(rows, True)[0].rows if how != "short" else rows
    r = Matrix(reduced)
    assert r.rank() == len({model.lead(row) for row in reduced} - {None})
    assert outcome(r.kernel) == outcome(lambda: model.kernel(reduced))
    assert m.to_list() == rows


@pytest.mark.parametrize("ncols", [8, 64, 65, 129])
@pytest.mark.parametrize("how", ["packed", "byte", "short"])
def test_growing_a_system_agrees_with_the_model(ncols, how):
    """The layout the last-row reduction is built for (n zero rows of width n, one appended equation, the
    leftover last row dropped), with every third equation dependent, then a few layouts it is not built for."""
    rng = random.Random(ncols)
    system = [[0] * ncols for _ in range(ncols)]
    for k in range(ncols + 4):
        if k % 3 == 2:
            equation = [a ^ b for a, b in zip(system[rng.randrange(ncols)], system[rng.randrange(ncols)])]
        else:
            equation = [int(rng.random() < 0.3) for _ in range(ncols)]
        rows = spoiled(system + [equation], how)
        got = outcome(Matrix(rows).echelon_form_last_row)
        assert got == outcome(lambda: model.echelon_form_last_row(rows))
        if got[0] == "panic":
            continue
        system = [list(r) for r in got[0][:-1]]
    for shape in [(ncols + 2, ncols), (ncols // 2 + 1, ncols), (3, ncols)]:
        rows = spoiled(random_rows(rng, *shape, 0.3), how)
        assert outcome(Matrix(rows).echelon_form_last_row) == \
            outcome(lambda: model.echelon_form_last_row(rows))


def test_a_long_log_keeps_its_order():
    """Logs grow in blocks; entries across block boundaries stay in order."""
    rng = random.Random(7)
    rows = random_rows(rng, 300, 300, 0.5)
    reduced, log = Matrix(rows).echelon_form()
    assert len(log) > 10_000
    replay = Matrix(rows)
    for target, source in log:
        replay.add_rows(target, source)
    assert replay.to_list() == reduced.to_list()
