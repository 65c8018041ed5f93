"""The guide's recipes, run from docs/guide.md itself, against numpy arithmetic
mod 2 over many random systems of every shape, given as lists and as arrays."""
import contextlib
import doctest
import io
import pathlib

import numpy as np
import pytest

from zendrik import Matrix

GUIDE = pathlib.Path(__file__).resolve().parent.parent / "docs" / "guide.md"
SYSTEMS = 100                   # random systems per shape and input kind for each recipe
SHAPES = ["square", "singular", "tall", "wide", "empty"]
KINDS = ["lists", "arrays"]
LAYOUTS = [np.ascontiguousarray, np.asfortranarray, lambda a: np.repeat(a, 2, axis=-1)[..., ::2]]


def given(kind, x, number):
    """x, a uint8 array, as a caller hands it over: lists or tuples, or arrays
    of uint8, bool or int64 in C order, Fortran order or strided."""
    if kind == "lists":
        return x.tolist() if number % 2 else tuple(map(tuple, x)) if x.ndim == 2 else tuple(x.tolist())
    return LAYOUTS[number // 3 % 3](x.astype([np.uint8, np.bool_, np.int64][number % 3]))


def load_recipes():
    text = GUIDE.read_text()
    section = text[text.index("\n## Recipes\n"):]
    section = section[:section.index("\n## ", 1)]
    namespace = {}
    with contextlib.redirect_stdout(io.StringIO()):
        exec("from zendrik import Matrix", namespace)
        for example in doctest.DocTestParser().get_examples(section):
            exec(example.source, namespace)
    return namespace


recipes = load_recipes()


def gf2_rank(a):
    a = np.array(a, dtype=np.uint8) % 2
    rank = 0
    for col in range(a.shape[1]):
        below = np.flatnonzero(a[rank:, col])
        if below.size == 0:
            continue
        pivot = rank + below[0]
        a[[rank, pivot]] = a[[pivot, rank]]
        others = np.flatnonzero(a[:, col])
        a[others[others != rank]] ^= a[rank]
        rank += 1
        if rank == a.shape[0]:
            break
    return rank


def systems(shape, square=False):
    """(A, b) pairs: b is A x for a random x half of the time, else random."""
    rng = np.random.default_rng(SHAPES.index(shape))
    for _ in range(SYSTEMS):
        m = n = int(rng.integers(1, 9))
        if shape == "tall":
            m += int(rng.integers(1, n + 3))
        if shape == "wide":
            n += int(rng.integers(1, m + 3))
        if shape == "empty":
            m, n = (0, 0) if square else (int(rng.integers(0, 4)), 0)
        if shape == "singular":
            k = int(rng.integers(0, n))
            a = rng.integers(0, 2, (m, k)) @ rng.integers(0, 2, (k, n)) % 2
        else:
            a = rng.integers(0, 2, (m, n))
        b = a @ rng.integers(0, 2, n) % 2 if rng.integers(0, 2) else rng.integers(0, 2, m)
        yield a.astype(np.uint8), b.astype(np.uint8)


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("shape", SHAPES)
def test_solve(shape, kind):
    for number, (a, b) in enumerate(systems(shape)):
        found = recipes["solve"](given(kind, a, number), given(kind, b, number))
        rank = gf2_rank(a)
        assert (found is not None) == (gf2_rank(np.column_stack([a, b])) == rank)
        if found is not None:
            x, basis = found
            assert (a @ np.array(x, dtype=int) % 2 == b).all()
            # a list without rows has no width: x and the basis have none either
            width = a.shape[1] if kind == "arrays" or len(a) else 0
            assert len(x) == width
            basis = np.array(basis, dtype=int).reshape(len(basis), width)
            if width < a.shape[1]:
                continue
            assert len(basis) == a.shape[1] - rank == gf2_rank(basis)
            assert not (a @ basis.T % 2).any()


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("shape", SHAPES)
def test_pivots_and_free(shape, kind):
    for number, (a, _) in enumerate(systems(shape)):
        ranks = [gf2_rank(a[:, :j]) for j in range(a.shape[1] + 1)]
        pivots = [j for j in range(a.shape[1]) if ranks[j + 1] > ranks[j]]
        free = [j for j in range(a.shape[1]) if j not in pivots]
        assert recipes["pivots_and_free"](given(kind, a, number)) == (pivots, free)


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("shape", SHAPES)
def test_rank(shape, kind):
    for number, (a, _) in enumerate(systems(shape)):
        assert recipes["rank"](given(kind, a, number)) == gf2_rank(a)


def circuit_map(n, circuit):
    """The matrix of a circuit of (control, target) CNOTs: the identity's rows
    added to each other as the gates add bits."""
    m = np.eye(n, dtype=np.uint8)
    for control, target in circuit:
        m[target] ^= m[control]
    return m


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("shape", ["square", "singular", "empty"])
def test_inverse_and_circuit(shape, kind):
    for number, (a, _) in enumerate(systems(shape, square=True)):
        inverse, witness = recipes["inverse"](given(kind, a, number))
        circuit = recipes["cnot_circuit"](given(kind, a, number))
        identity = np.eye(len(a), dtype=int)
        if gf2_rank(a) == len(a):
            assert witness is None
            assert (a @ np.array(inverse, dtype=int).reshape(a.shape) % 2 == identity).all()
            assert (circuit_map(len(a), circuit) == a).all()
        else:
            assert inverse is None and any(witness) and circuit is None
            assert not (a @ np.array(witness, dtype=int) % 2).any()


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("shape", SHAPES)
def test_rows_summing_to(shape, kind):
    rng = np.random.default_rng(7)
    cases = [(a, rng.integers(0, 2, len(a)) @ a % 2 if rng.integers(0, 2) else
              rng.integers(0, 2, a.shape[1])) for a, _ in systems(shape)]
    if shape == "empty":        # no rows, any width
        cases += [(np.zeros((0, n), dtype=int), rng.integers(0, 2, n)) for n in range(1, 5) for _ in range(5)]
    for number, (a, v) in enumerate(cases):
        found = recipes["rows_summing_to"](given(kind, a.astype(np.uint8), number), given(kind, v, number))
        assert (found is not None) == (gf2_rank(np.vstack([a, v])) == gf2_rank(a))
        if found is not None:
            assert (a[found].sum(axis=0) % 2 == v).all()


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("shape", SHAPES)
def test_grow(shape, kind):
    for number, (a, b) in enumerate(systems(shape)):
        augmented = np.column_stack([a, b])
        expected = []
        for k in range(1, len(a) + 1):
            new = gf2_rank(a[:k]) > gf2_rank(a[:k - 1])
            follows = gf2_rank(augmented[:k]) == gf2_rank(augmented[:k - 1])
            expected.append("new" if new else "dependent" if follows else "contradicts")
        # No spare columns rebuilds the system after every equation; a few,
        # every few equations; the default, seldom or never at these sizes.
        equations = zip(given(kind, a, number), given(kind, b, number))
        assert list(recipes["grow"](equations, a.shape[1], spare=[0, 2, None][number // 9 % 3])) == expected


@pytest.mark.parametrize("shape", SHAPES)
def test_to_numpy(shape):
    """Back from a Matrix or from lists: exactly the rows, or ValueError when
    they make no 2-d array; never other rows. Larger bytes and ragged rows
    make the text of a Matrix another shape."""
    rng = np.random.default_rng(SHAPES.index(shape) + 10)
    for number, (a, _) in enumerate(systems(shape)):
        if number % 4 == 1:
            a = rng.choice(np.array([0, 1, 9, 10, 99, 100, 255], np.uint8), a.shape)
        rows = a.tolist()
        if number % 4 == 2 and len(rows) > 1:
            moved = rows[0].pop() if rows[0] else 7
            rows[-1].append(moved)          # as many elements, ragged rows
        if number % 4 == 3 and rows:
            rows[-1][-1:] = [55, 5, 5] if rows[-1] else [5]
        source = Matrix(rows)
        for taken in (source, source.to_list()):
            try:
                back = recipes["to_numpy"](taken)
            except ValueError:
                assert len({len(r) for r in rows}) > 1
                continue
            assert back.dtype == np.uint8 and back.flags.writeable
            assert back.tolist() == rows and back.shape == (len(rows), len(rows[0]) if rows else 0)
    log = Matrix(rng.integers(0, 2, (9, 9), dtype=np.uint8)).echelon_form()[1]
    assert recipes["log_to_numpy"](log).tolist() == [list(pair) for pair in log]
    assert recipes["log_to_numpy"]([]).shape == (0, 2)


@pytest.mark.parametrize("array, error", [(np.array([[256]]), OverflowError), (np.array([[-1, 0]]), OverflowError),
                                          (np.array([[1.0]]), TypeError), (np.array([[1 + 0j]]), TypeError)])
def test_arrays_fail_as_lists_do(array, error):
    """An array is refused where the same list would be, never wrapped around to a byte."""
    with pytest.raises(error):
        Matrix(array.tolist())
    with pytest.raises(error):
        recipes["rank"](array)
