"""Checks the layout that the guide's grown-system recipe keeps.

The recipe keeps the leftover zero row of each echelon_form_last_row call and
appends the next equation after it, in rows widened by spare zero columns; it
rebuilds the system without the zero rows once they outnumber the spare
columns. The claim: as long as the rows before the append number at most the
columns, each call gives in its first w rows exactly what the plain layout
gives (w rows of width w, one appended, the leftover last row dropped),
zero everywhere else, and the same log with the plain layout's last row
renumbered; and the verdict that the recipe reads from the log ("new",
"dependent", "contradicts") is the one that rank() and is_zero_row() give.

Exhaustively: every state of the layout (row i zero, or a 1 at column i after
zeros and anything after it) of width w up to --width, every equation, every
number of kept zero rows up to 3 and a spare of that many columns or two more
(at width 5: 1 and 3 kept rows, with as many spare columns).
Since each result is again such a state, every sequence of equations is
covered. Randomly: whole streams of equations at n = 64, 256 and 1024, dense,
sparse and low-rank, the recipe's system against the rebuilt one at every step.

    python bench/grown_layout.py [--width 5] [--equations 3]
"""

import argparse
import itertools
import sys
import time

import numpy as np

from zendrik import Matrix


def layout_states(w):
    """Every w x w matrix whose row i is zero or leads with a 1 at column i."""
    choices = []
    for i in range(w):
        rows = [(0,) * w]
        rows += [(0,) * i + (1,) + tail for tail in itertools.product((0, 1), repeat=w - i - 1)]
        choices.append(rows)
    return itertools.product(*choices)


def verdict_from_log(log, last, n):
    if not log or log[-1][1] != last:
        return "dependent"
    return "contradicts" if log[-1][0] == n else "new"


def verdict_from_rank(before, after, n):
    if after.rank() == before.rank():
        return "dependent"
    if before.is_zero_row(n) and not after.is_zero_row(n):
        return "contradicts"
    return "new"


def renumbered(log, plain_last, kept_last):
    return [tuple(kept_last if i == plain_last else i for i in pair) for pair in log]


def one_step(state, equation, kept, spare):
    """The plain layout against the kept one for one equation; a list of faults."""
    w = len(state)
    plain = Matrix([list(row) for row in state])
    before = plain.copy()
    plain.append_row(list(equation))
    grown, plain_log = plain.echelon_form_last_row()
    rows = grown.to_list()
    faults = []
    if any(rows[w]):
        faults.append("the plain layout's leftover row is not zero")
    padding = [0] * spare
    system = Matrix([list(row) + padding for row in state] + [[0] * (w + spare)] * kept)
    system.append_row(list(equation) + padding)
    result, log = system.echelon_form_last_row()
    got = result.to_list()
    if [row[:w] for row in got[:w]] != rows[:w]:
        faults.append("the first rows differ")
    if any(any(row[w:]) for row in got) or any(any(row) for row in got[w:]):
        faults.append("a zero column or a zero row is not zero")
    if log != renumbered(plain_log, w, w + kept):
        faults.append("the logs differ")
    if verdict_from_log(log, w + kept, w - 1) != verdict_from_rank(before, Matrix(rows[:w]), w - 1):
        faults.append("the verdicts differ")
    for i, row in enumerate(rows[:w]):
        if any(row) and (row.index(1) != i):
            faults.append("the result is not in the layout")
    return faults


# (kept zero rows, spare columns): up to 3 rows, with as many spare columns as
# rows (the most the recipe lets in) or two more. Width 5 takes the tightest only.
ROOMS = [(kept, spare) for kept in range(4) for spare in (kept, kept + 2)]
TIGHTEST = [(1, 1), (3, 3)]


def exhaustive(max_width):
    checked, faults = 0, []
    for w in range(1, max_width + 1):
        states = list(layout_states(w))
        equations = list(itertools.product((0, 1), repeat=w))
        rooms = ROOMS if w <= 4 else TIGHTEST
        for state in states:
            for equation in equations:
                for kept, spare in rooms:
                    found = one_step(state, equation, kept, spare)
                    checked += 1
                    if found:
                        faults.append((state, equation, kept, spare, found))
        print(f"  width {w}: {len(states)} states x {len(equations)} equations x "
              f"{len(rooms)} kinds of room", flush=True)
    return checked, faults


def as_rows(m):
    """The rows of a rectangular matrix of 0s and 1s, read from its text: the
    fast route of the guide's to_numpy."""
    r, c = m.nrows(), m.ncols()
    lines = np.frombuffer(repr(m).encode("ascii"), np.uint8).reshape(r, 3 * c + 2)
    assert (lines[:, 1] == ord("[")).all() and (lines[:, 3 * c] == ord("]")).all()
    return lines[:, 2::3] - ord("0")


def stream(n, count, kind, rng):
    if kind == "dense":
        a = rng.integers(0, 2, (count, n + 1))
    elif kind == "sparse":
        a = (rng.random((count, n + 1)) < 3 / n).astype(int)
    else:  # low rank: many dependent equations, and contradictions
        basis = rng.integers(0, 2, (n // 2, n + 1))
        a = rng.integers(0, 2, (count, n // 2)) @ basis % 2
        a[::7, n] ^= 1
    return a.astype(np.uint8)


def random_streams(sizes, per_size, rng):
    checked, faults = 0, []
    for n in sizes:
        w = n + 1
        for kind in ("dense", "sparse", "low rank"):
            equations = stream(n, per_size(n), kind, rng)
            spare = max(16, w // 4)
            columns = w + spare
            plain = Matrix(np.zeros((w, w), np.uint8))
            system = Matrix(np.zeros((w, columns), np.uint8))
            for step, equation in enumerate(equations):
                if system.nrows() > columns:
                    system = Matrix(as_rows(system)[:w])
                before = plain
                plain = plain.copy()
                plain.append_row(equation)
                grown, plain_log = plain.echelon_form_last_row()
                plain = Matrix(as_rows(grown)[:w])
                last = system.nrows()
                system.append_row(bytes(equation) + bytes(spare))
                system, log = system.echelon_form_last_row()
                checked += 1
                # Equal logs from equal systems give equal systems: the whole
                # matrices are compared every few steps and at the end.
                if log != renumbered(plain_log, w, last):
                    faults.append((n, kind, step, "the logs differ"))
                    break
                if step % 16 == 0 or step == len(equations) - 1:
                    got = as_rows(system)
                    if not (got[:w, :w] == as_rows(plain)).all() or got[:, w:].any() or got[w:].any():
                        faults.append((n, kind, step, "the systems differ"))
                        break
                if verdict_from_log(log, last, n) != verdict_from_rank(before, plain, n):
                    faults.append((n, kind, step, "the verdicts differ"))
                    break
        print(f"  n = {n}: dense, sparse and low-rank streams of {per_size(n)} equations", flush=True)
    return checked, faults


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--width", type=int, default=5, help="the widest layout checked exhaustively")
    parser.add_argument("--equations", type=float, default=3,
                        help="equations in each random stream, as a multiple of n")
    args = parser.parse_args()
    began = time.perf_counter()
    print("exhaustively:")
    checked, faults = exhaustive(args.width)
    print(f"  {checked} steps, {len(faults)} faults")
    print("randomly:")
    rng = np.random.default_rng(20261208)
    steps, more = random_streams([64, 256, 1024], lambda n: int(args.equations * n), rng)
    print(f"  {steps} steps, {len(more)} faults")
    for fault in (faults + more)[:10]:
        print("  fault:", fault)
    print(f"whole run: {time.perf_counter() - began:.0f} s")
    return 1 if faults or more else 0


if __name__ == "__main__":
    sys.exit(main())
