"""Times zendrik against numpy, galois and ldpc, in one process.

Implementations take turns (each repetition runs every one of them once, in a
rotating order) and the table shows medians, with the garbage collector left on
as a user has it; only the log floor is also timed with it off. Before a case is
timed, every peer that follows the same rules is checked to give the same answer.

    python bench/bench.py [--quick] [--json PATH] [--plot PATH] [--before PATH]
"""

import argparse
import gc
import json
import os
import platform
import statistics
import sys
import time
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np

import numpy_reference as ref
from zendrik import Matrix

HERE = Path(__file__).resolve().parent
SEED = 20260
# A peer is skipped at larger sizes once one call took over a minute, and
# wherever one call is predicted to take over two.
SKIP_AFTER_S = 60.0


@dataclass
class Impl:
    name: str
    run: object  # a callable with no arguments; its result is dropped outside the timing
    gc_off: bool = False


@dataclass
class Settings:
    sizes: list
    wide: tuple
    grown: list
    budget_s: float  # timing budget per implementation and case
    max_reps: int
    min_reps: int  # for calls under 10 s
    conversion_n: int = 2000


FULL = Settings(sizes=[256, 512, 1024, 2048, 4096], wide=(512, 2048), grown=[256, 1024],
                budget_s=2.0, max_reps=15, min_reps=3)
QUICK = Settings(sizes=[256, 512, 1024], wide=(512, 2048), grown=[256],
                 budget_s=0.4, max_reps=5, min_reps=1)


def random_bits(shape, seed):
    # PCG64: the Mersenne Twister would cap the rank of large random matrices.
    return np.random.default_rng([SEED, seed]).integers(0, 2, size=shape, dtype=np.uint8)


def one_call(impl):
    gc_was_on = gc.isenabled()
    if impl.gc_off:
        gc.disable()
    try:
        start = time.perf_counter()
        result = impl.run()
        elapsed = time.perf_counter() - start
    finally:
        if gc_was_on:
            gc.enable()
    return elapsed, result


@dataclass
class Bench:
    settings: Settings
    rows: list = field(default_factory=list)  # one per (case, implementation)
    checks: list = field(default_factory=list)
    predicted: dict = field(default_factory=dict)  # (group, impl) -> (seconds, work) of the last call

    def check(self, what, ok, detail=""):
        self.checks.append({"check": what, "ok": bool(ok), "detail": detail})
        print(f"  check {'ok  ' if ok else 'FAIL'} {what}{': ' + detail if detail else ''}", flush=True)

    def time_case(self, group, case, size, impls, check=None, work=None):
        """Times every implementation; `check(name, first_result)` runs once per implementation.

        Peers are skipped as SKIP_AFTER_S says, predicted from their last call
        in this group scaled by `work`, a number proportional to the cost;
        zendrik is always timed.
        """
        work = size if work is None else work
        print(f"{group}: {case}", flush=True)
        samples, skipped = {}, {}
        for impl in impls:
            last = self.predicted.get((group, impl.name))
            if last and impl.name != "zendrik":
                guess = last[0] * work / last[1]
                if (last[0] > SKIP_AFTER_S and work >= last[1]) or guess > 2 * SKIP_AFTER_S:
                    skipped[impl.name] = f"skipped: one call predicted at {guess:.0f} s"
                    continue
            elapsed, result = one_call(impl)
            self.predicted[(group, impl.name)] = (elapsed, work)
            if check:
                check(impl.name, result)
            del result
            samples[impl.name] = [elapsed]
        # The first call of each is kept only where there is time for no second.
        st = self.settings
        reps = {n: max(st.min_reps if s[0] < 10 else 1, min(st.max_reps, int(st.budget_s / s[0])))
                for n, s in samples.items()}
        for n, s in samples.items():
            if reps[n] > 1:
                s.clear()
        active = [i for i in impls if i.name in samples]
        for rep in range(max(reps.values(), default=0)):
            turn = active[rep % len(active):] + active[:rep % len(active)]
            for impl in turn:
                if len(samples[impl.name]) < reps[impl.name]:
                    elapsed, result = one_call(impl)
                    del result
                    samples[impl.name].append(elapsed)
        for impl in impls:
            row = {"group": group, "case": case, "size": size, "impl": impl.name}
            if impl.name in samples:
                row.update(median_s=statistics.median(samples[impl.name]), reps=len(samples[impl.name]))
            else:
                row.update(median_s=None, reps=0, note=skipped[impl.name])
            self.rows.append(row)

    def median(self, group, case, impl):
        return median_in(self.rows, group, case, impl)


def as_array(m):
    return np.array(m.to_list(), dtype=np.uint8).reshape(m.nrows(), m.ncols())


# --- cases


def small_matrices(b, count=600):
    """The numpy implementations against zendrik on small matrices, bytes 2, 3 and 255 included."""
    print("numpy implementations on small matrices", flush=True)
    rng = np.random.default_rng([SEED, 0])
    values = np.array([0, 1, 1, 1, 2, 3, 255], dtype=np.uint8)
    disagree = []
    for i in range(count):
        shape = tuple(rng.integers(0, 8, size=2))
        a = rng.choice(values, size=shape) if i % 3 == 0 else rng.integers(0, 2, size=shape, dtype=np.uint8)
        m = Matrix(a.tolist())
        for name in ("echelon_form", "row_echelon_full_matrix"):
            mine, log = getattr(m, name)()
            theirs, their_log = getattr(ref, name)(a)
            if mine.to_list() != theirs.tolist() or log != their_log:
                disagree.append((name, a.tolist()))
        for x in (a, as_array(m.echelon_form()[0]).reshape(shape)):
            mx = Matrix(x.tolist())
            if mx.rank() != ref.rank(x):
                disagree.append(("rank", x.tolist()))
            for kernel in (ref.kernel, ref.kernel_per_pivot):
                if mx.kernel() != kernel(x).tolist():
                    disagree.append((kernel.__name__, x.tolist()))
    b.check(f"numpy implementations on {count} small matrices: same matrices, logs, ranks and kernels",
            not disagree, f"first difference: {disagree[0]}" if disagree else "")


def conversions(b):
    n = b.settings.conversion_n
    a = random_bits((n, n), 1)
    lst = a.tolist()
    byte_rows = [bytes(r) for r in lst]
    m = Matrix(lst)
    group, size = "conversions", n

    def same_matrix(name, result):
        if name == "zendrik":
            b.check(f"Matrix(...) of {n} x {n} holds its input", result.to_list() == lst)

    case = f"Matrix(list of lists) {n}x{n}"
    b.time_case(group, case, size, [Impl("zendrik", lambda: Matrix(lst)),
                                    Impl("numpy.array(lst)", lambda: np.array(lst, dtype=np.uint8))], same_matrix)
    case = f"Matrix(uint8 ndarray) {n}x{n}"
    b.time_case(group, case, size, [Impl("zendrik", lambda: Matrix(a)),
                                    Impl("numpy.array(lst)", lambda: np.array(lst, dtype=np.uint8)),
                                    Impl("ndarray.copy()", lambda: a.copy())], same_matrix)
    case = f"Matrix(list of bytes) {n}x{n}"
    b.time_case(group, case, size, [Impl("zendrik", lambda: Matrix(byte_rows)),
                                    Impl("numpy.array(lst)", lambda: np.array(lst, dtype=np.uint8))], same_matrix)

    def same_list(name, result):
        if name == "zendrik":
            b.check("to_list gives the rows back", result == lst)
    b.time_case(group, f"to_list {n}x{n}", size, [Impl("zendrik", lambda: m.to_list()),
                                                 Impl("ndarray.tolist()", lambda: a.tolist()),
                                                 Impl("[r[:] for r in lst]", lambda: [r[:] for r in lst])], same_list)

    def same_text(name, result):
        if name == "zendrik":
            b.check("repr is the text of the lists", result == str(lst))
    b.time_case(group, f"repr {n}x{n}", size, [Impl("zendrik", lambda: repr(m)),
                                              Impl("str(lst)", lambda: str(lst))], same_text)


def peers():
    """galois and ldpc, where installed; either may be missing."""
    found = {}
    try:
        import galois
        gf2 = galois.GF(2)
        gf2(np.eye(4, dtype=np.uint8)).row_reduce()  # compiles its kernels once, outside the timing
        np.linalg.matrix_rank(gf2(np.eye(4, dtype=np.uint8)))
        gf2(np.eye(4, dtype=np.uint8)).null_space()
        found["galois"] = gf2
    except ImportError:
        print("galois is not installed: its rows are left out")
    try:
        from ldpc import mod2
        mod2.row_echelon(np.eye(4, dtype=np.uint8), full=True)
        found["ldpc"] = mod2
    except ImportError:
        print("ldpc is not installed: its rows are left out")
    return found


def reductions(b, peer, shapes):
    logs = {}
    for shape in shapes:
        a = random_bits(shape, 2)
        m = Matrix(a)
        size = max(shape)
        label = f"{shape[0]}x{shape[1]}"
        reduced, log = m.echelon_form()
        want = {"rank": reduced.rank()}
        targets, sources = [t for t, _ in log], [s for _, s in log]
        del reduced, log

        def check_echelon(name, result, method):
            if name == "zendrik":
                want["matrix"], want["log"] = as_array(result[0]), result[1]
            elif name == "numpy":
                same = np.array_equal(result[0], want["matrix"]) and result[1] == want["log"]
                b.check(f"numpy {method} {label}: same matrix and log", same,
                        f"{len(want['log'])} log entries")
            elif name == "galois row_reduce" and method == "echelon_form":
                b.check(f"galois row_reduce {label}: same matrix", np.array_equal(np.asarray(result), want["matrix"]))
            elif name.startswith("ldpc"):
                # ldpc orders its work differently; its echelon form need only have the same rank.
                b.check(f"{name} {label}: same rank", result[1] == want["rank"], f"rank {result[1]}")

        impls = [Impl("zendrik", m.echelon_form), Impl("numpy", lambda: ref.echelon_form(a))]
        if "galois" in peer:
            impls.append(Impl("galois row_reduce", lambda: peer["galois"](a).row_reduce()))
        if "ldpc" in peer:
            impls.append(Impl("ldpc row_echelon(full=True)", lambda: peer["ldpc"].row_echelon(a, full=True)))
        # The log floor: as many pairs as the log has, each a new tuple of two ints.
        # The same call with the collector off: the collector's first pass after the call walks
        # the new list of pairs once, and the floor below is timed both ways too.
        impls.append(Impl("zendrik (gc off)", m.echelon_form, gc_off=True))
        impls += [Impl("log floor (gc on)", lambda: list(zip(targets, sources))),
                  Impl("log floor (gc off)", lambda: list(zip(targets, sources)), gc_off=True)]
        work = shape[0] * shape[1] * min(shape)
        b.time_case("echelon_form", f"echelon_form {label}", size, impls,
                    lambda name, r: check_echelon(name, r, "echelon_form"), work)
        logs[label] = len(targets)
        del targets, sources

        impls = [Impl("zendrik", m.row_echelon_full_matrix),
                 Impl("numpy", lambda: ref.row_echelon_full_matrix(a))]
        if "ldpc" in peer:
            impls.append(Impl("ldpc row_echelon(full=False)", lambda: peer["ldpc"].row_echelon(a, full=False)))
        b.time_case("row_echelon_full_matrix", f"row_echelon_full_matrix {label}", size, impls,
                    lambda name, r: check_echelon(name, r, "row_echelon_full_matrix"), work)
    return logs


def rank_and_kernel(b, peer, shapes):
    for shape in shapes:
        label = f"{shape[0]}x{shape[1]}"
        reduced = Matrix(random_bits(shape, 3)).echelon_form()[0]
        a = as_array(reduced)
        size = max(shape)
        want = {}

        def check_rank(name, result):
            if name == "zendrik":
                want["rank"] = result
            else:
                b.check(f"{name} rank {label}", result == want["rank"], f"rank {result}")

        impls = [Impl("zendrik", reduced.rank), Impl("numpy", lambda: ref.rank(a))]
        if "galois" in peer:
            impls.append(Impl("galois matrix_rank", lambda: np.linalg.matrix_rank(peer["galois"](a))))
        b.time_case("rank", f"rank {label}", size, impls, check_rank, shape[0] * shape[1])

        def check_kernel(name, result):
            k = np.array(result, dtype=np.uint8).reshape(-1, shape[1])
            if name == "zendrik":
                want["kernel"] = k
                b.check(f"zendrik kernel {label} solves the system", not (a.astype(np.int64) @ k.T % 2).any(),
                        f"{k.shape[0]} vectors")
            elif name.startswith("numpy"):
                b.check(f"{name} kernel {label}: same vectors", np.array_equal(k, want["kernel"]))
            elif "galois" in peer:
                gf2, mine = peer["galois"], want["kernel"]
                ranks = [np.linalg.matrix_rank(gf2(x)) if x.size else 0 for x in (mine, k, np.vstack([mine, k]))]
                b.check(f"{name} {label}: spans the same space", len(set(ranks)) == 1, f"dimension {ranks[0]}")

        impls = [Impl("zendrik", reduced.kernel), Impl("numpy", lambda: ref.kernel(a)),
                 Impl("numpy per pivot", lambda: ref.kernel_per_pivot(a)),
                 # zendrik returns lists, as the numpy versions do after tolist()
                 Impl("numpy, then tolist()", lambda: ref.kernel(a).tolist())]
        if "galois" in peer:
            impls.append(Impl("galois null_space", lambda: peer["galois"](a).null_space()))
        b.time_case("kernel", f"kernel {label}", size, impls, check_kernel, shape[0] * shape[1] ** 2)


def grown_system(b, peer, n, equations):
    """n zero rows of width n; each equation is appended, worked in, and the leftover last row dropped."""
    print(f"grown system: n = {n}, {equations} equations", flush=True)
    eqs = random_bits((equations, n), 4).tolist()
    m = Matrix([[0] * n for _ in range(n)])
    t_last, t_copy = [], []
    replay_ok = True
    for i, eq in enumerate(eqs):
        m.append_row(eq)
        for turn in ((0, 1) if i % 2 else (1, 0)):
            if turn == 0:
                start = time.perf_counter()
                reduced, log = m.echelon_form_last_row()
                t_last.append(time.perf_counter() - start)
            else:
                start = time.perf_counter()
                c = m.copy()
                t_copy.append(time.perf_counter() - start)
                del c
        if i % 64 == 0:  # replaying the log on the receiver must give the result
            replay = m.copy()
            for target, source in log:
                replay.add_rows(target, source)
            replay_ok &= replay.to_list() == reduced.to_list()
        m = Matrix(reduced.to_list()[:-1])
    b.check(f"grown system n = {n}: logs replay to the results", replay_ok)
    if "galois" in peer:
        expected = int(np.linalg.matrix_rank(peer["galois"](np.array(eqs, dtype=np.uint8))))
        b.check(f"grown system n = {n}: rank as galois finds it", m.rank() == expected, f"rank {expected}")
    last, copy = statistics.median(t_last), statistics.median(t_copy)
    for impl, value in (("zendrik echelon_form_last_row", last), ("zendrik copy()", copy)):
        b.rows.append({"group": "grown system", "case": f"grown system n={n}", "size": n, "impl": impl,
                       "median_s": value, "reps": len(t_last)})
    return last / copy


# --- report


def table(b):
    lines, last_case = [], None
    width = max(len(r["impl"]) for r in b.rows)
    lines.append(f"{'case':42} {'implementation':{width}} {'median':>11} {'reps':>5} {'peer/zendrik':>13}")
    for row in b.rows:
        if row["case"] != last_case:
            last_case = row["case"]
            base = b.median(row["group"], row["case"], "zendrik")
            lines.append("")
        head = row["case"] if row["impl"] in ("zendrik", "zendrik echelon_form_last_row") else ""
        if row["median_s"] is None:
            lines.append(f"{head:42} {row['impl']:{width}} {row['note']}")
            continue
        ratio = f"{row['median_s'] / base:13.2f}" if base and row["impl"] != "zendrik" else ""
        lines.append(f"{head:42} {row['impl']:{width}} {row['median_s'] * 1e3:9.2f} ms {row['reps']:5}{ratio}")
    return "\n".join(lines)


def median_in(rows, group, case, impl):
    for row in rows:
        if (row["group"], row["case"], row["impl"]) == (group, case, impl):
            return row["median_s"]
    return None


def targets(b, grown_ratio, before=None):
    """The speed targets, as ratios within this run; None where the case was not run.

    "No slower than today" compares the ratio to a peer with the same ratio in
    `before`, the results of an earlier run, allowing 10% for noise.
    """
    def ratio(group, case, peer, inverse=False, rows=b.rows):
        z, p = median_in(rows, group, case, "zendrik"), median_in(rows, group, case, peer)
        if z is None or p is None:
            return None
        return z / p if inverse else p / z

    n, c = 2048, b.settings.conversion_n
    ef, full = f"echelon_form {n}x{n}", f"row_echelon_full_matrix {n}x{n}"
    w = "x".join(map(str, b.settings.wide))
    rows = [
        ("1", f"echelon_form {n}: numpy / zendrik", ratio("echelon_form", ef, "numpy"), ">=", 7),
        ("1", f"echelon_form {n}: galois row_reduce / zendrik",
         ratio("echelon_form", ef, "galois row_reduce"), ">=", 15),
        ("1", f"echelon_form {n}: zendrik / log floor (gc off)",
         ratio("echelon_form", ef, "log floor (gc off)", inverse=True), "<=", 1.5),
        ("1", f"echelon_form {n}: zendrik (gc off) / log floor (gc off)",
         (lambda z, p: z / p if z and p else None)(median_in(b.rows, "echelon_form", ef, "zendrik (gc off)"),
                                                   median_in(b.rows, "echelon_form", ef, "log floor (gc off)")),
         "<=", 1.5),
        ("1", f"row_echelon_full_matrix {n}: numpy / zendrik",
         ratio("row_echelon_full_matrix", full, "numpy"), ">=", 7),
        ("3", f"kernel {w}: numpy / zendrik", ratio("kernel", f"kernel {w}", "numpy"), ">=", 5),
        ("3", f"kernel {w}: numpy per pivot / zendrik", ratio("kernel", f"kernel {w}", "numpy per pivot"), ">=", 5),
        ("3", f"kernel {w}: numpy, then tolist() / zendrik",
         ratio("kernel", f"kernel {w}", "numpy, then tolist()"), ">=", 5),
        ("4", "Matrix(list of lists): numpy.array(lst) / zendrik",
         ratio("conversions", f"Matrix(list of lists) {c}x{c}", "numpy.array(lst)"), ">=", 2.5),
        ("4", "Matrix(uint8 ndarray): numpy.array(lst) / zendrik",
         ratio("conversions", f"Matrix(uint8 ndarray) {c}x{c}", "numpy.array(lst)"), ">=", 10),
        ("4", "Matrix(list of bytes): numpy.array(lst) / zendrik",
         ratio("conversions", f"Matrix(list of bytes) {c}x{c}", "numpy.array(lst)"), ">=", 10),
        ("4", "to_list: zendrik / [r[:] for r in lst]",
         ratio("conversions", f"to_list {c}x{c}", "[r[:] for r in lst]", inverse=True), "<=", 1.3),
        ("4", "repr: str(lst) / zendrik", ratio("conversions", f"repr {c}x{c}", "str(lst)"), ">=", 10),
        ("5", "grown system n = 1024: echelon_form_last_row / copy()", grown_ratio.get(1024), "<=", 3),
    ]
    for shape in (f"{n}x{n}", w):
        then = before and ratio("rank", f"rank {shape}", "numpy", rows=before["results"])
        if then:
            now = ratio("rank", f"rank {shape}", "numpy")
            rows.append(("3", f"rank {shape}: numpy / zendrik, no less than before", now, ">=", round(0.9 * then, 2)))
    out = []
    for item, what, value, op, goal in sorted(rows, key=lambda row: row[0]):
        met = None if value is None else (value >= goal if op == ">=" else value <= goal)
        out.append({"target": item, "what": what, "ratio": value, "goal": f"{op} {goal}", "met": met})
    return out


def plot(b, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    fig, ax = plt.subplots(figsize=(8, 5.5))
    styles = {"echelon_form": "-", "row_echelon_full_matrix": "--"}
    colours = {}
    for group, style in styles.items():
        impls = dict.fromkeys(r["impl"] for r in b.rows if r["group"] == group)
        for impl in impls:
            family = impl.split(" row_echelon")[0]
            colour = colours.setdefault(family, f"C{len(colours)}")
            pts = [(r["size"], r["median_s"]) for r in b.rows if r["group"] == group and r["impl"] == impl
                   and r["median_s"] is not None and r["case"].split()[-1] == f"{r['size']}x{r['size']}"]
            if pts:
                xs, ys = zip(*pts)
                ax.plot(xs, ys, style, color=colour, marker="o", label=f"{group}: {impl}")
    ax.set_xscale("log", base=2)
    ax.set_yscale("log")
    ax.set_xlabel("n (random dense 0/1 n x n)")
    ax.set_ylabel("median time per call (s)")
    ax.set_title("Reductions with their logs, and peers")
    ax.grid(True, which="both", alpha=0.3)
    ax.legend(fontsize=7)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    print(f"plot written to {path}")


def versions():
    out = {"python": platform.python_version(), "machine": platform.machine(), "cpus": os.cpu_count(),
           "numpy": np.__version__}
    for name in ("galois", "ldpc", "matplotlib"):
        try:
            out[name] = __import__(name).__version__
        except (ImportError, AttributeError):
            out[name] = None
    return out


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="smaller sizes and fewer repetitions")
    parser.add_argument("--json", help="where the results go (default bench/results.json, or results-quick.json)")
    parser.add_argument("--plot", help="where the plot goes (default bench/echelon.png, or echelon-quick.png)")
    parser.add_argument("--before", default=str(HERE / "results-before.json"),
                        help="an earlier run's results, for the targets that say 'no slower than today'")
    args = parser.parse_args()
    # A quick run leaves the full run's results and plot (the one the README shows) alone.
    suffix = "-quick" if args.quick else ""
    args.json = args.json or str(HERE / f"results{suffix}.json")
    args.plot = args.plot or str(HERE / f"echelon{suffix}.png")
    settings = QUICK if args.quick else FULL
    b = Bench(settings)
    began = time.perf_counter()

    small_matrices(b)
    conversions(b)
    peer = peers()
    shapes = [(n, n) for n in settings.sizes] + [settings.wide]
    logs = reductions(b, peer, shapes)
    rank_and_kernel(b, peer, shapes)
    grown = {n: grown_system(b, peer, n, n) for n in settings.grown}

    print()
    print(table(b))
    print()
    for n, r in grown.items():
        print(f"grown system n = {n}: one echelon_form_last_row call costs {r:.1f} x a copy()")
    print("\ntargets (ratios within this run):")
    before = None
    if Path(args.before).is_file() and Path(args.before).resolve() != Path(args.json).resolve():
        before = json.loads(Path(args.before).read_text())
    met = targets(b, grown, before)
    for t in met:
        value = "not measured" if t["ratio"] is None else f"{t['ratio']:.2f}"
        verdict = "n/a" if t["met"] is None else ("met" if t["met"] else "NOT met")
        print(f"  {t['target']}  {t['what']:58} {value:>12}  goal {t['goal']:8} {verdict}")
    failed = [c for c in b.checks if not c["ok"]]
    print(f"\nchecks: {len(b.checks) - len(failed)} agree, {len(failed)} disagree")
    elapsed = time.perf_counter() - began
    print(f"whole run: {elapsed:.0f} s")

    result = {"mode": "quick" if args.quick else "full", "seed": SEED, "versions": versions(),
              "log_lengths": logs, "results": b.rows, "grown_ratio": grown, "targets": met,
              "checks": b.checks, "seconds": round(elapsed, 1)}
    Path(args.json).write_text(json.dumps(result, indent=1) + "\n")
    print(f"results written to {args.json}")
    plot(b, args.plot)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
