"""Times the guide's recipes, taken from docs/guide.md itself.

- Each recipe on lists and on arrays (C-contiguous uint8, and bool) of the
  same random matrix, and the list-only recipe it replaced.
- The routes from a Matrix, a list of rows and a log to numpy, against
  numpy.array of the list.
- The grown system, per equation at n = 64, 256 and 1024: the guide's recipe
  against the one it replaced, which rebuilt the system after every equation.

Everything is timed in turns within one run, medians of the repetitions, the
garbage collector on. `python bench/bench.py --recipes [--quick]` runs it.
"""

import doctest
import statistics
import time
from itertools import chain
from pathlib import Path

import numpy as np

from zendrik import Matrix

GUIDE = Path(__file__).resolve().parent.parent / "docs" / "guide.md"


def guide_recipes():
    """The functions defined in the guide's Recipes section."""
    text = GUIDE.read_text()
    section = text[text.index("\n## Recipes\n"):]
    section = section[:section.index("\n## ", 1)]
    namespace = {"Matrix": Matrix}
    for example in doctest.DocTestParser().get_examples(section):
        if example.source.lstrip().startswith(("def ", "import ", "from ")):
            exec(example.source, namespace)
    return namespace


# --- the recipes as they were before, for comparison

def solve_before(A, b):
    n = len(A[0]) if A else 0
    augmented = Matrix([list(row) + [bit] for row, bit in zip(A, b)])
    rows = augmented.echelon_form()[0].to_list()
    x = [0] * n
    for row in rows:
        if 1 not in row:
            break
        if row.index(1) == n:
            return None
        x[row.index(1)] = row[n]
    basis = Matrix([row[:n] for row in rows]).kernel()
    return x, basis


def inverse_before(A):
    """The log of A's reduction replayed on the identity, one add_rows call per entry."""
    n = len(A)
    reduced, log = Matrix(np.ascontiguousarray(A, np.uint8) if isinstance(A, np.ndarray) else A).echelon_form()
    if reduced.rank() < n:
        return None, reduced.kernel()[0]
    result = Matrix(np.eye(n, dtype=np.uint8))
    for target, source in log:
        result.add_rows(target, source)
    return result.to_list(), None


def grow_before(equations, n):
    width = n + 1
    system = Matrix([[0] * width for _ in range(width)])
    for coefficients, rhs in equations:
        before, consistent = system.rank(), system.is_zero_row(n)
        system.append_row(list(coefficients) + [rhs])
        grown, _ = system.echelon_form_last_row()
        system = Matrix(grown.to_list()[:width])
        if system.rank() == before:
            yield "dependent"
        elif consistent and not system.is_zero_row(n):
            yield "contradicts"
        else:
            yield "new"


def in_turns(calls, reps):
    """Median seconds of each named call, the calls taking turns in a rotating order."""
    names = list(calls)
    samples = {name: [] for name in names}
    for rep in range(reps):
        for name in names[rep % len(names):] + names[:rep % len(names)]:
            start = time.perf_counter()
            result = calls[name]()
            samples[name].append(time.perf_counter() - start)
            del result
    return {name: statistics.median(values) for name, values in samples.items()}


def show(seconds):
    return f"{seconds * 1e3:9.3f} ms"


def recipe_inputs(r, c, reps, check):
    """Each recipe on lists and on arrays of one random r x c matrix."""
    recipes = guide_recipes()
    rng = np.random.default_rng([20260, 18])
    a = rng.integers(0, 2, (r, c), dtype=np.uint8)
    b = a @ rng.integers(0, 2, c, dtype=np.uint8) % 2
    square = rng.integers(0, 2, (r, r), dtype=np.uint8)
    v = rng.integers(0, 2, r, dtype=np.uint8) @ a % 2
    kinds = {"lists": lambda x: x.tolist(), "uint8 array": lambda x: x,
             "bool array": lambda x: x.astype(bool)}
    cases = {
        f"solve {r}x{c}": ("solve", lambda k: (k(a), k(b))),
        f"pivots_and_free {r}x{c}": ("pivots_and_free", lambda k: (k(a),)),
        f"rank {r}x{c}": ("rank", lambda k: (k(a),)),
        f"rows_summing_to {r}x{c}": ("rows_summing_to", lambda k: (k(a), k(v))),
        f"inverse {r}x{r}": ("inverse", lambda k: (k(square),)),
    }
    out = []
    for case, (name, arguments) in cases.items():
        calls = {}
        for kind, make in kinds.items():
            args = arguments(make)
            calls[kind] = (lambda f, args: lambda: f(*args))(recipes[name], args)
        if name == "solve":
            lists = (a.tolist(), b.tolist())
            calls["before: list-only recipe"] = lambda: solve_before(*lists)
            want = solve_before(*lists)
            check(f"{case}: the recipe gives what the one before gave, from lists and arrays",
                  all(f() == want for f in calls.values()))
        medians = in_turns(calls, reps)
        out.append((case, medians))
        print(case)
        for kind, seconds in medians.items():
            print(f"  {kind:28} {show(seconds)}  {seconds / medians['lists']:.2f} x lists", flush=True)
    return out


def to_numpy_routes(r, c, reps, check):
    """Every route to a uint8 array measured, from a Matrix, a list of rows and a log."""
    recipes = guide_recipes()
    to_numpy, log_to_numpy = recipes["to_numpy"], recipes["log_to_numpy"]
    rng = np.random.default_rng([20260, 19])
    m = Matrix(rng.integers(0, 2, (r, c), dtype=np.uint8))
    rows = m.to_list()
    want = np.array(rows, dtype=np.uint8)

    def repr_masked(m):
        digits = np.frombuffer(repr(m).encode("ascii"), np.uint8) - ord("0")
        return digits[digits < 10].reshape(m.nrows(), m.ncols())

    from_matrix = {
        "numpy.array(m.to_list(), dtype=uint8)": lambda: np.array(m.to_list(), dtype=np.uint8),
        "to_numpy(m): repr() read at fixed places": lambda: to_numpy(m),
        "repr() digits picked by a mask": lambda: repr_masked(m),
        "to_numpy(m.to_list()): joined bytes rows": lambda: to_numpy(m.to_list()),
        "numpy.fromiter(chain(m.to_list()))":
            lambda: np.fromiter(chain.from_iterable(m.to_list()), np.uint8, count=r * c).reshape(r, c),
        "numpy.frombuffer(bytes(chain(m.to_list())))":
            lambda: np.frombuffer(bytes(chain.from_iterable(m.to_list())), np.uint8).reshape(r, c),
    }
    from_list = {
        "numpy.array(rows, dtype=uint8)": lambda: np.array(rows, dtype=np.uint8),
        "to_numpy(rows): joined bytes rows": lambda: to_numpy(rows),
        "numpy.fromiter(chain(rows))":
            lambda: np.fromiter(chain.from_iterable(rows), np.uint8, count=r * c).reshape(r, c),
        "numpy.frombuffer(bytes(chain(rows)))":
            lambda: np.frombuffer(bytes(chain.from_iterable(rows)), np.uint8).reshape(r, c),
        "Matrix(rows), then to_numpy": lambda: to_numpy(Matrix(rows)),
    }
    log = m.echelon_form()[1]
    from_log = {
        "numpy.array(log)": lambda: np.array(log),
        "log_to_numpy(log): numpy.fromiter(chain(log))": lambda: log_to_numpy(log),
    }
    check(f"to_numpy {r}x{c}: every route gives the same array",
          all((f() == want).all() for f in chain(from_matrix.values(), from_list.values())))
    check(f"log_to_numpy: the log's {len(log)} pairs", (log_to_numpy(log) == np.array(log)).all())
    out = []
    for case, calls in ((f"to numpy from a Matrix {r}x{c}", from_matrix),
                        (f"to numpy from a list of rows {r}x{c}", from_list),
                        (f"to numpy from a log of {len(log)} pairs", from_log)):
        medians = in_turns(calls, reps)
        base = next(iter(medians.values()))
        out.append((case, medians))
        print(case)
        for name, seconds in medians.items():
            print(f"  {name:46} {show(seconds)}  {seconds / base:.2f}", flush=True)
    return out


def grown_costs(sizes, check):
    """Seconds per equation of a stream of n random equations, before and after;
    the short streams of small n are timed more often."""
    grow = guide_recipes()["grow"]
    out = []
    for n in sizes:
        count, reps = n, max(3, 4096 // n)
        rng = np.random.default_rng([20260, 20, n])
        a = rng.integers(0, 2, (count, n), dtype=np.uint8)
        b = rng.integers(0, 2, count, dtype=np.uint8)
        as_lists = list(zip(a.tolist(), b.tolist()))
        as_arrays = list(zip(a, b))
        want = list(grow_before(as_lists, n))
        check(f"grown system n = {n}: the recipe's verdicts are those of the one before",
              list(grow(as_lists, n)) == want == list(grow(as_arrays, n)))
        calls = {"before: rebuilt after every equation": lambda: list(grow_before(as_lists, n)),
                 "guide's recipe, equations as lists": lambda: list(grow(as_lists, n)),
                 "guide's recipe, equations as arrays": lambda: list(grow(as_arrays, n))}
        medians = {name: seconds / count for name, seconds in in_turns(calls, reps).items()}
        base = medians["before: rebuilt after every equation"]
        out.append((f"grown system n = {n}, {count} equations, per equation", medians))
        print(f"grown system n = {n}: {count} random equations, per equation")
        for name, seconds in medians.items():
            print(f"  {name:40} {show(seconds)}  {base / seconds:.1f} x less than before", flush=True)
    return out


def run(quick, check):
    r, c = (500, 1000) if quick else (2000, 4000)
    reps = 3 if quick else 5
    results = {"recipes": recipe_inputs(r, c, reps, check),
               "to_numpy": to_numpy_routes(r, c, reps, check),
               "grown": grown_costs([64, 256] if quick else [64, 256, 1024], check)}
    return {part: [{"case": case, "medians_s": medians} for case, medians in cases]
            for part, cases in results.items()}
