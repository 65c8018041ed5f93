"""The guide's recipes, run from docs/guide.md itself, against numpy arithmetic
mod 2 over many random systems of every shape."""
import contextlib
import doctest
import io
import pathlib

import numpy as np
import pytest

GUIDE = pathlib.Path(__file__).resolve().parent.parent / "docs" / "guide.md"
SYSTEMS = 200                   # random systems per shape for each recipe
SHAPES = ["square", "singular", "tall", "wide", "empty"]


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


@pytest.mark.parametrize("shape", SHAPES)
def test_solve(shape):
    for a, b in systems(shape):
        found = recipes["solve"](a.tolist(), b.tolist())
        rank = gf2_rank(a)
        assert (found is not None) == (gf2_rank(np.column_stack([a, b])) == rank)
        if found is not None:
            x, basis = found
            assert (a @ np.array(x, dtype=int) % 2 == b).all()
            basis = np.array(basis, dtype=int).reshape(len(basis), a.shape[1])
            assert len(basis) == a.shape[1] - rank == gf2_rank(basis)
            assert not (a @ basis.T % 2).any()


@pytest.mark.parametrize("shape", SHAPES)
def test_pivots_and_free(shape):
    for a, _ in systems(shape):
        ranks = [gf2_rank(a[:, :j]) for j in range(a.shape[1] + 1)]
        pivots = [j for j in range(a.shape[1]) if ranks[j + 1] > ranks[j]]
        free = [j for j in range(a.shape[1]) if j not in pivots]
        assert recipes["pivots_and_free"](a.tolist()) == (pivots, free)


@pytest.mark.parametrize("shape", SHAPES)
def test_rank(shape):
    for a, _ in systems(shape):
        assert recipes["rank"](a.tolist()) == gf2_rank(a)


@pytest.mark.parametrize("shape", ["square", "singular", "empty"])
def test_inverse(shape):
    for a, _ in systems(shape, square=True):
        inverse, witness = recipes["inverse"](a.tolist())
        identity = np.eye(len(a), dtype=int)
        if gf2_rank(a) == len(a):
            assert witness is None
            assert (a @ np.array(inverse, dtype=int).reshape(a.shape) % 2 == identity).all()
        else:
            assert inverse is None and any(witness)
            assert not (a @ np.array(witness, dtype=int) % 2).any()


@pytest.mark.parametrize("shape", SHAPES)
def test_rows_summing_to(shape):
    rng = np.random.default_rng(7)
    cases = [(a, rng.integers(0, 2, len(a)) @ a % 2 if rng.integers(0, 2) else
              rng.integers(0, 2, a.shape[1])) for a, _ in systems(shape)]
    if shape == "empty":        # no rows, any width
        cases += [(np.zeros((0, n), dtype=int), rng.integers(0, 2, n)) for n in range(1, 5) for _ in range(5)]
    for a, v in cases:
        found = recipes["rows_summing_to"](a.tolist(), v.tolist())
        assert (found is not None) == (gf2_rank(np.vstack([a, v])) == gf2_rank(a))
        if found is not None:
            assert (a[found].sum(axis=0) % 2 == v).all()


@pytest.mark.parametrize("shape", SHAPES)
def test_grow(shape):
    for a, b in systems(shape):
        augmented = np.column_stack([a, b])
        expected = []
        for k in range(1, len(a) + 1):
            new = gf2_rank(a[:k]) > gf2_rank(a[:k - 1])
            follows = gf2_rank(augmented[:k]) == gf2_rank(augmented[:k - 1])
            expected.append("new" if new else "dependent" if follows else "contradicts")
        equations = zip(a.tolist(), b.tolist())
        assert list(recipes["grow"](equations, a.shape[1])) == expected


@pytest.mark.parametrize("shape", SHAPES)
def test_numpy_in_and_out(shape):
    layouts = [np.ascontiguousarray, np.asfortranarray, lambda a: np.repeat(a, 2, axis=1)[:, ::2]]
    for number, (a, _) in enumerate(systems(shape)):
        array = layouts[number % 3](a.astype([np.uint8, np.bool_, np.int64][number // 3 % 3]))
        matrix = recipes["from_numpy"](array)
        assert matrix.to_list() == a.tolist()
        back = recipes["to_numpy"](matrix)
        assert back.dtype == np.uint8 and (back == a).all()
        assert back.shape == (a.shape if len(a) else (0, 0))
